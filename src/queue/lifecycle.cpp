// The block lifecycle of this process: the per-slot mapping and view tables, the
// per-slot lock descriptors that this process really uses, and the naming of a
// client's objects.
//
// The block is writable by the client process, so nothing that this process
// needs is ever read back from it. Each slot's lock descriptor lives here, in
// blockLocks; after it is opened or closed its three fields are copied into the
// block's descriptor of this side (serverMutex or clientMutex), so that the
// block's `name` is non-zero exactly while this side is open. A non-zero `name`
// found in a block this process has no lock open on was left by an ended
// process, or written by the other side: it is ignored and overwritten.
#include "queue/lifecycle.h"

#include <cassert>
#include <cstdio>
#include <cstring>

#include "locks/mutex.h"
#include "platform/atomic.h"
#include "platform/mapping.h"
#include "queue/asyncque.h"

OsHandle blockMappings[MAX_CLIENTS];
AsyncQueueBlock* blockViews[MAX_CLIENTS];

namespace {

// Main thread writes (open, close); PostEvent on either server thread uses an
// open slot's descriptor, which the main thread only changes while no post can
// reach the slot.
EventMutex blockLocks[MAX_CLIENTS];

// The pid and side each open slot was opened with, to find another slot of
// this process that has the same block open with the same side.
std::uint32_t openPids[MAX_CLIENTS];
std::uint32_t openSides[MAX_CLIENTS];

// What posts have learnt about each slot's client and its lock, as bits. Written
// by PostEvent (either server thread, so bits are set and cleared atomically),
// cleared by OpenQueueBlock.
//   ABANDONED    its client ended with the lock not handed over
//   PENDING      a post that gave up waiting for a live holder still counts as
//                a waiter on the lock (see AcquireEventMutexWithin)
//   SLOW_HOLDER  a live client once kept the lock past the first, long wait
constexpr std::uint32_t SLOT_ABANDONED = 1u;
constexpr std::uint32_t SLOT_PENDING = 2u;
constexpr std::uint32_t SLOT_SLOW_HOLDER = 4u;
std::uint32_t slotStates[MAX_CLIENTS];

void SetSlotState(std::uint32_t slot, std::uint32_t bit, bool on) {
    assert(slot < MAX_CLIENTS);
    if (on) {
        __atomic_fetch_or(&slotStates[slot], bit, __ATOMIC_ACQ_REL);
    } else {
        __atomic_fetch_and(&slotStates[slot], ~bit, __ATOMIC_ACQ_REL);
    }
}

bool SlotState(std::uint32_t slot, std::uint32_t bit) {
    assert(slot < MAX_CLIENTS);
    return (OsAtomicLoad(&slotStates[slot]) & bit) != 0;
}

EventMutex* SideDescriptor(AsyncQueueBlock* block, std::uint32_t side) {
    return side != 0 ? &block->serverMutex : &block->clientMutex;
}

// Writes the block's copy of this side's descriptor. Written, never read.
void PublishDescriptor(AsyncQueueBlock* block, std::uint32_t side, const EventMutex& mine) {
    volatile EventMutex* shared = SideDescriptor(block, side);
    shared->name = mine.name;
    shared->event = mine.event;
    shared->lockWord = mine.lockWord;
}

// Another open slot of this process with the same block and side, or MAX_CLIENTS.
std::uint32_t TwinSlot(std::uint32_t slot, std::uint32_t side) {
    for (std::uint32_t t = 0; t < MAX_CLIENTS; ++t) {
        if (t != slot && blockViews[t] != nullptr && blockLocks[t].name != 0 &&
            openPids[t] == openPids[slot] && openSides[t] == (side != 0 ? 1u : 0u)) {
            return t;
        }
    }
    return MAX_CLIENTS;
}

}  // namespace

void FormatClientObjectName(char* buf, std::uint32_t pid, const char* suffix) {
    std::snprintf(buf, CLIENT_OBJECT_NAME_SIZE, "X%lx%s", static_cast<unsigned long>(pid), suffix);
}

AsyncQueueBlock* MapQueueBlock(std::uint32_t pid, OsHandle* mapping) {
    char name[CLIENT_OBJECT_NAME_SIZE];
    FormatClientObjectName(name, pid, BLOCK_NAME_SUFFIX);
    bool existed = false;
    OsHandle handle = OsCreateMapping(name, QUEUE_BLOCK_SIZE, &existed);
    if (handle == OS_NO_HANDLE) {
        return nullptr;
    }
    void* view = OsMapView(handle, QUEUE_BLOCK_SIZE);
    if (view == nullptr) {
        OsCloseHandle(handle);
        return nullptr;
    }
    auto* block = static_cast<AsyncQueueBlock*>(view);
    if (!existed) {
        // Only the creator initialises; an opener keeps whatever the block holds.
        std::memset(view, 0, QUEUE_BLOCK_SIZE);
        block->lockCount = LOCK_FREE;
        block->ownerPid = pid;
        ResetQueue(block);
    }
    *mapping = handle;
    return block;
}

AsyncQueueBlock* OpenQueueBlock(std::uint32_t slot, std::uint32_t pid, std::uint32_t side) {
    if (slot >= MAX_CLIENTS) {
        return nullptr;
    }
    if (blockMappings[slot] != OS_NO_HANDLE) {
        return blockViews[slot];
    }
    OsHandle mapping = OS_NO_HANDLE;
    AsyncQueueBlock* view = MapQueueBlock(pid, &mapping);
    if (view == nullptr) {
        return nullptr;
    }
    blockMappings[slot] = mapping;
    blockViews[slot] = view;
    openPids[slot] = pid;
    openSides[slot] = side != 0 ? 1u : 0u;
    OsAtomicStore(&slotStates[slot], 0u);

    // The slot was closed, so this process has no lock open on it: whatever the
    // block's descriptor of this side holds is stale and is not looked at.
    char lockName[CLIENT_OBJECT_NAME_SIZE];
    FormatClientObjectName(lockName, pid, BLOCK_LOCK_NAME_SUFFIX);
    if (OpenEventMutex(&blockLocks[slot], &view->lockCount, lockName) != 0) {
        CloseQueueBlock(slot, side);
        return nullptr;
    }
    PublishDescriptor(view, side, blockLocks[slot]);
    return view;
}

std::int16_t CloseQueueBlock(std::uint32_t slot, std::uint32_t side) {
    if (slot >= MAX_CLIENTS) {
        return -1;
    }
    AsyncQueueBlock* view = blockViews[slot];
    if (view == nullptr && blockMappings[slot] == OS_NO_HANDLE) {
        return -1;  // nothing open in this slot
    }
    CloseEventMutex(&blockLocks[slot]);
    if (view != nullptr) {
        // Another slot of this process may still have the same block open with
        // this side; the block's descriptor then shows that slot's lock.
        std::uint32_t twin = TwinSlot(slot, side);
        const EventMutex closed = {0, 0, 0};
        PublishDescriptor(view, side, twin < MAX_CLIENTS ? blockLocks[twin] : closed);
        if (!OsUnmapView(view)) {
            return -1;
        }
        blockViews[slot] = nullptr;
    }
    // A slot left with its mapping after an earlier failed close is finished here.
    if (!OsCloseHandle(blockMappings[slot])) {
        return -1;
    }
    blockMappings[slot] = OS_NO_HANDLE;
    openPids[slot] = 0;
    return 0;
}

EventMutex* QueueBlockLock(std::uint32_t slot) {
    assert(slot < MAX_CLIENTS);
    return &blockLocks[slot];
}

void MarkQueueBlockAbandoned(std::uint32_t slot) {
    SetSlotState(slot, SLOT_ABANDONED, true);
}

bool QueueBlockAbandoned(std::uint32_t slot) {
    return SlotState(slot, SLOT_ABANDONED);
}

void SetQueueBlockPending(std::uint32_t slot, bool pending) {
    SetSlotState(slot, SLOT_PENDING, pending);
}

bool QueueBlockPending(std::uint32_t slot) {
    return SlotState(slot, SLOT_PENDING);
}

void MarkQueueBlockSlowHolder(std::uint32_t slot) {
    SetSlotState(slot, SLOT_SLOW_HOLDER, true);
}

bool QueueBlockSlowHolder(std::uint32_t slot) {
    return SlotState(slot, SLOT_SLOW_HOLDER);
}

std::uint32_t QueueBlockPid(std::uint32_t slot) {
    assert(slot < MAX_CLIENTS);
    return blockViews[slot] != nullptr ? openPids[slot] : 0;
}
