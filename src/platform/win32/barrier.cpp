// Win32 backend: the process-wide memory barrier (FlushProcessWriteBuffers,
// present on every supported version). Refused under Wine, whose
// FlushProcessWriteBuffers (as of Wine 8) returns without a barrier: callers
// then take their symmetric, fenced path.
#include <windows.h>

#include "platform/barrier.h"

namespace {

bool RunningUnderWine() {
    HMODULE ntdll = GetModuleHandleA("ntdll.dll");
    return ntdll != nullptr && GetProcAddress(ntdll, "wine_get_version") != nullptr;
}

}  // namespace

bool OsProcessBarrierAvailable() {
    static const bool available = !RunningUnderWine();
    return available;
}

void OsProcessBarrier() {
    FlushProcessWriteBuffers();
}
