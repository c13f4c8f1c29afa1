// A client's read-only view of a controller's server statistics object: who
// serves the controller now, and a consistent copy of one slot's entry. Opens
// the object only when a server created it (never creates it), and trusts no
// value in it beyond the copy it hands out.
#pragma once
#include <cstdint>

#include "platform/types.h"
#include "queue/server_stats.h"

struct StatsView {
    OsHandle mapping;
    const ServerStats* stats;
};

// Opens controller's statistics object when it exists; false (view zeroed) when
// no server created one or it cannot be mapped.
bool OpenStatsView(std::uint16_t controller, StatsView* view);

// Closes and zeroes the view; a zeroed view is fine.
void CloseStatsView(StatsView* view);

// The instance of the server that publishes in the object now: 0 when none does
// (the object is not initialised, is of another version, its server cleared it
// at shutdown, or the process named as its server has ended).
std::uint32_t LiveServerInstance(const StatsView& view);

// The server's process id and start time (wall clock, ms since 1970) as
// published; meaningful while LiveServerInstance is non-zero.
std::uint32_t StatsServerPid(const StatsView& view);
std::uint64_t StatsStartedAtUnixMs(const StatsView& view);

// Copies slot's entry into *out: true when the slot was held by one
// registration throughout the copy, false when it is free or changed hands
// meanwhile (then *out is zeroed).
bool CopyStatsSlot(const StatsView& view, std::uint32_t slot, StatsSlot* out);

// The slot that pid holds with the publishing server: true with *slot and
// *registration filled; false when pid holds none.
bool FindStatsSlot(const StatsView& view, std::uint32_t pid, std::uint32_t* slot,
                   std::uint32_t* registration);
