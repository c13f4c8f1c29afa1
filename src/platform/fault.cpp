// Test fault injection shared by both backends.
#include "platform/fault.h"

#include <atomic>

namespace {
struct FaultState {
    std::atomic<std::uint32_t> armed{0};      // 1 while a fault is set
    std::atomic<std::uint32_t> skip{0};       // calls still to pass before failing
    std::atomic<std::uint32_t> everyCall{0};  // keep failing once hit
};
FaultState faults[OS_FAULT_COUNT];
}  // namespace

void OsSetFault(OsFault which, std::uint32_t skip, bool everyCall) {
    FaultState& f = faults[which];
    f.skip.store(skip);
    f.everyCall.store(everyCall ? 1 : 0);
    f.armed.store(1);
}

void OsClearFaults() {
    for (FaultState& f : faults) {
        f.armed.store(0);
    }
}

bool OsFaultHit(OsFault which) {
    FaultState& f = faults[which];
    if (f.armed.load(std::memory_order_relaxed) == 0) {
        return false;
    }
    std::uint32_t s = f.skip.load();
    while (s > 0) {
        if (f.skip.compare_exchange_weak(s, s - 1)) {
            return false;
        }
    }
    if (f.everyCall.load() == 0) {
        f.armed.store(0);
    }
    return true;
}
