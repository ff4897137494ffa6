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

// SASL PLAIN: SaslHandshake (17, version 1) and SaslAuthenticate (36, version 2).
int32_t kafka_sasl(PCB *pcb, uint32_t brokerIndex);
int32_t kafka_saslhandshake(PCB *pcb, uint32_t brokerIndex);
int32_t kafka_saslhandshake_reply(PCB *pcb, uint32_t brokerIndex, const uint8_t *reply,
                                  uint32_t replyLen);
int32_t kafka_saslauthenticate(PCB *pcb, uint32_t brokerIndex);
int32_t kafka_saslauthenticate_reply(PCB *pcb, uint32_t brokerIndex, const uint8_t *reply,
                                     uint32_t replyLen);

// Produce (0, version 7).
int32_t kafka_produce(PCB *pcb, const char *message, uint32_t messageLen);
int32_t kafka_produce_reply(PCB *pcb, uint32_t brokerIndex, const uint8_t *reply,
                            uint32_t replyLen);

// Logs error 7536 for a reply that ends before its fields do; returns 7536.
int32_t kafka_reply_malformed(PCB *pcb, const char *tag, int32_t broker, const char *what);

#endif
