// Helpers of the queue tests: process ids no real process has, raw byte access
// to a block, a post run on its own thread with a time bound, and a client in
// this process with its own descriptor of the slot's lock. Clients are
// planted with support/client_slots.h.
#pragma once
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <thread>
#include <vector>

#include "locks/mutex.h"
#include "platform/atomic.h"
#include "platform/event.h"
#include "platform/mapping.h"
#include "platform/process.h"
#include "queue/asyncque.h"
#include "queue/lifecycle.h"
#include "support/client_slots.h"

// Top bit set (above any real process id), this process's id and n below it, so
// parallel test processes never share a block name.
inline std::uint32_t FakeClientPid(std::uint32_t n) {
    return 0x80000000u | ((OsCurrentProcessId() & 0x7FFFFFu) << 8) | (n & 0xFFu);
}

inline std::vector<unsigned char> BlockBytes(const AsyncQueueBlock* block) {
    const auto* p = reinterpret_cast<const unsigned char*>(block);
    return std::vector<unsigned char>(p, p + QUEUE_BLOCK_SIZE);
}

inline std::uint32_t ReadLE32(const std::vector<unsigned char>& bytes, std::size_t offset) {
    return static_cast<std::uint32_t>(bytes[offset]) |
           static_cast<std::uint32_t>(bytes[offset + 1]) << 8 |
           static_cast<std::uint32_t>(bytes[offset + 2]) << 16 |
           static_cast<std::uint32_t>(bytes[offset + 3]) << 24;
}

// True when the event was set; takes the signal.
inline bool TakeSignal(OsHandle event) {
    return OsWaitForObject(event, 0) == OS_WAIT_OBJECT_0;
}

// Records pending in a ring that is locked or otherwise quiet.
inline std::uint32_t PendingRecords(const AsyncQueueBlock* block) {
    return (block->writeIndex + QUEUE_DEPTH - block->readIndex) % QUEUE_DEPTH;
}

using Clock = std::chrono::steady_clock;

inline std::int64_t MsSince(Clock::time_point start) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

// Waits until flag is set, for at most limitMs. True when it was set.
inline bool WaitFlag(const std::atomic<bool>& flag, std::int64_t limitMs) {
    const Clock::time_point start = Clock::now();
    while (!flag.load()) {
        if (MsSince(start) >= limitMs) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

// A client in this process, with its own descriptor of the slot's lock opened
// by name over the same lock word, as a client process opens its side.
struct LocalClient {
    std::uint32_t pid = 0;
    std::uint32_t slot = 0;
    AsyncQueueBlock* block = nullptr;
    EventMutex lock{};
    OsHandle self = OS_NO_HANDLE;

    bool Open(std::uint32_t s, std::uint32_t p) {
        slot = s;
        pid = p;
        self = OsOpenProcess(OsCurrentProcessId());  // alive, as a registered client
        block = PlantClient(slot, pid, self);
        if (block == nullptr) {
            return false;
        }
        char name[CLIENT_OBJECT_NAME_SIZE];
        FormatClientObjectName(name, pid, BLOCK_LOCK_NAME_SUFFIX);
        return OpenEventMutex(&lock, &block->lockCount, name) == 0;
    }
    void Close() {
        CloseEventMutex(&lock);
        RemovePlantedClient(slot);
        if (self != OS_NO_HANDLE) {
            OsCloseHandle(self);
        }
    }
    std::int32_t Word() const { return OsAtomicLoad(&block->lockCount); }
    SlotPostCounts Counts() const {
        const SlotPostCounts& c = clientTable.slots[slot].counts;
        return SlotPostCounts{OsAtomicLoad(&c.delivered), OsAtomicLoad(&c.droppedFull),
                              OsAtomicLoad(&c.droppedEnded), OsAtomicLoad(&c.droppedLockKept),
                              OsAtomicLoad(&c.lockWaits)};
    }
};
