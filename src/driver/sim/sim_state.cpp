// The simulated board's machine-wide state and its named objects: the shared
// mapping and its lock, the controllers' slots in it, and this process's handles
// to the per-controller events and mutexes.
#include "driver/sim/sim_state.h"

#include <cstddef>
#include <cstdio>
#include <cstring>
#include <mutex>

#include "platform/event.h"
#include "platform/mapping.h"
#include "platform/atomic.h"
#include "platform/named_mutex.h"
#include "platform/process.h"

namespace {

std::mutex localMutex;  // guards the process-local caches below
OsHandle stateLock = OS_NO_HANDLE;
SimShared* sharedState = nullptr;
bool sharedStateBad = false;  // the mapping holds another layout: never touch it
OsHandle serverEvent = OS_NO_HANDLE;

// Per-controller handles of this process, opened on first use and kept open.
struct LocalObjects {
    bool used;
    std::uint16_t controller;
    OsHandle events[SIM_OBJ_ROLE_COUNT];
    OsHandle clientMutex;
};
inline constexpr int MAX_LOCAL_CONTROLLERS = 256;
LocalObjects localObjects[MAX_LOCAL_CONTROLLERS];

// Name stems of the per-controller events, by role; the controller number follows.
inline constexpr const char* EVENT_STEMS[SIM_OBJ_ROLE_COUNT] = {
    "KQVXINT Sim Request Ready", "KQVXINT Sim Reply", "KQVXINT Sim Event Ready"};

// The entry of controller, added when missing. Caller holds localMutex.
LocalObjects* LocalFor(std::uint16_t controller) {
    for (LocalObjects& l : localObjects) {
        if (l.used && l.controller == controller) {
            return &l;
        }
    }
    for (LocalObjects& l : localObjects) {
        if (!l.used) {
            l.used = true;
            l.controller = controller;
            return &l;
        }
    }
    return nullptr;
}

OsHandle OpenNamedEvent(const char* name) {
    return OsCreateEvent(name, false, false);
}

// Maps the state once per process. Caller holds localMutex.
bool MapState() {
    if (stateLock == OS_NO_HANDLE) {
        stateLock = OsCreateMutex(SIM_STATE_LOCK_NAME);
        if (stateLock == OS_NO_HANDLE) {
            return false;
        }
    }
    if (sharedState == nullptr) {
        bool existed = false;
        OsHandle mapping = OsCreateMapping(SIM_STATE_NAME, sizeof(SimShared), &existed);
        if (mapping == OS_NO_HANDLE) {
            return false;
        }
        void* view = OsMapView(mapping, sizeof(SimShared));
        if (view == nullptr) {
            OsCloseHandle(mapping);
            return false;
        }
        // The mapping handle stays open with the view for the life of the process.
        sharedState = static_cast<SimShared*>(view);
    }
    return true;
}

}  // namespace

bool SimProcessEnded(std::uint32_t pid) {
    OsHandle process = OsOpenProcess(pid);
    if (process == OS_NO_HANDLE) {
        return true;
    }
    const OsProcessState state = OsQueryProcessState(process);
    OsCloseHandle(process);
    return state == OsProcessState::Ended;
}

namespace {

// Checks the layout of a mapped state, initialising a fresh one. Caller holds
// the state lock when the state may be fresh.
bool LayoutGood(SimShared* s) {
    if (OsAtomicLoad(&s->magic) == 0) {
        s->version = SIM_LAYOUT_VERSION;
        s->size = sizeof(SimShared);
        OsAtomicStore(&s->magic, SIM_MAGIC);
    }
    return s->magic == SIM_MAGIC && s->version == SIM_LAYOUT_VERSION &&
           s->size == sizeof(SimShared);
}

// Waits for the state lock, at most waitMs. A lock abandoned by a
// process that died holding it is taken over: every update under it leaves the
// slots consistent field by field.
bool WaitStateLock(std::uint32_t waitMs = SIM_LOCK_WAIT_MS) {
    const std::uint32_t w = OsWaitForObject(stateLock, waitMs);
    return w == OS_WAIT_OBJECT_0 || w == OS_WAIT_ABANDONED;
}

// The state was mapped and its layout found good (guarded by localMutex).
bool sharedStateGood = false;

// True when c belongs to controller.
bool SlotIs(const SimController* c, std::uint16_t controller) {
    return OsAtomicLoad(&c->used) != 0 && OsAtomicLoad(&c->controller) == controller;
}

// True when nobody uses the slot: no request, no queued or half-queued event,
// no live server, no process using it without the lock. Caller holds the lock.
bool Reclaimable(SimController* c) {
    const std::uint32_t state = SimReqState(OsAtomicLoad(&c->reqWord));
    if (state != SIM_REQ_FREE && state != SIM_REQ_REPLIED) {
        return false;
    }
    if (OsAtomicLoad(&c->evTail) != OsAtomicLoad(&c->evHead)) {
        return false;
    }
    for (const SimEventCell& cell : c->cells) {
        if (OsAtomicLoad(&cell.owner) != 0) {
            return false;
        }
    }
    return c->serverPid == 0 || SimProcessEnded(c->serverPid);
}

}  // namespace

SimShared* SimAttach() {
    std::lock_guard<std::mutex> local(localMutex);
    if (sharedStateGood) {
        return sharedState;
    }
    if (sharedStateBad || !MapState()) {
        return nullptr;
    }
    bool good = false;
    if (OsAtomicLoad(&sharedState->magic) != 0) {
        good = LayoutGood(sharedState);
    } else if (WaitStateLock()) {
        good = LayoutGood(sharedState);
        OsReleaseMutex(stateLock);
    } else {
        return nullptr;  // the lock stays held: try again on the next call
    }
    sharedStateGood = good;
    sharedStateBad = !good;
    return good ? sharedState : nullptr;
}

SimShared* SimLock(std::uint32_t waitMs) {
    SimShared* s = SimAttach();
    if (s == nullptr || !WaitStateLock(waitMs)) {
        return nullptr;
    }
    return s;
}

void SimUnlock() {
    OsReleaseMutex(stateLock);
}

SimController* SimFindController(SimShared* shared, std::uint16_t controller, bool create) {
    SimController* free = nullptr;
    for (SimController& c : shared->controllers) {
        if (c.used != 0 && c.controller == controller) {
            return &c;
        }
        if (c.used == 0 && free == nullptr) {
            free = &c;
        }
    }
    if (!create) {
        return nullptr;
    }
    if (free != nullptr) {
        // A slot never used since the mapping was made is all zero; one given up
        // was reinitialised below before used went to 0.
        OsAtomicStore(&free->controller, static_cast<std::uint32_t>(controller));
        OsAtomicStore(&free->used, 1u);
        return free;
    }
    // Reclaim a slot that holds nothing, once no process uses it without the lock.
    for (SimController& c : shared->controllers) {
        std::uint32_t unpinned = 0;
        if (!Reclaimable(&c) || !OsAtomicCompareExchange(&c.pins, &unpinned, SIM_PINS_RECLAIMING)) {
            continue;
        }
        OsAtomicStore(&c.used, 0u);
        std::memset(reinterpret_cast<unsigned char*>(&c) + offsetof(SimController, serverPid), 0,
                    offsetof(SimController, pins) - offsetof(SimController, serverPid));
        std::memset(reinterpret_cast<unsigned char*>(&c) + offsetof(SimController, evHead), 0,
                    sizeof c - offsetof(SimController, evHead));
        OsAtomicStore(&c.controller, static_cast<std::uint32_t>(controller));
        OsAtomicStore(&c.used, 1u);
        OsAtomicStore(&c.pins, 0u);
        return &c;
    }
    return nullptr;
}

SimController* SimPinController(std::uint16_t controller, bool create, std::uint32_t lockWaitMs) {
    SimShared* s = SimAttach();
    if (s == nullptr) {
        return nullptr;
    }
    for (;;) {
        SimController* found = nullptr;
        for (SimController& c : s->controllers) {
            if (SlotIs(&c, controller)) {
                found = &c;
                break;
            }
        }
        if (found == nullptr) {
            if (!create || SimLock(lockWaitMs) == nullptr) {
                return nullptr;
            }
            found = SimFindController(s, controller, true);
            SimUnlock();
            if (found == nullptr) {
                return nullptr;
            }
        }
        std::uint32_t pins = OsAtomicLoad(&found->pins);
        while ((pins & SIM_PINS_RECLAIMING) == 0 &&
               !OsAtomicCompareExchange(&found->pins, &pins, pins + 1)) {
        }
        if ((pins & SIM_PINS_RECLAIMING) != 0) {
            OsSleep(1);  // being reinitialised under the lock: look again
            continue;
        }
        if (SlotIs(found, controller)) {
            return found;
        }
        SimUnpinController(found);  // reclaimed between the look and the pin
    }
}

void SimUnpinController(SimController* c) {
    if (c != nullptr) {
        OsAtomicFetchSub(&c->pins, 1u);
    }
}

SimController* SimFindServed(std::uint16_t controller) {
    SimShared* s = SimAttach();
    if (s == nullptr) {
        return nullptr;
    }
    for (SimController& c : s->controllers) {
        if (SlotIs(&c, controller)) {
            return &c;
        }
    }
    return nullptr;
}

OsHandle SimControllerEvent(std::uint16_t controller, SimEventRole role) {
    std::lock_guard<std::mutex> local(localMutex);
    LocalObjects* l = LocalFor(controller);
    if (l == nullptr) {
        return OS_NO_HANDLE;
    }
    OsHandle& h = l->events[role];
    if (h == OS_NO_HANDLE) {
        char name[64];
        std::snprintf(name, sizeof name, "%s %u", EVENT_STEMS[role],
                      static_cast<unsigned>(controller));
        h = OpenNamedEvent(name);
    }
    return h;
}

OsHandle SimClientMutex(std::uint16_t controller) {
    std::lock_guard<std::mutex> local(localMutex);
    LocalObjects* l = LocalFor(controller);
    if (l == nullptr) {
        return OS_NO_HANDLE;
    }
    OsHandle& h = l->clientMutex;
    if (h == OS_NO_HANDLE) {
        char name[64];
        std::snprintf(name, sizeof name, "KQVXINT Sim Request Lock %u",
                      static_cast<unsigned>(controller));
        h = OsCreateMutex(name);
    }
    return h;
}

OsHandle SimServerEvent() {
    std::lock_guard<std::mutex> local(localMutex);
    if (serverEvent == OS_NO_HANDLE) {
        serverEvent = OpenNamedEvent(SIM_SERVER_EVENT_NAME);
    }
    return serverEvent;
}
