// Fault injection for tests: make the Nth next call of a platform operation fail,
// in this process only. Production code never sets a fault.
#pragma once
#include <cstdint>

enum OsFault : int {
    OS_FAULT_CREATE_EVENT,
    OS_FAULT_CREATE_MAPPING,
    OS_FAULT_MAP_VIEW,
    OS_FAULT_UNMAP_VIEW,
    OS_FAULT_CLOSE_HANDLE,
    OS_FAULT_OPEN_PROCESS,
    OS_FAULT_CREATE_THREAD,
    OS_FAULT_HEAP_ALLOC,
    OS_FAULT_CREATE_MUTEX,
    OS_FAULT_COUNT
};

// After this call, the (skip+1)th call of the operation fails, and with
// everyCall set every call from then on fails. OsClearFaults removes them all.
void OsSetFault(OsFault which, std::uint32_t skip, bool everyCall = false);
void OsClearFaults();

// Backends call this at the top of each faultable operation; true means fail now.
bool OsFaultHit(OsFault which);
