// The session control block and the records it owns: the broker table, the
// partition list and the queue of requests awaiting their replies.
#ifndef BQX_API_PCB_H
#define BQX_API_PCB_H

#include <iconv.h>
#include <pthread.h>
#include <stdint.h>
#include <time.h>

#include "bqx.h"

// OpenSSL's connection and context records; only lib/transport/tls.cpp
// looks inside.
struct ssl_st;
struct ssl_ctx_st;

constexpr int kMaxMembers = 16;     // group members a leader keeps
constexpr int kMaxKeyLen = 31;      // message key bytes kept in szMsgKey
constexpr uint32_t kMaxWholeKeyLen = 1024; // key bytes the murmur2 partitioner sends
constexpr int kLastErrorSize = 256; // szLastError, NUL included

// A request that was sent and awaits its reply. One allocation holds the
// record and the copy of the request (size field included).
struct PendingRequest {
    PendingRequest *pNext;
    uint32_t u32CorrelID;
    uint32_t u32Length; // bytes in abRequest
    uint8_t abRequest[];
};

struct ScramState; // protocol/sasl_scram.h

// API keys whose version range a broker entry keeps from ApiVersions.
constexpr int kApiKeyLimit = 37;

// One partition's part of a kept Fetch reply, with its reading position.
// It belongs to the partition and offset its Fetch asked for. The reply
// itself is not copied: every part of it points into the one reply buffer
// the transport read it into, which lives until its last part is released
// (transport_reply_retain / transport_reply_release).
struct FetchReplyBuffer {
    uint32_t u32ReplyCorrelID;
    uint32_t u32ReplySize;
    uint32_t u32ReadPos;
    int32_t i32PartitionIdx; // partition-list index the Fetch was sent for, -1 unknown
    int64_t i64FetchOffset;  // fetch_offset of that request
    const uint8_t *pReply;   // the whole reply (size field included), shared
    uint32_t u32Length;      // bytes at pReply
    // Where this partition's section starts in a reply that names several
    // partitions; 0 when the reply's first section is the one.
    uint32_t u32SectionPos;
    uint32_t u32Bytes; // what the part counts against the session's bound
    // Decoding state, valid once the header has been read (fetch_head_read).
    uint32_t u32RecordsEnd;      // behind the partition's records
    uint32_t u32AbortedPos;      // first aborted-transaction entry
    uint32_t u32AbortedCount;
    uint32_t u32BatchEnd;        // behind the batch being handed out, 0 between batches
    uint32_t u32RecordsLeft;     // records of that batch not yet read
    int64_t i64BatchBaseOffset;
    int64_t i64BatchLastOffset;
    // The timestamp the batch's records count from; with log-append time
    // (batch attribute bit 3) it is every record's timestamp.
    int64_t i64BatchTimestamp;
    uint32_t u32BatchLogAppendTime;
    int64_t i64NextOffset;       // partition offset the buffer continues from
    // A compressed batch's records are inflated into pInflated (malloc'd)
    // and handed out from there; reading goes on in the reply at
    // u32ResumePos, behind the batch, once they are used up (0: none).
    uint8_t *pInflated;
    uint32_t u32ResumePos;
    uint32_t u32InflatedBytes; // inflating work spent on this reply so far
    uint32_t u32ExpectedCorrelID; // correlation id of the Fetch it answers, 0 unknown
    // The broker's kept replies form a queue, one buffer per partition of
    // each reply, oldest first: the next one was fetched while this one
    // is read.
    FetchReplyBuffer *pNext;
};

struct BrokerEntry {
    char *pszHost;
    int32_t i32Port;
    int32_t i32BrokerID;
    int32_t i32Socket; // -1 when not connected
    struct ssl_st *pTls; // the TLS layer over i32Socket, null on plaintext
    uint32_t u32LastCorrelID;
    uint32_t u32FetchCorrelID;
    PendingRequest *pPendingHead;
    PendingRequest *pPendingTail;
    uint32_t u32PendingCount;
    FetchReplyBuffer *pReplyBuffer;
    // A reply whose size field is in and whose body is still arriving: its
    // buffer (transport_reply_alloc), its whole length and the bytes in so
    // far. A polling wait reads what has come and leaves the rest for a
    // later wait, so that a consumer reads buffered records meanwhile. Null
    // when none; freed with the connection.
    uint8_t *pPartialReply;
    uint32_t u32PartialLength;
    uint32_t u32PartialReceived;

    // The first partition (list index) the outstanding Fetch names, and its
    // offset; meaningful while u32FetchCorrelID is not 0. The next Fetch
    // starts its list after it, so that every partition comes first in turn.
    int32_t i32FetchPartitionIdx;
    int64_t i64FetchOffset;

    // Version ranges from this connection's ApiVersions reply; -1 when the
    // broker does not offer the key. Valid only while u32ApiVersionsKnown.
    uint32_t u32ApiVersionsKnown;
    int16_t ai16ApiMinVersion[kApiKeyLimit];
    int16_t ai16ApiMaxVersion[kApiKeyLimit];

    // SASL on this connection, set by its reply handlers: 1 once the broker
    // accepted the mechanism, 2 once it accepted the credentials. Lets the
    // connection step tell its own handshake's outcome from errors of other
    // brokers' replies dispatched by the same wait.
    uint32_t u32SaslStep;
    // The mechanism of this connection (SaslMechanism): PLAIN until the
    // broker refuses it and offers SCRAM. The SCRAM exchange's state is
    // wiped and freed with the connection.
    uint32_t u32SaslMechanism;
    ScramState *pScram;

    // Connect failures in a row (one logged per episode) and the monotonic
    // ms before which a producing session does not try again (back-off).
    uint32_t u32ConnectFailures;
    int64_t i64ConnectRetryMs;
};

struct PartitionEntry {
    int32_t i32Partition;
    int32_t i32Leader;
    int32_t i32BrokerIdx; // -1 when the leader is not in the broker table
    int32_t i32Isr;
    int64_t i64Offset; // next offset to fetch, -1 unknown
    int64_t i64CommitOffset;
    int64_t i64CommittedOffset;
    uint16_t u16PartErrorCode;
    uint32_t u32Assigned;
    int64_t i64RetryAtMs;    // monotonic ms before which the partition is not fetched
    uint32_t u32FetchErrors; // consecutive failed fetch rounds
    int64_t i64LastFetchOffset; // offset of the partition's last Fetch
    uint32_t u32Fetched;        // a Fetch was sent since the list was built
    // Prefetch: the offset the next Fetch asks for when u32HasFetchNext is
    // set (behind the batches already buffered or in flight), else
    // i64Offset. Reset whenever the position moves any other way.
    uint32_t u32HasFetchNext;
    int64_t i64FetchNext;
    uint32_t u32RequestedCorrel; // the Fetch that names the partition, 0 none
    int64_t i64RequestedOffset;  // the offset that Fetch asks for
    uint32_t u32Drained;         // its last reply brought no complete batch
    int64_t i64HighWatermark;   // from the last Fetch reply, -1 unknown (lag statistics)
};

// A record batch of an idempotent session (synch modes 1 and 4), stamped
// with the producer id, epoch and its partition's sequence and kept byte
// for byte, from its baseOffset on, until the partition's leader has
// acknowledged it: a retry sends exactly these bytes, so that the broker
// can tell it from a new batch and never stores it twice.
struct SealedBatch {
    uint8_t *pBytes;
    uint32_t u32Length;
    uint32_t u32Records;
    int64_t i64ProducerId;
    int32_t i32Sequence;
    int16_t i16Epoch;
    uint8_t u8InFlight;     // sent; its reply (or the loss of its connection) is awaited
    uint8_t u8MaybeWritten; // an attempt ended without a verdict (lost connection, time-out)
    int32_t i32Broker;      // broker index of the attempt in flight
    uint32_t u32CorrelID;
    uint32_t u32Round;     // the partition's retry round the attempt belongs to
    int32_t i32LastError;  // the Kafka error or library result of the last attempt, 0 none
    int64_t i64DeadlineMs; // monotonic ms at which its records fail (delivery timeout)
    int64_t i64SentMs;     // monotonic ms of the attempt in flight
};

// One partition's open batch in synch mode 4: its records encoded back to
// back, as they follow the record batch header on the wire. The entry of
// the partition also holds the records a broker refused as too large,
// re-batched smaller; they go out, oldest first, before the open batch.
struct ProduceBatch {
    int32_t i32Partition;
    uint32_t u32Records;
    uint32_t u32Length; // bytes in pRecords
    uint32_t u32Capacity;
    int64_t i64FirstTimestamp;
    int64_t i64MaxTimestamp;
    uint8_t *pRecords;
    ProduceBatch *pResend; // refused records in smaller batches (partition entry only)
    uint32_t u32ResendCount;
    // A batch larger than any the topic has accepted is in flight in the
    // request of this broker index and correlation id (-1: none): nothing
    // later of the partition is sent until its reply says whether it was
    // stored.
    int32_t i32ProbeBroker;
    uint32_t u32ProbeCorrelID;
    int64_t i64FirstAppendMs; // monotonic ms of the first record: its delivery deadline counts from
                              // here
    // The batch's bytes as marshalled into a request (compressed when the
    // session compresses), 0 when compressing it failed.
    uint32_t u32WireBytes;
    // Idempotent sessions (partition entry only): the batches sent and not
    // yet acknowledged, in sequence order; the sequence of the next batch
    // and the producer id and epoch it belongs to; the retry round, raised
    // at each failed attempt.
    SealedBatch *pSealed;
    uint32_t u32SealedCount;
    int32_t i32NextSequence;
    int64_t i64ProducerId;
    int16_t i16Epoch;
    uint32_t u32Round;
    uint32_t u32EpochAcked; // a batch of the current epoch was acknowledged
    uint32_t u32NewIdDue;   // the epochs of its producer id ran out: a new id is wanted
};

// The topics one group member subscribes to, as its JoinGroup metadata
// names them (kept by the leader).
struct MemberTopics {
    char **apszTopics;
    uint32_t u32Count;
};

// The partition count of a topic other than the session's own that a
// member subscribes to (kept by the leader; -1: unknown).
struct TopicPartitionCount {
    char *pszTopic;
    int32_t i32Partitions;
};

// How a keyed message's partition is chosen.
enum KeyPartitioner : uint32_t {
    kPartitionerDjb = 0,     // djb hash of the key's first 31 bytes
    kPartitionerMurmur2 = 1, // the Java client's murmur2 over the whole key
};

// The per-session overrides of the BQX_SSL_* variables, by index.
enum SslFile : uint32_t { kSslCaFile, kSslCertFile, kSslKeyFile, kSslKeyPassword, kSslFileCount };

// The delivered message's metadata. Flags: bit 0 the value was null, bit 1
// the key was null.
constexpr uint32_t kDeliveredValueNull = 1;
constexpr uint32_t kDeliveredKeyNull = 2;
struct DeliveredMessage {
    uint32_t u32Valid; // the last BQXCONS handed this message out
    char *pKey;        // heap copy of the key, null when it had none
    uint32_t u32KeyLen;
    int32_t i32Partition;
    int64_t i64Offset;
    int64_t i64Timestamp;
    uint32_t u32Flags;
};

struct PCB {
    // Consumer-group membership and the message key.
    uint32_t u32ConsumerLoadBalancing;
    int32_t i32GenerationID;
    int32_t i32CoordinatorID;
    char *pszGroupID;
    char szMsgKey[kMaxKeyLen + 1];
    uint32_t u32NumMembers;
    uint32_t u32IsLeader;
    char *pszMemberID;
    char *apszMembers[kMaxMembers];
    MemberTopics aMemberTopics[kMaxMembers]; // subscriptions of apszMembers
    TopicPartitionCount *pOtherTopics;       // the members' topics besides pszTopic
    uint32_t u32OtherTopics;

    // Connection and topic state.
    uint32_t u32Timeout;
    uint32_t u32PartitionCount;
    uint32_t u32PartitionListIdx;
    uint32_t u32FetchListIdx;
    // Fetch sizes: the most one Fetch reply may carry, and the most for one
    // partition in it (fetch.max.bytes and max.partition.fetch.bytes;
    // 0: the defaults, 50 MiB and 1 MiB).
    uint32_t u32FetchMaxBytes;
    uint32_t u32PartitionFetchMaxBytes;
    uint32_t u32CheckCrcs;     // check.crcs: the CRC-32C of every fetched batch is checked
    uint32_t u32BufferedReads; // consume calls served from buffers since the last full round
    // The reply the transport is dispatching (serveEntry), which a handler
    // may keep with transport_reply_retain; null otherwise.
    const uint8_t *pDispatchedReply;
    uint32_t u32BrokerCount;
    BrokerEntry *pBrokerList;
    PartitionEntry *pPartitionList;

    // Settings, conversion, last error, credentials and flags.
    int32_t iDebugLevel;
    uint32_t u32Convert;
    iconv_t cdEncode; // local code page to UTF-8
    iconv_t cdDecode; // UTF-8 to local code page
    uint32_t u32SendWindow;
    uint32_t u32ReceiveWindow;
    uint32_t u32UncommittedMsgs;
    int32_t i32LastError;
    char szLastError[kLastErrorSize];
    uint16_t u16LastKafkaError;
    char *pszTopic;
    char *pszSaslUser;
    char *pszSaslPassword;
    uint32_t u32SaslEnabled;
    uint32_t u32Synchronous;
    uint32_t u32ShuttingDown;
    uint32_t u32RejoinNeeded;
    int16_t i16Acks;
    time_t tLastHeartbeat;

    // Statistics, milliseconds or counts.
    uint64_t ullStartTime;
    uint64_t ullSndTime;
    uint64_t ullRcvTime;
    uint64_t ullMarshallTime;
    uint64_t ullUnmarshallTime;
    uint64_t ullWaitTime;
    uint64_t ullMsgsProduced;
    uint64_t ullMsgsFailed; // produced messages that failed, over the session
    uint64_t ullMsgsConsumed;
    uint64_t ullSendWinExh;
    uint64_t ullSends;
    uint64_t ullRcvs;
    uint64_t ullSndBytes;
    uint64_t ullRcvBytes;
    uint64_t ullSelWait;
    uint64_t ullSelNoWait;

    // Consumer state beyond the fields above.
    uint32_t u32GroupJoined;       // joined and synced: the heartbeat thread may send
    uint32_t u32CoordinatorLost;   // find the coordinator again before rejoining
    uint32_t u32CommitDue;         // delivered messages wait for their commit
    uint32_t u32MetadataStale;     // a partition's leader moved: refresh Metadata
    int32_t i32ReplyWaitSeconds;   // > 0: reply waits of this session last this long
    int64_t i64ConsumeDeadlineMs;  // monotonic ms at which the running consume ends, 0 none
    uint32_t u32MetadataMerge;     // Metadata replies merge into the tables (a refresh was sent)
    // The topic's Metadata is asked for again once it is older than
    // u32MetadataMaxAgeMs (metadata.max.age.ms, default 300,000), so that
    // partitions added to the topic are seen; BQXCONS and BQXPROD check it.
    uint32_t u32MetadataMaxAgeMs;
    int64_t i64MetadataAtMs; // monotonic ms of the last Metadata reply taken in
    // The JoinGroup wait: readiness waits of this session end by
    // i64WaitDeadlineMs (> 0), the caller's deadline, and a JoinGroup still
    // unanswered then stays pending for the next call. i32JoinResult is the
    // handler's result of the last JoinGroup reply (7500 until it came).
    int64_t i64WaitDeadlineMs;
    int32_t i32JoinResult;
    uint16_t u16JoinError; // the Kafka error of that reply
    int64_t i64JoinSentMs; // monotonic ms at which the pending JoinGroup went out

    // Calls inside the session, for closing and reconnecting safely while
    // other threads wait in calls of the same session (lock released).
    uint32_t u32CallsInside;   // entry-point calls running in the session
    uint32_t u32ClaimWaiters;  // calls waiting to have the session to themselves
    uint32_t u32Closing;       // BQXCLSE or BQXTERM has begun: new calls get 7502
    uint32_t u32Exclusive;     // one call (tExclusiveOwner) has the session to itself
    pthread_t tExclusiveOwner;
    uint32_t u32WakeOpen;      // ai32WakePipe is open
    int32_t ai32WakePipe[2];   // written to wake the session's waits early
    uint32_t u32Connecting;    // a call is connecting a broker entry (lock released)

    // Produce failover: the leader error (3, 5 or 6: the message was not
    // written) of the last Produce reply, 0 when it had none.
    int16_t i16ProduceLeaderError;

    // Produce failures since the last synch point (BQXSYNC mode 1 or 2, BQXCONN,
    // the close): how many messages failed, and the result of the first.
    uint64_t ullProduceFailed;
    int32_t i32ProduceFirstError;

    // Synch mode 4: records collect in one open batch per partition, indexed
    // by partition id, and go out while their leader has room in the window.
    uint32_t u32Batched;
    uint32_t u32ProduceBatchCount; // entries in pProduceBatches
    ProduceBatch *pProduceBatches;
    uint64_t ullBatchedRecords; // records in open batches and awaiting a resend
    // Whole-batch bytes: the limit batches are built to (0: the default,
    // until a broker refuses a batch as too large) and the largest batch the
    // topic has accepted.
    uint32_t u32BatchLimit;
    uint32_t u32BatchProven;
    uint32_t u32UncheckedBytes;    // appended since replies were last looked for

    // TLS: set by BQXCONN from the bootstrap text's SSL:// or SASL_SSL://;
    // every broker connection of the session then runs over TLS, with the
    // trust store and client certificate of the context.
    uint32_t u32Tls;
    struct ssl_ctx_st *pTlsContext;

    // Settings by name (BQXCONF, api/bqxconf.cpp); zero is each default.
    char *pszClientId;                 // request header client id; null: gpszClientID
    uint32_t u32OffsetResetLatest;     // a partition without an offset starts at its end
    uint32_t u32Partitioner;           // KeyPartitioner
    uint32_t u32SaslMechanismSet;      // 0: PLAIN first; else the one mechanism offered + 1
    char *apszSslFiles[kSslFileCount]; // SslFile: overrides of the BQX_SSL_* variables
    uint32_t u32StatsIntervalMs;       // > 0: statistics lines every interval
    uint32_t u32CompressionType;       // compression.type: the batch codec id, 0 none
    uint32_t u32CompressionLevel;      // compression.level + 1; 0 is -1, the codec's default
    struct DeflateContext *pDeflate;   // the compressors' reusable state (codec/deflate.h)
    int64_t i64StatsDueMs;             // monotonic ms of the next statistics lines

    // The whole key of the message being produced with the murmur2
    // partitioner (szMsgKey keeps only 31 bytes), and whether the session
    // has warned once that the default partitioner cut a key.
    char *pWholeKey;
    uint32_t u32WholeKeyLen;
    uint32_t u32WholeKeyCapacity;
    uint32_t u32KeyCutWarned;
    uint32_t u32KeyMurmur2; // murmur2 of the converted key (produce_convert_key)

    // The message the last BQXCONS handed out, for BQXINFO.
    DeliveredMessage delivered;

    // Idempotent producing. u32Idempotence (enable.idempotence, default on)
    // and u32DeliveryTimeoutMs (delivery.timeout.ms, default 120,000) are
    // settings (BQXCONF). BQXSYNC takes the first into u32IdempotentRun, which
    // the produce path follows, and only while no idempotent batch is
    // unsettled: a run never changes its kind halfway. With idempotence on,
    // synch modes 1 and 4 ask for a producer id (InitProducerId) before
    // their first batch after BQXCONN; a refusal (u32ProducerIdState 2)
    // leaves the session producing without one, as with idempotence off.
    uint32_t u32Idempotence;
    uint32_t u32IdempotentRun;
    uint32_t u32DeliveryTimeoutMs;
    uint32_t u32ProducerIdState; // 0 not asked yet, 1 held, 2 refused
    int64_t i64ProducerId;
    int16_t i16ProducerEpoch;
    int16_t i16ProducerIdError;       // the last InitProducerId reply's error, -1 none came
    int64_t i64ProduceCallDeadlineMs; // synch mode 1: the BQXPROD's own deadline, 0 none
    uint64_t ullSealedRecords;        // records in sealed batches not yet settled
    uint64_t ullRetriedRequests;      // batches sent again after a failed attempt
    int32_t i32ProduceLastError;      // the result of the latest produce failure
    int64_t i64ProduceRetryMs;        // monotonic ms of the next Metadata refresh while waiting
    uint32_t u32ProduceBackOffMs;     // the back-off of that wait, 50 ms doubling to 1 s
};

#endif
