// The client side of the simulated board: posting a request to a controller's
// server and waiting for its reply, and injecting driver events into a
// controller's queue.
#include <chrono>

#include "driver/kqvxint_sim.h"
#include "driver/sim/sim_state.h"
#include "kqvxi/inject.h"
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
    } else if (c->evCount + __atomic_load_n(&c->evTaken, __ATOMIC_ACQUIRE) >=
               SIM_EVENT_QUEUE_DEPTH) {
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
    // overwritten below.
    std::uint32_t w = OsWaitForObject(clientMutex, timeoutMs);
    if (w == OS_WAIT_TIMEOUT) {
        return KQ_SIM_REQUEST_TIMEOUT;
    }
    if (w != OS_WAIT_OBJECT_0 && w != OS_WAIT_ABANDONED) {
        return KQ_SIM_REQUEST_SYSTEM;
    }
    // A reply signal left over from a withdrawn request must not count for this one.
    OsResetEvent(reply);
    SimShared* s = SimLock();
    if (s == nullptr) {
        OsReleaseMutex(clientMutex);
        return KQ_SIM_REQUEST_SYSTEM;
    }
    SimController* c = SimFindController(s, controller, true);
    if (c == nullptr) {
        SimUnlock();
        OsReleaseMutex(clientMutex);
        return KQ_SIM_REQUEST_SYSTEM;
    }
    // A client that died mid-request can leave its request claimed by a live
    // server. Overwriting it would make that server's reply fail, so wait until the
    // server has answered it (the answer goes nowhere) before posting this one.
    while (c->reqState == SIM_REQ_CLAIMED && c->serverPid != 0 && !SimProcessEnded(c->serverPid)) {
        SimUnlock();
        if (RemainingMs(deadline) == 0) {
            OsReleaseMutex(clientMutex);
            return KQ_SIM_REQUEST_TIMEOUT;
        }
        OsSleep(1);
        s = SimLock();
        c = s == nullptr ? nullptr : SimFindController(s, controller, true);
        if (c == nullptr) {
            if (s != nullptr) {
                SimUnlock();
            }
            OsReleaseMutex(clientMutex);
            return KQ_SIM_REQUEST_SYSTEM;
        }
    }
    if (++s->nextSeq == 0) {
        s->nextSeq = 1;
    }
    const std::uint32_t seq = s->nextSeq;
    c->reqSeq = seq;
    c->reqPid = pid;
    c->reqCommand = command;
    c->reqArg[0] = *arg1;
    c->reqArg[1] = *arg2;
    c->reqArg[2] = *arg3;
    c->reqState = SIM_REQ_POSTED;
    SimUnlock();
    // The server wake event is set exactly once for the request; the private
    // event reaches a server already waiting inside GetClientRequest.
    OsSetEvent(ready);
    OsSetEvent(server);

    int result = KQ_SIM_REQUEST_TIMEOUT;
    for (;;) {
        std::uint32_t left = timeoutMs == OS_INFINITE ? OS_INFINITE : RemainingMs(deadline);
        w = OsWaitForObject(reply, left);
        bool expired = w != OS_WAIT_OBJECT_0;
        s = SimLock();
        if (s == nullptr) {
            result = KQ_SIM_REQUEST_SYSTEM;
            break;
        }
        c = SimFindController(s, controller, false);
        bool mine = c != nullptr && c->reqSeq == seq;
        if (mine && c->reqState == SIM_REQ_REPLIED) {
            *arg1 = c->replyArg[0];
            *arg2 = c->replyArg[1];
            *arg3 = c->replyArg[2];
            c->reqState = SIM_REQ_FREE;
            result = KQ_SIM_REQUEST_OK;
        } else if (expired || !mine) {
            // Withdraw: a server that claimed it and replies later is refused.
            if (mine) {
                c->reqState = SIM_REQ_FREE;
            }
            result = KQ_SIM_REQUEST_TIMEOUT;
        } else {
            SimUnlock();
            continue;  // a stray wake: keep waiting for this request's reply
        }
        SimUnlock();
        break;
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
    SimEvent e{};
    e.kind = SIM_EV_LEVEL;
    e.a = static_cast<std::uint16_t>(index);
    e.b = level;
    e.c = value;
    return Inject(controller, e);
}

int kqvxi_inject_channel(uint16_t controller, int16_t index, uint16_t channel, uint16_t value) {
    SimEvent e{};
    e.kind = SIM_EV_CHANNEL;
    e.a = static_cast<std::uint16_t>(index);
    e.b = channel;
    e.c = value;
    return Inject(controller, e);
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
