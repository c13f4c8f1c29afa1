// The per-client shared block: byte layout, record layout and the bit rules that
// turn a level or a channel into a bit of a 16-bit selection mask.
#pragma once
#include <cstddef>
#include <cstdint>
#include "kqvxi/events.h"
#include "locks/mutex.h"

inline constexpr std::uint32_t MAX_CLIENTS = 50;
inline constexpr std::uint32_t QUEUE_DEPTH = 100;
inline constexpr std::uint32_t QUEUE_BLOCK_SIZE = 3604;
inline constexpr std::uint32_t LEVEL_MASK_ENTRIES = 255;
inline constexpr std::uint32_t SOURCE_MASK_ENTRIES = 255;
inline constexpr std::uint32_t CHANNEL_MASK_ENTRIES = 256;

// Which side of a block a process opened it as: the block keeps one lock
// descriptor per side (clientMutex, serverMutex).
enum Side : std::uint32_t { SIDE_CLIENT = 0, SIDE_SERVER = 1 };

struct QueueRecord {
    std::uint32_t reserved;
    std::uint32_t code;
    std::uint32_t arg1;
    std::uint32_t arg2;
    std::uint32_t arg3;
};
static_assert(sizeof(QueueRecord) == 20);

struct AsyncQueueBlock {
    std::int32_t lockCount;
    EventMutex clientMutex;
    EventMutex serverMutex;
    std::uint32_t ownerPid;
    std::uint32_t slot;
    std::uint32_t processHandle;
    QueueRecord ring[QUEUE_DEPTH];
    std::uint32_t readIndex;
    std::uint32_t writeIndex;
    std::uint32_t enableClass0;
    std::uint32_t enableClass2;
    std::uint32_t enableClass3;
    std::uint32_t enableClass4;
    std::uint32_t enableClass5;
    std::uint32_t enableClass6;
    std::uint16_t levelMask[LEVEL_MASK_ENTRIES];
    std::uint16_t sourceMask[SOURCE_MASK_ENTRIES];
    std::uint16_t channelMask[CHANNEL_MASK_ENTRIES];
};

static_assert(sizeof(AsyncQueueBlock) == QUEUE_BLOCK_SIZE);
static_assert(offsetof(AsyncQueueBlock, lockCount) == 0);
static_assert(offsetof(AsyncQueueBlock, clientMutex) == 4);
static_assert(offsetof(AsyncQueueBlock, clientMutex.name) == 4);
static_assert(offsetof(AsyncQueueBlock, clientMutex.event) == 8);
static_assert(offsetof(AsyncQueueBlock, clientMutex.lockWord) == 12);
static_assert(offsetof(AsyncQueueBlock, serverMutex) == 16);
static_assert(offsetof(AsyncQueueBlock, serverMutex.name) == 16);
static_assert(offsetof(AsyncQueueBlock, serverMutex.event) == 20);
static_assert(offsetof(AsyncQueueBlock, serverMutex.lockWord) == 24);
static_assert(offsetof(AsyncQueueBlock, ownerPid) == 28);
static_assert(offsetof(AsyncQueueBlock, slot) == 32);
static_assert(offsetof(AsyncQueueBlock, processHandle) == 36);
static_assert(offsetof(AsyncQueueBlock, ring) == 40);
static_assert(offsetof(AsyncQueueBlock, ring[1]) == 60);
static_assert(offsetof(AsyncQueueBlock, ring[99].arg3) == 40 + 20 * 99 + 16);
static_assert(offsetof(AsyncQueueBlock, readIndex) == 2040);
static_assert(offsetof(AsyncQueueBlock, writeIndex) == 2044);
static_assert(offsetof(AsyncQueueBlock, enableClass0) == 2048);
static_assert(offsetof(AsyncQueueBlock, enableClass2) == 2052);
static_assert(offsetof(AsyncQueueBlock, enableClass3) == 2056);
static_assert(offsetof(AsyncQueueBlock, enableClass4) == 2060);
static_assert(offsetof(AsyncQueueBlock, enableClass5) == 2064);
static_assert(offsetof(AsyncQueueBlock, enableClass6) == 2068);
static_assert(offsetof(AsyncQueueBlock, levelMask) == 2072);
static_assert(offsetof(AsyncQueueBlock, levelMask[254]) == 2580);
static_assert(offsetof(AsyncQueueBlock, sourceMask) == 2582);
static_assert(offsetof(AsyncQueueBlock, sourceMask[254]) == 3090);
static_assert(offsetof(AsyncQueueBlock, channelMask) == 3092);
static_assert(offsetof(AsyncQueueBlock, channelMask[255]) == 3602);

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
