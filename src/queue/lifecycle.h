// Opening and closing a slot's named block on the server, with this process's own
// lock descriptor for it kept in the slot's record (clientTable.slots).
#pragma once
#include <cstdint>
#include "queue/block.h"
#include "queue/block_mapping.h"

// The block of slot, created and initialised when new, with this side's lock open.
// Null on failure and for a slot outside the table. A slot already open returns
// its view unchanged. *existed (when given) tells whether the block was already
// there (a slot already open counts as existing).
AsyncQueueBlock* OpenQueueBlock(std::uint32_t slot, std::uint32_t pid, Side side,
                                bool* existed = nullptr);

// Gives an open slot's block, which was there before this process opened it,
// the state of a new one: an earlier process with the same pid may have left
// records, selections and its lock behind. Takes the block's lock, waiting at
// most REFRESH_LOCK_LIMIT_MS (a holder that died never hands it over: past the
// bound the lock is taken back), clears the ring, its indexes, the flags and the
// masks, takes any stale signal off the lock's event, writes the owner pid and
// releases. process is the new client's handle (OS_NO_HANDLE: none). Main
// thread, before the slot is published.
inline constexpr std::uint32_t REFRESH_LOCK_LIMIT_MS = 20;
void RefreshQueueBlock(std::uint32_t slot, OsHandle process);

// 0, or -1 on failure and for a slot outside the table or not open.
std::int16_t CloseQueueBlock(std::uint32_t slot, Side side);
