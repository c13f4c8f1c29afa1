// Creating, opening and closing a slot's named block, with this process's own
// lock descriptor for it.
#pragma once
#include <cstdint>
#include "platform/types.h"
#include "queue/block.h"

inline constexpr std::uint32_t SIDE_CLIENT = 0;
inline constexpr std::uint32_t SIDE_SERVER = 1;

// Per-slot tables of this process, zero at start; touched only by the two calls below.
extern OsHandle blockMappings[MAX_CLIENTS];
extern AsyncQueueBlock* blockViews[MAX_CLIENTS];

// The block of slot, created and initialised when new, with this side's lock open.
// Null on failure. A slot already open returns its view unchanged.
AsyncQueueBlock* OpenQueueBlock(std::uint32_t slot, std::uint32_t pid, std::uint32_t side);

// 0, or -1 on failure.
std::int16_t CloseQueueBlock(std::uint32_t slot, std::uint32_t side);

// This process's own lock descriptor of an open slot. The block's copy of the
// descriptor is written for the layout's sake but never read back.
EventMutex* QueueBlockLock(std::uint32_t slot);
