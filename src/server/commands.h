// Client commands (register, unregister, enable, disable, sweep) and the removal
// of the remaining clients at shutdown.
#pragma once
#include <cstdint>

// What a command asks of the request loop.
struct CommandOutcome {
    std::int32_t exitStatus;  // 0: unchanged; otherwise the new failure status
    bool stop;                // end the loop after the reply
    bool noReply;             // end the loop at once, without a reply
};

inline constexpr std::uint32_t CMD_REGISTER = 0;
inline constexpr std::uint32_t CMD_UNREGISTER = 1;
inline constexpr std::uint32_t CMD_ENABLE = 2;
inline constexpr std::uint32_t CMD_DISABLE = 3;
inline constexpr std::uint32_t CMD_SWEEP = 4;
inline constexpr std::uint32_t CMD_STOP = 13;
inline constexpr std::uint32_t CMD_STOP_UNREGISTER = 17;

// Carries out commands 0 to 4 and 17 (17 as 1) for pid; may change arg1 and arg3.
CommandOutcome RunClientCommand(std::uint32_t pid, std::uint32_t command, std::uint32_t* arg1,
                                std::uint32_t* arg2, std::uint32_t* arg3);

// Shutdown: closes every remaining client's block and wake event.
void RemoveAllClients();
