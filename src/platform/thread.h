// Threads: create, time-critical priority, end the calling thread.
#pragma once
#include <cstdint>
#include "platform/types.h"

using OsThreadProc = std::uint32_t (*)(void* parameter);

// Creates a thread that runs at once with default attributes and stack. The
// thread's id goes into *threadId when given. OS_NO_HANDLE on failure. The
// returned handle waits (OsWaitForObject) until the thread has ended.
OsHandle OsCreateThread(OsThreadProc proc, void* parameter, std::uint32_t* threadId);

// Asks for time-critical priority (Win32 THREAD_PRIORITY_TIME_CRITICAL). A
// refusal (e.g. no real-time rights) is reported as false, never a crash.
bool OsSetThreadTimeCritical(OsHandle thread);

// Ends the calling thread with the given exit code. Does not return.
[[noreturn]] void OsExitThread(std::uint32_t exitCode);

// The thread's exit code, or OS_STILL_ACTIVE while it runs. False on failure.
bool OsGetExitCodeThread(OsHandle thread, std::uint32_t* exitCode);

std::uint32_t OsCurrentThreadId();
