// How a compressing session in synch mode 4 shapes its batches. Every
// compressed batch costs the broker a decompression pass and the codec a
// frame of its own, so a stream of small compressed batches spends on
// framing what large ones spend on records. Two rules make batches large
// while the broker is busy, and change nothing while it keeps up:
//
// - An unkeyed record joins the partition of the unkeyed record before it
//   while that partition's open batch still waits and has room for it, so
//   batches fill one partition at a time instead of all partitions thinly.
//   A batch that went out or is full moves the next record on to the
//   following partition: over time the partitions take turns, batch by
//   batch, and a broker that keeps up still sees them in turn, record by
//   record.
// - A broker with requests in flight gets a further request only for a full
//   batch: one without room for another record of its records' average
//   size. A broker with none in flight gets every record at once, as in
//   every session. A full batch passed over by the first rule goes out when
//   the turn comes back to its partition (the record that does not fit
//   sends it first), or with the next reply that empties the broker.
//
// Sessions that do not compress keep one record per partition in turn and
// send whenever the window has room.
#include "api/pcb.h"
#include "produce/produce_internal.h"

namespace {

bool paced(const PCB *pcb) { return pcb->u32Batched != 0 && pcb->u32CompressionType != 0; }

} // namespace

void produce_stay_with_open_batch(PCB *pcb, uint32_t keyLen, const ProduceKey &key,
                                  const ProduceValue &value) {
    uint32_t next = pcb->u32PartitionListIdx;
    if (!paced(pcb) || keyLen > 0 || next == 0 || next > pcb->u32PartitionCount)
        return;
    // Only looks: the entry list grows when a record is placed, not here.
    const ProduceBatch *batch = produce_batch_find(pcb, pcb->pPartitionList[next - 1].i32Partition);
    if (batch && batch->u32Records > 0 &&
        produce_batch_fits(pcb, *batch, produce_record_bound(key, value)))
        pcb->u32PartitionListIdx = next - 1;
}

bool produce_worth_sending(const PCB *pcb, int32_t broker, const ProduceBatch &entry) {
    if (!paced(pcb) || pcb->pBrokerList[broker].u32PendingCount == 0)
        return true;
    if (entry.u32ResendCount > 0 || entry.u32Records == 0)
        return true;
    // Full: no room for a record of the average size, measured by the
    // bound that turns records away from the batch, so that a batch no
    // further record may join is never held back as not full.
    uint64_t average = entry.u32Length / entry.u32Records;
    if (!produce_batch_fits(pcb, entry, average + kRecordBoundOverhead))
        return true;
    for (uint32_t i = 0; i < entry.u32SealedCount; ++i)
        if (!entry.pSealed[i].u8InFlight)
            return true; // sealed and waiting: a retry, or a batch sealed when full
    return false;
}
