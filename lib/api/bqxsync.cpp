// BQXSYNC: the synch mode of a session and its send and receive windows.
#include "api/session.h"
#include "log/log.h"
#include "log/messages.h"
#include "produce/produce_idem.h"
#include "protocol/consumer.h"
#include "protocol/protocol.h"
#include "transport/transport.h"

static constexpr uint32_t kDefaultWindow = 100;
static constexpr uint32_t kMaxWindow = 10000;

static const char *const kModeTexts[] = {
    "0: Produce Msgs are sent and control is returned imm, OffsetCo after reading X msgs",
    "1: Produce Msgs are sent and control is returned after reply from kafka is rcvd, OffsetCo "
    "after reading 1 msg",
    "2: Waiting until all outstanding replys are received, Consume Offsets are commited. Mode is "
    "set to asynch",
    nullptr, // mode 3 is refused
    "4: Produce Msgs are collected in batches per partition and sent while the broker has room "
    "in the send window, OffsetCo after reading X msgs",
};

// Stores a window of 1 to 10000, or the default with warning 5004.
static int32_t set_window(uint32_t *window, uint32_t value, const char *which) {
    if (value >= 1 && value <= kMaxWindow) {
        *window = value;
        return 0;
    }
    *window = kDefaultWindow;
    bqx_log_vf(WRN_WINDOW_SIZE, nullptr, "BQXSYNC", -1, -1, 3, which, static_cast<int32_t>(value),
               static_cast<int32_t>(kDefaultWindow));
    return WRN_WINDOW_SIZE;
}

static int32_t set_windows(PCB *pcb, uint32_t sendWindow, uint32_t receiveWindow) {
    int32_t sendResult = set_window(&pcb->u32SendWindow, sendWindow, "send");
    int32_t receiveResult = set_window(&pcb->u32ReceiveWindow, receiveWindow, "receive");
    return sendResult ? sendResult : receiveResult;
}

// Mode 2 keeps the batching of mode 4: it is the synch point of a batched
// run, and the run goes on batched behind it. Every other mode ends it.
// enable.idempotence counts from here on, once no idempotent batch is
// unsettled: the replies of one still in flight need the path it went by.
static void take_idempotence(PCB *pcb) {
    if (pcb->ullSealedRecords == 0)
        pcb->u32IdempotentRun = pcb->u32Idempotence;
}

static int32_t set_mode(PCB *pcb, int32_t mode, uint32_t sendWindow, uint32_t receiveWindow) {
    if (mode == 0 || mode == 1)
        pcb->u32Batched = 0;
    switch (mode) {
    case 0:
        pcb->u32Synchronous = 0;
        pcb->i16Acks = 1;
        return set_windows(pcb, sendWindow, receiveWindow);
    case 1:
        pcb->u32Synchronous = 1;
        pcb->i16Acks = -1;
        take_idempotence(pcb);
        return 0;
    case 4: {
        pcb->u32Synchronous = 0;
        pcb->u32Batched = 1;
        take_idempotence(pcb);
        // Idempotent batches must be written to every in-sync replica, and
        // the broker recognises a retry only among a producer's last 5
        // batches of a partition: no more may be in flight.
        pcb->i16Acks = pcb->u32IdempotentRun ? -1 : 1;
        int32_t result = set_windows(pcb, sendWindow, receiveWindow);
        if (pcb->u32IdempotentRun && pcb->u32SendWindow > kIdempotentWindow) {
            bqx_log_vf(WRN_WINDOW_SIZE, nullptr, "BQXSYNC", -1, -1, 3, "send",
                       static_cast<int32_t>(pcb->u32SendWindow),
                       static_cast<int32_t>(kIdempotentWindow));
            pcb->u32SendWindow = kIdempotentWindow;
            result = WRN_WINDOW_SIZE;
        }
        return result;
    }
    case 2:
        pcb->u32Synchronous = 0;
        // A batched run goes on behind the synch point, idempotent as before.
        pcb->i16Acks = pcb->u32Batched && pcb->u32IdempotentRun ? -1 : 1;
        return 0;
    default:
        bqx_log_vf(ERR_SYNCH_MODE, nullptr, "BQXSYNC", -1, -1, 1, mode);
        return ERR_SYNCH_MODE;
    }
}

// Commits the offsets of delivered messages when a commit is owed or more
// than one message went uncommitted; the commit's own result is logged by
// it and not the call's result.
static void commit_consumed(PCB *pcb) {
    if (!pcb->pszGroupID || !(pcb->u32CommitDue || pcb->u32UncommittedMsgs > 1))
        return;
    kafka_offsetcommit(pcb);
    pcb->u32UncommittedMsgs = 0;
}

int32_t BQXSYNC(int32_t handle, int32_t mode, uint32_t sendWindow, uint32_t receiveWindow) {
    PCB *pcb = bqx_enter("BQXSYNC", handle);
    if (!pcb) return ERR_HANDLE;
    // What mode 4 has collected goes out before any other mode applies, in
    // the call order; mode 2 also waits for it below.
    int32_t flushed = 0;
    if (pcb->u32Batched && mode != 4 && mode >= 0 && mode <= 2)
        flushed = kafka_produce_flush(pcb);
    int32_t result = set_mode(pcb, mode, sendWindow, receiveWindow);
    if (result == 0 && pcb->iDebugLevel != 0)
        bqx_log_vf(INF_SYNCH_MODE, nullptr, "BQXSYNC", -1, -1, 1, kModeTexts[mode]);
    if (result == 0 && (mode == 1 || mode == 2)) {
        commit_consumed(pcb);
        // Every reply is awaited; then the first produce failure since the
        // last synch point is the result, ahead of an error of the wait
        // (a time-out): the failure is forgotten once returned, while the
        // wait's error is in the log and its requests stay pending.
        int32_t waited = kafka_produce_drain(pcb, &flushed);
        int32_t failed = kafka_produce_synchpoint(pcb, "BQXSYNC");
        result = failed != 0 ? failed : waited != 0 ? waited : flushed;
    } else if (result == 0) {
        result = flushed;
    }
    bqx_leave(pcb, "BQXSYNC");
    return result;
}
