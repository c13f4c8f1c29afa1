// Win32 backend: closing handles, waiting on objects, sleeping.
#include <windows.h>

#include "platform/fault.h"
#include "platform/types.h"

namespace {
// GetCurrentProcess() and GetCurrentThread() (and the token pseudo-handles of
// later systems) are -1 .. -6. CloseHandle accepts them and does nothing, so
// they would pass for a closed handle; the layer never hands them out.
bool IsPseudoHandle(OsHandle handle) {
    return handle >= static_cast<OsHandle>(-6);
}
}  // namespace

bool OsCloseHandle(OsHandle handle) {
    if (OsFaultHit(OS_FAULT_CLOSE_HANDLE)) {
        SetLastError(ERROR_INVALID_HANDLE);
        return false;
    }
    if (handle == OS_NO_HANDLE || IsPseudoHandle(handle)) {
        SetLastError(ERROR_INVALID_HANDLE);
        return false;
    }
    // CloseHandle on a stale handle raises EXCEPTION_INVALID_HANDLE when a
    // debugger is attached or strict handle checks are on. Asking for the
    // handle's flags first fails quietly for a bad handle instead.
    HANDLE h = reinterpret_cast<HANDLE>(handle);
    DWORD flags = 0;
    if (!GetHandleInformation(h, &flags)) {
        return false;
    }
    return CloseHandle(h) != FALSE;
}

std::uint32_t OsWaitForObject(OsHandle handle, std::uint32_t timeoutMs) {
    return WaitForSingleObject(reinterpret_cast<HANDLE>(handle), timeoutMs);
}

// Not alertable on Win32: signals do not interrupt waits there, and an
// alertable wait would run queued APCs the caller never asked for.
std::uint32_t OsWaitForObjectAlertable(OsHandle handle, std::uint32_t timeoutMs) {
    return WaitForSingleObject(reinterpret_cast<HANDLE>(handle), timeoutMs);
}

void OsSleep(std::uint32_t ms) {
    Sleep(ms);
}
