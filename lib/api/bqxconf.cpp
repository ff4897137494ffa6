// BQXCONF: sets one setting of a session by name. The names are those the
// Java client uses. A value is checked whole before anything is stored, so
// a refused call leaves the setting as it was.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <strings.h>

#include "api/session.h"
#include "auth/sasl_scram.h"
#include "codec/codec.h"
#include "codec/deflate.h"
#include "log/log.h"
#include "log/messages.h"

namespace {

constexpr const char *kTag = "BQXCONF";
constexpr uint32_t kMaxValueLen = 1024; // file paths and ids; longer is refused

// One accepted word of a choice setting and the number stored for it.
struct Choice {
    const char *text;
    uint32_t value;
};

constexpr Choice kOffsetReset[] = {{"earliest", 0}, {"latest", 1}};
constexpr Choice kPartitioners[] = {{"djb", kPartitionerDjb}, {"murmur2", kPartitionerMurmur2}};
// Stored as the mechanism + 1, so that 0 keeps "PLAIN first, SCRAM when
// the broker offers only SCRAM".
constexpr Choice kMechanisms[] = {{"PLAIN", kSaslPlain + 1},
                                  {"SCRAM-SHA-256", kSaslScramSha256 + 1},
                                  {"SCRAM-SHA-512", kSaslScramSha512 + 1}};

constexpr Choice kBooleans[] = {{"false", 0}, {"true", 1}};
constexpr Choice kCompressionTypes[] = {
    {"none", 0}, {"gzip", 1}, {"snappy", 2}, {"lz4", 3}, {"zstd", 4}}; // the batch codec ids

template <size_t N>
constexpr const Choice *choices(const Choice (&list)[N]) {
    return list;
}

// A setting: its name, what it accepts (the refusal says so), whether it
// counts from the next BQXCONN or at once, and where it goes: a number
// field (choices, or a range), or a text slot. A row with neither field
// is refused as not available in this build; giving it a field switches it
// on.
struct Setting {
    const char *name;
    const char *accepts;
    bool fromNextConnect;
    uint32_t PCB::*number;
    const Choice *choiceList;
    uint32_t choiceCount;
    uint32_t minimum;
    uint32_t maximum;
    char **(*text)(PCB *);
    bool secret; // never written to the log
};

constexpr char **clientIdSlot(PCB *pcb) { return &pcb->pszClientId; }
template <SslFile F>
constexpr char **sslSlot(PCB *pcb) {
    return &pcb->apszSslFiles[F];
}

constexpr uint32_t kInt32Max = 2147483647u;
constexpr uint32_t kFetchMaxBytes = 50u << 20;

constexpr Setting kSettings[] = {
    {"client.id", "1 to 64 printable ASCII characters", false, nullptr, nullptr, 0, 0, 0,
     clientIdSlot, false},
    {"auto.offset.reset", "earliest or latest", false, &PCB::u32OffsetResetLatest,
     choices(kOffsetReset), 2, 0, 0, nullptr, false},
    {"partitioner", "djb or murmur2", false, &PCB::u32Partitioner, choices(kPartitioners), 2, 0, 0,
     nullptr, false},
    {"sasl.mechanism", "PLAIN, SCRAM-SHA-256 or SCRAM-SHA-512", false, &PCB::u32SaslMechanismSet,
     choices(kMechanisms), 3, 0, 0, nullptr, false},
    {"ssl.ca.location", "a file path", true, nullptr, nullptr, 0, 0, 0, sslSlot<kSslCaFile>, false},
    {"ssl.certificate.location", "a file path", true, nullptr, nullptr, 0, 0, 0,
     sslSlot<kSslCertFile>, false},
    {"ssl.key.location", "a file path", true, nullptr, nullptr, 0, 0, 0, sslSlot<kSslKeyFile>,
     false},
    {"ssl.key.password", "the key file's password", true, nullptr, nullptr, 0, 0, 0,
     sslSlot<kSslKeyPassword>, true},
    {"statistics.interval.ms", "0 (off) to 2147483647 milliseconds", false,
     &PCB::u32StatsIntervalMs, nullptr, 0, 0, kInt32Max, nullptr, false},
    {"metadata.max.age.ms", "0 (no refresh by age) to 2147483647 milliseconds", false,
     &PCB::u32MetadataMaxAgeMs, nullptr, 0, 0, kInt32Max, nullptr, false},
    {"delivery.timeout.ms", "1 to 2147483647 milliseconds", false, &PCB::u32DeliveryTimeoutMs,
     nullptr, 0, 1, kInt32Max, nullptr, false},
    // Counts from the next BQXSYNC (api/bqxsync.cpp, take_idempotence).
    {"enable.idempotence", "true or false", false, &PCB::u32Idempotence, choices(kBooleans), 2, 0,
     0, nullptr, false},
    // A Fetch reply is bounded by fetch.max.bytes at its default, so that
    // is also the largest accepted.
    {"fetch.max.bytes", "1024 to 52428800 bytes", false, &PCB::u32FetchMaxBytes, nullptr, 0, 1024,
     kFetchMaxBytes, nullptr, false},
    {"max.partition.fetch.bytes", "1 to 52428800 bytes", false, &PCB::u32PartitionFetchMaxBytes,
     nullptr, 0, 1, kFetchMaxBytes, nullptr, false},
    // Counts from the next batch read. Off, a batch damaged on the way is
    // delivered as it came (lengths and offsets are still checked).
    {"check.crcs", "true or false", false, &PCB::u32CheckCrcs, choices(kBooleans), 2, 0, 0, nullptr,
     false},
    // Both count from the next batch that goes out, and each is checked
    // against the other (setCompression): a level the type does not take
    // is refused, whichever of the two is set last. The level is stored + 1.
    {"compression.type", "none, gzip, snappy, lz4 or zstd", false, &PCB::u32CompressionType,
     choices(kCompressionTypes), 5, 0, 0, nullptr, false},
    {"compression.level", "-1 (the default) or a level of the compression type", false,
     &PCB::u32CompressionLevel, nullptr, 0, 0, 23, nullptr, false},
};

int32_t refuse(PCB *pcb, const char *name, const char *reason) {
    bqx_log_vf(ERR_SETTING, pcb, kTag, -1, -1, 2, name, reason);
    return ERR_SETTING;
}

const Setting *find(const char *name) {
    for (const Setting &setting : kSettings)
        if (strcmp(setting.name, name) == 0)
            return &setting;
    return nullptr;
}

bool printable(const char *value, uint32_t length, bool asciiOnly) {
    for (uint32_t i = 0; i < length; ++i) {
        unsigned char c = static_cast<unsigned char>(value[i]);
        if (c < 0x20 || c == 0x7F || (asciiOnly && c > 0x7F))
            return false;
    }
    return true;
}

// A decimal number without sign within the setting's range.
bool parseNumber(const Setting &setting, const char *value, uint32_t length, uint32_t *out) {
    if (length == 0 || length > 10)
        return false;
    uint64_t number = 0;
    for (uint32_t i = 0; i < length; ++i) {
        if (value[i] < '0' || value[i] > '9')
            return false;
        number = number * 10 + static_cast<uint64_t>(value[i] - '0');
    }
    if (number < setting.minimum || number > setting.maximum)
        return false;
    *out = static_cast<uint32_t>(number);
    return true;
}

bool parseChoice(const Setting &setting, const char *value, uint32_t length, uint32_t *out) {
    for (uint32_t i = 0; i < setting.choiceCount; ++i) {
        const Choice &choice = setting.choiceList[i];
        if (strlen(choice.text) == length && strncasecmp(choice.text, value, length) == 0) {
            *out = choice.value;
            return true;
        }
    }
    return false;
}

int32_t setText(PCB *pcb, const Setting &setting, const char *value, uint32_t length) {
    bool clientId = setting.text == clientIdSlot;
    if (length == 0 && clientId)
        return refuse(pcb, setting.name, setting.accepts);
    if ((clientId && length > kMaxClientIdBytes) || !printable(value, length, clientId))
        return refuse(pcb, setting.name, setting.accepts);
    // An empty path takes the override away: the variable counts again.
    char *copy = nullptr;
    if (length > 0 && !(copy = bqx_copy_text(value, length))) {
        bqx_log_vf(ERR_MEMORY, pcb, kTag, -1, -1, 1, setting.name);
        return ERR_MEMORY;
    }
    char **slot = setting.text(pcb);
    if (*slot && setting.secret)
        explicit_bzero(*slot, strlen(*slot));
    free(*slot);
    *slot = copy;
    return 0;
}

// compression.level: -1 or a number, stored + 1.
bool parseLevel(const Setting &setting, const char *value, uint32_t length, uint32_t *out) {
    if (length == 2 && value[0] == '-' && value[1] == '1') {
        *out = 0;
        return true;
    }
    uint32_t level = 0;
    if (!parseNumber(setting, value, length, &level) || level + 1 > setting.maximum)
        return false;
    *out = level + 1;
    return true;
}

// A codec the library was built without is refused naming the build
// option; so is a level outside the codec's range.
int32_t setCompression(PCB *pcb, const Setting &setting, const char *value, uint32_t length) {
    bool isType = setting.number == &PCB::u32CompressionType;
    uint32_t type = pcb->u32CompressionType;
    uint32_t levelPlusOne = pcb->u32CompressionLevel;
    bool ok = isType ? parseChoice(setting, value, length, &type)
                     : parseLevel(setting, value, length, &levelPlusOne);
    if (!ok)
        return refuse(pcb, setting.name, setting.accepts);
    int16_t codec = static_cast<int16_t>(type);
    if (codec != kCodecNone && !gpfnDeflateAvailable(codec)) {
        char reason[64];
        snprintf(reason, sizeof reason, "not in this build (CMake option %s=ON)",
                 deflate_build_option(codec));
        return refuse(pcb, setting.name, reason);
    }
    int32_t level = static_cast<int32_t>(levelPlusOne) - 1;
    if (!deflate_level_valid(codec, level)) {
        char reason[64];
        snprintf(reason, sizeof reason, "level %d: %s takes %s", static_cast<int>(level),
                 deflate_codec_name(codec), deflate_level_range(codec));
        return refuse(pcb, setting.name, reason);
    }
    pcb->u32CompressionType = type;
    pcb->u32CompressionLevel = levelPlusOne;
    return 0;
}

int32_t apply(PCB *pcb, const Setting &setting, const char *value, uint32_t length) {
    if (setting.number == &PCB::u32CompressionType || setting.number == &PCB::u32CompressionLevel)
        return setCompression(pcb, setting, value, length);
    if (setting.text)
        return setText(pcb, setting, value, length);
    if (!setting.number)
        return refuse(pcb, setting.name, "not available in this build yet");
    uint32_t parsed = 0;
    bool ok = setting.choiceList ? parseChoice(setting, value, length, &parsed)
                                 : parseNumber(setting, value, length, &parsed);
    if (!ok)
        return refuse(pcb, setting.name, setting.accepts);
    pcb->*setting.number = parsed;
    if (setting.number == &PCB::u32StatsIntervalMs)
        pcb->i64StatsDueMs = 0; // the new interval counts from the next call
    return 0;
}

void confirm(PCB *pcb, const Setting &setting, const char *value, uint32_t length) {
    if (pcb->iDebugLevel == 0)
        return;
    char shown[65];
    snprintf(shown, sizeof shown, "%.*s%s", static_cast<int>(length < 48 ? length : 48),
             setting.secret ? "" : value,
             setting.fromNextConnect ? " (from the next BQXCONN)" : "");
    bqx_log_vf(INF_FIELD_TEXT, pcb, kTag, -1, -1, 2, setting.name,
               setting.secret ? "(set)" : shown);
}

int32_t configure(PCB *pcb, const char *name, int32_t nameLength, const char *value,
                  int32_t valueLength) {
    int32_t rc = bqx_check_buffer(pcb, kTag, "name", name, nameLength);
    if (rc == 0)
        rc = bqx_check_buffer(pcb, kTag, "value", value, valueLength);
    if (rc != 0)
        return rc;
    char shownName[65];
    uint32_t nameLen = static_cast<uint32_t>(nameLength);
    snprintf(shownName, sizeof shownName, "%.*s", static_cast<int>(nameLen < 64 ? nameLen : 64),
             name ? name : "");
    const Setting *setting =
        strlen(shownName) == nameLen && nameLen > 0 ? find(shownName) : nullptr;
    if (!setting)
        return refuse(pcb, shownName, "unknown setting");
    uint32_t length = static_cast<uint32_t>(valueLength);
    if (length > kMaxValueLen || (value && memchr(value, '\0', length)))
        return refuse(pcb, setting->name, setting->accepts);
    rc = apply(pcb, *setting, value ? value : "", length);
    if (rc == 0)
        confirm(pcb, *setting, value ? value : "", length);
    return rc;
}

} // namespace

int32_t BQXCONF(int32_t handle, const char *name, int32_t nameLength, const char *value,
                int32_t valueLength) {
    PCB *pcb = bqx_enter(kTag, handle);
    if (!pcb)
        return ERR_HANDLE;
    int32_t rc = configure(pcb, name, nameLength, value, valueLength);
    bqx_leave(pcb, kTag);
    return rc;
}

void bqx_settings_free(PCB *pcb) {
    free(pcb->pszClientId);
    pcb->pszClientId = nullptr;
    for (char *&file : pcb->apszSslFiles) {
        if (file && &file == &pcb->apszSslFiles[kSslKeyPassword])
            explicit_bzero(file, strlen(file));
        free(file);
        file = nullptr;
    }
    free(pcb->pWholeKey);
    pcb->pWholeKey = nullptr;
    deflate_context_free(pcb->pDeflate);
    pcb->pDeflate = nullptr;
    pcb->u32WholeKeyLen = pcb->u32WholeKeyCapacity = 0;
}
