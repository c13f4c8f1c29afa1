// Ring operations on a block's ring, and posting one record to a client.
#pragma once
#include <cstdint>
#include "queue/block.h"

inline constexpr std::uint32_t QUEUE_OK = 0;
inline constexpr std::uint32_t QUEUE_EMPTY = 1;
inline constexpr std::uint32_t QUEUE_FULL = 2;

// Both indexes to 0; records untouched. Only on a block nobody else uses yet.
void ResetQueue(AsyncQueueBlock* block);

// Caller holds the block's lock. QUEUE_OK, or QUEUE_FULL (nothing written). An
// index outside 0..99 (a block the client scribbled on) counts as full.
std::uint32_t AppendRecord(AsyncQueueBlock* block, std::uint32_t code, std::uint32_t arg1,
                           std::uint32_t arg2, std::uint32_t arg3);

// Caller holds the block's lock. QUEUE_OK, or QUEUE_EMPTY (outputs unwritten). An
// index outside 0..99 reads as an empty ring.
std::uint32_t TakeRecord(AsyncQueueBlock* block, std::uint32_t* code, std::uint32_t* arg1,
                         std::uint32_t* arg2, std::uint32_t* arg3);

// Appends one record to the client in slot (0..49) under the block's lock and
// signals its wake event when the record fitted. 0, also for a dropped record;
// -1 when the slot has no block or the block belongs to another process.
// The lock is taken through this process's own descriptor (the slot's record in
// clientTable.slots), never through values read from the block. When the client's
// process handle is known (the record's process), a post that waits for the lock gives up once that
// process has ended, drops its record, and marks the slot so that later posts
// drop at once until the slot's block is opened again.
std::int16_t PostEvent(std::uint32_t pid, std::uint32_t slot, std::uint32_t code,
                       std::uint32_t arg1, std::uint32_t arg2, std::uint32_t arg3);
// PostEvent after its checks: for the handlers' pass, which has just read the
// slot's block (under the walk guard) and takes its owner from it. block must
// be clientTable.clientBlocks[slot] as read in that pass.
std::int16_t PostEventToBlock(AsyncQueueBlock* block, std::uint32_t slot, std::uint32_t code,
                              std::uint32_t arg1, std::uint32_t arg2, std::uint32_t arg3);
