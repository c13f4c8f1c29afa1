// Win32 backend: threads.
#include <windows.h>

#include <new>

#include "platform/fault.h"
#include "platform/thread.h"

namespace {
// The layer's thread routine has the plain calling convention; CreateThread
// wants WINAPI (stdcall on 32-bit). The start record carries the routine over.
struct ThreadStart {
    OsThreadProc proc;
    void* parameter;
};

DWORD WINAPI ThreadTrampoline(LPVOID raw) {
    ThreadStart start = *static_cast<ThreadStart*>(raw);
    delete static_cast<ThreadStart*>(raw);
    return start.proc(start.parameter);
}
}  // namespace

OsHandle OsCreateThread(OsThreadProc proc, void* parameter, std::uint32_t* threadId) {
    if (OsFaultHit(OS_FAULT_CREATE_THREAD)) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return OS_NO_HANDLE;
    }
    if (proc == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return OS_NO_HANDLE;
    }
    ThreadStart* start = new (std::nothrow) ThreadStart{proc, parameter};
    if (start == nullptr) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return OS_NO_HANDLE;
    }
    DWORD id = 0;
    HANDLE h = CreateThread(nullptr, 0, ThreadTrampoline, start, 0, &id);
    if (h == nullptr) {
        DWORD error = GetLastError();
        delete start;
        SetLastError(error);
        return OS_NO_HANDLE;
    }
    if (threadId != nullptr) {
        *threadId = id;
    }
    return reinterpret_cast<OsHandle>(h);
}

bool OsSetThreadTimeCritical(OsHandle thread) {
    return SetThreadPriority(reinterpret_cast<HANDLE>(thread), THREAD_PRIORITY_TIME_CRITICAL) !=
           FALSE;
}

void OsExitThread(std::uint32_t exitCode) {
    ExitThread(exitCode);
}

bool OsGetExitCodeThread(OsHandle thread, std::uint32_t* exitCode) {
    if (exitCode == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return false;
    }
    DWORD code = 0;
    if (!GetExitCodeThread(reinterpret_cast<HANDLE>(thread), &code)) {
        return false;
    }
    *exitCode = code;
    return true;
}

std::uint32_t OsCurrentThreadId() {
    return GetCurrentThreadId();
}
