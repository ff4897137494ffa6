// Known SCRAM exchanges for the tests: SHA-256 is the example of RFC 7677;
// the SHA-512 values were computed independently with Python's
// hashlib.pbkdf2_hmac and hmac. Both use the client nonce kScramNonce,
// which scramFixedNonce hands to the library in place of a random one.
#ifndef BQX_TESTS_SUPPORT_SCRAM_VECTORS_H
#define BQX_TESTS_SUPPORT_SCRAM_VECTORS_H

#include <stdio.h>

namespace bqxtest {

constexpr const char *kScramNonce = "rOprNGfwEbeRWgbNEkqO";

inline int scramFixedNonce(char *nonce, size_t size) {
    snprintf(nonce, size, "%s", kScramNonce);
    return 0;
}

// User "user", password "pencil".
constexpr const char *kFirst256 =
    "r=rOprNGfwEbeRWgbNEkqO%hvYDpWUa2RaTCAfuxFIlj)hNlF$k0,s=W22ZaJ0SNY7soEsUEjb6gQ==,i=4096";
constexpr const char *kFinal256 = "c=biws,r=rOprNGfwEbeRWgbNEkqO%hvYDpWUa2RaTCAfuxFIlj)hNlF$k0,"
                                  "p=dHzbZapWIk4jUhN+Ute9ytag9zjfMHgsqmmiz7AndVQ=";
constexpr const char *kVerifier256 = "v=6rriTRBi23WpRR/wtup+mMhUZUn/dB5nLTJRsjl95G4=";

// User "bqx=user,1" (sent as "bqx=3Duser=2C1"), password "bqx-pass".
constexpr const char *kFirst512 =
    "r=rOprNGfwEbeRWgbNEkqOq9BaUvb3ZkVXxpzn,s=YnF4LXNhbHQtMDEyMzQ1Njc4OQ==,i=4096";
constexpr const char *kFinal512 =
    "c=biws,r=rOprNGfwEbeRWgbNEkqOq9BaUvb3ZkVXxpzn,p=nOkBbT/MoNyG9OAYdB8T5fWj5qYRgUa25KektEio1q"
    "GPtXWWxE224H+ddkMXvm7sl4C35Yz9V7lOFM5/d11L7w==";
constexpr const char *kVerifier512 =
    "v=vajSPLw2+b3avAFxzQ7Qyh7h92jDbmOuiu1kwsqCpO6sAfQ/V3l4VryqUjqp5XXlgFXtv6wXDUm/pABrsjC+2Q==";

} // namespace bqxtest

#endif
