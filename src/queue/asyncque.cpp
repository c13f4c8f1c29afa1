// Ring operations on a block's ring of QUEUE_DEPTH records (the protocol and its
// index arithmetic are described at the block's declaration, queue/block.h). The
// caller holds the block's lock, except for ResetQueue on a block nobody else
// uses yet.
#include "queue/asyncque.h"

#include "platform/atomic.h"

namespace {

// Each index is read once into a local, so that a value the other process
// changes meanwhile cannot slip past the range check.
std::uint32_t LoadIndex(const std::uint32_t* index) {
    return OsVolatileLoad(index);
}

void StoreIndex(std::uint32_t* index, std::uint32_t value) {
    OsVolatileStore(index, value);
}

}  // namespace

void ResetQueue(AsyncQueueBlock* block) {
    StoreIndex(&block->readIndex, 0);
    StoreIndex(&block->writeIndex, 0);
}

std::uint32_t AppendRecord(AsyncQueueBlock* block, std::uint32_t code, std::uint32_t arg1,
                           std::uint32_t arg2, std::uint32_t arg3) {
    std::uint32_t w = LoadIndex(&block->writeIndex);
    std::uint32_t r = LoadIndex(&block->readIndex);
    if (w >= QUEUE_DEPTH || r >= QUEUE_DEPTH) {
        return QUEUE_FULL;
    }
    std::uint32_t next = (w + 1) % QUEUE_DEPTH;
    if (next == r) {
        return QUEUE_FULL;
    }
    QueueRecord& record = block->ring[w];
    record.code = code;
    record.arg1 = arg1;
    record.arg2 = arg2;
    record.arg3 = arg3;
    // The index moves only after the record is complete.
    StoreIndex(&block->writeIndex, next);
    return QUEUE_OK;
}

std::uint32_t TakeRecord(AsyncQueueBlock* block, std::uint32_t* code, std::uint32_t* arg1,
                         std::uint32_t* arg2, std::uint32_t* arg3) {
    std::uint32_t w = LoadIndex(&block->writeIndex);
    std::uint32_t r = LoadIndex(&block->readIndex);
    if (w >= QUEUE_DEPTH || r >= QUEUE_DEPTH || w == r) {
        return QUEUE_EMPTY;
    }
    QueueRecord& record = block->ring[r];
    *code = record.code;
    *arg1 = record.arg1;
    *arg2 = record.arg2;
    *arg3 = record.arg3;
    record.code = 0;
    record.arg1 = 0;
    record.arg2 = 0;
    record.arg3 = 0;
    StoreIndex(&block->readIndex, (r + 1) % QUEUE_DEPTH);
    return QUEUE_OK;
}
