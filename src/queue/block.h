// The per-client shared block: its byte layout, who writes and reads each field
// under which lock, the ring protocol, and the bit rules that turn a level or a
// channel into a bit of a 16-bit selection mask.
//
// One block per client process, named after its pid ("X" + pid in hex + "KQVXI
// IPC Glbl Mem"), mapped by the client and by the server. The client can write
// any byte of it at any time, so the server reads every field it uses once, checks
// it before use, and keeps everything it needs to trust (the block's owner, its
// lock descriptor, the client's process handle) in its own memory instead.
#pragma once
#include <cstddef>
#include <cstdint>
#include <type_traits>
#include "kqvxi/events.h"
#include "locks/mutex.h"
#include "platform/atomic.h"

inline constexpr std::uint32_t MAX_CLIENTS = 50;
inline constexpr std::uint32_t QUEUE_DEPTH = 100;
inline constexpr std::uint32_t QUEUE_BLOCK_SIZE = 3604;
inline constexpr std::uint32_t LEVEL_MASK_ENTRIES = 255;
inline constexpr std::uint32_t SOURCE_MASK_ENTRIES = 255;
inline constexpr std::uint32_t CHANNEL_MASK_ENTRIES = 256;

// Which side of a block a process opened it as: the block keeps one lock
// descriptor per side (clientMutex, serverMutex).
enum Side : std::uint32_t { SIDE_CLIENT = 0, SIDE_SERVER = 1 };

// One event record. Written whole by the server before it moves writeIndex past
// it; read and zeroed by the client before it moves readIndex past it; both under
// the block's lock. reserved is never written (zero).
struct QueueRecord {
    std::uint32_t reserved;
    std::uint32_t code;
    std::uint32_t arg1;
    std::uint32_t arg2;
    std::uint32_t arg3;
};
static_assert(sizeof(QueueRecord) == 20, "five 32-bit words, no padding: clients index the ring");

// The ring (ring, readIndex, writeIndex), both indexes in 0..QUEUE_DEPTH-1:
//
//   readIndex r             writeIndex w
//        v                       v
//   [ . | A | B | C | D | ... | . | . ]      pending: r .. w-1 (mod 100)
//
//   empty:  r == w
//   full:   (w + 1) mod 100 == r        (at most 99 records are held)
//   append: write ring[w], then w = (w + 1) mod 100     (server only)
//   take:   read and zero ring[r], then r = (r + 1) mod 100   (client only)
//
// Both happen under the block's lock, and each index is read once into a local
// before the range check. An index outside 0..99 (a client that scribbled on its
// block) is never used to address a record: the ring then reads as full to the
// server, which drops its record, and as empty to the client.
struct AsyncQueueBlock {
    // The block's lock word (-1 free, 0 held, n > 0 held with n waiters), changed
    // by both processes with interlocked increments and decrements only. The
    // server never trusts it: a client may hold it for ever, die holding it, or
    // write any value over it, so every server wait on it is bounded and a dead
    // holder's block takes no more records.
    std::int32_t lockCount;
    // Copies of each side's process-local lock descriptor, written by that side
    // when it opens or closes its lock (name non-zero exactly while open). Never
    // read back by anyone: each process locks through its own descriptor.
    EventMutex clientMutex;
    EventMutex serverMutex;
    // The client's pid, written by whichever process created the block. PostEvent
    // drops a post whose pid differs from it; the server finds clients by the pid
    // it registered, never by this field.
    std::uint32_t ownerPid;
    // The slot and a 32-bit copy of the server's process handle, written by the
    // server at registration (the handle cleared at removal). Never read back.
    std::uint32_t slot;
    std::uint32_t processHandle;
    // The ring (see above): ring and writeIndex written by the server, readIndex
    // and the taken records by the client, all under the lock.
    QueueRecord ring[QUEUE_DEPTH];
    std::uint32_t readIndex;
    std::uint32_t writeIndex;
    // Selections, 1 = on (class 1 has no flag: every client receives it). Written
    // by the server's main thread (enable and disable requests) with one atomic
    // store each; read by the dispatch thread's handlers with one atomic load each,
    // without the lock. A client that rewrites them only changes what it receives.
    std::uint32_t enableClass0;
    std::uint32_t enableClass2;
    std::uint32_t enableClass3;
    std::uint32_t enableClass4;
    std::uint32_t enableClass5;
    std::uint32_t enableClass6;
    // Per-index selection bits of classes 7 (level), 8 (source level) and 9
    // (channel), written and read as the flags above. The index comes from the
    // request or the event and is checked against the table's size before use,
    // never taken from the block.
    std::uint16_t levelMask[LEVEL_MASK_ENTRIES];
    std::uint16_t sourceMask[SOURCE_MASK_ENTRIES];
    std::uint16_t channelMask[CHANNEL_MASK_ENTRIES];
};

static_assert(sizeof(AsyncQueueBlock) == QUEUE_BLOCK_SIZE,
              "both sides map exactly this many bytes; no tail padding");
static_assert(alignof(AsyncQueueBlock) == 4, "32-bit fields at 4-byte offsets in both widths");
static_assert(std::is_trivially_copyable_v<AsyncQueueBlock> &&
                  std::is_trivially_copyable_v<QueueRecord>,
              "the block is plain bytes: zero-filled by its creator, copied by tests");
static_assert(OS_ATOMIC_LOCK_FREE<std::int32_t> && OS_ATOMIC_LOCK_FREE<std::uint32_t> &&
                  OS_ATOMIC_LOCK_FREE<std::uint16_t>,
              "lockCount, the indexes, flags and mask entries are shared between processes: "
              "a hidden lock in one process's memory would exclude nothing");
// Offsets: the block is shared with clients built separately, so every field
// stays where a client expects it.
static_assert(offsetof(AsyncQueueBlock, lockCount) == 0, "fixed layout");
static_assert(offsetof(AsyncQueueBlock, clientMutex) == 4, "fixed layout");
static_assert(offsetof(AsyncQueueBlock, clientMutex.name) == 4, "fixed layout");
static_assert(offsetof(AsyncQueueBlock, clientMutex.event) == 8, "fixed layout");
static_assert(offsetof(AsyncQueueBlock, clientMutex.lockWord) == 12, "fixed layout");
static_assert(offsetof(AsyncQueueBlock, serverMutex) == 16, "fixed layout");
static_assert(offsetof(AsyncQueueBlock, serverMutex.name) == 16, "fixed layout");
static_assert(offsetof(AsyncQueueBlock, serverMutex.event) == 20, "fixed layout");
static_assert(offsetof(AsyncQueueBlock, serverMutex.lockWord) == 24, "fixed layout");
static_assert(offsetof(AsyncQueueBlock, ownerPid) == 28, "fixed layout");
static_assert(offsetof(AsyncQueueBlock, slot) == 32, "fixed layout");
static_assert(offsetof(AsyncQueueBlock, processHandle) == 36, "fixed layout");
static_assert(offsetof(AsyncQueueBlock, ring) == 40, "fixed layout");
static_assert(offsetof(AsyncQueueBlock, ring[1]) == 60, "records follow without padding");
static_assert(offsetof(AsyncQueueBlock, ring[99].arg3) == 40 + 20 * 99 + 16, "fixed layout");
static_assert(offsetof(AsyncQueueBlock, readIndex) == 2040, "fixed layout");
static_assert(offsetof(AsyncQueueBlock, writeIndex) == 2044, "fixed layout");
static_assert(offsetof(AsyncQueueBlock, enableClass0) == 2048, "fixed layout");
static_assert(offsetof(AsyncQueueBlock, enableClass2) == 2052, "fixed layout");
static_assert(offsetof(AsyncQueueBlock, enableClass3) == 2056, "fixed layout");
static_assert(offsetof(AsyncQueueBlock, enableClass4) == 2060, "fixed layout");
static_assert(offsetof(AsyncQueueBlock, enableClass5) == 2064, "fixed layout");
static_assert(offsetof(AsyncQueueBlock, enableClass6) == 2068, "fixed layout");
static_assert(offsetof(AsyncQueueBlock, levelMask) == 2072, "fixed layout");
static_assert(offsetof(AsyncQueueBlock, levelMask[254]) == 2580, "16-bit entries, no padding");
static_assert(offsetof(AsyncQueueBlock, sourceMask) == 2582, "fixed layout");
static_assert(offsetof(AsyncQueueBlock, sourceMask[254]) == 3090, "16-bit entries, no padding");
static_assert(offsetof(AsyncQueueBlock, channelMask) == 3092, "fixed layout");
static_assert(offsetof(AsyncQueueBlock, channelMask[255]) == 3602, "the last entry ends the block");

// Bit of a level in a 16-bit mask: position (level - 1) mod 32; positions 16 to
// 31 give 0. Level 1 -> 0x0001, level 0 and 17..32 -> 0, level 33 -> 0x0001.
inline std::uint16_t LevelBit(std::uint16_t level) {
    std::uint32_t position = (static_cast<std::uint32_t>(level) - 1u) & 31u;
    return position < 16 ? static_cast<std::uint16_t>(1u << position) : 0;
}

// The number a channel counts as: 50 counts as 14 and 60 as 15, any other
// number as itself. A channel-class enable answers with this number.
inline std::uint32_t ChannelNumber(std::uint32_t channel) {
    return channel == 50 ? 14u : channel == 60 ? 15u : channel;
}

// Bit of a channel: position = ChannelNumber mod 32; positions 16 to 31 give 0.
inline std::uint16_t ChannelBit(std::uint32_t channel) {
    std::uint32_t position = ChannelNumber(channel) & 31u;
    return position < 16 ? static_cast<std::uint16_t>(1u << position) : 0;
}

// Event classes as the enable and disable commands number them (the record code
// is the event code base plus the class). Classes 0 to 6 are switched by a flag
// of the block, except class 1 which every registered client receives; classes
// 7 to 9 by a bit in an entry of a mask table.
inline constexpr std::uint32_t FLAG_CLASS_COUNT = 7;
inline constexpr std::uint32_t CLASS_LEVEL = 7;
inline constexpr std::uint32_t CLASS_SOURCE_LEVEL = 8;
inline constexpr std::uint32_t CLASS_CHANNEL = 9;
inline constexpr std::uint32_t CLASS_COUNT = KQVXI_CLASS_COUNT;

// The flag of each flag class (null: class 1, no flag), for the commands that set
// it and the handlers that test it.
inline constexpr std::uint32_t AsyncQueueBlock::*CLASS_FLAGS[FLAG_CLASS_COUNT] = {
    &AsyncQueueBlock::enableClass0, nullptr,
    &AsyncQueueBlock::enableClass2, &AsyncQueueBlock::enableClass3,
    &AsyncQueueBlock::enableClass4, &AsyncQueueBlock::enableClass5,
    &AsyncQueueBlock::enableClass6,
};
