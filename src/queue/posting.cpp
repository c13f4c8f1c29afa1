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
constexpr std::uint32_t POST_WAIT_LIMIT_MS = 10;

// The stall budget: all posts of this process together wait at most 25 ms in
// any one second for locks that clients keep, whichever clients they are and
// however often they register again. It is a bucket refilled at 12 ms per
// second and holding at most 10 ms; short spins may run it 3 ms into debt (so
// any one-second window sees at most 10 + 12 + 3 ms). When it is spent, a
// contended post looks once for a hand-over and otherwise leaves its acquire
// pending and drops its record at once, counted for that client as
// droppedLockKept.
constexpr std::int64_t STALL_BUDGET_US_PER_SECOND = 12000;
constexpr std::int64_t STALL_BUDGET_CAP_US = 10000;
constexpr std::int64_t SPIN_DEBT_LIMIT_US = 3000;

// An honest client holds its lock for microseconds: a contended post first
// spins this long for the hand-over before it draws a timed wait.
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

// Fields guarded by lock. availableUs may go below zero when a wait overran
// what it drew (a thread not scheduled in time): the debt is repaid first.
struct StallBudget {
    std::uint32_t lock;
    std::int64_t availableUs;
    std::int64_t refilledAtUs;
};
StallBudget stallBudget{0, STALL_BUDGET_CAP_US, 0};

// Adds what the time since the last refill earned. Caller holds the lock.
void Refill(std::int64_t now) {
    if (stallBudget.refilledAtUs == 0) {
        stallBudget.refilledAtUs = now;
    }
    const std::int64_t earned =
        (now - stallBudget.refilledAtUs) * STALL_BUDGET_US_PER_SECOND / 1000000;
    if (earned > 0) {
        stallBudget.availableUs += earned;
        if (stallBudget.availableUs > STALL_BUDGET_CAP_US) {
            stallBudget.availableUs = STALL_BUDGET_CAP_US;
        }
        stallBudget.refilledAtUs = now;
    }
}

// Draws up to POST_WAIT_LIMIT_MS from the budget for one wait; whole ms, 0 when
// less than one is left. The caller gives back what it did not use.
std::uint32_t DrawStall() {
    TakeSpinLock(&stallBudget.lock);
    Refill(NowUs());
    std::int64_t ms = stallBudget.availableUs / 1000;
    if (ms > POST_WAIT_LIMIT_MS) {
        ms = POST_WAIT_LIMIT_MS;
    }
    if (ms < 0) {
        ms = 0;
    }
    stallBudget.availableUs -= ms * 1000;
    DropSpinLock(&stallBudget.lock);
    return static_cast<std::uint32_t>(ms);
}

// True when a spin may still run (and be charged) now.
bool SpinAllowed() {
    TakeSpinLock(&stallBudget.lock);
    Refill(NowUs());
    const bool allowed = stallBudget.availableUs > -SPIN_DEBT_LIMIT_US;
    DropSpinLock(&stallBudget.lock);
    return allowed;
}

// Settles a draw of drawnMs after a wait that lasted usedUs.
void SettleStall(std::uint32_t drawnMs, std::int64_t usedUs) {
    TakeSpinLock(&stallBudget.lock);
    stallBudget.availableUs += static_cast<std::int64_t>(drawnMs) * 1000 - usedUs;
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
    if (got == EVENT_MUTEX_PENDING && SpinAllowed()) {
        const std::int64_t start = NowUs();
        std::int64_t spent = 0;
        do {
            std::this_thread::yield();
            got = CompletePendingEventMutex(lock, process, hold);
            spent = NowUs() - start;
        } while (got == EVENT_MUTEX_PENDING && spent < HONEST_SPIN_US);
        SettleStall(0, spent);
    }
    if (got == EVENT_MUTEX_PENDING) {
        const std::uint32_t drawnMs = DrawStall();
        if (drawnMs != 0) {
            const std::int64_t start = NowUs();
            got = WaitPendingEventMutex(lock, process, OWNER_POLL_MS, drawnMs, hold);
            SettleStall(drawnMs, NowUs() - start);
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
    stallBudget.availableUs = STALL_BUDGET_CAP_US;
    stallBudget.refilledAtUs = NowUs();
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
