// POSIX backend: the process-wide memory barrier, as the kernel's expedited
// private membarrier. The process registers for it once, at the first question
// whether it is available.
#include <linux/membarrier.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <mutex>

#include "platform/atomic.h"
#include "platform/barrier.h"

namespace {
// 1 once this process is registered for expedited barriers, -1 when the kernel
// refuses them, 0 before the first try.
std::int32_t barrierState = 0;
std::mutex registerLock;

long Membarrier(int cmd) {
    return syscall(SYS_membarrier, cmd, 0u, 0);
}
}  // namespace

bool OsProcessBarrierAvailable() {
    std::int32_t state = OsAtomicLoad(&barrierState);
    if (state == 0) {
        std::lock_guard<std::mutex> guard(registerLock);
        state = OsAtomicLoadRelaxed(&barrierState);
        if (state == 0) {
            state = Membarrier(MEMBARRIER_CMD_REGISTER_PRIVATE_EXPEDITED) == 0 ? 1 : -1;
            OsAtomicStore(&barrierState, state);
        }
    }
    return state == 1;
}

void OsProcessBarrier() {
    // A process forked from a registered one may not count as registered: then
    // it registers again, and a system-wide barrier is the last resort.
    if (Membarrier(MEMBARRIER_CMD_PRIVATE_EXPEDITED) != 0 &&
        (Membarrier(MEMBARRIER_CMD_REGISTER_PRIVATE_EXPEDITED) != 0 ||
         Membarrier(MEMBARRIER_CMD_PRIVATE_EXPEDITED) != 0)) {
        Membarrier(MEMBARRIER_CMD_GLOBAL);
    }
}
