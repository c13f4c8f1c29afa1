// The client side of the simulated board: posting a request to a controller's
// server and waiting for its reply (KqSimRequest), and injecting driver events
// into a controller's queue (kqvxi/inject.h).
#include <chrono>

#include "driver/kqvxint_sim.h"
#include "driver/sim/sim_state.h"
#include "kqvxi/inject.h"
#include "platform/atomic.h"
#include "platform/event.h"
#include "platform/named_mutex.h"

namespace {

using Clock = std::chrono::steady_clock;

std::uint32_t RemainingMs(Clock::time_point deadline) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    return left.count() > 0 ? static_cast<std::uint32_t>(left.count()) : 0;
}

// Appends one event to controller's queue and wakes its server's wait.
int Inject(std::uint16_t controller, const SimEvent& event) {
    OsHandle ready = SimControllerEvent(controller, SIM_OBJ_EVENT_READY);
    if (ready == OS_NO_HANDLE) {
        return KQVXI_INJECT_SYSTEM;
    }
    SimShared* s = SimLock();
    if (s == nullptr) {
        return KQVXI_INJECT_SYSTEM;
    }
    int result = KQVXI_INJECT_OK;
    SimController* c = SimFindController(s, controller, true);
    if (c == nullptr) {
        result = KQVXI_INJECT_SYSTEM;
    } else if (c->evCount + OsAtomicLoad(&c->evTaken) >= SIM_EVENT_QUEUE_DEPTH) {
        result = KQVXI_INJECT_FULL;
    } else {
        c->events[(c->evHead + c->evCount) % SIM_EVENT_QUEUE_DEPTH] = event;
        ++c->evCount;
    }
    SimUnlock();
    if (result == KQVXI_INJECT_OK) {
        OsSetEvent(ready);
    }
    return result;
}

// Locks the state and returns controller's slot once no live server holds a
// request claimed in it. A client that died mid-request can leave its request
// claimed by a live server; overwriting it would make that server's reply fail,
// so this waits (until deadline) for the server to answer it, the answer going
// nowhere. Null, with the lock not held, on failure; *status says why.
SimController* LockIdleSlot(std::uint16_t controller, Clock::time_point deadline,
                            SimShared** shared, int* status) {
    for (;;) {
        SimShared* s = SimLock();
        if (s == nullptr) {
            *status = KQ_SIM_REQUEST_SYSTEM;
            return nullptr;
        }
        SimController* c = SimFindController(s, controller, true);
        if (c == nullptr) {
            SimUnlock();
            *status = KQ_SIM_REQUEST_SYSTEM;
            return nullptr;
        }
        if (c->reqState != SIM_REQ_CLAIMED || c->serverPid == 0 || SimProcessEnded(c->serverPid)) {
            *shared = s;
            return c;
        }
        SimUnlock();
        if (RemainingMs(deadline) == 0) {
            *status = KQ_SIM_REQUEST_TIMEOUT;
            return nullptr;
        }
        OsSleep(1);
    }
}

// The post step: writes the request into controller's slot under a new ticket
// (*seq). KQ_SIM_REQUEST_OK, or the status of the failure.
int PostRequest(std::uint16_t controller, std::uint32_t pid, std::uint32_t command,
                const std::uint32_t (&args)[3], Clock::time_point deadline, std::uint32_t* seq) {
    SimShared* s = nullptr;
    int status = KQ_SIM_REQUEST_OK;
    SimController* c = LockIdleSlot(controller, deadline, &s, &status);
    if (c == nullptr) {
        return status;
    }
    if (++s->nextSeq == 0) {
        s->nextSeq = 1;
    }
    *seq = s->nextSeq;
    c->reqSeq = *seq;
    c->reqPid = pid;
    c->reqCommand = command;
    for (int i = 0; i < 3; ++i) {
        c->reqArg[i] = args[i];
    }
    c->reqState = SIM_REQ_POSTED;
    SimUnlock();
    return KQ_SIM_REQUEST_OK;
}

// The await step: waits for the reply to request seq and takes it into *args,
// freeing the slot; on time-out withdraws the request, so that a server that
// claimed it and replies later is refused.
int AwaitReply(std::uint16_t controller, OsHandle reply, std::uint32_t seq, std::uint32_t timeoutMs,
               Clock::time_point deadline, std::uint32_t* const (&args)[3]) {
    for (;;) {
        const std::uint32_t left = timeoutMs == OS_INFINITE ? OS_INFINITE : RemainingMs(deadline);
        const bool expired = OsWaitForObject(reply, left) != OS_WAIT_OBJECT_0;
        SimShared* s = SimLock();
        if (s == nullptr) {
            return KQ_SIM_REQUEST_SYSTEM;
        }
        SimController* c = SimFindController(s, controller, false);
        const bool mine = c != nullptr && c->reqSeq == seq;
        int result = KQ_SIM_REQUEST_TIMEOUT;
        if (mine && c->reqState == SIM_REQ_REPLIED) {
            for (int i = 0; i < 3; ++i) {
                *args[i] = c->replyArg[i];
            }
            c->reqState = SIM_REQ_FREE;
            result = KQ_SIM_REQUEST_OK;
        } else if (expired || !mine) {
            if (mine) {
                c->reqState = SIM_REQ_FREE;
            }
        } else {
            SimUnlock();
            continue;  // a stray wake: keep waiting for this request's reply
        }
        SimUnlock();
        return result;
    }
}

// Appends a level or channel event: handler arguments index, b, c.
int InjectIndexed(std::uint16_t controller, SimEventKind kind, std::int16_t index, std::uint16_t b,
                  std::uint32_t c) {
    SimEvent e{};
    e.kind = kind;
    e.a = static_cast<std::uint16_t>(index);
    e.b = b;
    e.c = c;
    return Inject(controller, e);
}

}  // namespace

extern "C" {

int KqSimRequest(std::uint16_t controller, std::uint32_t pid, std::uint32_t command,
                 std::uint32_t* arg1, std::uint32_t* arg2, std::uint32_t* arg3,
                 std::uint32_t timeoutMs) {
    if (arg1 == nullptr || arg2 == nullptr || arg3 == nullptr) {
        return KQ_SIM_REQUEST_ARG;
    }
    const Clock::time_point deadline = timeoutMs == OS_INFINITE
                                           ? Clock::time_point::max()
                                           : Clock::now() + std::chrono::milliseconds(timeoutMs);
    OsHandle clientMutex = SimClientMutex(controller);
    OsHandle reply = SimControllerEvent(controller, SIM_OBJ_REPLY);
    OsHandle ready = SimControllerEvent(controller, SIM_OBJ_REQUEST_READY);
    OsHandle server = SimServerEvent();
    if (clientMutex == OS_NO_HANDLE || reply == OS_NO_HANDLE || ready == OS_NO_HANDLE ||
        server == OS_NO_HANDLE) {
        return KQ_SIM_REQUEST_SYSTEM;
    }
    // One request per controller at a time, in the order the clients reach the
    // mutex. An abandoned mutex means a client died mid-request: its request is
    // overwritten by this one.
    const std::uint32_t w = OsWaitForObject(clientMutex, timeoutMs);
    if (w == OS_WAIT_TIMEOUT) {
        return KQ_SIM_REQUEST_TIMEOUT;
    }
    if (w != OS_WAIT_OBJECT_0 && w != OS_WAIT_ABANDONED) {
        return KQ_SIM_REQUEST_SYSTEM;
    }
    // A reply signal left over from a withdrawn request must not count for this one.
    OsResetEvent(reply);
    std::uint32_t seq = 0;
    int result = PostRequest(controller, pid, command, {*arg1, *arg2, *arg3}, deadline, &seq);
    if (result == KQ_SIM_REQUEST_OK) {
        // The server wake event is set exactly once for the request; the private
        // event reaches a server already waiting inside GetClientRequest.
        OsSetEvent(ready);
        OsSetEvent(server);
        result = AwaitReply(controller, reply, seq, timeoutMs, deadline, {arg1, arg2, arg3});
    }
    OsReleaseMutex(clientMutex);
    return result;
}

int kqvxi_inject_class(uint16_t controller, int eventClass, uint16_t value) {
    if (eventClass < 0 || eventClass > 5) {
        return KQVXI_INJECT_ARG;
    }
    SimEvent e{};
    e.kind = SIM_EV_CLASS0 + static_cast<std::uint32_t>(eventClass);
    e.a = value;
    return Inject(controller, e);
}

int kqvxi_inject_level(uint16_t controller, int16_t index, uint16_t level, uint32_t value) {
    return InjectIndexed(controller, SIM_EV_LEVEL, index, level, value);
}

int kqvxi_inject_channel(uint16_t controller, int16_t index, uint16_t channel, uint16_t value) {
    return InjectIndexed(controller, SIM_EV_CHANNEL, index, channel, value);
}

int kqvxi_inject_source(uint16_t controller, int marked, uint16_t source, uint16_t index,
                        uint16_t level, uint16_t reportedSource, uint16_t kind) {
    if (marked != 0 && marked != 1) {
        return KQVXI_INJECT_ARG;
    }
    SimEvent e{};
    e.kind = marked != 0 ? SIM_EV_MARKED : SIM_EV_SOURCE;
    e.a = source;
    e.queryIndex = index;
    e.queryLevel = level;
    e.querySource = reportedSource;
    e.queryKind = kind;
    return Inject(controller, e);
}

}  // extern "C"
