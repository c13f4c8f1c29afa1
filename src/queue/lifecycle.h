// Opening and closing a slot's named block on the server, with this process's own
// lock descriptor for it kept in the slot's record (clientTable.slots).
#pragma once
#include <cstdint>
#include "queue/block.h"
#include "queue/block_mapping.h"

// The block of slot, created and initialised when new, with this side's lock open.
// Null on failure and for a slot outside the table. A slot already open returns
// its view unchanged.
AsyncQueueBlock* OpenQueueBlock(std::uint32_t slot, std::uint32_t pid, Side side);

// 0, or -1 on failure and for a slot outside the table or not open.
std::int16_t CloseQueueBlock(std::uint32_t slot, Side side);
