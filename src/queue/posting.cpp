// PostEvent: delivers one record to a registered client's ring under the block's
// lock and wakes the client. Runs once per record and client on the time-critical
// dispatch thread (and on the main thread for the unregistration record): no
// allocation, no strings, and no system call unless the lock is contended or the
// record fitted (one set of the wake event).
//
// Also owns the two things that keep one client from costing the others: the
// per-slot post lock, which serialises the two threads' posts to one slot, and
// the stall budget, which bounds how long all posts together may wait for locks
// that clients keep.
#include "queue/asyncque.h"

#include <cassert>
#include <chrono>
#include <thread>

#include "locks/mutex.h"
#include "platform/atomic.h"
#include "platform/event.h"
#include "queue/client_table.h"

PostingHook postingHook = nullptr;

namespace {

// How often a post that waits for a client's lock checks whether the client ended.
constexpr std::uint32_t OWNER_POLL_MS = 1;

// Longest wait of one post for a client's lock. An honest client holds its lock
// for microseconds, to take records; a wait this long means a client that was
// not run meanwhile, was stopped, or wrote a held value over its lock word.
constexpr std::uint32_t POST_WAIT_LIMIT_MS = 5;

// The stall budget: all timed waits of this process's posts together last at
// most 25 ms in any one second, whichever clients they wait for and however
// often those register again. Two buckets: a general one (at most 5 ms saved,
// refilled at 10 ms per second) and a reserve (at most 5 ms, 5 ms per second)
// that only slots which needed no timed wait for a second may draw on, so that
// clients which keep their lock round after round cannot spend what an honest
// client needs when it is once not run in time. Any one-second window sees at
// most 5 + 10 + 5 + 5 ms. When the budget a post may use is spent, the post
// leaves its acquire pending and drops its record at once, counted for that
// client as droppedLockKept.
constexpr std::int64_t GENERAL_US_PER_SECOND = 10000;
constexpr std::int64_t GENERAL_CAP_US = 5000;
constexpr std::int64_t RESERVE_US_PER_SECOND = 5000;
constexpr std::int64_t RESERVE_CAP_US = 5000;
// A slot that needed a timed wait this recently draws on the general bucket only.
constexpr std::int64_t RECENT_STALL_US = 1000000;

// An honest client holds its lock for microseconds: a contended post first
// spins this long for the hand-over, outside the budget, so that a spent budget
// does not cost honest clients their records. A client that keeps its lock past
// the spin costs it once per registration: its acquire is then pending, and
// later posts only look for the hand-over.
constexpr std::int64_t HONEST_SPIN_US = 20;

using Clock = std::chrono::steady_clock;

std::int64_t NowUs() {
    return std::chrono::duration_cast<std::chrono::microseconds>(Clock::now().time_since_epoch())
        .count();
}

// A lock held for a few instructions (the budget) or one post (a slot): spins a
// little, then yields the processor to whoever holds it.
void TakeSpinLock(std::uint32_t* lock) {
    for (std::uint32_t spins = 0;; ++spins) {
        if (OsAtomicLoadRelaxed(lock) == 0u && OsAtomicExchange(lock, 1u) == 0u) {
            return;
        }
        if (spins >= 64) {
            std::this_thread::yield();
        }
    }
}
void DropSpinLock(std::uint32_t* lock) {
    OsAtomicStore(lock, 0u);
}

// One bucket of the budget. availableUs may go below zero when a wait overran
// what it drew (a thread not scheduled in time): the debt is repaid first.
struct Bucket {
    std::int64_t availableUs;
    std::int64_t refilledAtUs;
    std::int64_t perSecondUs;
    std::int64_t capUs;
};

// Both buckets, guarded by lock.
struct StallBudget {
    std::uint32_t lock;
    Bucket general;
    Bucket reserve;
};
StallBudget stallBudget{0,
                        {GENERAL_CAP_US, 0, GENERAL_US_PER_SECOND, GENERAL_CAP_US},
                        {RESERVE_CAP_US, 0, RESERVE_US_PER_SECOND, RESERVE_CAP_US}};

// Adds what the time since the last refill earned. Caller holds the lock.
void Refill(Bucket& bucket, std::int64_t now) {
    if (bucket.refilledAtUs == 0) {
        bucket.refilledAtUs = now;
    }
    const std::int64_t earned = (now - bucket.refilledAtUs) * bucket.perSecondUs / 1000000;
    if (earned > 0) {
        bucket.availableUs += earned;
        if (bucket.availableUs > bucket.capUs) {
            bucket.availableUs = bucket.capUs;
        }
        bucket.refilledAtUs = now;
    }
}

// Takes up to POST_WAIT_LIMIT_MS in whole ms out of bucket; 0 when less than
// one is left. Caller holds the lock.
std::uint32_t Take(Bucket& bucket) {
    std::int64_t ms = bucket.availableUs / 1000;
    ms = ms > POST_WAIT_LIMIT_MS ? POST_WAIT_LIMIT_MS : (ms < 0 ? 0 : ms);
    bucket.availableUs -= ms * 1000;
    return static_cast<std::uint32_t>(ms);
}

// A grant of waiting time and the bucket it came from.
struct Grant {
    std::uint32_t ms;
    Bucket* bucket;
};

// Draws a wait for the slot's post: from the general bucket, or, for a slot
// that needed no timed wait for a second, from the reserve when the general
// one is spent. Marks the slot as having needed one. The caller settles it.
Grant DrawStall(SlotRecord& record) {
    TakeSpinLock(&stallBudget.lock);
    const std::int64_t now = NowUs();
    Refill(stallBudget.general, now);
    Refill(stallBudget.reserve, now);
    Grant grant{Take(stallBudget.general), &stallBudget.general};
    const bool recent = record.lastStallUs != 0 && now - record.lastStallUs < RECENT_STALL_US;
    if (grant.ms == 0 && !recent) {
        grant = Grant{Take(stallBudget.reserve), &stallBudget.reserve};
    }
    record.lastStallUs = now;
    DropSpinLock(&stallBudget.lock);
    return grant;
}

// Settles a grant after a wait that lasted usedUs.
void SettleStall(const Grant& grant, std::int64_t usedUs) {
    TakeSpinLock(&stallBudget.lock);
    grant.bucket->availableUs += static_cast<std::int64_t>(grant.ms) * 1000 - usedUs;
    DropSpinLock(&stallBudget.lock);
}

// The slot's SLOT_* bits: atomic, since tests and the main thread read them
// while posts run; changed only under the slot's postLock.
bool HasState(const SlotRecord& record, std::uint32_t bit) {
    return (OsAtomicLoad(&record.state) & bit) != 0;
}
void SetState(SlotRecord& record, std::uint32_t bit) {
    OsAtomicFetchOr(&record.state, bit);
}
void ClearState(SlotRecord& record, std::uint32_t bit) {
    OsAtomicFetchAnd(&record.state, ~bit);
}

void Count(std::uint32_t* counter) {
    OsAtomicFetchAdd(counter, 1u);
}

void Hook(std::uint32_t slot, PostPoint point) {
    PostingHook hook = OsAtomicLoad(&postingHook);
    if (hook != nullptr) {
        hook(slot, point);
    }
}

// Takes the slot's block lock for one post, or says why not: 0 held, -1 the
// client ended without handing it over (or the descriptor reads closed),
// EVENT_MUTEX_PENDING a live holder kept it. Caller holds the slot's postLock.
std::int32_t AcquireForPost(SlotRecord& record, std::uint32_t slot, EventMutexHold* hold) {
    EventMutex* lock = &record.lock;
    OsHandle process = OsAtomicLoad(&record.process);
    if (HasState(record, SLOT_PENDING)) {
        // An earlier post still counts as a waiter: only the hand-over owed to
        // that count can let this one in, and it is not waited for.
        Hook(slot, PostPoint::PendingSeen);
        std::int32_t got = CompletePendingEventMutex(lock, process, hold);
        if (got == 0) {
            ClearState(record, SLOT_PENDING);
        }
        return got;
    }
    // The free path first: one increment, no budget, no clock. Contended, it
    // looks once for a hand-over, spins briefly for an honest client's, and then
    // waits only what the budget grants.
    std::int32_t got = AcquireEventMutexWithin(lock, process, OWNER_POLL_MS, 0, hold);
    if (got == EVENT_MUTEX_PENDING) {
        const std::int64_t start = NowUs();
        std::int64_t spent = 0;
        do {
            std::this_thread::yield();
            got = CompletePendingEventMutex(lock, process, hold);
            spent = NowUs() - start;
        } while (got == EVENT_MUTEX_PENDING && spent < HONEST_SPIN_US);
    }
    if (got == EVENT_MUTEX_PENDING) {
        const Grant grant = DrawStall(record);
        if (grant.ms != 0) {
            const std::int64_t start = NowUs();
            got = WaitPendingEventMutex(lock, process, OWNER_POLL_MS, grant.ms, hold);
            SettleStall(grant, NowUs() - start);
        }
    }
    if (got == EVENT_MUTEX_PENDING) {
        SetState(record, SLOT_PENDING);
    }
    return got;
}

}  // namespace

void RefillPostingStallBudget() {
    TakeSpinLock(&stallBudget.lock);
    const std::int64_t now = NowUs();
    stallBudget.general.availableUs = GENERAL_CAP_US;
    stallBudget.general.refilledAtUs = now;
    stallBudget.reserve.availableUs = RESERVE_CAP_US;
    stallBudget.reserve.refilledAtUs = now;
    DropSpinLock(&stallBudget.lock);
}

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
    if (OsAtomicLoad(&record.lock.name) == 0) {
        return -1;  // the slot's block is not open in this process
    }
    TakeSpinLock(&record.postLock);
    if (HasState(record, SLOT_ABANDONED)) {
        // Its client ended holding the lock: dropped at once.
        Count(&record.counts.droppedEnded);
        DropSpinLock(&record.postLock);
        return 0;
    }
    EventMutexHold hold{};
    const std::int32_t got = AcquireForPost(record, slot, &hold);
    if (got != 0 || hold.lockWord == nullptr) {
        // Not held (a closed descriptor fills no hold and answers -1): nothing
        // is appended, the record is dropped and counted.
        if (got == EVENT_MUTEX_PENDING) {
            Count(&record.counts.droppedLockKept);
        } else {
            SetState(record, SLOT_ABANDONED);
            Count(&record.counts.droppedEnded);
        }
        DropSpinLock(&record.postLock);
        return 0;
    }
    if (AppendRecord(block, code, arg1, arg2, arg3) == QUEUE_OK) {
        Count(&record.counts.delivered);
        // The wake-up goes out before the lock is given back.
        OsHandle wake = OsAtomicLoad(&clientTable.wakeEvents[slot]);
        if (wake != OS_NO_HANDLE) {
            OsSetEvent(wake);
        }
    } else {
        Count(&record.counts.droppedFull);
    }
    Hook(slot, PostPoint::BeforeRelease);
    ReleaseHeldEventMutex(hold);
    DropSpinLock(&record.postLock);
    return 0;
}
