// The server's registry of clients: 50 slots of block pointer and wake event,
// the client count, and the guard that keeps the dispatch thread's handlers off
// blocks the main thread is removing.
#pragma once
#include <cstdint>
#include "platform/types.h"
#include "queue/block.h"

struct ClientTable {
    AsyncQueueBlock* clientBlocks[MAX_CLIENTS];  // null: slot free
    OsHandle wakeEvents[MAX_CLIENTS];
    std::int32_t clientCount;
    // The server's own handle of each client process. The block's processHandle
    // field is written for the layout, never read back.
    OsHandle processes[MAX_CLIENTS];
};

extern ClientTable clientTable;

inline constexpr std::int16_t SLOT_NOT_FOUND = -2;

// 0 and *slot for the first registered slot opened for pid (the pid this process
// registered it with, not the block's ownerPid, which its client can rewrite);
// -2 otherwise.
std::int16_t FindClientSlot(std::uint32_t pid, std::uint32_t* slot);

// Handlers bracket each walk of the table with these (dispatch thread only).
void BeginTableWalk();
void EndTableWalk();

// Main thread: after clearing a slot's entry (a seq_cst store), waits until no
// walk that might have read the old entry is still running. Afterwards nothing
// on the dispatch thread reaches the old block.
void WaitForTableWalkers();
