// The SCRAM client: client-first ("n,,n=user,r=nonce"), the server's salt,
// iteration count and extended nonce, client-final with the proof, and the
// server's signature. Key derivation and digests come from libcrypto.
#include "auth/sasl_scram.h"

#include <errno.h>
#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/hmac.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/random.h>

#include "api/pcb.h"
#include "api/session.h"
#include "log/log.h"
#include "log/messages.h"
#include "protocol/protocol.h"

namespace {

constexpr const char *kTag = "SaslAuth";
constexpr const char *kChannelBinding = "c=biws"; // base64 of the gs2 header "n,,"
constexpr size_t kMaxSalt = 256;
constexpr size_t kMaxIterationDigits = 7;
constexpr size_t kShownServerError = 40;

struct MechanismName {
    uint32_t mechanism;
    const char *name;
    const EVP_MD *(*digest)();
};

constexpr MechanismName kMechanisms[] = {
    {kSaslPlain, "PLAIN", nullptr},
    {kSaslScramSha256, "SCRAM-SHA-256", EVP_sha256},
    {kSaslScramSha512, "SCRAM-SHA-512", EVP_sha512},
};

const EVP_MD *digestOf(uint32_t mechanism) {
    for (const MechanismName &entry : kMechanisms)
        if (entry.mechanism == mechanism && entry.digest)
            return entry.digest();
    return nullptr;
}

// Wipes a block when the function that holds it returns, on every path.
struct WipeOnExit {
    void *bytes;
    size_t size;
    ~WipeOnExit() { OPENSSL_cleanse(bytes, size); }
};

int systemNonce(char *nonce, size_t size) {
    uint8_t random[kScramNonceBytes];
    if (size < 4 * ((sizeof random + 2) / 3) + 1)
        return ENOBUFS;
    size_t have = 0;
    while (have < sizeof random) {
        ssize_t got = getrandom(random + have, sizeof random - have, 0);
        if (got < 0 && errno != EINTR)
            return errno;
        if (got > 0)
            have += static_cast<size_t>(got);
    }
    EVP_EncodeBlock(reinterpret_cast<unsigned char *>(nonce), random, sizeof random);
    return 0;
}

int32_t refuse(PCB *pcb, int32_t broker, const char *what) {
    return kafka_reply_malformed(pcb, kTag, broker, what);
}

int32_t tooLong(PCB *pcb, int32_t broker, size_t required) {
    bqx_log_vf(ERR_MARSHALL, pcb, kTag, broker, -1, 2,
               static_cast<int>(required > INT32_MAX ? INT32_MAX : required),
               static_cast<unsigned>(kScramMessageSize));
    return ERR_MARSHALL;
}

int base64Value(char c) {
    if (c >= 'A' && c <= 'Z') return c - 'A';
    if (c >= 'a' && c <= 'z') return c - 'a' + 26;
    if (c >= '0' && c <= '9') return c - '0' + 52;
    if (c == '+') return 62;
    if (c == '/') return 63;
    return -1;
}

// Strict base64 (padded, nothing but the alphabet). Returns the bytes
// written to `out`, or -1 for text that is not base64 or does not fit.
long base64Decode(const char *text, size_t length, uint8_t *out, size_t room) {
    if (length == 0 || length % 4 != 0)
        return -1;
    size_t padding = text[length - 1] != '=' ? 0 : text[length - 2] != '=' ? 1 : 2;
    size_t bytes = length / 4 * 3 - padding;
    if (bytes > room)
        return -1;
    size_t written = 0;
    for (size_t i = 0; i < length; i += 4) {
        uint32_t group = 0;
        for (size_t j = i; j < i + 4; ++j) {
            int value = j >= length - padding ? 0 : base64Value(text[j]);
            if (value < 0)
                return -1;
            group = group << 6 | static_cast<uint32_t>(value);
        }
        for (int shift = 16; shift >= 0 && written < bytes; shift -= 8)
            out[written++] = static_cast<uint8_t>(group >> shift);
    }
    return static_cast<long>(bytes);
}

// A value inside a message: not terminated.
struct Span {
    const char *text;
    size_t length;
};

// Takes the attribute `name` ("x=value") at *pos; false when another (or
// nothing) stands there. *pos moves behind the value's comma.
bool takeAttribute(const char *message, size_t length, size_t *pos, char name, Span *value) {
    if (*pos + 2 > length || message[*pos] != name || message[*pos + 1] != '=')
        return false;
    size_t end = *pos + 2;
    while (end < length && message[end] != ',')
        ++end;
    *value = {message + *pos + 2, end - *pos - 2};
    *pos = end < length ? end + 1 : end;
    return true;
}

// RFC 5802 "printable": 0x21..0x7E without ','.
bool printable(Span span) {
    for (size_t i = 0; i < span.length; ++i)
        if (span.text[i] < 0x21 || span.text[i] > 0x7E || span.text[i] == ',')
            return false;
    return true;
}

const char *readIterations(Span text, uint32_t *iterations) {
    if (text.length == 0 || text.length > kMaxIterationDigits)
        return "server-first: iteration count not a number";
    uint32_t value = 0;
    for (size_t i = 0; i < text.length; ++i) {
        if (text.text[i] < '0' || text.text[i] > '9')
            return "server-first: iteration count not a number";
        value = value * 10 + static_cast<uint32_t>(text.text[i] - '0');
    }
    if (value < kScramMinIterations || value > kScramMaxIterations)
        return "server-first: iteration count out of range";
    *iterations = value;
    return nullptr;
}

struct ServerFirst {
    Span nonce;
    uint8_t salt[kMaxSalt];
    size_t saltLength;
    uint32_t iterations;
};

// Reads server-first-message; returns why it is refused, or null.
const char *readServerFirst(const char *message, size_t length, const char *clientNonce,
                            ServerFirst *out) {
    if (length == 0)
        return "server-first: empty";
    if (memchr(message, '\0', length))
        return "server-first: zero byte";
    if (length >= 2 && message[0] == 'm' && message[1] == '=')
        return "server-first: mandatory extension";
    size_t pos = 0;
    Span salt, iterations;
    if (!takeAttribute(message, length, &pos, 'r', &out->nonce))
        return "server-first: no nonce";
    size_t ours = strlen(clientNonce);
    if (out->nonce.length <= ours || memcmp(out->nonce.text, clientNonce, ours) != 0 ||
        !printable(out->nonce))
        return "server-first: nonce does not extend ours";
    if (!takeAttribute(message, length, &pos, 's', &salt))
        return "server-first: no salt";
    long saltLength = base64Decode(salt.text, salt.length, out->salt, sizeof out->salt);
    if (saltLength <= 0)
        return "server-first: salt is not base64";
    out->saltLength = static_cast<size_t>(saltLength);
    if (!takeAttribute(message, length, &pos, 'i', &iterations))
        return "server-first: no iteration count";
    return readIterations(iterations, &out->iterations);
}

// The keys of one proof; wiped by their owner.
struct ScramKeys {
    uint8_t salted[kScramMaxDigest];
    uint8_t clientKey[kScramMaxDigest];
    uint8_t storedKey[kScramMaxDigest];
    uint8_t serverKey[kScramMaxDigest];
    uint8_t clientSignature[kScramMaxDigest];
    uint8_t proof[kScramMaxDigest];
};

bool hmac(const EVP_MD *md, const uint8_t *key, size_t keyLength, const void *data,
          size_t length, uint8_t *out) {
    unsigned produced = 0;
    return HMAC(md, key, static_cast<int>(keyLength), static_cast<const unsigned char *>(data),
                length, out, &produced) != nullptr;
}

bool systemSalt(const EVP_MD *md, const char *password, uint32_t passwordLength,
                const uint8_t *salt, size_t saltLength, uint32_t iterations, uint8_t *out) {
    return PKCS5_PBKDF2_HMAC(password, static_cast<int>(passwordLength), salt,
                             static_cast<int>(saltLength), static_cast<int>(iterations), md,
                             EVP_MD_get_size(md), out) == 1;
}

// Salts the password into keys->salted. PBKDF2 takes long: in a call of
// the session it runs with the global lock released, so that other
// sessions and the heartbeat thread go on. A close waits for the call to
// leave, so the session stays; but it may have been taken over (7502), or
// another call may have ended the entry's exchange, which is looked up
// again before `state` is used.
int32_t saltPassword(PCB *pcb, int32_t broker, ScramState *state, int32_t unlockFor,
                     const EVP_MD *md, const char *password, uint32_t passwordLength,
                     const ServerFirst &first, ScramKeys *keys) {
    bool release = unlockFor >= 0 && pcb->u32CallsInside > 0;
    if (release) {
        int32_t given = bqx_check_taken(pcb, kTag);
        if (given != 0)
            return given;
        bqx_release(kTag);
    }
    bool salted = gpfnScramSalt(md, password, passwordLength, first.salt, first.saltLength,
                                first.iterations, keys->salted);
    if (release) {
        int32_t given = bqx_retake(pcb, kTag, false);
        if (given != 0)
            return given;
        uint32_t index = static_cast<uint32_t>(unlockFor);
        if (!pcb->pBrokerList || index >= pcb->u32BrokerCount ||
            pcb->pBrokerList[index].pScram != state || state->u32Stage != kScramFirstSent)
            return refuse(pcb, broker, "SCRAM: exchange ended while the password was salted");
    }
    return salted ? 0 : refuse(pcb, broker, "SCRAM: key derivation failed");
}

// Derives the proof and the server's signature over `authMessage` from
// the salted password in `keys`.
bool deriveKeys(const EVP_MD *md, const char *authMessage, size_t authLength, ScramKeys *keys,
                uint8_t *serverSignature) {
    size_t size = static_cast<size_t>(EVP_MD_get_size(md));
    unsigned produced = 0;
    if (!hmac(md, keys->salted, size, "Client Key", 10, keys->clientKey) ||
        !EVP_Digest(keys->clientKey, size, keys->storedKey, &produced, md, nullptr) ||
        !hmac(md, keys->storedKey, size, authMessage, authLength, keys->clientSignature) ||
        !hmac(md, keys->salted, size, "Server Key", 10, keys->serverKey) ||
        !hmac(md, keys->serverKey, size, authMessage, authLength, serverSignature))
        return false;
    for (size_t i = 0; i < size; ++i)
        keys->proof[i] = keys->clientKey[i] ^ keys->clientSignature[i];
    return true;
}

// Copies at most kShownServerError printable characters of a server's
// error text, so that a hostile one cannot break the log line.
void showable(const char *text, size_t length, char *out, size_t room) {
    size_t used = 0;
    for (size_t i = 0; i < length && i < kShownServerError && used + 1 < room; ++i)
        out[used++] = text[i] >= 0x20 && text[i] < 0x7F ? text[i] : '?';
    out[used] = '\0';
}

} // namespace

int (*gpfnScramNonce)(char *nonce, size_t size) = systemNonce;
bool (*gpfnScramSalt)(const EVP_MD *, const char *, uint32_t, const uint8_t *, size_t, uint32_t,
                      uint8_t *) = systemSalt;

const char *sasl_mechanismName(uint32_t mechanism) {
    for (const MechanismName &entry : kMechanisms)
        if (entry.mechanism == mechanism)
            return entry.name;
    return "PLAIN";
}

int32_t scram_start(PCB *pcb, int32_t broker, uint32_t mechanism, const char *user,
                    uint32_t userLength, ScramState **state) {
    *state = nullptr;
    ScramState *made = static_cast<ScramState *>(calloc(1, sizeof(ScramState)));
    if (!made) {
        bqx_log_vf(ERR_MEMORY, pcb, kTag, broker, -1, 1, "SCRAM state");
        return ERR_MEMORY;
    }
    made->u32Mechanism = mechanism;
    int error = gpfnScramNonce(made->szClientNonce, sizeof made->szClientNonce);
    if (error != 0) {
        free(made);
        bqx_log_vf(ERR_TCPIP, pcb, kTag, broker, -1, 5, "getrandom()", "", 0, error,
                   strerror(error));
        return ERR_TCPIP;
    }
    // client-first: "n,,n=<saslname>,r=<nonce>", '=' and ',' of the user
    // name escaped as "=3D" and "=2C".
    size_t nonceLength = strlen(made->szClientNonce);
    size_t required = 5 + 3 + nonceLength + 1;
    for (uint32_t i = 0; i < userLength; ++i)
        required += user[i] == '=' || user[i] == ',' ? 3 : 1;
    if (required > sizeof made->abMessage) {
        free(made);
        return tooLong(pcb, broker, required);
    }
    char *bare = made->szClientFirstBare;
    size_t used = 0;
    bare[used++] = 'n';
    bare[used++] = '=';
    for (uint32_t i = 0; i < userLength; ++i) {
        const char *escaped = user[i] == '=' ? "=3D" : user[i] == ',' ? "=2C" : nullptr;
        size_t add = escaped ? 3 : 1;
        memcpy(bare + used, escaped ? escaped : user + i, add);
        used += add;
    }
    snprintf(bare + used, sizeof made->szClientFirstBare - used, ",r=%s", made->szClientNonce);
    made->u32MessageLength = static_cast<uint32_t>(
        snprintf(made->abMessage, sizeof made->abMessage, "n,,%s", bare));
    *state = made;
    return 0;
}

int32_t scram_serverFirst(PCB *pcb, int32_t broker, ScramState *state, const char *password,
                          uint32_t passwordLength, const uint8_t *message, uint32_t length,
                          int32_t unlockFor) {
    if (state->u32Stage != kScramFirstSent)
        return refuse(pcb, broker, "SCRAM: server-first out of order");
    const char *text = reinterpret_cast<const char *>(message);
    ServerFirst first;
    WipeOnExit firstGuard{&first, sizeof first};
    const char *why = readServerFirst(text, length, state->szClientNonce, &first);
    if (why)
        return refuse(pcb, broker, why);
    const EVP_MD *md = digestOf(state->u32Mechanism);
    if (!md)
        return refuse(pcb, broker, "SCRAM: no digest for the mechanism");
    size_t digestSize = static_cast<size_t>(EVP_MD_get_size(md));
    // client-final: "c=biws,r=<nonce>,p=<base64 proof>".
    size_t withoutProof = strlen(kChannelBinding) + 3 + first.nonce.length;
    size_t finalLength = withoutProof + 3 + 4 * ((digestSize + 2) / 3);
    if (finalLength >= sizeof state->abMessage)
        return tooLong(pcb, broker, finalLength);
    ScramKeys keys;
    WipeOnExit keysGuard{&keys, sizeof keys};
    int32_t rc =
        saltPassword(pcb, broker, state, unlockFor, md, password, passwordLength, first, &keys);
    if (rc != 0)
        return rc;
    int prefix = snprintf(state->abMessage, sizeof state->abMessage, "%s,r=%.*s", kChannelBinding,
                          static_cast<int>(first.nonce.length), first.nonce.text);
    // AuthMessage: client-first-bare "," server-first "," client-final-without-proof.
    size_t bareLength = strlen(state->szClientFirstBare);
    size_t authLength = bareLength + 1 + length + 1 + withoutProof;
    char *auth = static_cast<char *>(malloc(authLength));
    if (prefix < 0 || !auth) {
        free(auth);
        bqx_log_vf(ERR_MEMORY, pcb, kTag, broker, -1, 1, "SCRAM auth message");
        return ERR_MEMORY;
    }
    memcpy(auth, state->szClientFirstBare, bareLength);
    auth[bareLength] = ',';
    memcpy(auth + bareLength + 1, text, length);
    auth[bareLength + 1 + length] = ',';
    memcpy(auth + bareLength + 2 + length, state->abMessage, withoutProof);

    bool derived = deriveKeys(md, auth, authLength, &keys, state->abServerSignature);
    free(auth);
    if (!derived)
        return refuse(pcb, broker, "SCRAM: key derivation failed");
    state->u32SignatureLength = static_cast<uint32_t>(digestSize);
    memcpy(state->abMessage + withoutProof, ",p=", 3);
    EVP_EncodeBlock(reinterpret_cast<unsigned char *>(state->abMessage + withoutProof + 3),
                    keys.proof, static_cast<int>(digestSize));
    state->u32MessageLength = static_cast<uint32_t>(finalLength);
    state->u32Stage = kScramFirstRead;
    return 0;
}

int32_t scram_serverFinal(PCB *pcb, int32_t broker, ScramState *state, const uint8_t *message,
                          uint32_t length) {
    if (state->u32Stage != kScramFinalSent)
        return refuse(pcb, broker, "SCRAM: server-final out of order");
    // One answer only: the expected signature leaves the state whatever
    // this one says.
    uint8_t expected[kScramMaxDigest];
    WipeOnExit expectedGuard{expected, sizeof expected};
    uint32_t expectedLength = state->u32SignatureLength;
    memcpy(expected, state->abServerSignature, sizeof expected);
    OPENSSL_cleanse(state->abServerSignature, sizeof state->abServerSignature);
    state->u32SignatureLength = 0;
    const char *text = reinterpret_cast<const char *>(message);
    size_t pos = 0;
    Span value;
    if (takeAttribute(text, length, &pos, 'e', &value)) {
        char shown[kShownServerError + 1];
        char line[64];
        showable(value.text, value.length, shown, sizeof shown);
        snprintf(line, sizeof line, "SCRAM server error: %s", shown);
        return refuse(pcb, broker, line);
    }
    if (!takeAttribute(text, length, &pos, 'v', &value))
        return refuse(pcb, broker, "server-final: no verifier");
    uint8_t signature[kScramMaxDigest];
    long signatureLength = base64Decode(value.text, value.length, signature, sizeof signature);
    if (expectedLength == 0 || signatureLength != static_cast<long>(expectedLength) ||
        CRYPTO_memcmp(signature, expected, expectedLength) != 0)
        return refuse(pcb, broker, "server-final: server signature does not match");
    state->u32Stage = kScramVerified;
    return 0;
}

void scram_sent(ScramState *state) {
    OPENSSL_cleanse(state->abMessage, sizeof state->abMessage);
    state->u32MessageLength = 0;
    state->u32Stage = state->u32Stage == kScramFirstRead ? kScramFinalSent : kScramFirstSent;
}

void scram_clear(BrokerEntry *entry) {
    if (entry->pScram) {
        OPENSSL_cleanse(entry->pScram, sizeof *entry->pScram);
        free(entry->pScram);
        entry->pScram = nullptr;
    }
    entry->u32SaslMechanism = kSaslPlain;
}
