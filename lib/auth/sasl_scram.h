// The SCRAM client (SCRAM-SHA-256 and SCRAM-SHA-512): the client-first and
// client-final messages and the checks of the server's two answers. The
// state of one exchange lives on its broker entry; every secret derived
// from the password is wiped as soon as it is no longer needed.
#ifndef BQX_AUTH_SASL_SCRAM_H
#define BQX_AUTH_SASL_SCRAM_H

#include <stddef.h>
#include <stdint.h>

#include <openssl/types.h>

struct PCB;
struct BrokerEntry;

// SASL mechanisms of a connection. Every connection starts with PLAIN.
enum SaslMechanism : uint32_t {
    kSaslPlain = 0,
    kSaslScramSha256 = 1,
    kSaslScramSha512 = 2,
};

// The mechanism's name as the handshake sends it.
const char *sasl_mechanismName(uint32_t mechanism);

// How far an exchange has come.
enum ScramStage : uint32_t {
    kScramFirstReady = 0, // client-first made, not yet sent
    kScramFirstSent = 1,  // client-first is on its way
    kScramFirstRead = 2,  // server-first accepted, client-final ready
    kScramFinalSent = 3,  // client-final is on its way
    kScramVerified = 4,   // the server proved that it knows the password
};

// Iteration counts accepted from a server: fewer are too weak to be used;
// more than a Kafka broker itself accepts would only let a hostile broker
// hold the caller.
constexpr uint32_t kScramMinIterations = 4096;
constexpr uint32_t kScramMaxIterations = 16384;

constexpr size_t kScramNonceBytes = 24;     // random bytes behind the client nonce
constexpr size_t kScramNonceSize = 64;      // room for the printable nonce
constexpr size_t kScramMessageSize = 1024;  // longest client message
constexpr size_t kScramMaxDigest = 64;      // SHA-512

struct ScramState {
    uint32_t u32Mechanism;
    uint32_t u32Stage;
    char szClientNonce[kScramNonceSize];
    // client-first-message-bare, part of the signed auth message.
    char szClientFirstBare[kScramMessageSize];
    // The next message to send (client-first, then client-final, which
    // holds the proof and is wiped once it has been queued).
    char abMessage[kScramMessageSize];
    uint32_t u32MessageLength;
    uint8_t abServerSignature[kScramMaxDigest];
    uint32_t u32SignatureLength;
};

// Writes a printable client nonce (NUL-terminated) into `nonce`. Returns
// 0 or an errno. Tests replace it to get a known nonce.
extern int (*gpfnScramNonce)(char *nonce, size_t size);

// Starts an exchange for the UTF-8 user name: a new state in *state (null
// on failure) holding client-first-message. Returns 0 or the error logged.
int32_t scram_start(PCB *pcb, int32_t broker, uint32_t mechanism, const char *user,
                    uint32_t userLength, ScramState **state);

// Salts the password (PBKDF2 with the mechanism's digest) into `out`;
// false when libcrypto fails. Tests replace it to watch the computation.
extern bool (*gpfnScramSalt)(const EVP_MD *md, const char *password, uint32_t passwordLength,
                             const uint8_t *salt, size_t saltLength, uint32_t iterations,
                             uint8_t *out);

// Reads server-first-message and, with the UTF-8 password, makes
// client-final-message and the signature the server must show. Returns 0
// or 7536 (logged) for a message that cannot be accepted. With the index
// of the broker entry whose exchange `state` is (`unlockFor`), a call of
// the session salts the password with the global lock released: 7502 when
// the session was taken over meanwhile, 7536 when the entry's exchange
// ended; `state` is not touched then.
int32_t scram_serverFirst(PCB *pcb, int32_t broker, ScramState *state, const char *password,
                          uint32_t passwordLength, const uint8_t *message, uint32_t length,
                          int32_t unlockFor = -1);

// Checks server-final-message: an "e=" error or a wrong signature is
// 7536 (logged); 0 when the server proved itself.
int32_t scram_serverFinal(PCB *pcb, int32_t broker, ScramState *state, const uint8_t *message,
                          uint32_t length);

// The message in the state was queued: it is wiped (client-final holds
// the proof) and the exchange waits for the server's answer.
void scram_sent(ScramState *state);

// Wipes and frees the entry's SCRAM state and sets its mechanism back to
// PLAIN, for the entry's next connection.
void scram_clear(BrokerEntry *entry);

#endif
