// Win32 backend: the process-wide memory barrier (FlushProcessWriteBuffers,
// present on every supported version).
#include <windows.h>

#include "platform/barrier.h"

bool OsProcessBarrierAvailable() {
    return true;
}

void OsProcessBarrier() {
    FlushProcessWriteBuffers();
}
