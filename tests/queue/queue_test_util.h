// Helpers of the queue tests: process ids no real process has, raw byte access
// to a block, and a post run on its own thread with a time bound. Clients are
// planted with support/client_slots.h.
#pragma once
#include <cstdint>
#include <cstring>
#include <vector>

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
