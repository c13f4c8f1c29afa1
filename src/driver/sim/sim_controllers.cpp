// Opening and closing a controller of the simulated board: one live server per
// controller machine-wide, recorded in the controller's slot, and the controller
// marked open in this process's table.
#include "driver/kqvxint.h"
#include "driver/sim/sim_local.h"
#include "driver/sim/sim_modes.h"
#include "driver/sim/sim_state.h"
#include "platform/atomic.h"
#include "platform/event.h"
#include "platform/process.h"

namespace {

// A request claimed by a server that ended is never answered, and its client
// would wait behind it: the claim is freed (its client, if it still waits,
// sees its request gone and ends its wait).
void FreeEndedClaim(SimController* c, std::uint32_t self) {
    std::uint32_t word = OsAtomicLoad(&c->reqWord);
    const std::uint32_t claimant = OsAtomicLoad(&c->claimPid);
    if (SimReqState(word) == SIM_REQ_CLAIMED && claimant != self &&
        (claimant == 0 || SimProcessEnded(claimant))) {
        OsAtomicCompareExchange(&c->reqWord, &word,
                                SimReqWord(word >> SIM_REQ_SEQ_SHIFT, SIM_REQ_FREE));
    }
}

// Makes this process the server of controller in the shared state.
std::int16_t ClaimController(std::uint16_t controller) {
    SimShared* s = SimLock();
    if (s == nullptr) {
        return SIM_STATUS_NO_STATE;
    }
    std::int16_t result = SIM_STATUS_OK;
    SimController* c = SimFindController(s, controller, true);
    const std::uint32_t self = OsCurrentProcessId();
    if (c == nullptr) {
        result = SIM_STATUS_TABLE_FULL;
    } else if (c->serverPid != 0 && c->serverPid != self && !SimProcessEnded(c->serverPid)) {
        // Two live servers would take each other's requests and events.
        result = SIM_STATUS_SERVED_ELSEWHERE;
    } else {
        if (c->serverPid != 0 && c->serverPid != self) {
            // What the ended server had taken ended with it. (A server that
            // closed the controller gives back what it took, and so still
            // counts it until then.)
            OsAtomicStore(&c->evTaken, 0u);
        }
        FreeEndedClaim(c, self);
        OsAtomicStore(&c->serverPid, self);
    }
    SimUnlock();
    return result;
}

}  // namespace

extern "C" {

std::int16_t KQ_STDCALL OpenController(std::int16_t controller) {
    const std::uint16_t number = static_cast<std::uint16_t>(controller);
    SimCall call("OpenController", {controller});
    if (!call.FaultHit()) {
        SimOpenResultOverride(&call.result);
    }
    if (call.result < 0) {
        return call.result;
    }
    if (const std::int16_t claimed = ClaimController(number); claimed < 0) {
        return call.Return(claimed);
    }
    if (!SimMarkOpened(number)) {
        return call.Return(SIM_STATUS_TABLE_FULL);
    }
    return call.result;
}

std::int16_t KQ_STDCALL CloseController(std::int16_t controller) {
    SimCall call("CloseController", {controller});
    OpenedController* o = SimStartOnOpened(call, static_cast<std::uint16_t>(controller));
    if (o == nullptr) {
        return call.result;
    }
    const std::uint16_t number = static_cast<std::uint16_t>(controller);
    SimMarkClosed(o);
    {
        // No lock: the slot stays this server's until serverPid changes.
        std::lock_guard<std::mutex> items(itemMutex);
        if (o->takenFrom == number) {
            SimGiveBackTaken(o);
        }
        if (SimController* c = SimFindServed(number); c != nullptr) {
            std::uint32_t self = OsCurrentProcessId();
            OsAtomicCompareExchange(&c->serverPid, &self, 0u);
        }
    }
    // A wait still blocked on this controller ends (with -8 when cancelled).
    OsSetEvent(SimControllerEvent(number, SIM_OBJ_EVENT_READY));
    return call.Return(SIM_STATUS_OK);
}

}  // extern "C"
