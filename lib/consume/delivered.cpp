// The metadata of the message BQXCONS handed out last, kept for BQXINFO.
#include <stdlib.h>
#include <string.h>

#include "api/pcb.h"
#include "consume/fetch_records.h"

void consume_note_delivered(PCB *pcb, int32_t partition, FetchedRecord *record) {
    DeliveredMessage &last = pcb->delivered;
    bool keyNull = (record->flags & kDeliveredKeyNull) != 0;
    // The key lies in the reply, which later reading releases: a copy is
    // kept, in the previous key's room when it fits (realloc).
    char *key = nullptr;
    if (!keyNull) {
        key = static_cast<char *>(realloc(last.pKey, record->keyLen + 1ull));
        if (!key)
            free(last.pKey);
    } else {
        free(last.pKey);
    }
    if (key) {
        if (record->keyLen)
            memcpy(key, record->key, record->keyLen);
        key[record->keyLen] = '\0';
    }
    last = {1,
            key,
            key ? record->keyLen : 0,
            partition,
            record->offset,
            record->timestamp,
            record->flags};
}
