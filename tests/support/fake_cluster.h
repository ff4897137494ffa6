// A session connected to a cluster of fake brokers: Metadata names N fake
// brokers (node ids 1..N) and the leaders of the topic's partitions;
// Produce requests are read back partition by partition and answered by a
// responder the test sets (every partition accepted unless it says
// otherwise); a consumer finds node 1 (or the node set) as its group
// coordinator, joins, and fetches each partition's log from it. Any API
// key's answer can be scripted in front of these. Tests of single request
// functions use TableSession instead: a session whose broker table the
// test builds, brokers played by socket pairs.
#ifndef BQX_TESTS_FAKE_CLUSTER_H
#define BQX_TESTS_FAKE_CLUSTER_H

#include <stdint.h>

#include <array>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "api/pcb.h"
#include "support/fake_broker.h"
#include "support/log_capture.h"
#include "support/protocol_support.h"

namespace bqxtest {

// The ranges a broker offers to a consuming session.
const std::vector<ApiRange> &consumerApiRanges();
// The consumer's ranges and InitProducerId (22, versions 0 to 5): a
// producing session then asks for a producer id.
const std::vector<ApiRange> &idempotentApiRanges();
// An InitProducerId reply body of `version` (flexible from 2 on).
Bytes initProducerIdBody(int16_t version, int16_t errorCode, int64_t producerId, int16_t epoch);
// The producer id the cluster gives (epoch 0).
constexpr int64_t kFakeProducerId = 4242;

// A record batch of `values` from `baseOffset` on, one header per record
// when `headers` is set.
Bytes recordBatch(int64_t baseOffset, const std::vector<std::string> &values, bool headers = false);
// A Fetch reply body (version 11) of one partition holding `records`.
Bytes fetchReplyBody(const std::string &topic, int32_t partition, const Bytes &records);

// One Produce request (version 7) as the fake read it.
struct ProduceRequest {
    struct Partition {
        int32_t partition = -1;
        uint32_t recordsPos = 0; // the record set: raw[recordsPos, recordsEnd)
        uint32_t recordsEnd = 0;
    };
    int32_t correlId = 0;
    int16_t acks = 0;
    int32_t timeoutMs = 0;
    std::string topic;
    std::vector<Partition> partitions;
    Bytes raw; // size field included
};

// Reads a Produce request; false (and what is wrong in `problem`) when its
// fields do not fit its bytes or it holds other than one topic.
bool parseProduce(const FakeRequest &request, ProduceRequest *out, std::string *problem);

// A Produce reply body (behind the correlation id) with one result per
// partition: {partition, error code}.
Bytes produceReplyBody(const std::string &topic,
                       const std::vector<std::pair<int32_t, int16_t>> &results);

// The reply to `request` that accepts every partition but those `errorOf`
// gives a non-zero code.
FakeAction produceAnswer(const ProduceRequest &request,
                         const std::function<int16_t(int32_t partition)> &errorOf);

// Polls `condition` until it holds (true) or `timeoutMs` have passed (false).
bool eventually(const std::function<bool()> &condition, int timeoutMs = 5000);

class FakeCluster {
  public:
    // `leaders`: the leader's node id of partitions 0, 1, ...
    FakeCluster(std::string topic, size_t brokers, std::vector<int32_t> leaders);
    ~FakeCluster();
    FakeCluster(const FakeCluster &) = delete;
    FakeCluster &operator=(const FakeCluster &) = delete;

    // The answer of broker `node` (0-based: node id node + 1) to a Produce
    // request. It runs on the fake's thread with its lock held: it must not
    // call back into the fake.
    using Responder = std::function<FakeAction(size_t node, const ProduceRequest &)>;
    void onProduce(Responder responder);
    void setLeader(int32_t partition, int32_t nodeId);
    // `count` partitions, each led by node id 1.
    void setPartitionCount(size_t count);
    // Answers ApiVersions offering `ranges` (by default it offers none).
    void offerApiVersions(const std::vector<ApiRange> &ranges);
    // Scripted replies per API key: `intercept` sees each request of
    // `apiKey` first and answers it, or leaves it to the cluster (nullopt).
    // It runs on the fake's thread; it may change the cluster's log and
    // offsets, and build the cluster's own answer (joinGroup).
    using Intercept = std::function<std::optional<FakeAction>(size_t node, const FakeRequest &)>;
    void onRequest(int16_t apiKey, Intercept intercept);

    // The consuming side. Appends a batch of `values` to the partition's log.
    void append(int32_t partition, const std::vector<std::string> &values, bool headers = false);
    void setCoordinator(int32_t nodeId); // FindCoordinator's answer (node id 1 by default)
    void setMemberCount(int members);    // the group a known member leads (1 by default)
    void setCommitted(int32_t partition, int64_t offset); // another member's commit
    int64_t committed(int32_t partition);                 // the group's committed offset, or -1
    // The JoinGroup reply body the cluster gives `request`.
    Bytes joinGroup(const FakeRequest &request);
    // Node `node` drops the connection on a Metadata request.
    void dropMetadata(size_t node, bool drop);

    FakeBroker &broker(size_t node) { return *nodes_[node]; }
    std::string bootstrap() const; // host:port of the first node
    const std::string &topic() const { return topic_; }
    int count(size_t node, int16_t apiKey);
    // Waits up to `timeoutMs` until `node` has received `count` Produce requests.
    bool waitForProduce(size_t node, int count, int timeoutMs);
    // The Produce requests that `node` received, in order of arrival.
    std::vector<ProduceRequest> produced(size_t node);

  private:
    FakeAction answer(size_t node, const FakeRequest &request);
    FakeAction answerProduce(size_t node, const FakeRequest &request);
    FakeAction answerConsumer(const FakeRequest &request);
    Bytes metadataBody();
    Bytes listOffsets(const FakeRequest &request);
    Bytes offsetCommit(const FakeRequest &request);
    FakeAction fetch(const FakeRequest &request);

    std::string topic_;
    // The fake threads read what the test sets; recursive, so that an
    // intercept may change the cluster (append, setCommitted) as it answers.
    std::recursive_mutex mutex_;
    std::vector<int32_t> leaders_;
    std::vector<bool> metadataDropped_;
    Responder responder_;
    std::map<int16_t, Intercept> intercepts_;
    Bytes apiVersions_;
    std::map<int32_t, std::vector<std::pair<int64_t, Bytes>>>
        log_; // partition: {base offset, batch}
    std::map<int32_t, int64_t> committed_;
    int32_t coordinator_ = 1;
    int memberCount_ = 1;
    int joins_ = 0;
    std::vector<std::unique_ptr<FakeBroker>> nodes_; // last: their threads read the rest
};

// A session (BQXOPEN, BQXCONN to the cluster) whose calls keep their log
// lines. The reply wait is cut to `waitSeconds` while it lives.
class ClusterSession {
  public:
    explicit ClusterSession(int32_t waitSeconds = 1);
    ~ClusterSession();
    ClusterSession(const ClusterSession &) = delete;
    ClusterSession &operator=(const ClusterSession &) = delete;

    // BQXOPEN, BQXCONF of each of `settings`, and BQXCONN; the log starts empty.
    int32_t connect(FakeCluster &cluster);
    std::vector<std::pair<std::string, std::string>> settings;
    int32_t produce(const std::string &key, const std::string &value, uint32_t convert = 0);
    int32_t sync(int32_t mode, uint32_t sendWindow = 100, uint32_t receiveWindow = 1);
    int32_t close(); // with the statistics lines
    // BQXCONS for `group` until `wanted` values or an error; the values, and
    // in `lines` and `lastRc` the log lines and the last return code.
    std::vector<std::string> consume(const std::string &group, size_t wanted, int32_t timeout,
                                     std::vector<LogLine> *lines = nullptr,
                                     int32_t *lastRc = nullptr);
    // Runs `body` and keeps its log lines.
    void record(const std::function<void()> &body);
    std::vector<LogLine> numbered(const std::string &number) const;

    int32_t handle = -1;
    PCB *pcb = nullptr;
    std::vector<LogLine> log;

  private:
    int32_t savedWaitSeconds_;
};

// An open session (BQXOPEN) whose broker table is built by the test.
// Connected brokers are socket pairs: the library holds one end, the test
// reads requests from and writes replies to the other. The reply wait the
// test sets is restored when the session ends.
class TableSession {
  public:
    TableSession();
    ~TableSession();
    TableSession(const TableSession &) = delete;
    TableSession &operator=(const TableSession &) = delete;

    // Brokers with the given node ids, then the bootstrap and coordinator
    // slots (port 1). `connected[i]` gives broker i a socket pair.
    void brokers(const std::vector<int32_t> &ids, const std::vector<bool> &connected);
    // `count` unconnected entries on 127.0.0.1:`port`, broker ids 0, 1, ...
    void table(uint32_t count, int port = 9092);
    void setHost(uint32_t index, const char *host, int port);
    void connect(uint32_t index); // a socket pair for entry `index`
    int attach(uint32_t index);   // the same; returns the test's end
    // Partition entries {partition id, leader id, broker index}.
    void partitions(const std::vector<std::array<int32_t, 3>> &rows);
    void topic(const std::string &name);
    // The next request that broker `index` received, or nothing.
    ByteVec takeRequest(uint32_t index);
    // Places a reply in the socket of broker `index` before it is asked.
    void preReply(uint32_t index, const ByteVec &reply);
    // A request for entry `index` as the header builder makes it: the
    // entry's next correlation id and the client id "BqX".
    ByteVec request(uint32_t index, int16_t key, int16_t version, const ByteVec &body = {});
    // Such a request, queued by kafka_sendqueue (ApiVersions as version 3).
    int32_t queue(uint32_t index, int16_t key, int32_t wait, const ByteVec &body = {});
    BrokerEntry &entry(uint32_t index) { return pcb->pBrokerList[index]; }
    // Holds the global lock, as every caller of the library's request
    // functions does, until the session ends.
    void holdLock();

    int32_t handle = -1;
    PCB *pcb = nullptr;
    std::vector<int> peers; // the test's end of each entry's socket pair, or -1

  private:
    void retirePeers();
    int32_t savedWaitSeconds_;
    bool locked_ = false;
    std::vector<int> retired_; // ends of replaced socket pairs, closed at the end
};

} // namespace bqxtest

#endif
