// Helpers of the integration tests against the real broker that
// scripts/kafka runs on 127.0.0.1: its addresses, topics with unique names,
// sessions, and reading the messages back with kcat.
#ifndef BQX_TESTS_BROKER_BROKER_SUPPORT_H
#define BQX_TESTS_BROKER_BROKER_SUPPORT_H

#include <stdint.h>

#include <map>
#include <string>
#include <vector>

namespace bqxbroker {

// The variables that `scripts/kafka env` prints (KAFKA_BOOTSTRAP, ...).
const std::map<std::string, std::string> &kafkaEnv();
std::string envValue(const std::string &name);
// The single broker's first log segment of a partition (a test topic never
// grows a second one).
std::string segmentPath(const std::string &topic, int32_t partition);

// A topic name no earlier run has used, created with `partitions`
// partitions through `bootstrap` (the single broker when empty) and the
// topic settings `configs` ("max.message.bytes=4194304", ...).
std::string newTopic(const std::string &prefix, int partitions,
                     const std::string &bootstrap = "",
                     const std::vector<std::string> &configs = {});

// Deterministic pseudo-random numbers, so a failing run can be repeated.
struct XorShift {
    uint32_t state = 2463534242u;
    uint32_t next() {
        state ^= state << 13;
        state ^= state >> 17;
        state ^= state << 5;
        return state;
    }
};

// Waits until every server of the comma-separated list knows the topic
// with a leader for each partition.
void waitForTopic(const std::string &bootstrapList, const std::string &topic, int partitions);

// One message as kcat read it; lengths of -1 mean null. The timestamp is
// the record's, in milliseconds since 1970.
struct Message {
    int32_t partition = -1;
    int64_t offset = -1, timestamp = -1;
    int64_t keyLength = -1, valueLength = -1;
    std::string key, value;
};

// Every message of one partition, from the beginning, via kcat; `kcatOptions`
// ("-X security.protocol=SSL ...") are added to its command line.
std::vector<Message> readPartition(const std::string &bootstrap, const std::string &topic,
                                   int32_t partition, const std::string &kcatOptions = "");

// A 127.0.0.1 port on which nothing listens (bound once, then released).
int freePort();

// An open session that is closed (outstanding replies awaited) at the end.
struct Session {
    Session();
    ~Session();
    // Closes now, so that every produced message has been answered.
    void close();
    int32_t connect(const std::string &bootstrap, const std::string &topic);
    int32_t produce(const std::string &key, const std::string &message, uint32_t convert = 0);
    int32_t handle = -1;
};

// The partition the library chooses for a key among `partitions`.
int32_t partitionForKey(const std::string &key, uint32_t partitions);

// One key for each of `partitions` partitions: keys[p] lands in partition p.
std::vector<std::string> keysForPartitions(uint32_t partitions);

// Runs a shell command; returns its standard output and sets *status.
std::string shell(const std::string &command, int *status);

// Produces `values` (no newlines in them) to one partition with kcat, which
// writes many records per batch; `header` ("name=value") is added to every
// record when not empty; `kcatOptions` ("-X batch.num.messages=100") are
// added to its command line.
void kcatProduce(const std::string &bootstrap, const std::string &topic, int32_t partition,
                 const std::vector<std::string> &values, const std::string &header = "",
                 const std::string &kcatOptions = "");

// The committed offset of each partition of `topic` for `group`, as Kafka's
// own consumer-group tool reports it (partitions without one are missing).
std::map<int32_t, int64_t> committedOffsets(const std::string &bootstrap,
                                            const std::string &group, const std::string &topic);

// A group id no earlier run has used.
std::string newGroup(const std::string &prefix);

} // namespace bqxbroker

#endif
