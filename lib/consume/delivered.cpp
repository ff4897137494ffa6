// The metadata of the message BQXCONS handed out last, kept for BQXINFO.
#include <stdlib.h>

#include "api/pcb.h"
#include "consume/fetch_records.h"

void consume_note_delivered(PCB *pcb, int32_t partition, FetchedRecord *record) {
    DeliveredMessage &last = pcb->delivered;
    free(last.pKey);
    bool keyNull = (record->flags & kDeliveredKeyNull) != 0;
    last = {1,
            keyNull ? nullptr : record->key,
            record->keyLen,
            partition,
            record->offset,
            record->timestamp,
            record->flags};
    if (keyNull)
        free(record->key); // an empty copy made for the null key
    record->key = nullptr;
}
