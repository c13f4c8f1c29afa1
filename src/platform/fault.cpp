// Test fault injection shared by both backends.
#include "platform/fault.h"

#include "platform/atomic.h"

namespace {
// Each field is read and written through platform/atomic.h: tests arm faults
// while other threads run the operations they fail.
struct FaultState {
    std::uint32_t armed;      // 1 while a fault is set
    std::uint32_t skip;       // calls still to pass before failing
    std::uint32_t everyCall;  // keep failing once hit
};
FaultState faults[OS_FAULT_COUNT];
}  // namespace

void OsSetFault(OsFault which, std::uint32_t skip, bool everyCall) {
    FaultState& f = faults[which];
    OsAtomicStoreSeqCst(&f.skip, skip);
    OsAtomicStoreSeqCst(&f.everyCall, everyCall ? 1u : 0u);
    OsAtomicStoreSeqCst(&f.armed, 1u);
}

void OsClearFaults() {
    for (FaultState& f : faults) {
        OsAtomicStoreSeqCst(&f.armed, 0u);
    }
}

bool OsFaultHit(OsFault which) {
    FaultState& f = faults[which];
    if (OsAtomicLoadRelaxed(&f.armed) == 0) {
        return false;
    }
    std::uint32_t s = OsAtomicLoadSeqCst(&f.skip);
    while (s > 0) {
        if (OsAtomicCompareExchange(&f.skip, &s, s - 1)) {
            return false;
        }
    }
    if (OsAtomicLoadSeqCst(&f.everyCall) == 0) {
        OsAtomicStoreSeqCst(&f.armed, 0u);
    }
    return true;
}
