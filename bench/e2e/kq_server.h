// The kqvxi server of one kqvxi peer of the end-to-end harness: started on a
// controller of the harness's own (never one a deployment uses), asked whether
// it serves, fed level events on the simulated board, and stopped. Each kqvxi
// peer has a server of its own, so that several take turns in one run.
#pragma once
#include <sys/types.h>

#include <cstdint>

namespace e2e {

// The events every kqvxi consumer selects: level 1 at index 3, whose 32-bit
// value is the event's sequence.
inline constexpr std::int16_t KQ_LEVEL_INDEX = 3;
inline constexpr std::uint16_t KQ_LEVEL = 1;
inline constexpr std::uint32_t KQ_LEVEL_BITS = 0x0001;  // level 1 is bit 0 of the mask
inline constexpr std::uint32_t KQ_LEVEL_CODE = 7;       // the level class's record code

struct KqServer {
    std::uint16_t controller;
    pid_t pid;
    int consumers;
};

// Starts a server for count consumers on the controller that slot (0..7) picks
// for this harness, and waits until it answers. False, with nothing left
// running, on failure.
bool StartKqServer(KqServer* server, int slot, int count);
// One level event with seq as its value; for how many consumers the board's
// event queue refused it (all of them, or none).
int PostKqLevel(const KqServer& server, std::uint32_t seq);
void StopKqServer(KqServer* server);

// A request to controller, repeated while no server answers yet, for a bounded
// time (the server may still be starting).
int KqRequest(std::uint16_t controller, std::uint32_t command, std::uint32_t a1 = 0,
              std::uint32_t a2 = 0, std::uint32_t a3 = 0);

// The client handle's options that the kqvxi-coalesce and kqvxi-spin peers use
// (kq_e2e --coalesce-us, --spin-us).
extern std::uint32_t handleCoalesceUs;
extern std::uint32_t handleSpinUs;

}  // namespace e2e
