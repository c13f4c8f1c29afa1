// What both sides of a block share: the names of a client's per-process objects,
// mapping a client's named block, and writing a side's lock descriptor into it.
// The client library and the server's slot lifecycle both use these.
#pragma once
#include <cstdint>
#include "driver/kqvxint.h"
#include "locks/mutex.h"
#include "platform/types.h"
#include "queue/block.h"

// Suffixes of a client's per-process object names ("X", pid in hex, suffix). The
// client's wake event carries the server wake event's name as its suffix.
inline constexpr const char* BLOCK_NAME_SUFFIX = "KQVXI IPC Glbl Mem";
inline constexpr const char* BLOCK_LOCK_NAME_SUFFIX = "KQVXI IPC Wait Evt";
inline constexpr const char* CLIENT_WAKE_NAME_SUFFIX = SERVER_WAKE_EVENT_NAME;
// Longest such name with its terminating zero ("X" + 8 digits + 22 + 1).
inline constexpr std::uint32_t CLIENT_OBJECT_NAME_SIZE = 32;

// Writes "X%lx%s" of pid and suffix into buf (CLIENT_OBJECT_NAME_SIZE bytes).
void FormatClientObjectName(char* buf, std::uint32_t pid, const char* suffix);

// Creates or opens pid's named block, maps it whole and initialises it when this
// call created it. Null on failure, with nothing left open. *existed (when
// given) tells whether the block was already there (held open by a live process).
AsyncQueueBlock* MapQueueBlock(std::uint32_t pid, OsHandle* mapping, bool* existed = nullptr);

// Writes the block's copy of side's lock descriptor from this process's own one
// (a zero descriptor when the side closes). Written for the layout, never read
// back: its `name` is non-zero exactly while that side is open.
void PublishDescriptor(AsyncQueueBlock* block, Side side, const EventMutex& mine);
