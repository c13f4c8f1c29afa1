// Named and unnamed events, auto- or manual-reset, as Win32 CreateEventA gives them.
#pragma once
#include "platform/types.h"

// Creates the event, or opens the existing event of that name (which keeps its
// reset mode and state). name may be null for an unnamed event. When existed is
// given it tells whether the name denoted an event already; on failure it is
// false, on both backends. Returns OS_NO_HANDLE on failure.
OsHandle OsCreateEvent(const char* name, bool manualReset, bool initialState,
                       bool* existed = nullptr);

// Sets the event. An auto-reset event lets exactly one waiter through and stays
// set until a wait takes the signal. Setting an event nobody waits on costs no
// system call on the POSIX backend.
bool OsSetEvent(OsHandle event);

// Sets the event as OsSetEvent does, but where that would enter the kernel to
// wake a sleeping waiter it leaves the wake-up owed instead (*wakeOwed true), to
// be made later by OsWakeEventWaiter, possibly on another thread. Until then a
// wait that looks at the event finds it set. On Win32 the set wakes its waiter
// at once and *wakeOwed is false.
bool OsSetEventOwingWake(OsHandle event, bool* wakeOwed);

// Makes the wake-up that OsSetEventOwingWake owed: wakes a waiter sleeping on the
// event (all of them for a manual-reset event). Harmless when the waiter has
// woken meanwhile; false, touching nothing, when the handle is closed.
bool OsWakeEventWaiter(OsHandle event);

// True where OsSetEventOwingWake can owe a wake-up (POSIX); false on Win32.
bool OsEventWakesCanBeOwed();

// Clears a set event.
bool OsResetEvent(OsHandle event);
