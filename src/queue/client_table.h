// The server's registry of clients: per slot the block pointer and wake event that
// the handlers read, the client count, one record of everything else this process
// keeps about the slot, the lookup by process id, and the guard that keeps the
// dispatch thread's handlers off blocks the main thread is removing.
//
// Threads: the main thread (requests: register, unregister, sweep, shutdown) and
// the dispatch thread (handlers, which post through PostEventToBlock). The main
// thread posts too (the unregistration record), so PostEvent runs on both.
#pragma once
#include <cstdint>
#include "locks/mutex.h"
#include "platform/atomic.h"
#include "platform/types.h"
#include "queue/block.h"

// Bits of SlotRecord::state: what posts have learnt about the slot's client and
// its lock.
//   SLOT_ABANDONED    its client ended with the lock not handed over
//   SLOT_PENDING      a post that gave up waiting for a live holder still counts
//                     as a waiter on the lock (see AcquireEventMutexWithin)
inline constexpr std::uint32_t SLOT_ABANDONED = 1u;
inline constexpr std::uint32_t SLOT_PENDING = 2u;

// What became of the records posted to one slot, by cause, since the slot's
// current registration began (registration resets them while the slot is not
// published). Counted by PostEvent under the slot's post lock, one relaxed
// store each, so that any thread may read them with atomic loads; the same
// values are published in the server's statistics object.
struct SlotPostCounts {
    std::uint64_t delivered;        // appended to the ring
    std::uint64_t droppedFull;      // the ring was full (or its indexes unreadable)
    std::uint64_t droppedEnded;     // the client ended without handing the lock over
    std::uint64_t droppedLockKept;  // a live holder did not hand the lock over in time
    std::uint64_t lockWaits;        // posts that found the lock held and waited for it
};
static_assert(OS_ATOMIC_LOCK_FREE<std::uint64_t>,
              "the counts are read by other threads with plain atomic loads");

// Everything this process keeps about one slot besides its published block
// pointer and wake event. Nothing here is ever read back from the block, which
// its client can rewrite. Zero (OS_NO_HANDLE, null) at start and when closed.
struct SlotRecord {
    // The slot's block mapping and view. Written by the main thread only
    // (OpenQueueBlock, CloseQueueBlock); read by the main thread. Posts reach the
    // view through clientBlocks, never through this field.
    OsHandle mapping;
    AsyncQueueBlock* view;
    // This process's own lock descriptor of the block; the block's copy is written
    // for the layout, never read. Opened and closed by the main thread while the
    // slot is not published (no post can reach it); used by PostEvent on either
    // thread while the slot is published.
    EventMutex lock;
    // The pid and side the slot was opened with (0 when closed). Main thread only:
    // FindClientSlot goes by openPid, not by the block's ownerPid.
    std::uint32_t openPid;
    Side openSide;
    // SLOT_* bits. Set and cleared by PostEvent on either thread with atomic
    // read-modify-writes; cleared by OpenQueueBlock before the slot is published.
    std::uint32_t state;
    // The server's handle of the client's process, for "has it ended?" (the
    // block's processHandle is a 32-bit copy for the layout, never read). Written
    // by the main thread with an atomic store before the block is published and
    // after it is withdrawn; read by PostEvent on either thread with an atomic load.
    // OS_NO_HANDLE (a process the server cannot open) counts as alive.
    OsHandle process;
    // The post lock: serialises the posts of this slot between the server's two
    // threads, so that the pending check, the acquire, the append and the release
    // of one post run with it held and SLOT_PENDING and the count it stands for
    // in the lock word stay in step. Biased towards the fast poster (see
    // LockPosts in posting.cpp): fastBusy is 1 while the fast poster is inside or
    // entering, slowWant 1 while another thread holds or wants it, and slowLock
    // (0 free, 1 held) orders the other threads among themselves. Process-local,
    // never in shared memory. Held only across one post, whose own wait for the
    // client's lock is bounded.
    std::uint32_t fastBusy;
    std::uint32_t slowWant;
    std::uint32_t slowLock;
    // Outcomes of the posts to this slot (see SlotPostCounts) since its current
    // registration began.
    SlotPostCounts counts;
    // The slot's stall budget: how long posts to this slot may still wait for
    // the client's lock (us; below zero after a wait overran its grant), and when
    // it was last refilled (steady clock, us; 0 never). Kept across
    // registrations, so a client cannot refresh it by registering again. Read
    // and written by posts under the post lock.
    std::int64_t stallAvailableUs;
    std::int64_t stallRefilledAtUs;
};

struct ClientTable {
    // null: slot free. Written by the main thread with atomic stores (published
    // last at register, withdrawn first at unregister, then WaitForTableWalkers);
    // read by the handlers under the walk guard and by PostEvent, atomically.
    AsyncQueueBlock* clientBlocks[MAX_CLIENTS];
    // The client's wake event. Written by the main thread (atomic store) while the
    // slot is not published; read by PostEvent after a record fitted.
    OsHandle wakeEvents[MAX_CLIENTS];
    // Registered clients. Main thread only.
    std::int32_t clientCount;
    SlotRecord slots[MAX_CLIENTS];
};

extern ClientTable clientTable;

inline constexpr std::int16_t SLOT_NOT_FOUND = -2;

// 0 and *slot for the first published slot opened for pid (the pid this process
// opened it with, not the block's ownerPid, which its client can rewrite); -2
// otherwise. Main thread only.
std::int16_t FindClientSlot(std::uint32_t pid, std::uint32_t* slot);

// Handlers bracket each walk of the table with these (dispatch thread only).
void BeginTableWalk();
void EndTableWalk();

// Main thread: after clearing a slot's entry (a seq_cst store), waits until no
// walk that might have read the old entry is still running. Afterwards nothing
// on the dispatch thread reaches the old block. The wait is bounded by the walk
// itself: every wait inside a walk is bounded (a post waits at most 5 ms for a
// client's lock, drawn from the stall budget, and behind the other thread's post
// of the same slot), so no other process can make it last; only a dispatch
// thread that the machine does not run can.
void WaitForTableWalkers();
