// The block lifecycle of the server's slots: opening a slot's block with this
// process's own lock descriptor for it, and closing it, all kept in the slot's
// record (clientTable.slots).
//
// The block is writable by the client process, so nothing that this process
// needs is ever read back from it. After a slot's descriptor is opened or closed
// its three fields are copied into the block's descriptor of this side
// (serverMutex or clientMutex), so that the block's `name` is non-zero exactly
// while this side is open. A non-zero `name` found in a block this process has no
// lock open on was left by an ended process, or written by the other side: it is
// ignored and overwritten.
#include "queue/lifecycle.h"

#include <cassert>
#include <cstring>

#include "locks/mutex.h"
#include "platform/atomic.h"
#include "platform/mapping.h"
#include "queue/asyncque.h"
#include "queue/client_table.h"

namespace {

// How often the refresh's lock wait checks whether the new client still runs.
constexpr std::uint32_t REFRESH_POLL_MS = 10;

// Another open slot of this process with the same block and side, or MAX_CLIENTS.
std::uint32_t TwinSlot(std::uint32_t slot, Side side) {
    const SlotRecord& mine = clientTable.slots[slot];
    for (std::uint32_t t = 0; t < MAX_CLIENTS; ++t) {
        const SlotRecord& other = clientTable.slots[t];
        if (t != slot && other.view != nullptr && other.lock.name != 0 &&
            other.openPid == mine.openPid && other.openSide == side) {
            return t;
        }
    }
    return MAX_CLIENTS;
}

}  // namespace

AsyncQueueBlock* OpenQueueBlock(std::uint32_t slot, std::uint32_t pid, Side side, bool* existed) {
    assert(side == SIDE_CLIENT || side == SIDE_SERVER);
    if (existed != nullptr) {
        *existed = false;
    }
    if (slot >= MAX_CLIENTS) {
        return nullptr;
    }
    SlotRecord& record = clientTable.slots[slot];
    if (record.mapping != OS_NO_HANDLE) {
        if (existed != nullptr) {
            *existed = true;
        }
        return record.view;
    }
    OsHandle mapping = OS_NO_HANDLE;
    AsyncQueueBlock* view = MapQueueBlock(pid, &mapping, existed);
    if (view == nullptr) {
        return nullptr;
    }
    record.mapping = mapping;
    record.view = view;
    record.openPid = pid;
    record.openSide = side;
    OsAtomicStore(&record.state, 0u);

    // The slot was closed, so this process has no lock open on it: whatever the
    // block's descriptor of this side holds is stale and is not looked at.
    char lockName[CLIENT_OBJECT_NAME_SIZE];
    FormatClientObjectName(lockName, pid, BLOCK_LOCK_NAME_SUFFIX);
    if (OpenEventMutex(&record.lock, &view->lockCount, lockName) != 0) {
        CloseQueueBlock(slot, side);
        return nullptr;
    }
    PublishDescriptor(view, side, record.lock);
    return view;
}

std::int16_t CloseQueueBlock(std::uint32_t slot, Side side) {
    assert(side == SIDE_CLIENT || side == SIDE_SERVER);
    if (slot >= MAX_CLIENTS) {
        return -1;
    }
    SlotRecord& record = clientTable.slots[slot];
    AsyncQueueBlock* view = record.view;
    if (view == nullptr && record.mapping == OS_NO_HANDLE) {
        return -1;  // nothing open in this slot
    }
    CloseEventMutex(&record.lock);
    if (view != nullptr) {
        // Another slot of this process may still have the same block open with
        // this side; the block's descriptor then shows that slot's lock.
        std::uint32_t twin = TwinSlot(slot, side);
        const EventMutex closed = {0, 0, 0};
        PublishDescriptor(view, side, twin < MAX_CLIENTS ? clientTable.slots[twin].lock : closed);
        if (!OsUnmapView(view)) {
            return -1;
        }
        record.view = nullptr;
    }
    // A slot left with its mapping after an earlier failed close is finished here.
    if (!OsCloseHandle(record.mapping)) {
        return -1;
    }
    record.mapping = OS_NO_HANDLE;
    record.openPid = 0;
    return 0;
}

void RefreshQueueBlock(std::uint32_t slot, OsHandle process) {
    assert(slot < MAX_CLIENTS);
    SlotRecord& record = clientTable.slots[slot];
    AsyncQueueBlock* block = record.view;
    if (block == nullptr) {
        return;
    }
    // A live holder (the new client taking records, another server appending)
    // keeps the lock for microseconds. One that keeps it past the bound is an
    // earlier process that died holding it, or one that never hands it over.
    EventMutexHold hold{};
    std::int32_t got = AcquireEventMutexWithin(&record.lock, process, REFRESH_POLL_MS,
                                               REFRESH_LOCK_LIMIT_MS, &hold);
    if (got != 0) {
        if (hold.lockWord == nullptr) {
            return;  // this side's descriptor is closed: no lock to take
        }
        // This process stays counted as a waiter; taking the lock back drops
        // that count with the dead holder's.
        if (ReclaimEventMutex(&record.lock, &hold) != 0) {
            return;
        }
    } else {
        // No hand-over is due while this process holds the lock, so a signal
        // on the event (one an ended process left) is stale: left there, it
        // would let the next contended acquire in beside a holder.
        (void)OsWaitForObject(hold.event, 0);
    }
    std::memset(block->ring, 0, sizeof block->ring);
    ResetQueue(block);
    for (std::uint32_t AsyncQueueBlock::*flag : CLASS_FLAGS) {
        if (flag != nullptr) {
            OsAtomicStore(&(block->*flag), 0u);
        }
    }
    for (std::uint16_t& entry : block->levelMask) {
        OsAtomicStore(&entry, std::uint16_t{0});
    }
    for (std::uint16_t& entry : block->sourceMask) {
        OsAtomicStore(&entry, std::uint16_t{0});
    }
    for (std::uint16_t& entry : block->channelMask) {
        OsAtomicStore(&entry, std::uint16_t{0});
    }
    OsAtomicStore(&block->ownerPid, record.openPid);
    ReleaseHeldEventMutex(hold);
}
