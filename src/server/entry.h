// The server's entry: start-up, the request loop and shutdown for one controller.
#pragma once
#include <cstdint>

// Exit statuses of the server.
inline constexpr std::int32_t EXIT_STOPPED = 0;
inline constexpr std::int32_t EXIT_STARTUP_FAILED = -1;
inline constexpr std::int32_t EXIT_CHANNEL_FAILED = -2;
inline constexpr std::int32_t EXIT_COMMAND_FAILED = -3;

// Controller number from the first argument: leading blanks, one sign, decimal
// digits up to the first non-digit, 32-bit wrap, low 16 bits.
std::uint16_t ParseControllerNumber(const char* text);

// Runs the server; returns the process exit code. Writes nothing anywhere.
std::int32_t ServerMain(int argc, const char* const* argv);
