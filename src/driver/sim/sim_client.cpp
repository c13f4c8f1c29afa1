// The client side of the simulated board: posting a request to a controller's
// server and waiting for its reply (KqSimRequest), and injecting driver events
// into a controller's queue (kqvxi/inject.h).
#include <chrono>

#include "driver/kqvxint_sim.h"
#include "driver/sim/sim_event_ring.h"
#include "driver/sim/sim_state.h"
#include "kqvxi/inject.h"
#include "platform/atomic.h"
#include "platform/event.h"
#include "platform/named_mutex.h"
#include "platform/process.h"

namespace {

using Clock = std::chrono::steady_clock;

std::uint32_t RemainingMs(Clock::time_point deadline) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    return left.count() > 0 ? static_cast<std::uint32_t>(left.count()) : 0;
}

// Appends one event to controller's queue and wakes its server's wait. Takes
// no lock unless the controller has no slot yet.
int Inject(std::uint16_t controller, const SimEvent& event) {
    OsHandle ready = SimControllerEvent(controller, SIM_OBJ_EVENT_READY);
    if (ready == OS_NO_HANDLE) {
        return KQVXI_INJECT_SYSTEM;
    }
    SimController* c = SimPinController(controller, true);
    if (c == nullptr) {
        return KQVXI_INJECT_SYSTEM;
    }
    const SimRingPushResult pushed = SimRingPush(c, event, OsCurrentProcessId());
    SimUnpinController(c);
    if (pushed != SimRingPushResult::Queued) {
        return KQVXI_INJECT_FULL;  // refused at the board; the caller counts it
    }
    OsSetEvent(ready);
    return KQVXI_INJECT_OK;
}

// A new request ticket: never 0, and fits the request word above its state.
std::uint32_t NextTicket() {
    SimShared* s = SimAttach();
    std::uint32_t seq = 0;
    while (seq == 0) {
        seq = (OsAtomicFetchAdd(&s->nextSeq, 1u) + 1) & (0xFFFFFFFFu >> SIM_REQ_SEQ_SHIFT);
    }
    return seq;
}

// Takes c's request slot for a new request (word WRITING, ticket *seq) once no
// live server holds a request claimed in it. This client holds the controller's
// client mutex, so anything else in the slot was left by a client that is gone.
// A client that died mid-request can leave its request claimed by a live
// server; overwriting it would make that server's reply fail, so this waits
// (until deadline) for the server to answer it, the answer going nowhere. A
// claim whose server ended is overwritten at once.
int TakeRequestSlot(SimController* c, Clock::time_point deadline, std::uint32_t* seq) {
    for (;;) {
        std::uint32_t word = OsAtomicLoad(&c->reqWord);
        if (SimReqState(word) == SIM_REQ_CLAIMED) {
            const std::uint32_t claimant = OsAtomicLoad(&c->claimPid);
            if (claimant != 0 && !SimProcessEnded(claimant)) {
                if (RemainingMs(deadline) == 0) {
                    return KQ_SIM_REQUEST_TIMEOUT;
                }
                OsSleep(1);
                continue;
            }
        }
        *seq = NextTicket();
        if (OsAtomicCompareExchange(&c->reqWord, &word, SimReqWord(*seq, SIM_REQ_WRITING))) {
            return KQ_SIM_REQUEST_OK;
        }
    }
}

// The post step: writes the request into c's slot under a new ticket (*seq).
// KQ_SIM_REQUEST_OK, or the status of the failure.
int PostRequest(SimController* c, std::uint32_t pid, std::uint32_t command,
                const std::uint32_t (&args)[3], Clock::time_point deadline, std::uint32_t* seq) {
    const int status = TakeRequestSlot(c, deadline, seq);
    if (status != KQ_SIM_REQUEST_OK) {
        return status;
    }
    OsVolatileStore(&c->reqPid, pid);
    OsVolatileStore(&c->reqCommand, command);
    for (int i = 0; i < 3; ++i) {
        OsVolatileStore(&c->reqArg[i], args[i]);
    }
    OsAtomicStore(&c->reqWord, SimReqWord(*seq, SIM_REQ_POSTED));
    return KQ_SIM_REQUEST_OK;
}

// The await step: waits for the reply to request seq and takes it into *args,
// freeing the slot; on time-out withdraws the request, so that a server that
// claimed it and replies later is refused. Each wait on the reply event is cut
// at SIM_RECHECK_MS, so a lost signal costs no more than that.
int AwaitReply(SimController* c, OsHandle reply, std::uint32_t seq, std::uint32_t timeoutMs,
               Clock::time_point deadline, std::uint32_t* const (&args)[3]) {
    const std::uint32_t posted = SimReqWord(seq, SIM_REQ_POSTED);
    const std::uint32_t claimed = SimReqWord(seq, SIM_REQ_CLAIMED);
    const std::uint32_t replied = SimReqWord(seq, SIM_REQ_REPLIED);
    const std::uint32_t freed = SimReqWord(seq, SIM_REQ_FREE);
    for (;;) {
        std::uint32_t left = timeoutMs == OS_INFINITE ? OS_INFINITE : RemainingMs(deadline);
        const bool expired = left == 0;
        OsWaitForObject(reply, left < SIM_RECHECK_MS ? left : SIM_RECHECK_MS);
        std::uint32_t word = OsAtomicLoad(&c->reqWord);
        if (word == replied) {
            for (int i = 0; i < 3; ++i) {
                *args[i] = OsVolatileLoad(&c->replyArg[i]);
            }
            OsAtomicCompareExchange(&c->reqWord, &word, freed);
            return KQ_SIM_REQUEST_OK;
        }
        if (word != posted && word != claimed) {
            // Freed by a new server of the controller: the claimant ended.
            return KQ_SIM_REQUEST_TIMEOUT;
        }
        if (expired && OsAtomicCompareExchange(&c->reqWord, &word, freed)) {
            return KQ_SIM_REQUEST_TIMEOUT;
        }
        // Not expired, or replied at the last moment: look again.
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
    // A controller no server has opened yet gets its slot now, so that a server
    // started later finds the request; within the caller's time-out.
    SimController* c = SimPinController(
        controller, true, timeoutMs < SIM_LOCK_WAIT_MS ? timeoutMs : SIM_LOCK_WAIT_MS);
    if (c == nullptr) {
        return KQ_SIM_REQUEST_SYSTEM;
    }
    // One request per controller at a time, in the order the clients reach the
    // mutex. An abandoned mutex means a client died mid-request: its request is
    // overwritten by this one.
    const std::uint32_t w = OsWaitForObject(
        clientMutex, timeoutMs == OS_INFINITE ? OS_INFINITE : RemainingMs(deadline));
    if (w != OS_WAIT_OBJECT_0 && w != OS_WAIT_ABANDONED) {
        SimUnpinController(c);
        return w == OS_WAIT_TIMEOUT ? KQ_SIM_REQUEST_TIMEOUT : KQ_SIM_REQUEST_SYSTEM;
    }
    // A reply signal left over from a withdrawn request must not count for this one.
    OsResetEvent(reply);
    std::uint32_t seq = 0;
    int result = PostRequest(c, pid, command, {*arg1, *arg2, *arg3}, deadline, &seq);
    if (result == KQ_SIM_REQUEST_OK) {
        // The server wake event is set exactly once for the request; the private
        // event reaches a server already waiting inside GetClientRequest.
        OsSetEvent(ready);
        OsSetEvent(server);
        result = AwaitReply(c, reply, seq, timeoutMs, deadline, {arg1, arg2, arg3});
    }
    OsReleaseMutex(clientMutex);
    SimUnpinController(c);
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
