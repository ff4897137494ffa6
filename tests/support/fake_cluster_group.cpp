// The consuming side of the fake cluster: group coordinator, committed
// offsets, ListOffsets and Fetch served from each partition's log.
#include "support/fake_cluster.h"

#include "support/fetch_reply_builder.h"
#include "support/protocol_support.h"

namespace bqxtest {

namespace {

int64_t recordCount(const Bytes &batch) { return readBe32(batch.data() + 57); }

} // namespace

const std::vector<ApiRange> &consumerApiRanges() {
    static const std::vector<ApiRange> ranges = {
        {0, 0, 9},  {1, 4, 13}, {2, 0, 9},  {3, 0, 12}, {8, 0, 9},  {9, 0, 9},  {10, 0, 6},
        {11, 0, 9}, {12, 0, 4}, {13, 0, 5}, {14, 0, 5}, {17, 0, 1}, {18, 0, 4}, {36, 0, 2}};
    return ranges;
}

Bytes recordBatch(int64_t baseOffset, const std::vector<std::string> &values, bool headers) {
    TestBatch batch{baseOffset, {}};
    for (size_t i = 0; i < values.size(); ++i) {
        batch.records.push_back({static_cast<int32_t>(i), values[i]});
        if (headers)
            batch.records.back().headers = {{"trace", std::string("abc")}};
    }
    return encodeBatch(batch);
}

Bytes fetchReplyBody(const std::string &topic, int32_t partition, const Bytes &records) {
    TestReply reply;
    reply.partition = partition;
    reply.records = records;
    reply.topic = topic;
    return bodyOf(fetchReply(0, reply));
}

void FakeCluster::append(int32_t partition, const std::vector<std::string> &values, bool headers) {
    std::lock_guard<std::recursive_mutex> lock(mutex_);
    auto &batches = log_[partition];
    int64_t next = 0;
    if (!batches.empty())
        next = batches.back().first + recordCount(batches.back().second);
    batches.push_back({next, recordBatch(next, values, headers)});
}

void FakeCluster::setCoordinator(int32_t nodeId) {
    std::lock_guard<std::recursive_mutex> lock(mutex_);
    coordinator_ = nodeId;
}

void FakeCluster::setCommitted(int32_t partition, int64_t offset) {
    std::lock_guard<std::recursive_mutex> lock(mutex_);
    committed_[partition] = offset;
}

int64_t FakeCluster::committed(int32_t partition) {
    std::lock_guard<std::recursive_mutex> lock(mutex_);
    auto found = committed_.find(partition);
    return found == committed_.end() ? -1 : found->second;
}

void FakeCluster::setMemberCount(int members) {
    std::lock_guard<std::recursive_mutex> lock(mutex_);
    memberCount_ = members;
}

FakeAction FakeCluster::answerConsumer(const FakeRequest &request) {
    switch (request.apiKey) {
    case kFindCoordinatorKey: {
        size_t node = coordinator_ >= 1 && static_cast<size_t>(coordinator_) <= nodes_.size()
                          ? static_cast<size_t>(coordinator_ - 1)
                          : 0;
        return FakeAction::reply(
            bodyOf(findCoordinatorReply(0, 0, coordinator_, "127.0.0.1", nodes_[node]->port())));
    }
    case kJoinGroupKey:
        return FakeAction::reply(joinGroup(request));
    case kSyncGroupKey: {
        std::vector<int32_t> ids;
        for (size_t p = 0; p < leaders_.size(); ++p)
            ids.push_back(static_cast<int32_t>(p));
        return FakeAction::reply(bodyOf(syncGroupReply(0, 0, assignmentBytes(topic_, ids))));
    }
    case kOffsetFetchKey: {
        std::vector<FetchedOffset> offsets;
        for (size_t p = 0; p < leaders_.size(); ++p) {
            auto found = committed_.find(static_cast<int32_t>(p));
            offsets.push_back(
                {static_cast<int32_t>(p), found == committed_.end() ? -1 : found->second});
        }
        return FakeAction::reply(bodyOf(offsetFetchReply(0, offsets, 0, true, topic_)));
    }
    case kListOffsetsKey:
        return FakeAction::reply(listOffsets(request));
    case kFetchKey:
        return fetch(request);
    case kHeartbeatKey:
        return FakeAction::reply(bodyOf(heartbeatReply(0, 0)));
    case kOffsetCommitKey:
        return FakeAction::reply(offsetCommit(request));
    case kLeaveGroupKey:
        return FakeAction::reply(bodyOf(leaveGroupReply(0, 0)));
    }
    return FakeAction::noReply();
}

// A new member (empty member id) is first handed its id with error 79; a
// known one leads a group of `memberCount_` members.
Bytes FakeCluster::joinGroup(const FakeRequest &request) {
    std::lock_guard<std::recursive_mutex> lock(mutex_);
    RequestReader in{request.raw};
    in.str(); // group id
    in.be(4); // session time-out
    in.be(4); // rebalance time-out
    std::string member = in.str();
    ++joins_;
    if (member.empty() || member == "<null>")
        return bodyOf(joinGroupReply(0, 79, -1, "", "member-" + std::to_string(joins_), {}));
    std::vector<JoinMember> members;
    for (int m = 0; m < memberCount_; ++m)
        members.push_back({m == 0 ? member : "other-" + std::to_string(m), ""});
    return bodyOf(joinGroupReply(0, 0, joins_, member, member, members));
}

// Every partition's earliest offset is 0.
Bytes FakeCluster::listOffsets(const FakeRequest &request) {
    RequestReader in{request.raw};
    in.be(4); // replica id
    in.be(4); // topic count
    in.str(); // topic
    in.be(4); // partition count
    int32_t partition = static_cast<int32_t>(in.be(4));
    int64_t timestamp = in.be(8); // -2 earliest, -1 latest: the log's end
    int64_t offset = 0;
    const auto &batches = log_[partition];
    if (timestamp == -1 && !batches.empty())
        offset = batches.back().first + recordCount(batches.back().second);
    return bodyOf(
        listOffsetsReply(0, request.apiVersion >= 1 ? 1 : 0, topic_, {{partition, 0, offset}}));
}

// Remembers the offsets of an OffsetCommit (version 8) request.
Bytes FakeCluster::offsetCommit(const FakeRequest &request) {
    RequestReader in{request.raw};
    in.uvarint(); // header tags
    in.compact(); // group id
    in.be(4);     // generation
    in.compact(); // member id
    in.compact(); // group instance id
    in.uvarint(); // topic count
    in.compact(); // topic
    uint64_t count = in.uvarint() - 1;
    for (uint64_t i = 0; i < count && in.ok; ++i) {
        int32_t partition = static_cast<int32_t>(in.be(4));
        int64_t offset = in.be(8);
        in.be(4);     // leader epoch
        in.compact(); // metadata
        in.uvarint(); // tags
        if (in.ok)
            committed_[partition] = offset;
    }
    return bodyOf(offsetCommitReply(0, {}, topic_));
}

// The batches from the asked offset on; an empty reply after a short pause
// when there are none (a real broker waits up to its max_wait_ms).
FakeAction FakeCluster::fetch(const FakeRequest &request) {
    RequestReader in{request.raw};
    in.pos += 4 + 4 + 4 + 4 + 1 + 4 + 4 + 4; // up to the topic name
    in.str();                                // topic
    in.be(4);                                // partition count
    int32_t partition = static_cast<int32_t>(in.be(4));
    in.be(4); // current leader epoch
    int64_t offset = in.be(8);
    Bytes records;
    for (auto &[base, batch] : log_[partition])
        if (base + recordCount(batch) > offset)
            records.insert(records.end(), batch.begin(), batch.end());
    FakeAction action = FakeAction::reply(fetchReplyBody(topic_, partition, records));
    return records.empty() ? action.delayed(20) : action;
}

} // namespace bqxtest
