// SASL PLAIN on a new broker connection: the handshake announces the
// mechanism, then the credentials are sent. Called by the connection step
// when the session has credentials.
#include "protocol/protocol.h"

int32_t kafka_sasl(PCB *pcb, uint32_t brokerIndex) {
    int32_t rc = kafka_saslhandshake(pcb, brokerIndex);
    if (rc != 0)
        return rc;
    return kafka_saslauthenticate(pcb, brokerIndex);
}
