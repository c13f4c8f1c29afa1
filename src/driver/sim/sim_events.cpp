// The driver event operations of the simulated board, as the server's dispatch
// thread calls them: the wait that hands out one queued event as an item, its
// cancellation, the dispatch of an item to its installed handler, and the source
// query a source handler makes while it runs.
#include "driver/kqvxint.h"
#include "driver/sim/sim_handlers.h"
#include "driver/sim/sim_local.h"
#include "driver/sim/sim_modes.h"
#include "driver/sim/sim_state.h"
#include "platform/atomic.h"
#include "platform/event.h"

namespace {

// TakeEvent's answer when nothing is queued yet: the wait goes on.
inline constexpr std::int16_t NOTHING_QUEUED = 1;

// The source event whose handler runs on this thread.
thread_local const SimEvent* runningEvent = nullptr;

// While the front of the queue is claimed and not filled, the wait looks again
// this often, so it gives up on the position close to SIM_PUBLISH_WAIT_MS.
inline constexpr std::uint32_t FILL_RECHECK_MS = 5;

// One look for an event of controller: SIM_STATUS_OK with *item handed out,
// NOTHING_QUEUED (*waiting: an injector is filling the front), or the status
// that ends the wait.
std::int16_t TakeEvent(OpenedController* o, std::uint16_t controller, std::uint32_t* item,
                       bool* waiting) {
    *waiting = false;
    if (OsAtomicExchange(&o->cancel, false)) {
        return KQ_WAIT_CANCELLED;
    }
    if (!SimStillOpened(o, controller)) {
        return SIM_STATUS_BAD_INPUT;  // closed under the wait
    }
    std::lock_guard<std::mutex> lock(itemMutex);
    if (!SimItemRoom()) {
        return SIM_STATUS_TOO_MANY;  // too many items taken and never dispatched
    }
    if ((o->takenCount == 0 || o->takenFrom != controller) &&
        !SimTakeQueued(o, controller, waiting)) {
        return SIM_STATUS_NO_STATE;
    }
    if (o->takenCount == 0) {
        return NOTHING_QUEUED;
    }
    *item = SimHandOutItem(o);
    return SIM_STATUS_OK;
}

}  // namespace

extern "C" {

std::int16_t KQ_STDCALL WaitDriverEvent(std::int16_t controller, std::uint32_t* item,
                                        std::uint8_t notFirstCall) {
    const std::uint16_t number = static_cast<std::uint16_t>(controller);
    SimCall call("WaitDriverEvent", {controller, notFirstCall});
    if (call.FaultHit()) {
        return call.result;
    }
    OpenedController* o = item != nullptr ? SimFindOpened(number) : nullptr;
    OsHandle ready = SimControllerEvent(number, SIM_OBJ_EVENT_READY);
    if (o == nullptr || ready == OS_NO_HANDLE) {
        return call.Return(SIM_STATUS_BAD_INPUT);
    }
    std::int16_t result = NOTHING_QUEUED;
    bool waiting = false;
    while ((result = TakeEvent(o, number, item, &waiting)) == NOTHING_QUEUED) {
        OsWaitForObject(ready, waiting ? FILL_RECHECK_MS : SIM_RECHECK_MS);
    }
    if (result == SIM_STATUS_OK) {
        call.Outputs({*item});
    }
    return call.Return(result);
}

std::int16_t KQ_STDCALL CancelDriverWait(std::int16_t controller) {
    const std::uint16_t number = static_cast<std::uint16_t>(controller);
    SimCall call("CancelDriverWait", {controller});
    OpenedController* o = SimStartOnOpened(call, number);
    if (o == nullptr) {
        return call.result;
    }
    // Recorded before the wait can end, so the call record shows the
    // cancellation ahead of the -8 it causes.
    call.Return(SIM_STATUS_OK);
    call.Record();
    OsAtomicStore(&o->cancel, true);
    OsSetEvent(SimControllerEvent(number, SIM_OBJ_EVENT_READY));
    return call.result;
}

std::int16_t KQ_STDCALL DispatchDriverEvent(std::uint32_t item) {
    SimCall call("DispatchDriverEvent", {item});
    if (call.FaultHit()) {
        return call.result;
    }
    SimEvent event{};
    if (!SimTakeItem(item, &event)) {
        return call.Return(SIM_STATUS_BAD_INPUT);
    }
    const SimEvent* previous = runningEvent;
    runningEvent = &event;
    const bool ran = SimRunHandler(event);
    runningEvent = previous;
    // Without a handler installed for it, the event is discarded.
    return call.Return(ran ? SIM_STATUS_OK : SIM_STATUS_NO_HANDLER);
}

std::int16_t KQ_STDCALL QueryEventSource(std::uint32_t* index, std::uint32_t* level,
                                         std::uint32_t* source, std::uint32_t* kind) {
    SimCall call("QueryEventSource", {});
    if (call.FaultHit()) {
        return call.result;
    }
    const SimEvent* e = runningEvent;
    if (index == nullptr || level == nullptr || source == nullptr || kind == nullptr ||
        e == nullptr || (e->kind != SIM_EV_SOURCE && e->kind != SIM_EV_MARKED)) {
        return call.Return(SIM_STATUS_BAD_INPUT);
    }
    *index = e->queryIndex;
    *level = e->queryLevel;
    *source = e->querySource;
    *kind = e->queryKind;
    call.Outputs({e->queryIndex, e->queryLevel, e->querySource, e->queryKind});
    return call.Return(SIM_STATUS_OK);
}

}  // extern "C"
