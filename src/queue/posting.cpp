// PostEvent: delivers one record to a registered client's ring under the block's
// lock and wakes the client. Runs once per record and client on the time-critical
// dispatch thread (and on the main thread for the unregistration record): no
// allocation, no strings, and no system call unless the lock is contended or the
// record fitted and its client sleeps (one wake-up, made here or, in a handlers'
// pass, by the wake relay).
//
// Counts the outcome of every post in the slot's record and publishes it in the
// server's statistics object: a few plain stores, no system call, no lock.
//
// Also owns the per-slot post lock, which serialises the two threads' posts to
// one slot without a locked instruction on the dispatch thread's side, and the
// per-slot stall budget, which bounds how long posts may wait for a lock that a
// client keeps; together they keep one client from costing the others.
#include "queue/asyncque.h"

#include <cassert>
#include <chrono>
#include <thread>

#include "locks/mutex.h"
#include "platform/atomic.h"
#include "platform/barrier.h"
#include "platform/event.h"
#include "queue/client_table.h"
#include "queue/server_stats.h"
#include "queue/wake_relay.h"

PostingHook postingHook = nullptr;

namespace {

// How often a post that waits for a client's lock checks whether the client ended.
constexpr std::uint32_t OWNER_POLL_MS = 1;

// The stall budget, per slot: all timed waits of the posts to one slot together
// last at most 25 ms in any one second (at most 25 ms saved, refilled at 25 ms
// per second), whatever the client does and however often it registers again
// (the budget stays with the slot). So one client that keeps its lock, or writes
// a held value over its lock word, costs the others at most 25 ms of delivery
// in any second, and a client's budget is never spent by another: an honest
// client that is once not run in time while it holds its lock still gets its
// wait. When a slot's budget is spent, a post leaves its acquire pending and
// drops its record at once, counted for that client as droppedLockKept.
constexpr std::int64_t STALL_US_PER_SECOND = 25000;
constexpr std::int64_t STALL_CAP_US = 25000;
// One wait is at most what the budget holds.
constexpr std::uint32_t POST_WAIT_LIMIT_MS = 25;

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

// The lock among slow posters of one slot: spins a little, then yields the
// processor to whoever holds it.
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

// Waits until another thread clears *word: spins a little, then yields.
void WaitUntilClear(const std::uint32_t* word) {
    for (std::uint32_t spins = 0; OsAtomicLoad(word) != 0u; ++spins) {
        if (spins >= 64) {
            std::this_thread::yield();
        }
    }
}

// The post lock of a slot is biased towards one thread, the fast poster (the
// dispatch thread, which makes nearly all posts); every other thread is a slow
// poster. The fast side takes it with plain stores and loads, no locked
// instruction and no processor fence:
//   fast:  fastBusy = 1; [compiler fence]; if slowWant == 0, enter;
//          otherwise fastBusy = 0, wait until slowWant == 0, try again.
//   slow:  take slowLock (one slow poster at a time); slowWant = 1;
//          OsProcessBarrier(); wait until fastBusy == 0.
// Why both cannot be inside: the barrier makes the fast poster execute a full
// fence at some point of its instruction stream. If that point is after its
// store of fastBusy, the store is visible to the slow side's load, which comes
// after the barrier, and the slow side waits. If it is before the store, the
// fast side's load of slowWant comes after that fence, and after the slow
// side's store (the barrier call itself orders the slow side's store before the
// fences it forces), so it sees slowWant set and backs off. Program order keeps
// the fast side's load after its store (the compiler fence stops the compiler
// from swapping them; the processor may let the load pass the store, which is
// exactly what the barrier closes).
// The barrier is skipped while no thread holds the fast claim: a thread that
// claims afterwards runs a barrier (a full fence on itself) after its claim, so
// its first load of slowWant sees the slow side's store; a thread that gave
// the claim up stored fastBusy = 0 before it did. A slow poster that holds the
// lock keeps the fast poster out for that one post; slow posts are rare (the
// main thread's unregistration record), so the fast side is not starved.
// Releases: fastBusy = 0 (release), or slowWant = 0 (release) and slowLock.
std::uint32_t fastPosterClaimed = 0;  // 1 while a thread is the fast poster
thread_local bool isFastPoster = false;

void LockPosts(SlotRecord& record) {
    if (isFastPoster) {
        for (;;) {
            OsAtomicStoreRelaxed(&record.fastBusy, 1u);
            OsSignalFence();
            if (OsAtomicLoad(&record.slowWant) == 0u) {
                return;
            }
            OsAtomicStore(&record.fastBusy, 0u);
            WaitUntilClear(&record.slowWant);
        }
    }
    TakeSpinLock(&record.slowLock);
    OsAtomicStoreSeqCst(&record.slowWant, 1u);
    if (OsAtomicLoadSeqCst(&fastPosterClaimed) != 0u) {
        OsProcessBarrier();
    }
    WaitUntilClear(&record.fastBusy);
}

void UnlockPosts(SlotRecord& record) {
    if (isFastPoster) {
        OsAtomicStore(&record.fastBusy, 0u);
        return;
    }
    OsAtomicStore(&record.slowWant, 0u);
    DropSpinLock(&record.slowLock);
}

// Draws up to POST_WAIT_LIMIT_MS, in whole ms, from the slot's budget after
// adding what the time since its last refill earned; 0 when less than 1 ms is
// left. Caller holds the slot's post lock.
std::uint32_t DrawStall(SlotRecord& record) {
    const std::int64_t now = NowUs();
    if (record.stallRefilledAtUs == 0) {
        record.stallRefilledAtUs = now;
        record.stallAvailableUs = STALL_CAP_US;
    }
    const std::int64_t earned = (now - record.stallRefilledAtUs) * STALL_US_PER_SECOND / 1000000;
    if (earned > 0) {
        record.stallAvailableUs += earned;
        if (record.stallAvailableUs > STALL_CAP_US) {
            record.stallAvailableUs = STALL_CAP_US;
        }
        record.stallRefilledAtUs = now;
    }
    std::int64_t ms = record.stallAvailableUs / 1000;
    ms = ms > POST_WAIT_LIMIT_MS ? POST_WAIT_LIMIT_MS : (ms < 0 ? 0 : ms);
    return static_cast<std::uint32_t>(ms);
}

// The slot's SLOT_* bits: atomic, since tests and the main thread read them
// while posts run; changed only under the slot's post lock.
bool HasState(const SlotRecord& record, std::uint32_t bit) {
    return (OsAtomicLoad(&record.state) & bit) != 0;
}
void SetState(SlotRecord& record, std::uint32_t bit) {
    OsAtomicFetchOr(&record.state, bit);
}
void ClearState(SlotRecord& record, std::uint32_t bit) {
    OsAtomicFetchAnd(&record.state, ~bit);
}

// Counters change only under the slot's post lock, so each has one writer at a
// time: one relaxed store of the private count, which readers on other threads
// load atomically, and one of the same value into the published slot (shown,
// null while the server runs without statistics).
void Count(SlotRecord& record, StatsSlot* shown, std::uint64_t SlotPostCounts::*count,
           std::uint64_t StatsSlot::*published) {
    std::uint64_t* counter = &(record.counts.*count);
    const std::uint64_t value = OsAtomicLoadRelaxed(counter) + 1u;
    OsAtomicStoreRelaxed(counter, value);
    if (shown != nullptr) {
        OsAtomicStoreRelaxed(&(shown->*published), value);
    }
}

void Hook(std::uint32_t slot, PostPoint point) {
    PostingHook hook = OsAtomicLoad(&postingHook);
    if (hook != nullptr) {
        hook(slot, point);
    }
}

// Takes the slot's block lock for one post, or says why not: 0 held, -1 the
// client ended without handing it over (or the descriptor reads closed),
// EVENT_MUTEX_PENDING a live holder kept it. Caller holds the slot's post lock.
// A post that finds the lock held (by its client: the two server threads take
// turns under the post lock) is counted as a lock wait.
std::int32_t AcquireForPost(SlotRecord& record, std::uint32_t slot, StatsSlot* shown,
                            EventMutexHold* hold) {
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
        Count(record, shown, &SlotPostCounts::lockWaits, &StatsSlot::lockWaits);
        const std::int64_t start = NowUs();
        std::int64_t spent = 0;
        do {
            std::this_thread::yield();
            got = CompletePendingEventMutex(lock, process, hold);
            spent = NowUs() - start;
        } while (got == EVENT_MUTEX_PENDING && spent < HONEST_SPIN_US);
    }
    if (got == EVENT_MUTEX_PENDING) {
        const std::uint32_t grantMs = DrawStall(record);
        if (grantMs != 0) {
            const std::int64_t start = NowUs();
            got = WaitPendingEventMutex(lock, process, OWNER_POLL_MS, grantMs, hold);
            record.stallAvailableUs -= NowUs() - start;
        }
    }
    if (got == EVENT_MUTEX_PENDING) {
        SetState(record, SLOT_PENDING);
    }
    return got;
}

}  // namespace

bool ClaimFastPosting() {
    if (isFastPoster) {
        return true;
    }
    if (!OsProcessBarrierAvailable()) {
        return false;
    }
    std::uint32_t expected = 0;
    if (!OsAtomicCompareExchange(&fastPosterClaimed, &expected, 1u)) {
        return false;
    }
    // Orders the claim before this thread's first load of any slowWant (see
    // LockPosts: a slow poster that saw no claim skipped its barrier): the
    // barrier runs a full fence on the calling thread too.
    OsProcessBarrier();
    isFastPoster = true;
    return true;
}

void ReleaseFastPosting() {
    if (!isFastPoster) {
        return;
    }
    isFastPoster = false;
    OsAtomicStoreSeqCst(&fastPosterClaimed, 0u);
}

void ResetPostCounts(std::uint32_t slot) {
    assert(slot < MAX_CLIENTS);
    SlotRecord& record = clientTable.slots[slot];
    LockPosts(record);
    OsAtomicStoreRelaxed(&record.counts.delivered, std::uint64_t{0});
    OsAtomicStoreRelaxed(&record.counts.droppedFull, std::uint64_t{0});
    OsAtomicStoreRelaxed(&record.counts.droppedEnded, std::uint64_t{0});
    OsAtomicStoreRelaxed(&record.counts.droppedLockKept, std::uint64_t{0});
    OsAtomicStoreRelaxed(&record.counts.lockWaits, std::uint64_t{0});
    UnlockPosts(record);
}

void RefillPostingStallBudget() {
    for (SlotRecord& record : clientTable.slots) {
        LockPosts(record);
        record.stallAvailableUs = STALL_CAP_US;
        record.stallRefilledAtUs = NowUs();
        UnlockPosts(record);
    }
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
    StatsSlot* shown = PublishedStatsSlot(slot);
    LockPosts(record);
    Hook(slot, PostPoint::Entered);
    if (HasState(record, SLOT_ABANDONED)) {
        // Its client ended holding the lock: dropped at once.
        Count(record, shown, &SlotPostCounts::droppedEnded, &StatsSlot::droppedEnded);
        UnlockPosts(record);
        return 0;
    }
    EventMutexHold hold{};
    const std::int32_t got = AcquireForPost(record, slot, shown, &hold);
    if (got != 0 || hold.lockWord == nullptr) {
        // Not held (a closed descriptor fills no hold and answers -1): nothing
        // is appended, the record is dropped and counted.
        if (got == EVENT_MUTEX_PENDING) {
            Count(record, shown, &SlotPostCounts::droppedLockKept, &StatsSlot::droppedLockKept);
        } else {
            SetState(record, SLOT_ABANDONED);
            Count(record, shown, &SlotPostCounts::droppedEnded, &StatsSlot::droppedEnded);
        }
        UnlockPosts(record);
        return 0;
    }
    if (AppendRecord(block, code, arg1, arg2, arg3) == QUEUE_OK) {
        Count(record, shown, &SlotPostCounts::delivered, &StatsSlot::delivered);
        // The wake-up goes out before the lock is given back.
        OsHandle wake = OsAtomicLoad(&clientTable.wakeEvents[slot]);
        if (wake != OS_NO_HANDLE) {
            WakeAfterPost(slot, wake);
        }
    } else {
        Count(record, shown, &SlotPostCounts::droppedFull, &StatsSlot::droppedFull);
    }
    Hook(slot, PostPoint::BeforeRelease);
    ReleaseHeldEventMutex(hold);
    UnlockPosts(record);
    return 0;
}
