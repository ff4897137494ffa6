#include "support/fake_cluster.h"

#include <chrono>
#include <thread>

#include "api/session.h"
#include "bqx.h"
#include "transport/transport.h"
#include "support/protocol_support.h"

namespace bqxtest {

bool parseProduce(const FakeRequest &request, ProduceRequest *out, std::string *problem) {
    *out = ProduceRequest{};
    out->raw = request.raw;
    out->correlId = request.correlId;
    RequestReader in{out->raw}; // from behind the header
    in.str();                   // transactional id
    out->acks = static_cast<int16_t>(in.be(2));
    out->timeoutMs = static_cast<int32_t>(in.be(4));
    if (in.be(4) != 1) {
        *problem = "not one topic";
        return false;
    }
    out->topic = in.str();
    int64_t partitions = in.be(4);
    for (int64_t i = 0; in.ok && i < partitions; ++i) {
        ProduceRequest::Partition partition;
        partition.partition = static_cast<int32_t>(in.be(4));
        int64_t size = in.be(4);
        if (!in.ok || size < 0 || out->raw.size() - in.pos < static_cast<size_t>(size)) {
            *problem = "record set beyond the request";
            return false;
        }
        partition.recordsPos = static_cast<uint32_t>(in.pos);
        in.pos += static_cast<size_t>(size);
        partition.recordsEnd = static_cast<uint32_t>(in.pos);
        out->partitions.push_back(partition);
    }
    if (!in.ok || in.pos != out->raw.size()) {
        *problem = in.ok ? "bytes behind the last partition" : "request cut off";
        return false;
    }
    return true;
}

Bytes produceReplyBody(const std::string &topic,
                       const std::vector<std::pair<int32_t, int16_t>> &results) {
    WireBytes w;
    w.i32(1).str(topic).i32(static_cast<int64_t>(results.size()));
    for (const auto &[partition, error] : results)
        w.i32(partition).i16(error).i64(error ? -1 : 42).i64(-1).i64(0);
    return w.i32(0).bytes; // throttle time
}

FakeAction produceAnswer(const ProduceRequest &request,
                         const std::function<int16_t(int32_t partition)> &errorOf) {
    std::vector<std::pair<int32_t, int16_t>> results;
    for (const ProduceRequest::Partition &p : request.partitions)
        results.push_back({p.partition, errorOf(p.partition)});
    return FakeAction::reply(produceReplyBody(request.topic, results));
}

const std::vector<ApiRange> &idempotentApiRanges() {
    static const std::vector<ApiRange> ranges = [] {
        std::vector<ApiRange> all = consumerApiRanges();
        all.push_back({22, 0, 5});
        return all;
    }();
    return ranges;
}

Bytes initProducerIdBody(int16_t version, int16_t errorCode, int64_t producerId, int16_t epoch) {
    WireBytes w;
    if (version >= 2)
        w.i8(0); // header tags
    w.i32(0).i16(errorCode).i64(producerId).i16(epoch);
    if (version >= 2)
        w.i8(0);
    return w.bytes;
}

FakeCluster::FakeCluster(std::string topic, size_t brokers, std::vector<int32_t> leaders)
    : topic_(std::move(topic)), leaders_(std::move(leaders)), metadataDropped_(brokers, false),
      apiVersions_(apiVersionsBody()) {
    for (size_t node = 0; node < brokers; ++node) {
        nodes_.push_back(std::make_unique<FakeBroker>());
        nodes_.back()->respond([this, node](const FakeRequest &r) { return answer(node, r); });
    }
}

FakeCluster::~FakeCluster() { nodes_.clear(); } // the fake threads end first

void FakeCluster::onProduce(Responder responder) {
    std::lock_guard<std::recursive_mutex> lock(mutex_);
    responder_ = std::move(responder);
}

void FakeCluster::setLeader(int32_t partition, int32_t nodeId) {
    std::lock_guard<std::recursive_mutex> lock(mutex_);
    leaders_.at(static_cast<size_t>(partition)) = nodeId;
}

void FakeCluster::setPartitionCount(size_t count) {
    std::lock_guard<std::recursive_mutex> lock(mutex_);
    leaders_.assign(count, 1);
}

void FakeCluster::offerApiVersions(const std::vector<ApiRange> &ranges) {
    std::lock_guard<std::recursive_mutex> lock(mutex_);
    apiVersions_ = apiVersionsBody(0, ranges);
}

void FakeCluster::onRequest(int16_t apiKey, Intercept intercept) {
    std::lock_guard<std::recursive_mutex> lock(mutex_);
    intercepts_[apiKey] = std::move(intercept);
}

void FakeCluster::dropMetadata(size_t node, bool drop) {
    std::lock_guard<std::recursive_mutex> lock(mutex_);
    metadataDropped_.at(node) = drop;
}

std::string FakeCluster::bootstrap() const {
    return "127.0.0.1:" + std::to_string(nodes_[0]->port());
}

int FakeCluster::count(size_t node, int16_t apiKey) {
    int found = 0;
    for (const FakeRequest &r : nodes_[node]->requests()) found += r.apiKey == apiKey;
    return found;
}

bool eventually(const std::function<bool()> &condition, int timeoutMs) {
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (!condition()) {
        if (std::chrono::steady_clock::now() > end) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
}

bool FakeCluster::waitForProduce(size_t node, int wanted, int timeoutMs) {
    return eventually([&] { return count(node, kProduceKey) >= wanted; }, timeoutMs);
}

std::vector<ProduceRequest> FakeCluster::produced(size_t node) {
    std::vector<ProduceRequest> requests;
    for (const FakeRequest &r : nodes_[node]->requests()) {
        if (r.apiKey != kProduceKey) continue;
        ProduceRequest request;
        std::string problem;
        EXPECT_TRUE(parseProduce(r, &request, &problem)) << problem;
        requests.push_back(std::move(request));
    }
    return requests;
}

Bytes FakeCluster::metadataBody() {
    std::vector<MetaBroker> brokers;
    std::vector<int32_t> all;
    for (size_t n = 0; n < nodes_.size(); ++n) {
        int32_t id = static_cast<int32_t>(n + 1);
        brokers.push_back({id, "127.0.0.1", nodes_[n]->port()});
        all.push_back(id);
    }
    std::vector<MetaPartition> partitions;
    for (size_t p = 0; p < leaders_.size(); ++p)
        partitions.push_back({static_cast<int32_t>(p), leaders_[p], all, all});
    return bodyOf(metadataReply(0, brokers, 0, topic_, partitions));
}

FakeAction FakeCluster::answer(size_t node, const FakeRequest &request) {
    std::lock_guard<std::recursive_mutex> lock(mutex_);
    auto intercept = intercepts_.find(request.apiKey);
    if (intercept != intercepts_.end())
        if (std::optional<FakeAction> action = intercept->second(node, request))
            return *action;
    if (request.apiKey == kApiVersionsKey)
        return FakeAction::reply(apiVersions_);
    if (request.apiKey == kMetadataKey)
        return metadataDropped_[node] ? FakeAction::close() : FakeAction::reply(metadataBody());
    if (request.apiKey == kProduceKey)
        return answerProduce(node, request);
    if (request.apiKey == kInitProducerIdKey)
        return FakeAction::reply(initProducerIdBody(request.apiVersion, 0, kFakeProducerId, 0));
    return answerConsumer(request);
}

FakeAction FakeCluster::answerProduce(size_t node, const FakeRequest &request) {
    ProduceRequest produce;
    std::string problem;
    if (!parseProduce(request, &produce, &problem)) {
        ADD_FAILURE() << "Produce request: " << problem;
        return FakeAction::close();
    }
    if (responder_) return responder_(node, produce);
    return produceAnswer(produce, [](int32_t) { return int16_t{0}; });
}

ClusterSession::ClusterSession(int32_t waitSeconds) : savedWaitSeconds_(gi32ReplyWaitSeconds) {
    gi32ReplyWaitSeconds = waitSeconds;
}

ClusterSession::~ClusterSession() {
    if (handle >= 0) captureLines([&] { BQXCLSE(handle); });
    gi32ReplyWaitSeconds = savedWaitSeconds_;
}

int32_t ClusterSession::connect(FakeCluster &cluster) {
    captureLines([&] { handle = BQXOPEN(); });
    if (handle < 0) return -1;
    pcb = get_BQXPCB(handle);
    std::string bootstrap = cluster.bootstrap();
    int32_t rc = -1;
    for (const auto &[name, value] : settings)
        EXPECT_EQ(BQXCONF(handle, name.data(), static_cast<int32_t>(name.size()), value.data(),
                          static_cast<int32_t>(value.size())),
                  0)
            << name;
    record([&] {
        rc = BQXCONN(handle, bootstrap.data(), static_cast<int32_t>(bootstrap.size()),
                     cluster.topic().data(), static_cast<int32_t>(cluster.topic().size()));
    });
    log.clear();
    return rc;
}

int32_t ClusterSession::produce(const std::string &key, const std::string &value,
                                uint32_t convert) {
    int32_t rc = -1;
    record([&] {
        rc = BQXPROD(handle, key.data(), static_cast<uint32_t>(key.size()), value.data(),
                     static_cast<uint32_t>(value.size()), convert);
    });
    return rc;
}

int32_t ClusterSession::sync(int32_t mode, uint32_t sendWindow, uint32_t receiveWindow) {
    int32_t rc = -1;
    record([&] { rc = BQXSYNC(handle, mode, sendWindow, receiveWindow); });
    return rc;
}

int32_t ClusterSession::close() {
    pcb->iDebugLevel = 1; // the statistics lines
    int32_t rc = -1;
    record([&] { rc = BQXCLSE(handle); });
    handle = -1;
    pcb = nullptr;
    return rc;
}

std::vector<std::string> ClusterSession::consume(const std::string &group, size_t wanted,
                                                 int32_t timeout, std::vector<LogLine> *lines,
                                                 int32_t *lastRc) {
    std::vector<std::string> values;
    int32_t rc = 0;
    std::vector<LogLine> consumed = captureLog([&] {
        std::vector<char> buffer(1025);
        while (values.size() < wanted) {
            uint32_t length = 1024;
            rc = BQXCONS(handle, group.data(), static_cast<int32_t>(group.size()), buffer.data(),
                         &length, 0, timeout);
            if (rc != 0)
                break;
            values.emplace_back(buffer.data(), length);
        }
    });
    if (lines)
        *lines = consumed;
    if (lastRc)
        *lastRc = rc;
    return values;
}

void ClusterSession::record(const std::function<void()> &body) {
    for (const LogLine &line : captureLog(body)) log.push_back(line);
}

std::vector<LogLine> ClusterSession::numbered(const std::string &number) const {
    std::vector<LogLine> lines;
    for (const LogLine &line : log)
        if (line.number == number) lines.push_back(line);
    return lines;
}

} // namespace bqxtest
