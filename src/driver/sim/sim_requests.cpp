// The server side of the simulated board's request channel: GetClientRequest
// claims the request a client posted for the controller, PutClientReply answers
// it. The client side is KqSimRequest (sim_client.cpp).
#include "driver/kqvxint.h"
#include "driver/sim/sim_local.h"
#include "driver/sim/sim_modes.h"
#include "driver/sim/sim_state.h"
#include "platform/atomic.h"
#include "platform/event.h"
#include "platform/process.h"

namespace {

// ClaimRequest's answer when no request is posted yet: the wait goes on.
inline constexpr std::int16_t NO_REQUEST_YET = 1;

// A claimed request as GetClientRequest hands it out.
struct ClaimedRequest {
    std::uint32_t pid;
    std::uint32_t command;
    std::uint32_t arg[3];
};

// True when another controller holds a posted request that no server claimed.
bool OtherRequestPosted(SimShared* s, std::uint16_t controller) {
    for (const SimController& c : s->controllers) {
        if (OsAtomicLoad(&c.used) != 0 && OsAtomicLoad(&c.controller) != controller &&
            SimReqState(OsAtomicLoad(&c.reqWord)) == SIM_REQ_POSTED) {
            return true;
        }
    }
    return false;
}

// Claims the request posted for controller into *request, remembering its word
// in o: SIM_STATUS_OK, NO_REQUEST_YET or SIM_STATUS_NO_STATE. With lookAround,
// *otherPosted tells whether another controller's request waits. No lock: the
// fields are read first and the claim succeeds only if the request word did not
// change meanwhile, so they belong to the request claimed.
std::int16_t ClaimRequest(OpenedController* o, std::uint16_t controller, ClaimedRequest* request,
                          bool lookAround, bool* otherPosted) {
    SimShared* s = SimAttach();
    if (s == nullptr) {
        return SIM_STATUS_NO_STATE;
    }
    SimController* c = SimFindServed(controller);
    bool claimed = false;
    std::uint32_t word = c != nullptr ? OsAtomicLoad(&c->reqWord) : 0;
    while (!claimed && SimReqState(word) == SIM_REQ_POSTED) {
        const ClaimedRequest seen{OsVolatileLoad(&c->reqPid),
                                  OsVolatileLoad(&c->reqCommand),
                                  {OsVolatileLoad(&c->reqArg[0]), OsVolatileLoad(&c->reqArg[1]),
                                   OsVolatileLoad(&c->reqArg[2])}};
        // Recorded before the claim, so that no moment shows the request claimed
        // by nobody; the field counts only while the word says CLAIMED.
        OsAtomicStore(&c->claimPid, OsCurrentProcessId());
        const std::uint32_t claimWord = SimReqWord(word >> SIM_REQ_SEQ_SHIFT, SIM_REQ_CLAIMED);
        if (OsAtomicCompareExchange(&c->reqWord, &word, claimWord)) {
            *request = seen;
            claimed = true;
            std::lock_guard<std::mutex> lock(openedMutex);
            o->claimWord = claimWord;
        }
    }
    *otherPosted = lookAround && OtherRequestPosted(s, controller);
    return claimed ? SIM_STATUS_OK : NO_REQUEST_YET;
}

// Writes the reply into controller's slot when the request claimed as claimWord
// is still the one there; a client that timed out has withdrawn it.
std::int16_t WriteReply(std::uint16_t controller, std::uint32_t claimWord, std::uint32_t arg1,
                        std::uint32_t arg2, std::uint32_t arg3) {
    if (SimAttach() == nullptr) {
        return SIM_STATUS_NO_STATE;
    }
    SimController* c = SimFindServed(controller);
    if (c == nullptr || claimWord == 0 || OsAtomicLoad(&c->reqWord) != claimWord) {
        return SIM_STATUS_BAD_INPUT;
    }
    // Only the claimant writes the reply fields, and the client reads them only
    // once the word says REPLIED for its own ticket.
    OsVolatileStore(&c->replyArg[0], arg1);
    OsVolatileStore(&c->replyArg[1], arg2);
    OsVolatileStore(&c->replyArg[2], arg3);
    std::uint32_t expected = claimWord;
    const std::uint32_t replied = SimReqWord(claimWord >> SIM_REQ_SEQ_SHIFT, SIM_REQ_REPLIED);
    return OsAtomicCompareExchange(&c->reqWord, &expected, replied) ? SIM_STATUS_OK
                                                                    : SIM_STATUS_BAD_INPUT;
}

}  // namespace

extern "C" {

std::int16_t KQ_STDCALL GetClientRequest(std::int16_t controller, std::uint32_t* pid,
                                         std::uint32_t* command, std::uint32_t* arg1,
                                         std::uint32_t* arg2, std::uint32_t* arg3) {
    const std::uint16_t number = static_cast<std::uint16_t>(controller);
    SimCall call("GetClientRequest", {controller});
    if (call.FaultHit()) {
        return call.result;
    }
    OpenedController* o = SimFindOpened(number);
    OsHandle ready = SimControllerEvent(number, SIM_OBJ_REQUEST_READY);
    OsHandle server = SimServerEvent();
    if (pid == nullptr || command == nullptr || arg1 == nullptr || arg2 == nullptr ||
        arg3 == nullptr || o == nullptr || ready == OS_NO_HANDLE || server == OS_NO_HANDLE) {
        return call.Return(SIM_STATUS_BAD_INPUT);
    }
    // The server wake event is shared by the servers of every controller. A wake
    // meant for another controller is passed on (once) and this server then waits
    // privately for a request of its own; a claim passes on the signal too when
    // another controller's request is waiting, since two signals may have merged.
    ClaimedRequest request{};
    bool passedOn = false;
    std::int16_t result = NO_REQUEST_YET;
    for (;;) {
        bool otherPosted = false;
        result = ClaimRequest(o, number, &request, !passedOn, &otherPosted);
        if (otherPosted) {
            OsSetEvent(server);
            passedOn = true;
        }
        if (result != NO_REQUEST_YET) {
            break;
        }
        OsWaitForObject(ready, SIM_RECHECK_MS);
    }
    if (result == SIM_STATUS_OK) {
        *pid = request.pid;
        *command = request.command;
        *arg1 = request.arg[0];
        *arg2 = request.arg[1];
        *arg3 = request.arg[2];
        call.Outputs(
            {request.pid, request.command, request.arg[0], request.arg[1], request.arg[2]});
    }
    return call.Return(result);
}

std::int16_t KQ_STDCALL PutClientReply(std::int16_t controller, std::int16_t zero,
                                       std::uint32_t command, std::uint32_t* arg1,
                                       std::uint32_t* arg2, std::uint32_t* arg3) {
    const std::uint16_t number = static_cast<std::uint16_t>(controller);
    const bool argsGiven = arg1 != nullptr && arg2 != nullptr && arg3 != nullptr;
    SimCall call("PutClientReply", {controller, zero, command, argsGiven ? *arg1 : 0,
                                    argsGiven ? *arg2 : 0, argsGiven ? *arg3 : 0});
    if (call.FaultHit()) {
        return call.result;
    }
    OpenedController* o = SimFindOpened(number);
    OsHandle reply = SimControllerEvent(number, SIM_OBJ_REPLY);
    if (!argsGiven || o == nullptr || reply == OS_NO_HANDLE) {
        return call.Return(SIM_STATUS_BAD_INPUT);
    }
    SimStallPoint("PutClientReply");
    std::uint32_t claimWord = 0;
    {
        std::lock_guard<std::mutex> lock(openedMutex);
        claimWord = o->claimWord;
        o->claimWord = 0;
    }
    if (call.Return(WriteReply(number, claimWord, *arg1, *arg2, *arg3)) == SIM_STATUS_OK) {
        // Recorded before the client can go on to its next request.
        call.Record();
        OsSetEvent(reply);
    }
    return call.result;
}

}  // extern "C"
