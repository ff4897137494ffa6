// Broker transport: the broker table and its TCP connections, the queue of
// requests awaiting replies, and the reply wait and dispatch.
#ifndef BQX_TRANSPORT_TRANSPORT_H
#define BQX_TRANSPORT_TRANSPORT_H

#include <stdint.h>

struct PCB;

// Wait argument of kafka_sendqueue.
enum SendMode : int32_t { SEND_NOWAIT = 0, SEND_SYNC = 1, SEND_WINDOW = 2 };

// Modes of kafka_waitReply.
enum WaitMode : int32_t { WAIT_POLL = 0, WAIT_ALL = 1, WAIT_QUEUE = 2, WAIT_REPLY = 3, WAIT_ONCE = 4 };

// Result of a reply handler that replaced the broker table.
constexpr int32_t kBrokerTableReplaced = 1;

// Seconds a waiting mode waits in select for the next reply. Tests may
// shorten it; the library never changes it.
extern int32_t gi32ReplyWaitSeconds;

// Connections and teardown.
int32_t kafka_connect(PCB *pcb, uint32_t brokerIndex);
int32_t kafka_clearBroker(PCB *pcb, uint32_t brokerIndex, int32_t quiet);
int32_t kafka_clearBrokers(PCB *pcb);
// The statistics lines 18, 19 and 22 of the session, under `tag`.
void kafka_log_statistics(PCB *pcb, const char *tag);
int32_t kafka_disconnect(PCB *pcb);
void kafka_close(PCB *pcb);

// TLS: makes the session's context when `tls` is set (from the environment's
// BQX_SSL_* files; 7500 logged when one cannot be used), else drops it.
int32_t kafka_tls_setup(PCB *pcb, uint32_t tls);
void kafka_tls_release(PCB *pcb);

// Reads what the entry's connection has ready, at most `length` bytes,
// without waiting: the bytes read, 0 when nothing was there, -1 when the
// connection ended or failed (the caller clears the entry).
long kafka_readAvailable(PCB *pcb, uint32_t brokerIndex, uint8_t *into, uint32_t length);

// Send and queue.
int32_t kafka_send(PCB *pcb, uint32_t brokerIndex, uint8_t *request, uint32_t length);
int32_t kafka_sendqueue(PCB *pcb, uint32_t brokerIndex, uint8_t *request, uint32_t length,
                        int32_t wait);
const char *get_KeyName(int32_t apiKey);
// A request built in place inside its pending record (u32Length bytes),
// sent and queued without a copy; on failure the record is freed.
struct PendingRequest;
PendingRequest *kafka_pending_new(uint32_t length);
int32_t kafka_sendpending(PCB *pcb, uint32_t brokerIndex, PendingRequest *pending);
// Waits until the broker has fewer requests pending than the send window.
int32_t kafka_waitWindow(PCB *pcb, uint32_t brokerIndex);

// Reply wait and dispatch.
int32_t kafka_waitReply(PCB *pcb, int32_t mode, uint32_t brokerIndex);
// Whether the broker's connection has something to read (a reply, or its
// end) right now; a cheap check that neither waits nor releases the lock.
bool kafka_replyReady(PCB *pcb, uint32_t brokerIndex);
int32_t kafka_processReply(PCB *pcb, uint32_t brokerIndex, const uint8_t *reply, uint32_t length);

// Reply buffers with a use count: the transport reads each reply into one
// (count 1) and releases it once its handler returned; a handler that
// keeps parts of the reply (Fetch) retains it, and releases it when done.
// Only the session's thread of control (under the lock) touches them.
uint8_t *transport_reply_alloc(uint32_t length);
void transport_reply_retain(const uint8_t *reply);
void transport_reply_release(const uint8_t *reply);
const char *get_ReplyKeyName(int32_t apiKey);

#endif
