// The server's writing of its statistics object: creating
// and initialising it at start-up, publishing and withdrawing slots, mirroring
// selections, and retiring it at shutdown. (Posts store the counters themselves
// through PublishedStatsSlot.)
//
// The object can be mapped writable by any process of the server's user, so
// what the server needs to know about what it published (which serial a slot
// holds, which flag classes it shows) is kept here in this process and only ever
// written out. Nothing here depends on the client table, which stays the
// server's own.
#include "queue/server_stats.h"

#include <cassert>
#include <chrono>
#include <cstring>

#include "platform/atomic.h"
#include "platform/mapping.h"
#include "platform/process.h"
#include "platform/types.h"

ServerStats* serverStats = nullptr;

namespace {

// Flag class 1 has no flag: every registered client receives it.
constexpr std::uint32_t ALWAYS_SELECTED = 1u << 1;

// What this process published in one slot. Main thread only.
struct PublishedSlot {
    std::uint32_t registration;  // 0: the slot is not published
    std::uint32_t flagClasses;
};

// The writer's own state. Main thread only.
struct StatsWriter {
    OsHandle mapping;
    std::uint32_t lastRegistration;  // serials are handed out from 1
    std::uint32_t clientCount;
    PublishedSlot slots[MAX_CLIENTS];
};
StatsWriter writer{OS_NO_HANDLE, 0, 0, {}};

// A number for this start of a server: the pid and a steady-clock reading,
// mixed (splitmix64's finaliser) and folded to 32 bits. Two starts differ in
// their clock reading at least; 0 is kept for "no server".
std::uint32_t NewInstance() {
    const auto now = std::chrono::steady_clock::now().time_since_epoch();
    std::uint64_t x = static_cast<std::uint64_t>(
        std::chrono::duration_cast<std::chrono::nanoseconds>(now).count());
    x ^= static_cast<std::uint64_t>(OsCurrentProcessId()) << 32;
    x += 0x9E3779B97F4A7C15ull;
    x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ull;
    x = (x ^ (x >> 27)) * 0x94D049BB133111EBull;
    x ^= x >> 31;
    const auto folded = static_cast<std::uint32_t>(x ^ (x >> 32));
    return folded != 0 ? folded : 1u;
}

std::uint64_t UnixNowMs() {
    const auto now = std::chrono::system_clock::now().time_since_epoch();
    return static_cast<std::uint64_t>(
        std::chrono::duration_cast<std::chrono::milliseconds>(now).count());
}

// Zeroes a slot's counters and selections with single atomic stores.
void ZeroSlotValues(StatsSlot* s) {
    OsAtomicStore(&s->delivered, std::uint64_t{0});
    OsAtomicStore(&s->droppedFull, std::uint64_t{0});
    OsAtomicStore(&s->droppedEnded, std::uint64_t{0});
    OsAtomicStore(&s->droppedLockKept, std::uint64_t{0});
    OsAtomicStore(&s->lockWaits, std::uint64_t{0});
    OsAtomicStore(&s->selections.flagClasses, 0u);
    for (std::uint16_t& entry : s->selections.levelMask) {
        OsAtomicStoreRelaxed(&entry, std::uint16_t{0});
    }
    for (std::uint16_t& entry : s->selections.sourceMask) {
        OsAtomicStoreRelaxed(&entry, std::uint16_t{0});
    }
    for (std::uint16_t& entry : s->selections.channelMask) {
        OsAtomicStoreRelaxed(&entry, std::uint16_t{0});
    }
}

}  // namespace

bool OpenServerStats(std::uint16_t controller) {
    assert(serverStats == nullptr && writer.mapping == OS_NO_HANDLE);
    char name[SERVER_STATS_NAME_SIZE];
    FormatServerStatsName(name, controller);
    OsHandle mapping = OsCreateMapping(name, sizeof(ServerStats), nullptr);
    if (mapping == OS_NO_HANDLE) {
        return false;
    }
    auto* stats = static_cast<ServerStats*>(OsMapView(mapping, sizeof(ServerStats)));
    if (stats == nullptr) {
        OsCloseHandle(mapping);
        return false;
    }
    // Whatever the object held (a killed server's last values, or anything a
    // process of this user wrote) is overwritten whole. Readers take nothing
    // for theirs while instance is 0, and it is written first and last.
    OsAtomicStore(&stats->instance, 0u);
    OsAtomicStore(&stats->magic, 0u);
    OsAtomicStore(&stats->version, 0u);
    OsAtomicStore(&stats->serverPid, 0u);
    OsAtomicStore(&stats->controller, 0u);
    OsAtomicStore(&stats->clientCount, 0u);
    OsAtomicStore(&stats->startedAtUnixMs, std::uint64_t{0});
    OsAtomicStore(&stats->registrations, std::uint64_t{0});
    for (StatsSlot& s : stats->slots) {
        OsAtomicStore(&s.registration, 0u);
        OsAtomicStore(&s.pid, 0u);
        ZeroSlotValues(&s);
    }
    OsAtomicStore(&stats->magic, SERVER_STATS_MAGIC);
    OsAtomicStore(&stats->version, SERVER_STATS_VERSION);
    OsAtomicStore(&stats->serverPid, OsCurrentProcessId());
    OsAtomicStore<std::uint32_t>(&stats->controller, controller);
    OsAtomicStore(&stats->startedAtUnixMs, UnixNowMs());

    writer = StatsWriter{mapping, 0, 0, {}};
    OsAtomicStore(&serverStats, stats);
    OsAtomicStore(&stats->instance, NewInstance());
    return true;
}

void RetireServerStats() {
    ServerStats* stats = serverStats;
    if (stats != nullptr) {
        OsAtomicStore(&stats->instance, 0u);
    }
}

void CloseServerStats() {
    ServerStats* stats = serverStats;
    if (stats == nullptr) {
        return;
    }
    OsAtomicStore(&stats->instance, 0u);
    OsAtomicStore<ServerStats*>(&serverStats, nullptr);
    OsUnmapView(stats);
    OsCloseHandle(writer.mapping);
    writer = StatsWriter{OS_NO_HANDLE, 0, 0, {}};
}

void PublishSlot(std::uint32_t slot, std::uint32_t pid) {
    assert(slot < MAX_CLIENTS);
    ServerStats* stats = serverStats;
    if (stats == nullptr) {
        return;
    }
    PublishedSlot& mine = writer.slots[slot];
    StatsSlot* s = &stats->slots[slot];
    if (mine.registration != 0) {
        // Published and never withdrawn: it is withdrawn now, so that readers
        // never take the new values for the old registration's.
        WithdrawSlot(slot);
    }
    ++writer.lastRegistration;
    if (writer.lastRegistration == 0) {
        writer.lastRegistration = 1;  // 0 means "free"; reached after 2^32 registrations
    }
    mine.registration = writer.lastRegistration;
    mine.flagClasses = ALWAYS_SELECTED;

    OsAtomicStore(&s->pid, pid);
    ZeroSlotValues(s);
    OsAtomicStore(&s->selections.flagClasses, ALWAYS_SELECTED);
    OsAtomicStore(&s->registration, mine.registration);
    ++writer.clientCount;
    OsAtomicStore(&stats->clientCount, writer.clientCount);
    OsAtomicStore<std::uint64_t>(&stats->registrations, writer.lastRegistration);
}

void WithdrawSlot(std::uint32_t slot) {
    assert(slot < MAX_CLIENTS);
    ServerStats* stats = serverStats;
    PublishedSlot& mine = writer.slots[slot];
    if (stats == nullptr || mine.registration == 0) {
        return;
    }
    StatsSlot* s = &stats->slots[slot];
    // Release stores throughout: each keeps the stores before it (registration
    // 0 first) ahead of itself.
    OsAtomicStore(&s->registration, 0u);
    OsAtomicStore(&s->pid, 0u);
    ZeroSlotValues(s);
    mine = PublishedSlot{0, 0};
    --writer.clientCount;
    OsAtomicStore(&stats->clientCount, writer.clientCount);
}

void PublishFlagClass(std::uint32_t slot, std::uint32_t eventClass, bool enabled) {
    assert(slot < MAX_CLIENTS && eventClass < FLAG_CLASS_COUNT);
    ServerStats* stats = serverStats;
    PublishedSlot& mine = writer.slots[slot];
    if (stats == nullptr || mine.registration == 0) {
        return;
    }
    const std::uint32_t bit = 1u << eventClass;
    mine.flagClasses =
        (enabled ? (mine.flagClasses | bit) : (mine.flagClasses & ~bit)) | ALWAYS_SELECTED;
    OsAtomicStore(&stats->slots[slot].selections.flagClasses, mine.flagClasses);
}

void PublishMaskEntry(std::uint32_t slot, std::uint32_t eventClass, std::uint32_t index,
                      std::uint16_t value) {
    assert(slot < MAX_CLIENTS);
    ServerStats* stats = serverStats;
    if (stats == nullptr || writer.slots[slot].registration == 0) {
        return;
    }
    StatsSelections& sel = stats->slots[slot].selections;
    std::uint16_t* entry = nullptr;
    if (eventClass == CLASS_LEVEL && index < LEVEL_MASK_ENTRIES) {
        entry = &sel.levelMask[index];
    } else if (eventClass == CLASS_SOURCE_LEVEL && index < SOURCE_MASK_ENTRIES) {
        entry = &sel.sourceMask[index];
    } else if (eventClass == CLASS_CHANNEL && index < CHANNEL_MASK_ENTRIES) {
        entry = &sel.channelMask[index];
    }
    assert(entry != nullptr);
    if (entry != nullptr) {
        OsAtomicStore(entry, value);
    }
}
