// Descriptors that another program's event loop can wait on: a counter
// descriptor that polls readable while signalled (an eventfd on POSIX), and the
// native object behind an event handle where the system has one (the HANDLE on
// Win32). Events of the POSIX backend are futex words no poll can watch, so a
// caller there bridges an event to a poll descriptor with a thread of its own.
#pragma once
#include <cstdint>

#include "platform/types.h"

inline constexpr std::intptr_t OS_NO_DESCRIPTOR = -1;

// A new poll descriptor, not signalled, non-blocking and not inherited by
// children. OS_NO_DESCRIPTOR on failure, and on Win32, where loops wait on the
// event itself (OsNativeEventHandle).
std::intptr_t OsCreatePollDescriptor();

// Makes it poll readable until the next clear. Signalling a signalled one keeps
// it signalled. False for a bad descriptor.
bool OsSignalPollDescriptor(std::intptr_t descriptor);

// Makes it not readable; never blocks.
void OsClearPollDescriptor(std::intptr_t descriptor);

void OsClosePollDescriptor(std::intptr_t descriptor);

// The system's own waitable object of an event handle, for waits outside this
// layer (WaitForMultipleObjects): the HANDLE on Win32, OS_NO_DESCRIPTOR on POSIX.
std::intptr_t OsNativeEventHandle(OsHandle event);
