// Client commands (register, unregister, enable, disable, sweep) and the removal
// of the remaining clients at shutdown.
#pragma once
#include <cstdint>
#include "kqvxi/events.h"
#include "platform/types.h"

// What a command asks of the request loop.
struct CommandOutcome {
    std::int32_t exitStatus;  // 0: unchanged; otherwise the new failure status
    bool stop;                // end the loop after the reply
    bool noReply;             // end the loop at once, without a reply
};

// The request commands as clients send them (kqvxi/events.h is their one home).
inline constexpr std::uint32_t CMD_REGISTER = KQVXI_CMD_REGISTER;
inline constexpr std::uint32_t CMD_UNREGISTER = KQVXI_CMD_UNREGISTER;
inline constexpr std::uint32_t CMD_ENABLE = KQVXI_CMD_ENABLE;
inline constexpr std::uint32_t CMD_DISABLE = KQVXI_CMD_DISABLE;
inline constexpr std::uint32_t CMD_SWEEP = KQVXI_CMD_SWEEP;
inline constexpr std::uint32_t CMD_STOP = KQVXI_CMD_STOP;
inline constexpr std::uint32_t CMD_STOP_UNREGISTER = KQVXI_CMD_STOP_UNREGISTER;

// Carries out commands 0 to 4 and 17 (17 as 1) for pid; may change arg1 and arg3.
CommandOutcome RunClientCommand(std::uint32_t pid, std::uint32_t command, std::uint32_t* arg1,
                                std::uint32_t* arg2, std::uint32_t* arg3);

// Shutdown: closes every remaining client's block and wake event.
void RemoveAllClients();

// Closes *handle when it is open and clears it with an atomic store, for handles
// the dispatch thread may read meanwhile (the clients' wake events and process
// handles). Main thread only.
void CloseAndClear(OsHandle* handle);
