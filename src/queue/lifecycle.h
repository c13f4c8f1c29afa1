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

// Suffixes of a client's per-process object names ("X", pid in hex, suffix).
inline constexpr const char* BLOCK_NAME_SUFFIX = "KQVXI IPC Glbl Mem";
inline constexpr const char* BLOCK_LOCK_NAME_SUFFIX = "KQVXI IPC Wait Evt";
inline constexpr const char* CLIENT_WAKE_NAME_SUFFIX = "KQ-VXI Intr Proc Event";
// Longest such name with its terminating zero ("X" + 8 digits + 22 + 1).
inline constexpr std::uint32_t CLIENT_OBJECT_NAME_SIZE = 32;

// Writes "X%lx%s" of pid and suffix into buf (CLIENT_OBJECT_NAME_SIZE bytes).
void FormatClientObjectName(char* buf, std::uint32_t pid, const char* suffix);

// The mapping step shared by both sides: creates or opens pid's named block, maps
// it whole and initialises it when this call created it. Null on failure, with
// nothing left open.
AsyncQueueBlock* MapQueueBlock(std::uint32_t pid, OsHandle* mapping);

// Set by PostEvent when the slot's client ended while its lock was not handed
// over; later posts to the slot then drop at once. Cleared when the slot's block
// is opened again.
void MarkQueueBlockAbandoned(std::uint32_t slot);
bool QueueBlockAbandoned(std::uint32_t slot);

// Set by PostEvent when it gave up waiting for a live client that keeps the
// slot's lock, leaving its acquire pending; later posts then only look whether
// the hand-over has come (and drop their record until it has). Cleared when it
// comes, and when the slot's block is opened again.
void SetQueueBlockPending(std::uint32_t slot, bool pending);
bool QueueBlockPending(std::uint32_t slot);
// Set by PostEvent the first time a live client kept its lock past the server's
// patience; kept until the slot's block is opened again. Later waits for that
// client's lock are short, so a client that keeps doing it (or keeps writing a
// held value over its lock word) cannot stall the others for long each time.
void MarkQueueBlockSlowHolder(std::uint32_t slot);
bool QueueBlockSlowHolder(std::uint32_t slot);

// The pid an open slot was opened for, kept in this process (the block's ownerPid
// can be rewritten by the client); 0 for a closed slot. Main thread only.
std::uint32_t QueueBlockPid(std::uint32_t slot);
