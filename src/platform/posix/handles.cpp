// The process-local handle table with its pinned lookup for events, and the
// generic handle operations (close, wait, sleep), which reach each kind of
// object through the operations table on its header.
#include <errno.h>
#include <sched.h>
#include <time.h>
#include <unistd.h>

#include <mutex>

#include "platform/atomic.h"
#include "platform/barrier.h"
#include "platform/fault.h"
#include "platform/posix/internal.h"

namespace {
// Slot i holds the object of handle i + 1, or 0 when free. Changed only under
// tableLock; read without it by the pinned lookup, which must know an event
// without reading the object (it may be freed under it): so an event's entry
// carries EVENT_TAG in its low bit (objects are at least 8-aligned).
std::mutex tableLock;
std::uintptr_t table[PX_MAX_HANDLES];
constexpr std::uintptr_t EVENT_TAG = 1;
static_assert(alignof(PxObject) >= 2, "the low bit of an object's address is free for the tag");
static_assert(OS_ATOMIC_LOCK_FREE<std::uintptr_t>,
              "the pinned lookup reads entries without the lock");

std::uintptr_t EntryOf(PxObject* obj) {
    return reinterpret_cast<std::uintptr_t>(obj) |
           (obj->ops->kind == PX_KIND_EVENT ? EVENT_TAG : 0);
}

PxObject* ObjectOf(std::uintptr_t entry) {
    return reinterpret_cast<PxObject*>(entry & ~EVENT_TAG);
}
// Where the search for a free slot starts, so freshly closed handles are not
// reused at once (a stale handle then fails instead of hitting a new object).
std::uint32_t nextSlot = 0;

// Hazard slots of the pinned lookup, one per thread that has pinned, claimed
// lowest first and given back when the thread ends.
//
// A pin stores the object in its thread's slot with a plain store and reads the
// table entry again; a close clears the entry, then makes every running thread
// of the process execute a full barrier (OsProcessBarrier) before it reads the slots.
// So either the close sees the pin, and waits for it to go, or the pin sees the
// cleared entry, and gives up before touching the object. The pin's side has no
// atomic read-modify-write and no fence: it is what a post pays per wake-up.
constexpr std::uint32_t HAZARD_SLOTS = 256;
PxObject* hazards[HAZARD_SLOTS];
std::uint32_t hazardClaimed[HAZARD_SLOTS];  // 1 while a thread owns the slot
std::uint32_t hazardsEverUsed = 0;
// This thread's hazard slot, claimed at its first pin: -2 not yet, -1 none to be
// had. A plain thread-local, so that reading it costs one load; the slot is given
// back by a second thread-local that only a claim brings to life (by storing the
// slot into it).
thread_local std::int32_t threadHazard = -2;

struct HazardRelease {
    std::int32_t slot = -1;
    ~HazardRelease() {
        if (slot >= 0) {
            OsAtomicStore(&hazards[slot], static_cast<PxObject*>(nullptr));
            OsAtomicStore(&hazardClaimed[slot], 0u);
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
    if (!OsProcessBarrierAvailable()) {  // every pin then takes a reference
        return threadHazard;
    }
    for (std::uint32_t i = 0; i < HAZARD_SLOTS; ++i) {
        std::uint32_t expected = 0;
        if (OsAtomicCompareExchange(&hazardClaimed[i], &expected, 1u)) {
            std::uint32_t used = OsAtomicLoadRelaxed(&hazardsEverUsed);
            while (used < i + 1 && !OsAtomicCompareExchange(&hazardsEverUsed, &used, i + 1)) {
            }
            // Brings the releaser to life: its destructor gives the slot back when
            // the thread ends.
            hazardRelease.slot = static_cast<std::int32_t>(i);
            threadHazard = static_cast<std::int32_t>(i);
            break;
        }
    }
    return threadHazard;
}

// Called by a close after it cleared the table entry of obj: returns once no
// pin that could have seen the entry still holds obj. Only events are pinned.
void WaitForPins(PxObject* obj, std::uintptr_t entry) {
    std::uint32_t used = OsAtomicLoad(&hazardsEverUsed);
    if (used == 0 || (entry & EVENT_TAG) == 0) {
        return;  // nothing was ever pinned, or not an event
    }
    OsProcessBarrier();
    for (std::uint32_t i = 0; i < used; ++i) {
        while (OsAtomicLoad(&hazards[i]) == obj) {
            sched_yield();
        }
    }
}

}  // namespace

void px_object_init(PxObject* obj, const PxKindOps* ops, std::int32_t refs) {
    obj->ops = ops;
    OsAtomicStoreRelaxed(&obj->refs, refs);
}

OsHandle px_handle_insert(PxObject* obj) {
    std::lock_guard<std::mutex> guard(tableLock);
    for (std::uint32_t n = 0; n < PX_MAX_HANDLES; ++n) {
        std::uint32_t slot = (nextSlot + n) % PX_MAX_HANDLES;
        if (OsAtomicLoadRelaxed(&table[slot]) == 0) {
            OsAtomicStore(&table[slot], EntryOf(obj));
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
    PxObject* obj = ObjectOf(OsAtomicLoadRelaxed(&table[handle - 1]));
    if (obj == nullptr || (kind != PX_KIND_FREE && obj->ops->kind != kind)) {
        return nullptr;
    }
    OsAtomicFetchAdd(&obj->refs, 1);
    return obj;
}

PxPin px_handle_pin_event(OsHandle handle) {
    if (handle == OS_NO_HANDLE || handle > PX_MAX_HANDLES) {
        return PxPin{nullptr, false};
    }
    std::int32_t index = threadHazard >= 0 ? threadHazard : ClaimHazard();
    if (index < 0 || OsAtomicLoadRelaxed(&hazards[index]) != nullptr) {
        return PxPin{px_handle_get(handle, PX_KIND_EVENT), true};
    }
    std::uintptr_t* entry = &table[handle - 1];
    const std::uintptr_t seen = OsAtomicLoad(entry);
    if ((seen & EVENT_TAG) == 0) {
        return PxPin{nullptr, false};  // free, or not an event
    }
    PxObject* obj = ObjectOf(seen);
    OsAtomicStoreRelaxed(&hazards[index], obj);
    // Only the compiler is kept from moving the re-read above the store; the
    // processor's side of it is the barrier the close forces on this thread.
    OsSignalFence();
    if (OsAtomicLoad(entry) != seen) {
        OsAtomicStore(&hazards[index], static_cast<PxObject*>(nullptr));
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
    OsAtomicStore(&hazards[threadHazard], static_cast<PxObject*>(nullptr));
}

void px_object_put(PxObject* obj) {
    if (OsAtomicFetchSub(&obj->refs, 1) == 1) {
        obj->ops->destroy(obj);
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
        entry = OsAtomicExchange(&table[handle - 1], std::uintptr_t{0});
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
    // A mapping has no wait, as on Win32.
    const std::uint32_t result =
        obj->ops->wait != nullptr ? obj->ops->wait(obj, timeoutMs) : OS_WAIT_FAILED;
    px_object_put(obj);
    return result;
}

std::uint32_t OsWaitForObjectAlertable(OsHandle handle, std::uint32_t timeoutMs) {
    PxObject* obj = px_handle_get(handle, PX_KIND_FREE);
    if (obj == nullptr) {
        return OS_WAIT_FAILED;
    }
    std::uint32_t result = OS_WAIT_FAILED;
    if (obj->ops->kind == PX_KIND_EVENT) {
        result = px_event_wait_alertable(obj, timeoutMs);
    } else if (obj->ops->wait != nullptr) {
        result = obj->ops->wait(obj, timeoutMs);
    }
    px_object_put(obj);
    return result;
}

void OsSleep(std::uint32_t ms) {
    timespec ts{static_cast<time_t>(ms / 1000), static_cast<long>(ms % 1000) * 1000000L};
    while (nanosleep(&ts, &ts) != 0 && errno == EINTR) {
    }
}
