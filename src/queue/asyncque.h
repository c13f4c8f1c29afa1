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
// signals its wake event when the record fitted. 0, also for a dropped record
// (counted in the slot's record by cause); -1 when the slot has no block or the
// block belongs to another process. The lock is taken through this process's own
// descriptor (the slot's record in clientTable.slots), never through values read
// from the block. Posts of one slot from the server's two threads run one at a
// time. A contended post waits only what the process-wide stall budget grants
// (after a 20 us spin: at most 5 ms per post, 25 ms in any second for all posts
// together); a live holder that
// keeps the lock longer leaves the acquire pending and the record dropped, and
// later posts drop at once until the hand-over comes. A post gives up once the
// client's process has ended (its handle is the record's process; without one
// the client counts as alive), and marks the slot so that later posts drop at
// once until the slot's block is opened again.
std::int16_t PostEvent(std::uint32_t pid, std::uint32_t slot, std::uint32_t code,
                       std::uint32_t arg1, std::uint32_t arg2, std::uint32_t arg3);
// PostEvent after its checks: for the handlers' pass, which has just read the
// slot's block (under the walk guard) and takes its owner from it. block must
// be clientTable.clientBlocks[slot] as read in that pass.
std::int16_t PostEventToBlock(AsyncQueueBlock* block, std::uint32_t slot, std::uint32_t code,
                              std::uint32_t arg1, std::uint32_t arg2, std::uint32_t arg3);

// The fast poster: the one thread whose posts take a slot's post lock without a
// locked instruction (the dispatch thread, which makes nearly all posts); every
// other thread's posts pay for that with a process-wide barrier when they take
// it. ClaimFastPosting makes the calling thread the fast poster: true when it now
// is (also when it already was); false when another thread is, or the system
// has no process-wide barrier, and then its posts simply take the slow side.
// ReleaseFastPosting gives the claim up (nothing when this thread has none);
// call it outside any post, before the thread ends.
bool ClaimFastPosting();
void ReleaseFastPosting();

// Registration: the slot's counts start again from 0 (a new client takes it).
// Main thread, while the slot is not published.
void ResetPostCounts(std::uint32_t slot);

// Test hook: when set, a post calls it with its slot at these points, with the
// slot's post lock held, so that a test can stall a thread there.
enum class PostPoint {
    Entered,        // it has just taken the slot's post lock, before anything else
    PendingSeen,    // it found an earlier acquire pending, before it looks for the hand-over
    BeforeRelease,  // it holds the block's lock and has appended, before it releases
};
using PostingHook = void (*)(std::uint32_t slot, PostPoint point);
extern PostingHook postingHook;
// Tests: fills the stall budget, so that a test does not start with what an
// earlier one in the same process spent.
void RefillPostingStallBudget();
