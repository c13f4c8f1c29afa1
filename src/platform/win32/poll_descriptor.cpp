// Win32 backend of the poll descriptors: loops wait on handles, so there is no
// counter descriptor, and an event's native object is its HANDLE.
#include <windows.h>

#include "platform/poll_descriptor.h"

std::intptr_t OsCreatePollDescriptor() {
    return OS_NO_DESCRIPTOR;
}

bool OsSignalPollDescriptor(std::intptr_t) {
    return false;
}

void OsClearPollDescriptor(std::intptr_t) {}

void OsClosePollDescriptor(std::intptr_t) {}

std::intptr_t OsNativeEventHandle(OsHandle event) {
    return event == OS_NO_HANDLE ? OS_NO_DESCRIPTOR : static_cast<std::intptr_t>(event);
}
