// The simulated board's machine-wide state and its named objects: the shared
// mapping and its lock, the controllers' slots in it, and this process's handles
// to the per-controller events and mutexes.
#include "driver/sim/sim_state.h"

#include <cstdio>
#include <cstring>
#include <mutex>

#include "platform/event.h"
#include "platform/mapping.h"
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

SimShared* SimLock() {
    {
        std::lock_guard<std::mutex> local(localMutex);
        if (sharedStateBad || !MapState()) {
            return nullptr;
        }
    }
    // A lock abandoned by a process that died holding it is taken over: every
    // update under it leaves the slots consistent field by field.
    std::uint32_t w = OsWaitForObject(stateLock, OS_INFINITE);
    if (w != OS_WAIT_OBJECT_0 && w != OS_WAIT_ABANDONED) {
        return nullptr;
    }
    SimShared* s = sharedState;
    if (s->magic == 0) {
        s->version = SIM_LAYOUT_VERSION;
        s->size = sizeof(SimShared);
        s->magic = SIM_MAGIC;
    }
    if (s->magic != SIM_MAGIC || s->version != SIM_LAYOUT_VERSION || s->size != sizeof(SimShared)) {
        OsReleaseMutex(stateLock);
        std::lock_guard<std::mutex> local(localMutex);
        sharedStateBad = true;
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
    if (free == nullptr) {
        // Reclaim a slot that holds nothing: no request, no queued event, and no
        // server alive.
        for (SimController& c : shared->controllers) {
            if (c.reqState == SIM_REQ_FREE && c.evCount == 0 &&
                (c.serverPid == 0 || SimProcessEnded(c.serverPid))) {
                free = &c;
                break;
            }
        }
    }
    if (free == nullptr) {
        return nullptr;
    }
    std::memset(free, 0, sizeof *free);
    free->used = 1;
    free->controller = controller;
    return free;
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
