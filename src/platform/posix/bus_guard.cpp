// The fault guard of shared mappings: a SIGBUS inside a registered range (an
// object another holder shrank under this process's mapping) is answered with
// private zero pages over the range; any other SIGBUS goes where it went before.
#include <signal.h>
#include <sys/mman.h>
#include <unistd.h>

#include <mutex>

#include "platform/atomic.h"
#include "platform/posix/internal.h"

namespace {

// Guarded ranges; start 0 marks a free entry. The signal handler reads the table
// without a lock, so each entry is two lock-free atomic words: length is stored
// before start is published, and start is cleared before the range is unmapped.
struct PxGuard {
    std::uintptr_t start;
    std::size_t length;
};
static_assert(OS_ATOMIC_LOCK_FREE<std::uintptr_t> && OS_ATOMIC_LOCK_FREE<std::size_t>,
              "the signal handler must not wait for a lock its own thread may hold");
constexpr std::size_t MAX_GUARDS = PX_MAX_VIEWS + PX_MAX_HANDLES;
PxGuard guards[MAX_GUARDS];
struct sigaction previousBusAction;
std::once_flag guardInstallOnce;

// Runs on the faulting thread. Only async-signal-safe calls (mmap, sysconf,
// sigaction, raise).
void OnBusError(int signal, siginfo_t* info, void* context) {
    const std::uintptr_t address = reinterpret_cast<std::uintptr_t>(info->si_addr);
    for (PxGuard& g : guards) {
        const std::uintptr_t start = OsAtomicLoad(&g.start);
        if (start == 0 || address < start || address - start >= OsAtomicLoadRelaxed(&g.length)) {
            continue;
        }
        const std::uintptr_t page = static_cast<std::uintptr_t>(sysconf(_SC_PAGESIZE));
        const std::uintptr_t length = (OsAtomicLoadRelaxed(&g.length) + page - 1) / page * page;
        // Private zero pages over the whole range: the faulting access is retried
        // on return and succeeds; the view reads as zeros from now on.
        if (mmap(reinterpret_cast<void*>(start), length, PROT_READ | PROT_WRITE,
                 MAP_PRIVATE | MAP_ANONYMOUS | MAP_FIXED, -1, 0) != MAP_FAILED) {
            return;
        }
        break;
    }
    // Not ours: as if the guard were not there.
    if ((previousBusAction.sa_flags & SA_SIGINFO) != 0 &&
        previousBusAction.sa_sigaction != nullptr) {
        previousBusAction.sa_sigaction(signal, info, context);
        return;
    }
    if (previousBusAction.sa_handler != SIG_DFL && previousBusAction.sa_handler != SIG_IGN &&
        previousBusAction.sa_handler != nullptr) {
        previousBusAction.sa_handler(signal);
        return;
    }
    struct sigaction fallback {};
    fallback.sa_handler = SIG_DFL;
    sigemptyset(&fallback.sa_mask);
    sigaction(SIGBUS, &fallback, nullptr);
    // Pending until this handler returns, then it ends the process; a fault would
    // also end it by faulting again.
    raise(SIGBUS);
}

void InstallGuard() {
    struct sigaction action {};
    action.sa_sigaction = OnBusError;
    action.sa_flags = SA_SIGINFO | SA_ONSTACK;
    sigemptyset(&action.sa_mask);
    sigaction(SIGBUS, &action, &previousBusAction);
}

}  // namespace

bool px_guard_add(void* addr, std::size_t length) {
    std::call_once(guardInstallOnce, InstallGuard);
    const std::uintptr_t start = reinterpret_cast<std::uintptr_t>(addr);
    for (PxGuard& g : guards) {
        std::uintptr_t expected = 0;
        if (OsAtomicLoadRelaxed(&g.start) != 0) {
            continue;
        }
        // Claim with a placeholder start of 1 (never a mapping address) so the
        // handler does not use the entry before its length is in place.
        if (!OsAtomicCompareExchange(&g.start, &expected, std::uintptr_t{1})) {
            continue;
        }
        OsAtomicStoreRelaxed(&g.length, length);
        OsAtomicStore(&g.start, start);
        return true;
    }
    return false;
}

void px_guard_remove(void* addr) {
    const std::uintptr_t start = reinterpret_cast<std::uintptr_t>(addr);
    for (PxGuard& g : guards) {
        std::uintptr_t expected = start;
        if (OsAtomicCompareExchange(&g.start, &expected, std::uintptr_t{0})) {
            return;
        }
    }
}
