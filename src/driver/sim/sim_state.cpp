// The simulated board's machine-wide state, its named objects, and the fault and
// call-record modes taken from the environment:
//   KQVXI_SIM_OPEN_RESULT=n   OpenController returns n (2: reduced handler set;
//                             negative: failure, the controller stays closed)
//   KQVXI_SIM_FAIL=rules      comma-separated Op@N or Op@* (Nth call, 1-based, or
//                             every call), each with an optional =status (default -1)
//   KQVXI_SIM_TRACE=path      appends one line per operation call to path
#include "driver/sim/sim_state.h"

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include "platform/event.h"
#include "platform/mapping.h"
#include "platform/named_mutex.h"
#include "platform/process.h"

namespace {

std::mutex gLocalMutex;  // guards the process-local caches below
OsHandle gStateLock = OS_NO_HANDLE;
SimShared* gShared = nullptr;
bool gSharedBad = false;  // the mapping holds another layout: never touch it
OsHandle gServerEvent = OS_NO_HANDLE;

// Per-controller handles of this process, opened on first use and kept open.
struct LocalObjects {
    bool used;
    std::uint16_t controller;
    OsHandle events[SIM_OBJ_ROLE_COUNT];
    OsHandle clientMutex;
};
inline constexpr int MAX_LOCAL_CONTROLLERS = 256;
LocalObjects gLocalObjects[MAX_LOCAL_CONTROLLERS];

// The entry of controller, added when missing. Caller holds gLocalMutex.
LocalObjects* LocalFor(std::uint16_t controller) {
    for (LocalObjects& l : gLocalObjects) {
        if (l.used && l.controller == controller) {
            return &l;
        }
    }
    for (LocalObjects& l : gLocalObjects) {
        if (!l.used) {
            l.used = true;
            l.controller = controller;
            return &l;
        }
    }
    return nullptr;
}

struct FaultRule {
    char op[40];
    std::uint32_t nth;  // 0: every call
    std::int16_t status;
};
inline constexpr int MAX_FAULT_RULES = 32;
FaultRule gRules[MAX_FAULT_RULES];
int gRuleCount = 0;

struct OpCounter {
    char op[40];
    std::uint32_t calls;
};
inline constexpr int MAX_OP_COUNTERS = 32;
OpCounter gCounters[MAX_OP_COUNTERS];
int gCounterCount = 0;

bool gModesRead = false;
bool gOpenResultSet = false;
std::int16_t gOpenResult = 0;
char gTracePath[1024];
std::mutex gTraceMutex;
// Set once the environment was read and asked for no fault rules and no trace,
// as in normal use: then the checks on every operation need no lock.
std::atomic<bool> gPlain{false};

// Parses KQVXI_SIM_FAIL. Malformed rules are skipped.
void ParseFaultRules(const char* text) {
    while (*text != 0 && gRuleCount < MAX_FAULT_RULES) {
        const char* end = std::strchr(text, ',');
        std::size_t len = end != nullptr ? static_cast<std::size_t>(end - text) : std::strlen(text);
        char rule[96];
        if (len < sizeof rule) {
            std::memcpy(rule, text, len);
            rule[len] = 0;
            char* at = std::strchr(rule, '@');
            if (at != nullptr && at != rule &&
                static_cast<std::size_t>(at - rule) < sizeof gRules[0].op) {
                *at = 0;
                FaultRule& r = gRules[gRuleCount];
                std::memcpy(r.op, rule, static_cast<std::size_t>(at - rule) + 1);
                r.status = -1;
                char* eq = std::strchr(at + 1, '=');
                if (eq != nullptr) {
                    *eq = 0;
                    r.status = static_cast<std::int16_t>(std::strtol(eq + 1, nullptr, 10));
                }
                if (std::strcmp(at + 1, "*") == 0) {
                    r.nth = 0;
                    ++gRuleCount;
                } else {
                    char* numEnd = nullptr;
                    unsigned long n = std::strtoul(at + 1, &numEnd, 10);
                    if (numEnd != at + 1 && *numEnd == 0 && n > 0) {
                        r.nth = static_cast<std::uint32_t>(n);
                        ++gRuleCount;
                    }
                }
            }
        }
        text += len;
        if (*text == ',') {
            ++text;
        }
    }
}

// Reads the environment once. Caller holds gLocalMutex.
void ReadModes() {
    if (gModesRead) {
        return;
    }
    gModesRead = true;
    if (const char* open = std::getenv("KQVXI_SIM_OPEN_RESULT"); open != nullptr && *open != 0) {
        gOpenResultSet = true;
        gOpenResult = static_cast<std::int16_t>(std::strtol(open, nullptr, 10));
    }
    if (const char* fail = std::getenv("KQVXI_SIM_FAIL"); fail != nullptr) {
        ParseFaultRules(fail);
    }
    if (const char* trace = std::getenv("KQVXI_SIM_TRACE"); trace != nullptr) {
        std::snprintf(gTracePath, sizeof gTracePath, "%s", trace);
    }
    gPlain.store(gRuleCount == 0 && gTracePath[0] == 0, std::memory_order_release);
}

}  // namespace

bool SimProcessEnded(std::uint32_t pid) {
    OsHandle process = OsOpenProcess(pid);
    if (process == OS_NO_HANDLE) {
        return true;
    }
    std::uint32_t code = 0;
    bool ended = OsGetExitCodeProcess(process, &code) && code != OS_STILL_ACTIVE;
    OsCloseHandle(process);
    return ended;
}

namespace {

OsHandle OpenNamedEvent(const char* name) {
    return OsCreateEvent(name, false, false);
}

}  // namespace

SimShared* SimLock() {
    {
        std::lock_guard<std::mutex> local(gLocalMutex);
        ReadModes();
        if (gSharedBad) {
            return nullptr;
        }
        if (gStateLock == OS_NO_HANDLE) {
            gStateLock = OsCreateMutex(SIM_STATE_LOCK_NAME);
            if (gStateLock == OS_NO_HANDLE) {
                return nullptr;
            }
        }
        if (gShared == nullptr) {
            bool existed = false;
            OsHandle mapping = OsCreateMapping(SIM_STATE_NAME, sizeof(SimShared), &existed);
            if (mapping == OS_NO_HANDLE) {
                return nullptr;
            }
            void* view = OsMapView(mapping, sizeof(SimShared));
            if (view == nullptr) {
                OsCloseHandle(mapping);
                return nullptr;
            }
            // The mapping handle stays open with the view for the life of the process.
            gShared = static_cast<SimShared*>(view);
        }
    }
    // A lock abandoned by a process that died holding it is taken over: every
    // update under it leaves the slots consistent field by field.
    std::uint32_t w = OsWaitForObject(gStateLock, OS_INFINITE);
    if (w != OS_WAIT_OBJECT_0 && w != OS_WAIT_ABANDONED) {
        return nullptr;
    }
    SimShared* s = gShared;
    if (s->magic == 0) {
        s->version = SIM_LAYOUT_VERSION;
        s->size = sizeof(SimShared);
        s->magic = SIM_MAGIC;
    }
    if (s->magic != SIM_MAGIC || s->version != SIM_LAYOUT_VERSION || s->size != sizeof(SimShared)) {
        OsReleaseMutex(gStateLock);
        std::lock_guard<std::mutex> local(gLocalMutex);
        gSharedBad = true;
        return nullptr;
    }
    return s;
}

void SimUnlock() {
    OsReleaseMutex(gStateLock);
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
    static const char* const kStems[SIM_OBJ_ROLE_COUNT] = {
        "KQVXINT Sim Request Ready", "KQVXINT Sim Reply", "KQVXINT Sim Event Ready"};
    std::lock_guard<std::mutex> local(gLocalMutex);
    LocalObjects* l = LocalFor(controller);
    if (l == nullptr) {
        return OS_NO_HANDLE;
    }
    OsHandle& h = l->events[role];
    if (h == OS_NO_HANDLE) {
        char name[64];
        std::snprintf(name, sizeof name, "%s %u", kStems[role], static_cast<unsigned>(controller));
        h = OpenNamedEvent(name);
    }
    return h;
}

OsHandle SimClientMutex(std::uint16_t controller) {
    std::lock_guard<std::mutex> local(gLocalMutex);
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
    std::lock_guard<std::mutex> local(gLocalMutex);
    if (gServerEvent == OS_NO_HANDLE) {
        gServerEvent = OpenNamedEvent(SIM_SERVER_EVENT_NAME);
    }
    return gServerEvent;
}

bool SimFaultHit(const char* op, std::int16_t* status) {
    if (gPlain.load(std::memory_order_acquire)) {
        return false;  // no rule can hit, so no call needs counting
    }
    std::lock_guard<std::mutex> local(gLocalMutex);
    ReadModes();
    OpCounter* counter = nullptr;
    for (int i = 0; i < gCounterCount; ++i) {
        if (std::strcmp(gCounters[i].op, op) == 0) {
            counter = &gCounters[i];
        }
    }
    if (counter == nullptr && gCounterCount < MAX_OP_COUNTERS) {
        counter = &gCounters[gCounterCount++];
        std::snprintf(counter->op, sizeof counter->op, "%s", op);
        counter->calls = 0;
    }
    std::uint32_t n = counter != nullptr ? ++counter->calls : 0;
    bool hit = false;
    for (int i = 0; i < gRuleCount; ++i) {
        const FaultRule& r = gRules[i];
        if (std::strcmp(r.op, op) == 0 && (r.nth == 0 || r.nth == n)) {
            *status = r.status;
            hit = true;
            if (r.nth != 0) {
                break;  // an exact Nth rule wins over an every-call rule
            }
        }
    }
    return hit;
}

bool SimOpenResultOverride(std::int16_t* result) {
    std::lock_guard<std::mutex> local(gLocalMutex);
    ReadModes();
    if (gOpenResultSet) {
        *result = gOpenResult;
    }
    return gOpenResultSet;
}

void SimTrace(const char* op, const std::int64_t* args, int argCount, std::int16_t result,
              const std::int64_t* outs, int outCount) {
    if (gPlain.load(std::memory_order_acquire)) {
        return;
    }
    {
        std::lock_guard<std::mutex> local(gLocalMutex);
        ReadModes();
        if (gTracePath[0] == 0) {
            return;
        }
    }
    char line[512];
    int len = std::snprintf(line, sizeof line, "%s", op);
    for (int i = 0; i < argCount && len < 400; ++i) {
        len +=
            std::snprintf(line + len, sizeof line - len, " %lld", static_cast<long long>(args[i]));
    }
    len += std::snprintf(line + len, sizeof line - len, " = %d", result);
    if (outCount > 0) {
        len += std::snprintf(line + len, sizeof line - len, " ->");
        for (int i = 0; i < outCount && len < 480; ++i) {
            len += std::snprintf(line + len, sizeof line - len, " %lld",
                                 static_cast<long long>(outs[i]));
        }
    }
    std::snprintf(line + len, sizeof line - len, "\n");
    std::lock_guard<std::mutex> lock(gTraceMutex);
    if (std::FILE* f = std::fopen(gTracePath, "a"); f != nullptr) {
        std::fputs(line, f);
        std::fclose(f);
    }
}
