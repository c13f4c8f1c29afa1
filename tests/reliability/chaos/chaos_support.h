// Shared pieces of the chaos tests: the real server on the simulated board,
// requests with retry, the draining client role that checks the sequence of
// level records it receives, a paced injector, and the server's resource counts.
#pragma once
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "platform/types.h"
#include "support/server_process.h"

namespace chaos {

using Clock = std::chrono::steady_clock;

inline long long MsSince(Clock::time_point start) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

// True when KQVXI_SOAK=1 selects the long setting.
inline bool Soak() {
    const char* v = std::getenv("KQVXI_SOAK");
    return v != nullptr && v[0] == '1';
}

// Name of the sanitizer this build runs under ("" for none).
const char* Sanitizer();

// Records of the storm are level events at this index and level; their value is
// the sequence number. SENTINEL ends each drainer's stream.
inline constexpr std::int16_t STORM_INDEX = 1;
inline constexpr std::uint16_t STORM_LEVEL = 1;
inline constexpr std::uint32_t SENTINEL = 0xFFFFFFFFu;

// Starts kqvxi-server for controller; fills *pid. OS_NO_HANDLE on failure.
OsHandle StartServer(std::uint16_t controller, std::uint32_t* pid);
// Waits until the server of controller answers.
bool WaitServing(std::uint16_t controller, std::uint32_t limitMs = 20000);
// One request, retried while it times out, for up to limitMs.
inline int Request(std::uint16_t controller, std::uint32_t command, std::uint32_t* arg1 = nullptr,
                   std::uint32_t* arg2 = nullptr, std::uint32_t* arg3 = nullptr,
                   std::uint32_t limitMs = 10000) {
    return server_process::RequestRetrying(controller, command, arg1, arg2, arg3, limitMs);
}
// Register, then enable the storm's level records.
int RegisterForStorm(std::uint16_t controller);

// What a drainer reports back (through a file).
struct DrainResult {
    long long received = -1;  // records of the storm taken
    long long errors = -1;    // records out of sequence (lost, repeated or reordered)
    long long maxGapUs = -1;  // longest time between two records
    long long firstBadExpected = 0, firstBadGot = 0;
    // Records the server dropped because this drainer's ring was full (the
    // drainer was not run in time); not counted in errors.
    long long overflowLost = -1;
};
// Starts a drainer child (role chaos_drainer); it says it is registered on the
// named event readyName and writes its result to resultPath.
OsHandle StartDrainer(std::uint16_t controller, const std::string& resultPath,
                      const std::string& readyName, std::uint32_t* pid = nullptr);
// accepted: the storm's accepted count. Records missing at the end (before the
// sentinel) count as dropped on a full ring when the drainer's last drains found
// its ring full, and as one error otherwise.
DrainResult ReadDrainResult(const std::string& resultPath, long long accepted);

// Injects the storm on its own thread: sequence numbers 0, 1, ... paced at
// ratePerSecond attempts; a refused event (queue full) is retried with the same
// number, so the accepted numbers are exactly 0 .. accepted-1.
struct Injector {
    std::uint16_t controller = 0;
    std::uint32_t ratePerSecond = 12000;
    std::atomic<bool> stop{false};
    std::atomic<long long> accepted{0};
    std::atomic<long long> refused{0};
    std::atomic<long long> attempts{0};
    long long elapsedMs = 0;
    // Longest run of refusals (the server took nothing from the board's queue
    // meanwhile) and longest pause of this thread between two passes, in ms:
    // they tell a stall of the server from a stall of the injector.
    long long longestRefusalMs = 0;
    long long longestPauseMs = 0;
    void Run();
    // Ends the storm (the caller has stopped Run) and, once the drainers had time
    // to empty their rings, sends the sentinel; false when it was never accepted.
    bool Finish();
};

// The server's open descriptors, and its mappings of files in the object
// directory (-1 when the directory cannot be found).
int CountFds(std::uint32_t pid);
int CountShmMappings(std::uint32_t pid);
// Entries of the object directory whose name holds the client object prefix of
// pid ("X<hex>"); -1 when the directory cannot be found or read.
int CountClientObjects(std::uint32_t pid);
// Which processes hold an object of pid open ("<holder pid>:<fd target>" ...),
// for failure messages.
std::string HoldersOfClientObjects(std::uint32_t pid);
// A temporary file path unique to this process and tag.
std::string TempPath(const std::string& tag);

}  // namespace chaos
