// Handles, wait results and the generic handle operations of the platform layer.
// The layer gives every other folder Win32's semantics for kernel objects; the
// Win32 backend passes straight through, the POSIX backend rebuilds them.
#pragma once
#include <cstdint>

// A kernel object handle. 0 is "no handle". On Win32 it is the HANDLE value; on
// POSIX it is a small non-zero index into a process-local table, so it always
// fits in 32 bits there.
using OsHandle = std::uintptr_t;
inline constexpr OsHandle OS_NO_HANDLE = 0;

inline constexpr std::uint32_t OS_INFINITE = 0xFFFFFFFFu;

// Results of OsWaitForObject, with Win32's values.
inline constexpr std::uint32_t OS_WAIT_OBJECT_0 = 0x00000000u;
inline constexpr std::uint32_t OS_WAIT_ABANDONED = 0x00000080u;
inline constexpr std::uint32_t OS_WAIT_TIMEOUT = 0x00000102u;
// OsWaitForObjectAlertable only: a signal handled by the waiting thread ended
// the wait (Win32's WAIT_IO_COMPLETION value).
inline constexpr std::uint32_t OS_WAIT_INTERRUPTED = 0x000000C0u;
inline constexpr std::uint32_t OS_WAIT_FAILED = 0xFFFFFFFFu;

// Closes any handle of the layer. An unknown or already closed handle fails
// cleanly (false) and touches nothing.
bool OsCloseHandle(OsHandle handle);

// Waits on an event, a named mutex, a process or a thread, up to timeoutMs
// milliseconds (OS_INFINITE: no limit). Events: OBJECT_0 when signalled (an
// auto-reset event is reset by the wait that takes it). Mutexes: OBJECT_0 when
// now owned, ABANDONED when owned after the previous owner thread ended without
// releasing. Processes and threads: OBJECT_0 once ended. TIMEOUT, or FAILED for a
// bad handle.
std::uint32_t OsWaitForObject(OsHandle handle, std::uint32_t timeoutMs);

// OsWaitForObject that a signal can end: on POSIX, a signal handled by the
// waiting thread while it waits on an event ends the wait with
// OS_WAIT_INTERRUPTED, whatever SA_RESTART says (the event's futex sleeps are
// finite, and the kernel never restarts those). Other kinds of object, and
// Win32, wait exactly as OsWaitForObject does.
std::uint32_t OsWaitForObjectAlertable(OsHandle handle, std::uint32_t timeoutMs);

// Milliseconds sleep of the calling thread.
void OsSleep(std::uint32_t ms);
