// Processes: identity, handles for exit queries, and spawning/killing (for tools and tests).
#pragma once
#include <cstdint>
#include "platform/types.h"

// Exit code of a process that has not ended (Win32 STILL_ACTIVE).
inline constexpr std::uint32_t OS_STILL_ACTIVE = 259;

std::uint32_t OsCurrentProcessId();

// Opens a process by id with query access, not inheritable. The handle stays bound
// to that process even when its id is reused later. OS_NO_HANDLE on failure.
OsHandle OsOpenProcess(std::uint32_t pid);

// The exit code of the process, or OS_STILL_ACTIVE while it runs. False on failure.
// On POSIX the real code is known only for children started by OsSpawnProcess;
// any other ended process reports 0.
bool OsGetExitCodeProcess(OsHandle process, std::uint32_t* exitCode);

// What is known of a process: Running, Ended, or Unknown when the handle is empty
// or its exit code cannot be read. Callers say what Unknown means for them (a
// sweep keeps such a client; a lock wait treats it as alive but bounds the wait).
enum class OsProcessState { Running, Ended, Unknown };
inline OsProcessState OsQueryProcessState(OsHandle process) {
    std::uint32_t exitCode = 0;
    if (process == OS_NO_HANDLE || !OsGetExitCodeProcess(process, &exitCode)) {
        return OsProcessState::Unknown;
    }
    return exitCode == OS_STILL_ACTIVE ? OsProcessState::Running : OsProcessState::Ended;
}

// Starts exe with the arguments args (null-terminated list, not including the
// program name). Returns a process handle and fills *pid. OS_NO_HANDLE on failure.
OsHandle OsSpawnProcess(const char* exe, const char* const* args, std::uint32_t* pid);

// Ends the process at once (TerminateProcess / SIGKILL).
bool OsKillProcess(OsHandle process);

// Full path of the running executable, written into buf with its terminating zero.
// False when it does not fit.
bool OsSelfExePath(char* buf, std::uint32_t size);
