// Events with Win32 semantics over a futex word in a shared record: named events
// live in a PX_SHM_EVENT object, unnamed ones in an anonymous one.
#include <errno.h>

#include <climits>

#include "platform/atomic.h"
#include "platform/event.h"
#include "platform/fault.h"
#include "platform/posix/internal.h"

namespace {

// The shared record of one event. Every party reads and writes it with atomic
// operations only; manualReset is written once by the creator before any other
// process can open the object.
//
// state is the futex word. For a manual-reset event it is 0 (reset) or 1 (set).
// For an auto-reset event it counts grants: each one lets one wait through. A set
// adds a grant only while grants are fewer than the waiters (at least 1), so
// with nobody waiting the event is simply "set" and stays so until a wait takes
// it, and several sets in a row release as many sleeping waiters, as on Win32.
struct PxEventRecord {
    std::uint32_t state;
    std::uint32_t waiters;  // threads in a wait that may sleep on state
    std::uint32_t manualReset;
    std::uint32_t magic;
};
static_assert(sizeof(PxEventRecord) == 16, "record shared by every process opening the event");
static_assert(alignof(PxEventRecord) == 4, "futex words must be 4-byte aligned");

constexpr std::uint32_t EVENT_MAGIC = 0x4b514556u;  // "KQEV"

// Longest single futex sleep of a wait; see px_event_wait.
constexpr std::uint32_t EVENT_WAIT_SLICE_MS = 250;

struct PxEvent {
    PxObject header;
    PxShm* shm;
    PxEventRecord* rec;
};

struct EventInit {
    bool manualReset;
    bool initialState;
};

void InitRecord(void* base, void* context) {
    const EventInit* init = static_cast<const EventInit*>(context);
    PxEventRecord* rec = static_cast<PxEventRecord*>(base);
    rec->state = init->initialState ? 1 : 0;
    rec->waiters = 0;
    rec->manualReset = init->manualReset ? 1 : 0;
    rec->magic = EVENT_MAGIC;
}

std::uint32_t Load(const std::uint32_t* p) {
    return OsAtomicLoadSeqCst(p);
}

// Takes one grant of an auto-reset event; false when none is there.
bool TakeGrant(PxEventRecord* rec) {
    std::uint32_t s = Load(&rec->state);
    while (s > 0) {
        if (OsAtomicCompareExchange(&rec->state, &s, s - 1)) {
            return true;
        }
    }
    return false;
}

bool IsSet(PxEventRecord* rec) {
    return rec->manualReset != 0 ? Load(&rec->state) != 0 : TakeGrant(rec);
}

// Drops grants beyond what the remaining waiters (at least 1) can take, after a
// waiter left on time-out.
void TrimGrants(PxEventRecord* rec) {
    std::uint32_t s = Load(&rec->state);
    for (;;) {
        std::uint32_t w = Load(&rec->waiters);
        std::uint32_t cap = w > 1 ? w : 1;
        if (s <= cap) {
            return;
        }
        if (OsAtomicCompareExchange(&rec->state, &s, cap)) {
            return;
        }
    }
}

PxEvent* GetEvent(OsHandle h) {
    return reinterpret_cast<PxEvent*>(px_handle_get(h, PX_KIND_EVENT));
}

void DestroyEvent(PxObject* obj) {
    PxEvent* e = reinterpret_cast<PxEvent*>(obj);
    px_shm_put(e->shm);
    delete e;
}

// alertable: a futex sleep that a signal handler interrupted ends the wait
// with OS_WAIT_INTERRUPTED (a grant that came meanwhile is still taken).
std::uint32_t WaitEventFor(PxObject* obj, std::uint32_t timeoutMs, bool alertable) {
    PxEventRecord* rec = reinterpret_cast<PxEvent*>(obj)->rec;
    if (IsSet(rec)) {
        return OS_WAIT_OBJECT_0;
    }
    if (timeoutMs == 0) {
        return OS_WAIT_TIMEOUT;
    }
    std::uint64_t deadline = px_now_ms() + timeoutMs;
    OsAtomicFetchAdd(&rec->waiters, 1u);
    bool signalled = false;
    bool interrupted = false;
    for (;;) {
        if (IsSet(rec)) {
            signalled = true;
            break;
        }
        std::uint32_t left = px_remaining_ms(deadline, timeoutMs);
        if (left == 0) {
            break;
        }
        // Sleeps only while state is still 0; a set in between makes it return at
        // once. Bound: EVENT_WAIT_SLICE_MS per sleep, then state is looked at
        // again, so a set that skipped the wake (any process with the object can
        // overwrite `waiters`) costs this waiter at most one slice.
        const int slept = px_futex_wait_signalled(
            &rec->state, 0, left < EVENT_WAIT_SLICE_MS ? left : EVENT_WAIT_SLICE_MS);
        if (slept < 0 && alertable) {
            interrupted = true;
            break;
        }
    }
    // Never below zero, whatever another process wrote meanwhile: a count that
    // wrapped would let sets pile up grants.
    std::uint32_t w = Load(&rec->waiters);
    while (w > 0 && !OsAtomicCompareExchange(&rec->waiters, &w, w - 1)) {
    }
    if (!signalled && rec->manualReset == 0) {
        // A grant that arrived while leaving is ours; otherwise leave none behind
        // that were meant for this waiter.
        signalled = TakeGrant(rec);
        TrimGrants(rec);
    }
    if (signalled) {
        return OS_WAIT_OBJECT_0;
    }
    return interrupted ? OS_WAIT_INTERRUPTED : OS_WAIT_TIMEOUT;
}

std::uint32_t WaitEvent(PxObject* obj, std::uint32_t timeoutMs) {
    return WaitEventFor(obj, timeoutMs, false);
}

constexpr PxKindOps EVENT_OPS{PX_KIND_EVENT, DestroyEvent, WaitEvent};

}  // namespace

std::uint32_t px_event_wait_alertable(PxObject* obj, std::uint32_t timeoutMs) {
    return WaitEventFor(obj, timeoutMs, true);
}

OsHandle OsCreateEvent(const char* name, bool manualReset, bool initialState, bool* existed) {
    if (existed != nullptr) {
        *existed = false;
    }
    if (OsFaultHit(OS_FAULT_CREATE_EVENT)) {
        errno = ENOMEM;
        return OS_NO_HANDLE;
    }
    EventInit init{manualReset, initialState};
    bool wasThere = false;
    PxShm* shm =
        px_shm_open(PX_SHM_EVENT, name, sizeof(PxEventRecord), true, InitRecord, &init, &wasThere);
    if (shm == nullptr) {
        return OS_NO_HANDLE;
    }
    PxEvent* e = new PxEvent{};
    px_object_init(&e->header, &EVENT_OPS, 1);
    e->shm = shm;
    e->rec = static_cast<PxEventRecord*>(shm->base);
    if (Load(&e->rec->magic) != EVENT_MAGIC) {
        DestroyEvent(&e->header);  // not an event record: refuse rather than misbehave
        errno = EINVAL;
        return OS_NO_HANDLE;
    }
    OsHandle h = px_handle_insert(&e->header);
    if (h == OS_NO_HANDLE) {
        DestroyEvent(&e->header);
        return OS_NO_HANDLE;
    }
    if (existed != nullptr) {
        *existed = wasThere;
    }
    return h;
}

namespace {

// Sets the record's state; true when a waiter may sleep on it and must be woken
// (how many: WakeCount). One atomic operation; waiters count themselves before
// they look at state, and the set changes state before it looks at waiters, so
// one of the two always sees the other.
bool SetState(PxEventRecord* rec) {
    if (rec->manualReset != 0) {
        return OsAtomicExchange(&rec->state, 1u) == 0 && Load(&rec->waiters) > 0;
    }
    std::uint32_t s = Load(&rec->state);
    for (;;) {
        std::uint32_t w = Load(&rec->waiters);
        std::uint32_t cap = w > 1 ? w : 1;
        if (s >= cap) {
            return false;
        }
        if (OsAtomicCompareExchange(&rec->state, &s, s + 1)) {
            return Load(&rec->waiters) > 0;
        }
    }
}

void WakeWaiters(PxEventRecord* rec) {
    px_futex_wake(&rec->state, rec->manualReset != 0 ? INT_MAX : 1);
}

}  // namespace

bool OsSetEvent(OsHandle event) {
    // Pinned, not counted: a set that finds the event already set costs loads only.
    const PxPin pin = px_handle_pin_event(event);
    PxEvent* e = reinterpret_cast<PxEvent*>(pin.obj);
    if (e == nullptr) {
        return false;
    }
    if (SetState(e->rec)) {
        WakeWaiters(e->rec);
    }
    px_handle_unpin(pin);
    return true;
}

bool OsSetEventOwingWake(OsHandle event, bool* wakeOwed) {
    *wakeOwed = false;
    const PxPin pin = px_handle_pin_event(event);
    PxEvent* e = reinterpret_cast<PxEvent*>(pin.obj);
    if (e == nullptr) {
        return false;
    }
    *wakeOwed = SetState(e->rec);
    px_handle_unpin(pin);
    return true;
}

bool OsEventWakesCanBeOwed() {
    return true;
}

bool OsWakeEventWaiter(OsHandle event) {
    const PxPin pin = px_handle_pin_event(event);
    PxEvent* e = reinterpret_cast<PxEvent*>(pin.obj);
    if (e == nullptr) {
        return false;
    }
    // A wake-up that finds the waiter gone, or no grant left for it, costs a
    // futex call and nothing else: a woken waiter looks at state again.
    if (Load(&e->rec->waiters) > 0) {
        WakeWaiters(e->rec);
    }
    px_handle_unpin(pin);
    return true;
}

bool OsResetEvent(OsHandle event) {
    PxEvent* e = GetEvent(event);
    if (e == nullptr) {
        return false;
    }
    OsAtomicStoreSeqCst(&e->rec->state, 0u);
    px_object_put(&e->header);
    return true;
}
