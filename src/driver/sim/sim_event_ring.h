// A controller's queue of driver events, without locks (its layout and protocol
// are described above SimController): injectors append, the controller's server
// alone takes from the front and gives back what it took and did not hand out.
#pragma once
#include <cstdint>

#include "driver/sim/sim_state.h"

// What became of an appended event.
enum class SimRingPushResult {
    Queued,
    Full,     // no room: the queue holds its depth, or no cell is free
    Dropped,  // the server gave up on the position this injector was too slow to fill
};

// Appends event to c's queue on behalf of process self.
SimRingPushResult SimRingPush(SimController* c, const SimEvent& event, std::uint32_t self);

// The server's view of a position claimed and not filled yet: when it was first
// seen, so the wait gives up on it after SIM_PUBLISH_WAIT_MS. Process-local.
struct SimRingStall {
    bool active;
    std::uint32_t position;
    std::uint64_t sinceMs;
};

// Moves up to max queued events, oldest first, into out, counting them in
// c->evTaken; stops early at a position that is claimed and not yet filled
// (setting *waiting), until that position has waited SIM_PUBLISH_WAIT_MS.
// Returns how many it moved.
std::uint32_t SimRingTake(SimController* c, SimEvent* out, std::uint32_t max, SimRingStall* stall,
                          bool* waiting);

// Puts n events taken by SimRingTake back at the front of c's queue, in their
// order, and stops counting them in c->evTaken. Returns how many went back
// (fewer only when no cell is free).
std::uint32_t SimRingGiveBack(SimController* c, const SimEvent* events, std::uint32_t n,
                              std::uint32_t self);
