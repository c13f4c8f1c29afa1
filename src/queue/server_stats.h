// The server's statistics object: one named shared-memory object per controller
// that the server of that controller creates at start-up and alone writes, and
// that clients and status tools only read. It tells who serves the controller
// (pid, an instance number that differs for every start), which slots hold
// which processes, what each client selected, and what became of the records
// posted to each slot (delivered, or dropped by cause).
//
// Trust: the server never reads anything back from this object (a client of the
// same user can map it writable); every value it publishes is a copy of its own
// private state, written with plain atomic stores. Readers take nothing in it
// for granted either: a slot's values are consistent only when its
// `registration` reads the same before and after them, and the whole object
// belongs to one server only while `instance` reads the same non-zero value.
//
// Layout: fixed, the same for 32-bit and 64-bit processes (a 32-bit client may
// read a 64-bit server's object on Windows); every 64-bit field is 8-aligned.
#pragma once
#include <cstddef>
#include <cstdint>
#include <cstdio>

#include "platform/atomic.h"
#include "queue/block.h"

// "KQVXI Server Stats <controller in decimal>".
inline constexpr const char* SERVER_STATS_NAME_PREFIX = "KQVXI Server Stats ";
inline constexpr std::uint32_t SERVER_STATS_NAME_SIZE = 32;
inline constexpr std::uint32_t SERVER_STATS_MAGIC = 0x5453514Bu;  // "KQST"
inline constexpr std::uint32_t SERVER_STATS_VERSION = 1;

// What one client asked for, as the server applied it (bit c of flagClasses:
// flag class c enabled; bit 1 always set while the slot is held).
struct StatsSelections {
    std::uint32_t flagClasses;
    std::uint16_t levelMask[LEVEL_MASK_ENTRIES];
    std::uint16_t sourceMask[SOURCE_MASK_ENTRIES];
    std::uint16_t channelMask[CHANNEL_MASK_ENTRIES];
};
static_assert(sizeof(StatsSelections) == 4 + 2 * (255 + 255 + 256),
              "three mask tables after the flags, no padding");

struct alignas(8) StatsSlot {
    // The serial of the registration that holds the slot (the server counts
    // registrations from 1), 0 while the slot is free. Written first (0) when a
    // slot is withdrawn and last (the new serial) when it is published.
    std::uint32_t registration;
    std::uint32_t pid;  // the client's process id, 0 while free
    // Outcomes of the posts to this slot since `registration` began.
    std::uint64_t delivered;
    std::uint64_t droppedFull;
    std::uint64_t droppedEnded;
    std::uint64_t droppedLockKept;
    std::uint64_t lockWaits;  // posts that found the client holding the lock and waited
    StatsSelections selections;
};
static_assert(offsetof(StatsSlot, registration) == 0 && offsetof(StatsSlot, pid) == 4 &&
                  offsetof(StatsSlot, delivered) == 8 && offsetof(StatsSlot, droppedFull) == 16 &&
                  offsetof(StatsSlot, droppedEnded) == 24 &&
                  offsetof(StatsSlot, droppedLockKept) == 32 &&
                  offsetof(StatsSlot, lockWaits) == 40 && offsetof(StatsSlot, selections) == 48,
              "the slot's fields at the same offsets in 32-bit and 64-bit processes");
static_assert(sizeof(StatsSlot) == 1584 && sizeof(StatsSlot) % 8 == 0,
              "slots stay 8-aligned in the array");

struct alignas(8) ServerStats {
    std::uint32_t magic;    // SERVER_STATS_MAGIC once initialised
    std::uint32_t version;  // SERVER_STATS_VERSION
    // Non-zero while a server runs and publishes here; written last at start-up
    // and cleared first at shutdown. Differs for every start of a server.
    std::uint32_t instance;
    std::uint32_t serverPid;
    std::uint32_t controller;
    std::uint32_t clientCount;      // slots held
    std::uint64_t startedAtUnixMs;  // wall clock at start-up, for uptime
    std::uint64_t registrations;    // registrations served since start-up
    StatsSlot slots[MAX_CLIENTS];
};
static_assert(offsetof(ServerStats, magic) == 0 && offsetof(ServerStats, version) == 4 &&
                  offsetof(ServerStats, instance) == 8 && offsetof(ServerStats, serverPid) == 12 &&
                  offsetof(ServerStats, controller) == 16 &&
                  offsetof(ServerStats, clientCount) == 20 &&
                  offsetof(ServerStats, startedAtUnixMs) == 24 &&
                  offsetof(ServerStats, registrations) == 32 && offsetof(ServerStats, slots) == 40,
              "the header at the same offsets in 32-bit and 64-bit processes");
static_assert(sizeof(ServerStats) == 40 + 50 * 1584, "50 slots after the header");
static_assert(OS_ATOMIC_LOCK_FREE<std::uint64_t> && OS_ATOMIC_LOCK_FREE<std::uint32_t>,
              "counters are published with plain lock-free stores");

// Writes the object's name for controller into buf (SERVER_STATS_NAME_SIZE bytes).
inline void FormatServerStatsName(char* buf, std::uint32_t controller) {
    std::snprintf(buf, SERVER_STATS_NAME_SIZE, "%s%u", SERVER_STATS_NAME_PREFIX, controller);
}

// ---- The server's side (server_stats.cpp): the one writer of the object ----
//
// All of it runs on the main thread, except the counters, which posts store on
// either server thread (under the slot's post lock, so one writer per slot at a
// time). Every store is an atomic one, so that readers in other processes never
// see a torn field; nothing is ever loaded back from the object.

// The server's mapping of its object; null while it runs without one. Set by
// OpenServerStats before the first slot is published and cleared by
// CloseServerStats after the last one was withdrawn.
extern ServerStats* serverStats;

// Creates controller's object, or takes over one that already exists (left by
// a killed server and kept open by a reader, or made by another process of this
// user), and rewrites every field of it, with the new instance last. False when
// it cannot be created or mapped: the server then runs without statistics.
// Called once the board accepted this process as the controller's server, so a
// second server of the same controller never reaches it.
bool OpenServerStats(std::uint16_t controller);

// Shutdown, before anything else: the object stops naming a running server
// (instance 0). Slots may still be withdrawn afterwards.
void RetireServerStats();

// Shutdown, after every slot was withdrawn and no post can reach one: unmaps
// and closes the object.
void CloseServerStats();

// A new registration holds slot: its pid, zeroed counts and the selections of a
// new client (class 1 only) are written, then the next registration serial;
// the header's clientCount and registrations follow. Before the slot's block is
// published to the dispatch thread, so that no post counts into the old values.
void PublishSlot(std::uint32_t slot, std::uint32_t pid);

// The slot was freed: registration 0 first, then the rest zeroed; the header's
// clientCount follows. After the slot's block was withdrawn from the dispatch
// thread, so that no post writes into it afterwards. A slot not published is
// left alone.
void WithdrawSlot(std::uint32_t slot);

// What an enable or disable applied to the slot: flag class eventClass (0 to
// 6; class 1 stays set) on or off, or the new value of one mask entry of class
// 7, 8 or 9 (index within its table).
void PublishFlagClass(std::uint32_t slot, std::uint32_t eventClass, bool enabled);
void PublishMaskEntry(std::uint32_t slot, std::uint32_t eventClass, std::uint32_t index,
                      std::uint16_t value);

// For posts: the published entry of slot whose counters follow the slot's
// private counts, or null while the server runs without statistics.
inline StatsSlot* PublishedStatsSlot(std::uint32_t slot) {
    ServerStats* stats = OsAtomicLoad(&serverStats);
    return stats != nullptr ? &stats->slots[slot] : nullptr;
}
