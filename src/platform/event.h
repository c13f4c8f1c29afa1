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

// Clears a set event.
bool OsResetEvent(OsHandle event);
