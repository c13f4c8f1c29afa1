// Win32 backend: named mutexes.
#include <windows.h>

#include "platform/fault.h"
#include "platform/named_mutex.h"

OsHandle OsCreateMutex(const char* name) {
    if (OsFaultHit(OS_FAULT_CREATE_MUTEX)) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return OS_NO_HANDLE;
    }
    // Default security, not inheritable, not owned by the creator.
    SECURITY_ATTRIBUTES sa;
    sa.nLength = sizeof sa;
    sa.lpSecurityDescriptor = nullptr;
    sa.bInheritHandle = FALSE;
    return reinterpret_cast<OsHandle>(CreateMutexA(&sa, FALSE, name));
}

bool OsReleaseMutex(OsHandle mutex) {
    return ReleaseMutex(reinterpret_cast<HANDLE>(mutex)) != FALSE;
}
