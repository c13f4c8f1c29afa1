// Extra entry points of the simulated board library, beyond the board's own
// operations: the client side of its request channel. Exported by name, never by
// ordinal; a board's own library has its own client side.
#pragma once
#include <cstdint>

extern "C" {

// Results of KqSimRequest (the client library's statuses use the same values).
inline constexpr int KQ_SIM_REQUEST_OK = 0;
inline constexpr int KQ_SIM_REQUEST_TIMEOUT = -1;  // no reply in time; the request is withdrawn
inline constexpr int KQ_SIM_REQUEST_ARG = -2;      // null pointer
inline constexpr int KQ_SIM_REQUEST_SYSTEM = -3;   // shared state or named objects unavailable

// Posts one request (pid, command, *arg1..*arg3) to the server of controller,
// signals the server wake event once, and waits up to timeoutMs for the reply;
// on success *arg1..*arg3 hold the values the server replied.
int KqSimRequest(std::uint16_t controller, std::uint32_t pid, std::uint32_t command,
                 std::uint32_t* arg1, std::uint32_t* arg2, std::uint32_t* arg3,
                 std::uint32_t timeoutMs);

}  // extern "C"
