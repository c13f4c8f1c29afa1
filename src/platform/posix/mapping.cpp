// Named shared-memory mappings and their views: handles to PX_SHM_MAPPING
// objects and the process-local table of mapped views. As on Win32, the name
// lives while handles to it exist anywhere; a view keeps its memory (the pages
// stay mapped after the name is gone) but not the name, so a create after the
// last handle closed makes a new object even while old views remain. Also the
// fault guard that keeps a shrunk object from killing this process with SIGBUS.
#include <errno.h>
#include <signal.h>
#include <sys/mman.h>
#include <unistd.h>

#include <atomic>
#include <mutex>

#include "platform/fault.h"
#include "platform/mapping.h"
#include "platform/posix/internal.h"

namespace {

struct PxMapping {
    PxObject header;
    PxShm* shm;
};

// A mapped view; addr null marks a free slot. Guarded by viewLock.
struct PxView {
    void* addr;
    std::size_t length;
};
constexpr std::size_t MAX_VIEWS = 4096;
std::mutex viewLock;
PxView views[MAX_VIEWS];

// Guarded ranges; start 0 marks a free entry. The signal handler reads the table
// without a lock, so each entry is two lock-free atomics: length is stored
// before start is published, and start is cleared before the range is unmapped.
struct PxGuard {
    std::atomic<std::uintptr_t> start;
    std::atomic<std::size_t> length;
};
static_assert(std::atomic<std::uintptr_t>::is_always_lock_free);
constexpr std::size_t MAX_GUARDS = MAX_VIEWS + PX_MAX_HANDLES;
PxGuard guards[MAX_GUARDS];
struct sigaction previousBusAction;
std::once_flag guardInstallOnce;

// Runs on the faulting thread. Only async-signal-safe calls (mmap, sysconf,
// sigaction, raise).
void OnBusError(int signal, siginfo_t* info, void* context) {
    const std::uintptr_t address = reinterpret_cast<std::uintptr_t>(info->si_addr);
    for (PxGuard& g : guards) {
        const std::uintptr_t start = g.start.load(std::memory_order_acquire);
        if (start == 0 || address < start ||
            address - start >= g.length.load(std::memory_order_relaxed)) {
            continue;
        }
        const std::uintptr_t page = static_cast<std::uintptr_t>(sysconf(_SC_PAGESIZE));
        const std::uintptr_t length =
            (g.length.load(std::memory_order_relaxed) + page - 1) / page * page;
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
        if (g.start.load(std::memory_order_relaxed) != 0) {
            continue;
        }
        // Claim with a placeholder start of 1 (never a mapping address) so the
        // handler does not use the entry before its length is in place.
        if (!g.start.compare_exchange_strong(expected, 1, std::memory_order_acq_rel)) {
            continue;
        }
        g.length.store(length, std::memory_order_relaxed);
        g.start.store(start, std::memory_order_release);
        return true;
    }
    return false;
}

void px_guard_remove(void* addr) {
    const std::uintptr_t start = reinterpret_cast<std::uintptr_t>(addr);
    for (PxGuard& g : guards) {
        std::uintptr_t expected = start;
        if (g.start.compare_exchange_strong(expected, 0, std::memory_order_acq_rel)) {
            return;
        }
    }
}

void px_mapping_destroy(PxObject* obj) {
    PxMapping* m = reinterpret_cast<PxMapping*>(obj);
    px_shm_put(m->shm);
    delete m;
}

OsHandle OsCreateMapping(const char* name, std::uint32_t size, bool* existed) {
    if (OsFaultHit(OS_FAULT_CREATE_MAPPING)) {
        errno = ENOMEM;
        return OS_NO_HANDLE;
    }
    bool wasThere = false;
    PxShm* shm = px_shm_open(PX_SHM_MAPPING, name, size, false, nullptr, nullptr, &wasThere);
    if (shm == nullptr) {
        return OS_NO_HANDLE;
    }
    PxMapping* m = new PxMapping{};
    m->header.kind = PX_KIND_MAPPING;
    m->header.refs.store(1);
    m->shm = shm;
    OsHandle h = px_handle_insert(&m->header);
    if (h == OS_NO_HANDLE) {
        px_mapping_destroy(&m->header);
        return OS_NO_HANDLE;
    }
    if (existed != nullptr) {
        *existed = wasThere;
    }
    return h;
}

void* OsMapView(OsHandle mapping, std::uint32_t size) {
    if (OsFaultHit(OS_FAULT_MAP_VIEW)) {
        errno = ENOMEM;
        return nullptr;
    }
    PxObject* obj = px_handle_get(mapping, PX_KIND_MAPPING);
    if (obj == nullptr) {
        errno = EBADF;
        return nullptr;
    }
    PxShm* shm = reinterpret_cast<PxMapping*>(obj)->shm;
    // Size 0 maps the whole object; more than the object holds fails, as on Win32.
    std::size_t length = size == 0 ? shm->size : size;
    void* addr = nullptr;
    if (length <= shm->size) {
        void* p = mmap(nullptr, length, PROT_READ | PROT_WRITE, MAP_SHARED, shm->fd, 0);
        if (p != MAP_FAILED) {
            addr = p;
        }
    } else {
        errno = EINVAL;
    }
    if (addr != nullptr) {
        std::lock_guard<std::mutex> guard(viewLock);
        std::size_t slot = 0;
        while (slot < MAX_VIEWS && views[slot].addr != nullptr) {
            ++slot;
        }
        if (slot == MAX_VIEWS) {
            munmap(addr, length);
            addr = nullptr;
            errno = ENOMEM;
        } else {
            views[slot] = PxView{addr, length};
            px_guard_add(addr, length);
        }
    }
    px_object_put(obj);
    return addr;
}

bool OsUnmapView(void* view) {
    if (OsFaultHit(OS_FAULT_UNMAP_VIEW)) {
        errno = EIO;
        return false;
    }
    if (view == nullptr) {
        return false;
    }
    PxView found{};
    {
        std::lock_guard<std::mutex> guard(viewLock);
        for (PxView& v : views) {
            if (v.addr == view) {
                found = v;
                v = PxView{};
                break;
            }
        }
    }
    if (found.addr == nullptr) {
        errno = EINVAL;
        return false;
    }
    px_guard_remove(found.addr);
    munmap(found.addr, found.length);
    return true;
}
