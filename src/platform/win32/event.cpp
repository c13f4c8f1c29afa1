// Win32 backend: named and unnamed events.
#include <windows.h>

#include "platform/event.h"
#include "platform/fault.h"

OsHandle OsCreateEvent(const char* name, bool manualReset, bool initialState, bool* existed) {
    if (existed != nullptr) {
        *existed = false;
    }
    if (OsFaultHit(OS_FAULT_CREATE_EVENT)) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return OS_NO_HANDLE;
    }
    HANDLE h = CreateEventA(nullptr, manualReset ? TRUE : FALSE, initialState ? TRUE : FALSE, name);
    // Read the error right after the call: it alone tells "opened an existing event".
    DWORD error = GetLastError();
    if (h == nullptr) {
        return OS_NO_HANDLE;
    }
    if (existed != nullptr) {
        *existed = error == ERROR_ALREADY_EXISTS;
    }
    SetLastError(error);
    return reinterpret_cast<OsHandle>(h);
}

bool OsSetEvent(OsHandle event) {
    return SetEvent(reinterpret_cast<HANDLE>(event)) != FALSE;
}

bool OsSetEventOwingWake(OsHandle event, bool* wakeOwed) {
    *wakeOwed = false;  // SetEvent wakes the waiter itself
    return OsSetEvent(event);
}

bool OsEventWakesCanBeOwed() {
    return false;
}

bool OsWakeEventWaiter(OsHandle event) {
    return event != OS_NO_HANDLE;
}

bool OsResetEvent(OsHandle event) {
    return ResetEvent(reinterpret_cast<HANDLE>(event)) != FALSE;
}
