// Names of the Kafka API keys that the library sends, for log lines.
#include "transport/transport.h"

namespace {

struct KeyName {
    int16_t apiKey;
    const char *name;
};

constexpr KeyName kRequestNames[] = {
    {0, "Produce"},      {1, "Fetch"},           {2, "ListOffsets"},      {3, "Metadata"},
    {8, "OffsetCommit"}, {9, "OffsetFetch"},     {10, "FindCoordinator"}, {11, "JoinGroup"},
    {12, "HeartBeat"},   {13, "LeaveGroup"},     {14, "SyncGroup"},       {17, "SaslHandsh"},
    {18, "ApiVersions"}, {22, "InitProducerId"}, {36, "SaslAuth"},
};

} // namespace

const char *get_KeyName(int32_t apiKey) {
    int16_t key = static_cast<int16_t>(apiKey);
    for (const KeyName &entry : kRequestNames)
        if (entry.apiKey == key)
            return entry.name;
    return "--";
}
