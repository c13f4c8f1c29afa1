// PostEvent: delivers one record to a registered client's ring under the block's
// lock and wakes the client. Runs once per record and client on the time-critical
// dispatch thread (and on the main thread for the unregistration record): no
// allocation, no strings, and no system call unless the lock is contended or the
// record fitted (one set of the wake event).
#include "queue/asyncque.h"

#include <cassert>

#include "locks/mutex.h"
#include "platform/atomic.h"
#include "platform/event.h"
#include "queue/client_table.h"

namespace {

// How often a post that waits for a client's lock checks whether the client ended.
constexpr std::uint32_t OWNER_POLL_MS = 10;

// Longest wait for a lock that a live client keeps. A client holds its lock only
// to take records, so a longer hold means a stopped or misbehaving client (or one
// that wrote a held value over its lock word): the post then gives up so that the
// other clients keep getting their records, and that client's records are dropped
// as for a full ring until its lock is handed over.
constexpr std::uint32_t LIVE_HOLDER_LIMIT_MS = 500;

// Longest wait for the lock of a client that has already kept it past the limit
// above once: two poll steps. Its records drop sooner; the others' wait less.
constexpr std::uint32_t SLOW_HOLDER_LIMIT_MS = 20;

// The slot's SLOT_* bits, set and cleared atomically: both server threads post.
bool HasState(const SlotRecord& record, std::uint32_t bit) {
    return (OsAtomicLoad(&record.state) & bit) != 0;
}
void SetState(SlotRecord& record, std::uint32_t bit) {
    OsAtomicFetchOr(&record.state, bit);
}
void ClearState(SlotRecord& record, std::uint32_t bit) {
    OsAtomicFetchAnd(&record.state, ~bit);
}

}  // namespace

std::int16_t PostEvent(std::uint32_t pid, std::uint32_t slot, std::uint32_t code,
                       std::uint32_t arg1, std::uint32_t arg2, std::uint32_t arg3) {
    assert(slot < MAX_CLIENTS);
    AsyncQueueBlock* block = OsAtomicLoad(&clientTable.clientBlocks[slot]);
    if (block == nullptr) {
        return -1;
    }
    if (OsVolatileLoad(&block->ownerPid) != pid) {
        return -1;
    }
    return PostEventToBlock(block, slot, code, arg1, arg2, arg3);
}

std::int16_t PostEventToBlock(AsyncQueueBlock* block, std::uint32_t slot, std::uint32_t code,
                              std::uint32_t arg1, std::uint32_t arg2, std::uint32_t arg3) {
    assert(block != nullptr && slot < MAX_CLIENTS);
    SlotRecord& record = clientTable.slots[slot];
    // The lock is this process's own descriptor of the slot; the block's copy in
    // serverMutex is the client's to scribble on and is never used.
    EventMutex* lock = &record.lock;
    if (lock->name == 0) {
        return -1;  // the slot's block is not open in this process
    }
    if (HasState(record, SLOT_ABANDONED)) {
        return 0;  // its client ended holding the lock: dropped, as for a full ring
    }
    OsHandle process = OsAtomicLoad(&record.process);
    EventMutexHold hold{};
    std::int32_t got = 0;
    if (HasState(record, SLOT_PENDING)) {
        // An earlier post still waits for this lock: only its hand-over can let
        // this one in, and it is not waited for.
        got = CompletePendingEventMutex(lock, process, &hold);
        if (got == 0) {
            ClearState(record, SLOT_PENDING);
        }
    } else if (process != OS_NO_HANDLE) {
        // A client that died holding its lock must not stall delivery for ever,
        // nor one that lives and keeps it.
        const std::uint32_t limit =
            HasState(record, SLOT_SLOW_HOLDER) ? SLOW_HOLDER_LIMIT_MS : LIVE_HOLDER_LIMIT_MS;
        got = AcquireEventMutexWithin(lock, process, OWNER_POLL_MS, limit, &hold);
        if (got == EVENT_MUTEX_PENDING) {
            SetState(record, SLOT_PENDING | SLOT_SLOW_HOLDER);
        }
    } else {
        AcquireEventMutex(lock, &hold);
    }
    if (got == -1) {
        SetState(record, SLOT_ABANDONED);
        return 0;
    }
    if (got != 0) {
        return 0;  // dropped: the lock is still kept by a live client
    }
    if (AppendRecord(block, code, arg1, arg2, arg3) == QUEUE_OK) {
        // The wake-up goes out before the lock is given back.
        OsHandle wake = OsAtomicLoad(&clientTable.wakeEvents[slot]);
        if (wake != OS_NO_HANDLE) {
            OsSetEvent(wake);
        }
    }
    // Every acquire above filled hold; it stays empty only for a descriptor
    // closed meanwhile, which took no lock.
    if (hold.lockWord != nullptr) {
        ReleaseHeldEventMutex(hold);
    }
    return 0;
}
