// Named mutexes (Win32 CreateMutexA / ReleaseMutex): recursive for the owner thread,
// "abandoned" for the next waiter when the owner thread ends without releasing.
// Waiting goes through OsWaitForObject.
#pragma once
#include "platform/types.h"

// Creates the mutex, not owned, not inheritable, or opens the existing one.
// OS_NO_HANDLE on failure.
OsHandle OsCreateMutex(const char* name);

// Releases one level of ownership. False when the caller does not own it.
bool OsReleaseMutex(OsHandle mutex);
