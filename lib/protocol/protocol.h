// Request builders and reply handlers, one unit per Kafka API. Every reply
// handler receives the reply as received, starting with its size field.
#ifndef BQX_PROTOCOL_PROTOCOL_H
#define BQX_PROTOCOL_PROTOCOL_H

#include <stdint.h>

struct PCB;

// ApiVersions (18, version 3): the handshake of every new connection.
int32_t kafka_apiversion(PCB *pcb, uint32_t brokerIndex);
int32_t kafka_apiversion_reply(PCB *pcb, uint32_t brokerIndex, const uint8_t *reply,
                               uint32_t replyLen, int32_t requestVersion);

// Metadata (3, version 4): builds the broker table and the partition list.
int32_t kafka_meta(PCB *pcb, uint32_t brokerIndex);
int32_t kafka_meta_reply(PCB *pcb, uint32_t brokerIndex, const uint8_t *reply,
                         uint32_t replyLen);
// Marks the session's Metadata stale once it is older than
// u32MetadataMaxAgeMs, so that the next refresh point asks for it again.
void kafka_meta_check_age(PCB *pcb);

// SASL PLAIN: SaslHandshake (17, version 1) and SaslAuthenticate (36, version 2).
int32_t kafka_saslhandshake(PCB *pcb, uint32_t brokerIndex);
int32_t kafka_saslhandshake_reply(PCB *pcb, uint32_t brokerIndex, const uint8_t *reply,
                                  uint32_t replyLen);
int32_t kafka_saslauthenticate(PCB *pcb, uint32_t brokerIndex);
int32_t kafka_saslauthenticate_reply(PCB *pcb, uint32_t brokerIndex, const uint8_t *reply,
                                     uint32_t replyLen);

// InitProducerId (22, versions 0 to 5): the producer id and epoch of an
// idempotent session; a refusal is logged once (5008) and leaves the
// session without one.
int32_t kafka_initproducerid(PCB *pcb);
// A further producer id for a session that holds one: 0 with the new id in
// the session, ERR_HANDLE, ERR_NO_BROKER_CONNECTED, or ERR_MAYBE_LOST with
// `why` saying why none came (the session keeps its id).
int32_t kafka_initproducerid_again(PCB *pcb, const char **why);
int32_t kafka_initproducerid_reply(PCB *pcb, uint32_t brokerIndex, const uint8_t *reply,
                                   uint32_t replyLen, int16_t version);

// Produce (0, version 7).
int32_t kafka_produce(PCB *pcb, const char *message, uint32_t messageLen);
int32_t kafka_produce_reply(PCB *pcb, uint32_t brokerIndex, const uint8_t *reply,
                            uint32_t replyLen);
// The reply together with the request it answers, whose batches tell how
// many records each partition result settles.
int32_t kafka_produce_reply_to(PCB *pcb, uint32_t brokerIndex, const uint8_t *reply,
                               uint32_t replyLen, const uint8_t *request, uint32_t requestLen);

// Synch mode 4: records collect in one batch per partition. `batched`
// appends one (BQXPROD); `flush` sends every collected batch, each broker's
// in one request as soon as it has room in the send window, awaiting only
// the replies to batches that probe the topic's size limit; `drain` awaits
// every reply, and sends and awaits the records of batches refused as too
// large until none are left (the flushes' first error goes to *flushed);
// `discard` fails what is still collected (counted for the next synch
// point) and frees the batches. `unprobe` is told that the requests
// pending at a broker are gone.
int32_t kafka_produce_batched(PCB *pcb, const char *message, uint32_t messageLen);
int32_t kafka_produce_flush(PCB *pcb);
int32_t kafka_produce_drain(PCB *pcb, int32_t *flushed);
void kafka_produce_discard(PCB *pcb);
void kafka_produce_unprobe(PCB *pcb, uint32_t brokerIndex);

// Produce failures kept until the next synch point. `failed` counts the
// messages of a failed reply (`error` its result); `dropped` those of a
// request whose connection ended (5005), for any request copy;
// `reported` takes back the failure that a synch mode 1 BQXPROD has
// returned itself (`failedBefore`: the count when it began). `synchpoint`
// logs the count with the first error (5007 under `caller`), forgets them,
// and returns that first error, or 0 when nothing failed.
void kafka_produce_failed(PCB *pcb, uint64_t messages, int32_t error);
void kafka_produce_dropped(PCB *pcb, uint32_t brokerIndex, const uint8_t *request, uint32_t length);
void kafka_produce_reported(PCB *pcb, uint64_t failedBefore, int32_t result);
int32_t kafka_produce_synchpoint(PCB *pcb, const char *caller);

// Logs error 7536 for a reply that ends before its fields do; returns 7536.
int32_t kafka_reply_malformed(PCB *pcb, const char *tag, int32_t broker, const char *what);

#endif
