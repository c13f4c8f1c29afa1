// The process-local handle table, the generic handle operations (close, wait,
// sleep) and the futex and clock helpers every other file of the backend uses.
#include <errno.h>
#include <linux/futex.h>
#include <linux/membarrier.h>
#include <sched.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <climits>
#include <mutex>

#include "platform/fault.h"
#include "platform/posix/internal.h"

namespace {
// Slot i holds the object of handle i + 1, or 0 when free. Changed only under
// tableLock; read without it by the pinned lookup, which must know an event
// without reading the object (it may be freed under it): so an event's entry
// carries kEventTag in its low bit (objects are at least 8-aligned).
std::mutex tableLock;
std::atomic<std::uintptr_t> table[PX_MAX_HANDLES];
constexpr std::uintptr_t kEventTag = 1;
static_assert(alignof(PxObject) >= 2);

std::uintptr_t EntryOf(PxObject* obj) {
    return reinterpret_cast<std::uintptr_t>(obj) | (obj->kind == PX_KIND_EVENT ? kEventTag : 0);
}

PxObject* ObjectOf(std::uintptr_t entry) {
    return reinterpret_cast<PxObject*>(entry & ~kEventTag);
}
// Where the search for a free slot starts, so freshly closed handles are not
// reused at once (a stale handle then fails instead of hitting a new object).
std::uint32_t nextSlot = 0;

// Hazard slots of the pinned lookup, one per thread that has pinned, claimed
// lowest first and given back when the thread ends.
//
// A pin stores the object in its thread's slot with a plain store and reads the
// table entry again; a close clears the entry, then makes every running thread
// of the process execute a full barrier (membarrier) before it reads the slots.
// So either the close sees the pin, and waits for it to go, or the pin sees the
// cleared entry, and gives up before touching the object. The pin's side has no
// atomic read-modify-write and no fence: it is what a post pays per wake-up.
constexpr std::uint32_t kHazardSlots = 256;
std::atomic<PxObject*> hazards[kHazardSlots];
std::atomic<bool> hazardClaimed[kHazardSlots];
std::atomic<std::uint32_t> hazardsEverUsed{0};
// 1 once this process is registered for expedited barriers, -1 when the kernel
// refuses them (every pin then takes a reference), 0 before the first try.
std::atomic<int> barrierState{0};

long Membarrier(int cmd) {
    return syscall(SYS_membarrier, cmd, 0u, 0);
}

bool BarriersAvailable() {
    int state = barrierState.load(std::memory_order_acquire);
    if (state == 0) {
        std::lock_guard<std::mutex> guard(tableLock);
        state = barrierState.load(std::memory_order_relaxed);
        if (state == 0) {
            state = Membarrier(MEMBARRIER_CMD_REGISTER_PRIVATE_EXPEDITED) == 0 ? 1 : -1;
            barrierState.store(state, std::memory_order_release);
        }
    }
    return state == 1;
}

// This thread's hazard slot, claimed at its first pin: -2 not yet, -1 none to be
// had. A plain thread-local, so that reading it costs one load; the slot is given
// back by a second thread-local that only a claim brings to life.
thread_local std::int32_t threadHazard = -2;

struct HazardRelease {
    ~HazardRelease() {
        if (threadHazard >= 0) {
            hazards[threadHazard].store(nullptr, std::memory_order_release);
            hazardClaimed[threadHazard].store(false, std::memory_order_release);
            threadHazard = -1;
        }
    }
};
thread_local HazardRelease hazardRelease;

std::int32_t ClaimHazard() {
    if (threadHazard != -2) {
        return threadHazard;
    }
    threadHazard = -1;
    if (!BarriersAvailable()) {
        return threadHazard;
    }
    for (std::uint32_t i = 0; i < kHazardSlots; ++i) {
        bool expected = false;
        if (hazardClaimed[i].compare_exchange_strong(expected, true, std::memory_order_acq_rel)) {
            std::uint32_t used = hazardsEverUsed.load(std::memory_order_relaxed);
            while (used < i + 1 &&
                   !hazardsEverUsed.compare_exchange_weak(used, i + 1, std::memory_order_acq_rel)) {
            }
            // Brings the releaser to life: its destructor gives the slot back when
            // the thread ends.
            HazardRelease* volatile releaser = &hazardRelease;
            (void)releaser;
            threadHazard = static_cast<std::int32_t>(i);
            break;
        }
    }
    return threadHazard;
}

// Called by a close after it cleared the table entry of obj: returns once no
// pin that could have seen the entry still holds obj. Only events are pinned.
void WaitForPins(PxObject* obj, std::uintptr_t entry) {
    std::uint32_t used = hazardsEverUsed.load(std::memory_order_acquire);
    if (used == 0 || (entry & kEventTag) == 0) {
        return;  // nothing was ever pinned, or not an event
    }
    // A process forked from a registered one may not count as registered: then
    // it registers again, and a system-wide barrier is the last resort.
    if (Membarrier(MEMBARRIER_CMD_PRIVATE_EXPEDITED) != 0 &&
        (Membarrier(MEMBARRIER_CMD_REGISTER_PRIVATE_EXPEDITED) != 0 ||
         Membarrier(MEMBARRIER_CMD_PRIVATE_EXPEDITED) != 0)) {
        Membarrier(MEMBARRIER_CMD_GLOBAL);
    }
    for (std::uint32_t i = 0; i < used; ++i) {
        while (hazards[i].load(std::memory_order_acquire) == obj) {
            sched_yield();
        }
    }
}

}  // namespace

OsHandle px_handle_insert(PxObject* obj) {
    std::lock_guard<std::mutex> guard(tableLock);
    for (std::uint32_t n = 0; n < PX_MAX_HANDLES; ++n) {
        std::uint32_t slot = (nextSlot + n) % PX_MAX_HANDLES;
        if (table[slot].load(std::memory_order_relaxed) == 0) {
            table[slot].store(EntryOf(obj), std::memory_order_release);
            nextSlot = (slot + 1) % PX_MAX_HANDLES;
            return static_cast<OsHandle>(slot) + 1;
        }
    }
    errno = EMFILE;
    return OS_NO_HANDLE;
}

PxObject* px_handle_get(OsHandle handle, PxKind kind) {
    if (handle == OS_NO_HANDLE || handle > PX_MAX_HANDLES) {
        return nullptr;
    }
    std::lock_guard<std::mutex> guard(tableLock);
    PxObject* obj = ObjectOf(table[handle - 1].load(std::memory_order_relaxed));
    if (obj == nullptr || (kind != PX_KIND_FREE && obj->kind != kind)) {
        return nullptr;
    }
    obj->refs.fetch_add(1);
    return obj;
}

PxPin px_handle_pin_event(OsHandle handle) {
    if (handle == OS_NO_HANDLE || handle > PX_MAX_HANDLES) {
        return PxPin{nullptr, false};
    }
    std::int32_t index = threadHazard >= 0 ? threadHazard : ClaimHazard();
    if (index < 0 || hazards[index].load(std::memory_order_relaxed) != nullptr) {
        return PxPin{px_handle_get(handle, PX_KIND_EVENT), true};
    }
    std::atomic<std::uintptr_t>& entry = table[handle - 1];
    const std::uintptr_t seen = entry.load(std::memory_order_acquire);
    if ((seen & kEventTag) == 0) {
        return PxPin{nullptr, false};  // free, or not an event
    }
    PxObject* obj = ObjectOf(seen);
    hazards[index].store(obj, std::memory_order_relaxed);
    // Only the compiler is kept from moving the re-read above the store; the
    // processor's side of it is the barrier the close forces on this thread.
    std::atomic_signal_fence(std::memory_order_seq_cst);
    if (entry.load(std::memory_order_acquire) != seen) {
        hazards[index].store(nullptr, std::memory_order_release);
        return PxPin{nullptr, false};
    }
    return PxPin{obj, false};
}

void px_handle_unpin(const PxPin& pin) {
    if (pin.obj == nullptr) {
        return;
    }
    if (pin.counted) {
        px_object_put(pin.obj);
        return;
    }
    hazards[threadHazard].store(nullptr, std::memory_order_release);
}

void px_object_put(PxObject* obj) {
    if (obj->refs.fetch_sub(1) != 1) {
        return;
    }
    switch (obj->kind) {
        case PX_KIND_EVENT:
            px_event_destroy(obj);
            break;
        case PX_KIND_MAPPING:
            px_mapping_destroy(obj);
            break;
        case PX_KIND_PROCESS:
            px_process_destroy(obj);
            break;
        case PX_KIND_THREAD:
            px_thread_destroy(obj);
            break;
        case PX_KIND_MUTEX:
            px_mutex_destroy(obj);
            break;
        case PX_KIND_FREE:
            break;
    }
}

bool OsCloseHandle(OsHandle handle) {
    if (OsFaultHit(OS_FAULT_CLOSE_HANDLE)) {
        errno = EIO;
        return false;
    }
    if (handle == OS_NO_HANDLE || handle > PX_MAX_HANDLES) {
        return false;
    }
    std::uintptr_t entry = 0;
    {
        std::lock_guard<std::mutex> guard(tableLock);
        entry = table[handle - 1].exchange(0, std::memory_order_acq_rel);
    }
    if (entry == 0) {
        return false;
    }
    PxObject* obj = ObjectOf(entry);
    WaitForPins(obj, entry);
    px_object_put(obj);
    return true;
}

std::uint32_t OsWaitForObject(OsHandle handle, std::uint32_t timeoutMs) {
    PxObject* obj = px_handle_get(handle, PX_KIND_FREE);
    if (obj == nullptr) {
        return OS_WAIT_FAILED;
    }
    std::uint32_t result = OS_WAIT_FAILED;
    switch (obj->kind) {
        case PX_KIND_EVENT:
            result = px_event_wait(obj, timeoutMs);
            break;
        case PX_KIND_PROCESS:
            result = px_process_wait(obj, timeoutMs);
            break;
        case PX_KIND_THREAD:
            result = px_thread_wait(obj, timeoutMs);
            break;
        case PX_KIND_MUTEX:
            result = px_mutex_wait(obj, timeoutMs);
            break;
        case PX_KIND_MAPPING:  // not waitable, as on Win32
        case PX_KIND_FREE:
            break;
    }
    px_object_put(obj);
    return result;
}

void OsSleep(std::uint32_t ms) {
    timespec ts{static_cast<time_t>(ms / 1000), static_cast<long>(ms % 1000) * 1000000L};
    while (nanosleep(&ts, &ts) != 0 && errno == EINTR) {
    }
}

std::uint64_t px_now_ms() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<std::uint64_t>(ts.tv_sec) * 1000u +
           static_cast<std::uint64_t>(ts.tv_nsec) / 1000000u;
}

std::uint32_t px_remaining_ms(std::uint64_t deadline, std::uint32_t timeoutMs) {
    if (timeoutMs == OS_INFINITE) {
        return OS_INFINITE;
    }
    std::uint64_t now = px_now_ms();
    return now >= deadline ? 0 : static_cast<std::uint32_t>(deadline - now);
}

bool px_futex_wait(std::uint32_t* word, std::uint32_t expected, std::uint32_t timeoutMs) {
    timespec ts{};
    timespec* limit = nullptr;
    if (timeoutMs != OS_INFINITE) {
        ts.tv_sec = static_cast<time_t>(timeoutMs / 1000);
        ts.tv_nsec = static_cast<long>(timeoutMs % 1000) * 1000000L;
        limit = &ts;
    }
    // Not FUTEX_PRIVATE_FLAG: the word may live in memory shared with other processes.
    long rc = syscall(SYS_futex, word, FUTEX_WAIT, expected, limit, nullptr, 0);
    return !(rc != 0 && errno == ETIMEDOUT);
}

void px_futex_wake(std::uint32_t* word, int count) {
    syscall(SYS_futex, word, FUTEX_WAKE, count, nullptr, nullptr, 0);
}
