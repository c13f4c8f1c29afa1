// The board operations of the simulated library, as a server process calls them:
// opening and closing a controller, the request channel's server side, the driver
// event wait, dispatch and cancellation, and the handler installers. Owns the
// process-local part: which controllers this process opened, the installed
// handlers, and the items handed out by WaitDriverEvent.
#include <atomic>
#include <cstring>
#include <mutex>

#include "driver/kqvxint.h"
#include "driver/sim/sim_state.h"
#include "platform/event.h"
#include "platform/process.h"

namespace {

// Re-checks of a blocked wait, so a signal lost to a crashed peer costs no more.
inline constexpr std::uint32_t RECHECK_MS = 250;

// A controller opened by this process.
struct OpenedController {
    bool open;
    std::uint16_t controller;
    std::atomic<bool> cancel;  // CancelDriverWait: the pending or next wait returns -8
    std::uint32_t claimSeq;    // ticket of the request GetClientRequest handed out
    // Events a wait moved off the shared queue of controller takenFrom (slot
    // takenIn) in one turn of the state lock and has not handed out yet, oldest
    // first (guarded by gItemMutex). They count in takenIn->evTaken until handed
    // out. Closing the controller gives them back to its queue, and so does a
    // wait for another controller that finds some (left by a wait that raced the
    // close).
    SimEvent taken[SIM_EVENT_QUEUE_DEPTH];
    std::uint32_t takenHead;
    std::uint32_t takenCount;
    std::uint16_t takenFrom;
    SimController* takenIn;
};
inline constexpr int MAX_OPENED = 16;
OpenedController gOpened[MAX_OPENED];
std::mutex gOpenedMutex;  // guards open, controller and claimSeq

OpenedController* FindOpened(std::uint16_t controller) {
    std::lock_guard<std::mutex> lock(gOpenedMutex);
    for (OpenedController& o : gOpened) {
        if (o.open && o.controller == controller) {
            return &o;
        }
    }
    return nullptr;
}

bool AnyOpened() {
    std::lock_guard<std::mutex> lock(gOpenedMutex);
    for (const OpenedController& o : gOpened) {
        if (o.open) {
            return true;
        }
    }
    return false;
}

// Installed handlers; installers may run while the dispatch thread dispatches.
std::atomic<KqSignedValueHandler> gClass0{nullptr};
std::atomic<KqNoArgHandler> gClass1{nullptr};
std::atomic<KqNoArgHandler> gClass2{nullptr};
std::atomic<KqSignedValueHandler> gClass3{nullptr};
std::atomic<KqSignedValueHandler> gClass4{nullptr};
std::atomic<KqUnsignedValueHandler> gClass5{nullptr};
std::atomic<KqLevelHandler> gLevel{nullptr};
std::atomic<KqChannelHandler> gChannel{nullptr};
std::atomic<KqSourceHandler> gSource{nullptr};
std::atomic<KqSourceHandler> gMarked{nullptr};

// Items: events taken off the shared queue by WaitDriverEvent and not yet
// dispatched. The item value carries the slot and a generation, so a stale or
// made-up item never matches.
struct ItemSlot {
    bool used;
    std::uint32_t item;
    SimEvent event;
};
inline constexpr std::uint32_t MAX_ITEMS = 8;
ItemSlot gItems[MAX_ITEMS];
std::uint32_t gItemGeneration = 0;
std::mutex gItemMutex;

// Puts the events a wait took and did not hand out back at the front of their
// controller's queue, oldest first, so the controller's next server gets them as
// if they had never been taken. As they still counted against the queue's depth,
// they fit (only a damaged count could leave one out). Caller holds gItemMutex
// and the state lock.
void GiveBackTaken(OpenedController* o) {
    SimController* c = o->takenIn;
    if (c == nullptr || o->takenCount == 0) {
        return;
    }
    const std::uint32_t count = c->evCount <= SIM_EVENT_QUEUE_DEPTH ? c->evCount : 0;
    const std::uint32_t room = SIM_EVENT_QUEUE_DEPTH - count;
    const std::uint32_t n = o->takenCount < room ? o->takenCount : room;
    for (std::uint32_t i = n; i-- > 0;) {
        c->evHead = (c->evHead + SIM_EVENT_QUEUE_DEPTH - 1) % SIM_EVENT_QUEUE_DEPTH;
        c->events[c->evHead] = o->taken[o->takenHead + i];
    }
    c->evCount = count + n;
    __atomic_sub_fetch(&c->evTaken, o->takenCount, __ATOMIC_RELEASE);
    o->takenCount = 0;
}

// The source event whose handler runs on this thread.
thread_local const SimEvent* tRunning = nullptr;

void Trace1(const char* op, std::int64_t a, std::int16_t result) {
    SimTrace(op, &a, 1, result);
}

// True when another controller holds a posted request that no server claimed.
// Caller holds the state lock.
bool OtherRequestPosted(const SimShared* s, std::uint16_t controller) {
    for (const SimController& c : s->controllers) {
        if (c.used != 0 && c.controller != controller && c.reqState == SIM_REQ_POSTED) {
            return true;
        }
    }
    return false;
}

template <typename H>
std::int16_t Install(const char* op, std::atomic<H>& slot, H handler, const std::int64_t* args,
                     int argCount) {
    std::int16_t result = 0;
    if (SimFaultHit(op, &result)) {
    } else if (handler == nullptr || !AnyOpened()) {
        result = -1;
    } else {
        slot.store(handler);
    }
    SimTrace(op, args, argCount, result);
    return result;
}

}  // namespace

extern "C" {

std::int16_t KQ_STDCALL OpenController(std::int16_t controller) {
    const std::uint16_t number = static_cast<std::uint16_t>(controller);
    std::int16_t result = 0;
    if (!SimFaultHit("OpenController", &result)) {
        SimOpenResultOverride(&result);
    }
    if (result >= 0) {
        SimShared* s = SimLock();
        if (s == nullptr) {
            result = -3;
        } else {
            SimController* c = SimFindController(s, number, true);
            std::uint32_t self = OsCurrentProcessId();
            if (c == nullptr) {
                result = -4;  // no room for another controller
            } else if (c->serverPid != 0 && c->serverPid != self) {
                // Another live server serves this controller; two would take each
                // other's requests and events.
                OsHandle other = OsOpenProcess(c->serverPid);
                std::uint32_t code = 0;
                bool alive = other != OS_NO_HANDLE && OsGetExitCodeProcess(other, &code) &&
                             code == OS_STILL_ACTIVE;
                if (other != OS_NO_HANDLE) {
                    OsCloseHandle(other);
                }
                if (alive) {
                    result = -5;
                } else {
                    // What the ended server had taken ended with it.
                    __atomic_store_n(&c->evTaken, 0u, __ATOMIC_RELEASE);
                    c->serverPid = self;
                }
            } else {
                c->serverPid = self;
            }
            SimUnlock();
        }
    }
    if (result >= 0) {
        std::lock_guard<std::mutex> lock(gOpenedMutex);
        OpenedController* slot = nullptr;
        for (OpenedController& o : gOpened) {
            if (o.open && o.controller == number) {
                slot = &o;
                break;
            }
            if (!o.open && slot == nullptr) {
                slot = &o;
            }
        }
        if (slot == nullptr) {
            result = -4;
        } else if (!slot->open) {
            slot->open = true;
            slot->controller = number;
            slot->cancel.store(false);
            slot->claimSeq = 0;
        }
    }
    Trace1("OpenController", controller, result);
    return result;
}

std::int16_t KQ_STDCALL CloseController(std::int16_t controller) {
    const std::uint16_t number = static_cast<std::uint16_t>(controller);
    std::int16_t result = 0;
    if (!SimFaultHit("CloseController", &result)) {
        OpenedController* o = FindOpened(number);
        if (o == nullptr) {
            result = -1;
        } else {
            {
                std::lock_guard<std::mutex> lock(gOpenedMutex);
                o->open = false;
            }
            std::lock_guard<std::mutex> items(gItemMutex);
            if (SimShared* s = SimLock(); s != nullptr) {
                SimController* c = SimFindController(s, number, false);
                if (c != nullptr && c->serverPid == OsCurrentProcessId()) {
                    c->serverPid = 0;
                }
                if (o->takenFrom == number) {
                    GiveBackTaken(o);
                }
                SimUnlock();
            }
            // A wait still blocked on this controller ends (with -8 when cancelled).
            OsSetEvent(SimControllerEvent(number, SIM_OBJ_EVENT_READY));
        }
    }
    Trace1("CloseController", controller, result);
    return result;
}

std::int16_t KQ_STDCALL WaitDriverEvent(std::int16_t controller, std::uint32_t* item,
                                        std::uint8_t notFirstCall) {
    const std::uint16_t number = static_cast<std::uint16_t>(controller);
    const std::int64_t args[2] = {controller, notFirstCall};
    std::int16_t result = 0;
    if (SimFaultHit("WaitDriverEvent", &result)) {
        SimTrace("WaitDriverEvent", args, 2, result);
        return result;
    }
    OpenedController* o = item != nullptr ? FindOpened(number) : nullptr;
    OsHandle ready = SimControllerEvent(number, SIM_OBJ_EVENT_READY);
    if (o == nullptr || ready == OS_NO_HANDLE) {
        SimTrace("WaitDriverEvent", args, 2, -1);
        return -1;
    }
    for (;;) {
        if (o->cancel.exchange(false)) {
            result = KQ_WAIT_CANCELLED;
            break;
        }
        {
            std::lock_guard<std::mutex> lock(gOpenedMutex);
            if (!o->open || o->controller != number) {
                result = -1;  // closed under the wait
                break;
            }
        }
        std::unique_lock<std::mutex> itemLock(gItemMutex);
        ItemSlot* freeSlot = nullptr;
        for (ItemSlot& slot : gItems) {
            if (!slot.used) {
                freeSlot = &slot;
                break;
            }
        }
        if (freeSlot == nullptr) {
            result = -2;  // too many items taken and never dispatched
            break;
        }
        if (o->takenCount == 0 || o->takenFrom != number) {
            // Everything queued comes over in one turn of the lock the injectors
            // also take, so a burst costs them one wait for it, not one per event.
            SimShared* s = SimLock();
            if (s == nullptr) {
                result = -3;
                break;
            }
            GiveBackTaken(o);  // left by a controller this slot served before
            SimController* c = SimFindController(s, number, false);
            std::uint32_t n = c != nullptr ? c->evCount : 0;
            n = n > SIM_EVENT_QUEUE_DEPTH ? SIM_EVENT_QUEUE_DEPTH : n;
            if (c != nullptr) {
                std::uint32_t head = c->evHead % SIM_EVENT_QUEUE_DEPTH;
                for (std::uint32_t i = 0; i < n; ++i) {
                    o->taken[i] = c->events[head];
                    head = (head + 1) % SIM_EVENT_QUEUE_DEPTH;
                }
                c->evHead = head;
                c->evCount = 0;
                __atomic_add_fetch(&c->evTaken, n, __ATOMIC_RELEASE);
            }
            SimUnlock();
            o->takenHead = 0;
            o->takenCount = n;
            o->takenFrom = number;
            o->takenIn = c;
        }
        const bool got = o->takenCount > 0;
        if (got) {
            freeSlot->event = o->taken[o->takenHead++];
            --o->takenCount;
            __atomic_sub_fetch(&o->takenIn->evTaken, 1u, __ATOMIC_RELEASE);
            gItemGeneration = (gItemGeneration + 1) & 0x00FFFFFFu;
            std::uint32_t index = static_cast<std::uint32_t>(freeSlot - gItems);
            freeSlot->item = ((gItemGeneration + 1) << 8) | index;
            freeSlot->used = true;
            *item = freeSlot->item;
            result = 0;
            break;
        }
        itemLock.unlock();
        OsWaitForObject(ready, RECHECK_MS);
    }
    std::int64_t out = result == 0 ? static_cast<std::int64_t>(*item) : 0;
    SimTrace("WaitDriverEvent", args, 2, result, result == 0 ? &out : nullptr, result == 0 ? 1 : 0);
    return result;
}

std::int16_t KQ_STDCALL DispatchDriverEvent(std::uint32_t item) {
    std::int16_t result = 0;
    if (SimFaultHit("DispatchDriverEvent", &result)) {
        Trace1("DispatchDriverEvent", item, result);
        return result;
    }
    SimEvent event{};
    bool found = false;
    {
        std::lock_guard<std::mutex> lock(gItemMutex);
        std::uint32_t index = item & 0xFFu;
        if (index < MAX_ITEMS && gItems[index].used && gItems[index].item == item) {
            event = gItems[index].event;
            gItems[index].used = false;
            found = true;
        }
    }
    if (!found) {
        Trace1("DispatchDriverEvent", item, -1);
        return -1;
    }
    const SimEvent* previous = tRunning;
    tRunning = &event;
    bool ran = true;
    switch (event.kind) {
        case SIM_EV_CLASS0 + 0:
        case SIM_EV_CLASS0 + 3:
        case SIM_EV_CLASS0 + 4: {
            auto& slot = event.kind == SIM_EV_CLASS0       ? gClass0
                         : event.kind == SIM_EV_CLASS0 + 3 ? gClass3
                                                           : gClass4;
            KqSignedValueHandler h = slot.load();
            ran = h != nullptr;
            if (ran) {
                h(static_cast<std::int16_t>(event.a));
            }
            break;
        }
        case SIM_EV_CLASS0 + 1:
        case SIM_EV_CLASS0 + 2: {
            KqNoArgHandler h = event.kind == SIM_EV_CLASS0 + 1 ? gClass1.load() : gClass2.load();
            ran = h != nullptr;
            if (ran) {
                h();
            }
            break;
        }
        case SIM_EV_CLASS0 + 5: {
            KqUnsignedValueHandler h = gClass5.load();
            ran = h != nullptr;
            if (ran) {
                h(static_cast<std::uint16_t>(event.a));
            }
            break;
        }
        case SIM_EV_LEVEL: {
            KqLevelHandler h = gLevel.load();
            ran = h != nullptr;
            if (ran) {
                h(static_cast<std::int16_t>(event.a), static_cast<std::uint16_t>(event.b), event.c);
            }
            break;
        }
        case SIM_EV_CHANNEL: {
            KqChannelHandler h = gChannel.load();
            ran = h != nullptr;
            if (ran) {
                h(static_cast<std::int16_t>(event.a), static_cast<std::uint16_t>(event.b),
                  static_cast<std::uint16_t>(event.c));
            }
            break;
        }
        case SIM_EV_SOURCE:
        case SIM_EV_MARKED: {
            KqSourceHandler h = event.kind == SIM_EV_SOURCE ? gSource.load() : gMarked.load();
            ran = h != nullptr;
            if (ran) {
                h(static_cast<std::uint16_t>(event.a));
            }
            break;
        }
        default:
            ran = false;
            break;
    }
    tRunning = previous;
    result = ran ? 0 : -2;  // -2: no handler installed for the event; it is discarded
    Trace1("DispatchDriverEvent", item, result);
    return result;
}

std::int16_t KQ_STDCALL CancelDriverWait(std::int16_t controller) {
    const std::uint16_t number = static_cast<std::uint16_t>(controller);
    std::int16_t result = 0;
    if (!SimFaultHit("CancelDriverWait", &result)) {
        OpenedController* o = FindOpened(number);
        if (o == nullptr) {
            result = -1;
        } else {
            // Recorded before the wait can end, so the call record shows the
            // cancellation ahead of the -8 it causes.
            Trace1("CancelDriverWait", controller, result);
            o->cancel.store(true);
            OsSetEvent(SimControllerEvent(number, SIM_OBJ_EVENT_READY));
            return result;
        }
    }
    Trace1("CancelDriverWait", controller, result);
    return result;
}

std::int16_t KQ_STDCALL GetClientRequest(std::int16_t controller, std::uint32_t* pid,
                                         std::uint32_t* command, std::uint32_t* arg1,
                                         std::uint32_t* arg2, std::uint32_t* arg3) {
    const std::uint16_t number = static_cast<std::uint16_t>(controller);
    std::int16_t result = 0;
    if (SimFaultHit("GetClientRequest", &result)) {
        Trace1("GetClientRequest", controller, result);
        return result;
    }
    OpenedController* o = FindOpened(number);
    OsHandle ready = SimControllerEvent(number, SIM_OBJ_REQUEST_READY);
    OsHandle server = SimServerEvent();
    if (pid == nullptr || command == nullptr || arg1 == nullptr || arg2 == nullptr ||
        arg3 == nullptr || o == nullptr || ready == OS_NO_HANDLE || server == OS_NO_HANDLE) {
        Trace1("GetClientRequest", controller, -1);
        return -1;
    }
    // The server wake event is shared by the servers of every controller. A wake
    // meant for another controller is passed on (once) and this server then waits
    // privately for a request of its own; a claim passes on the signal too when
    // another controller's request is waiting, since two signals may have merged.
    bool passedOn = false;
    std::int64_t outs[5] = {};
    for (;;) {
        SimShared* s = SimLock();
        if (s == nullptr) {
            result = -3;
            break;
        }
        SimController* c = SimFindController(s, number, true);
        bool claimed = c != nullptr && c->reqState == SIM_REQ_POSTED;
        if (claimed) {
            c->reqState = SIM_REQ_CLAIMED;
            *pid = c->reqPid;
            *command = c->reqCommand;
            *arg1 = c->reqArg[0];
            *arg2 = c->reqArg[1];
            *arg3 = c->reqArg[2];
            std::lock_guard<std::mutex> lock(gOpenedMutex);
            o->claimSeq = c->reqSeq;
        }
        bool passOn = !passedOn && OtherRequestPosted(s, number);
        SimUnlock();
        if (passOn) {
            OsSetEvent(server);
            passedOn = true;
        }
        if (claimed) {
            outs[0] = *pid;
            outs[1] = *command;
            outs[2] = *arg1;
            outs[3] = *arg2;
            outs[4] = *arg3;
            result = 0;
            break;
        }
        OsWaitForObject(ready, RECHECK_MS);
    }
    const std::int64_t in[1] = {controller};
    SimTrace("GetClientRequest", in, 1, result, result == 0 ? outs : nullptr, result == 0 ? 5 : 0);
    return result;
}

std::int16_t KQ_STDCALL PutClientReply(std::int16_t controller, std::int16_t zero,
                                       std::uint32_t command, std::uint32_t* arg1,
                                       std::uint32_t* arg2, std::uint32_t* arg3) {
    const std::uint16_t number = static_cast<std::uint16_t>(controller);
    std::int64_t args[6] = {controller, zero, command, 0, 0, 0};
    if (arg1 != nullptr && arg2 != nullptr && arg3 != nullptr) {
        args[3] = *arg1;
        args[4] = *arg2;
        args[5] = *arg3;
    }
    std::int16_t result = 0;
    if (SimFaultHit("PutClientReply", &result)) {
        SimTrace("PutClientReply", args, 6, result);
        return result;
    }
    OpenedController* o = FindOpened(number);
    OsHandle reply = SimControllerEvent(number, SIM_OBJ_REPLY);
    if (arg1 == nullptr || arg2 == nullptr || arg3 == nullptr || o == nullptr ||
        reply == OS_NO_HANDLE) {
        SimTrace("PutClientReply", args, 6, -1);
        return -1;
    }
    std::uint32_t claimSeq = 0;
    {
        std::lock_guard<std::mutex> lock(gOpenedMutex);
        claimSeq = o->claimSeq;
        o->claimSeq = 0;
    }
    SimShared* s = SimLock();
    if (s == nullptr) {
        result = -3;
    } else {
        SimController* c = SimFindController(s, number, false);
        // The reply reaches its client only when the claimed request is still
        // the one in the slot; a client that timed out has withdrawn it.
        if (c != nullptr && claimSeq != 0 && c->reqState == SIM_REQ_CLAIMED &&
            c->reqSeq == claimSeq) {
            c->replyArg[0] = *arg1;
            c->replyArg[1] = *arg2;
            c->replyArg[2] = *arg3;
            c->reqState = SIM_REQ_REPLIED;
        } else {
            result = -1;
        }
        SimUnlock();
        if (result == 0) {
            // Recorded before the client can go on to its next request.
            SimTrace("PutClientReply", args, 6, result);
            OsSetEvent(reply);
            return result;
        }
    }
    SimTrace("PutClientReply", args, 6, result);
    return result;
}

std::int16_t KQ_STDCALL QueryEventSource(std::uint32_t* index, std::uint32_t* level,
                                         std::uint32_t* source, std::uint32_t* kind) {
    std::int16_t result = 0;
    std::int64_t outs[4] = {};
    const SimEvent* e = tRunning;
    if (SimFaultHit("QueryEventSource", &result)) {
    } else if (index == nullptr || level == nullptr || source == nullptr || kind == nullptr ||
               e == nullptr || (e->kind != SIM_EV_SOURCE && e->kind != SIM_EV_MARKED)) {
        result = -1;
    } else {
        *index = e->queryIndex;
        *level = e->queryLevel;
        *source = e->querySource;
        *kind = e->queryKind;
        outs[0] = e->queryIndex;
        outs[1] = e->queryLevel;
        outs[2] = e->querySource;
        outs[3] = e->queryKind;
    }
    SimTrace("QueryEventSource", nullptr, 0, result, result == 0 ? outs : nullptr,
             result == 0 ? 4 : 0);
    return result;
}

std::int16_t KQ_STDCALL InstallClass0Handler(KqSignedValueHandler handler) {
    return Install("InstallClass0Handler", gClass0, handler, nullptr, 0);
}
std::int16_t KQ_STDCALL InstallClass1Handler(KqNoArgHandler handler) {
    return Install("InstallClass1Handler", gClass1, handler, nullptr, 0);
}
std::int16_t KQ_STDCALL InstallClass2Handler(KqNoArgHandler handler) {
    return Install("InstallClass2Handler", gClass2, handler, nullptr, 0);
}
std::int16_t KQ_STDCALL InstallClass3Handler(KqSignedValueHandler handler) {
    return Install("InstallClass3Handler", gClass3, handler, nullptr, 0);
}
std::int16_t KQ_STDCALL InstallClass4Handler(KqSignedValueHandler handler) {
    return Install("InstallClass4Handler", gClass4, handler, nullptr, 0);
}
std::int16_t KQ_STDCALL InstallLevelHandler(std::int16_t levelMask, KqLevelHandler handler) {
    const std::int64_t args[1] = {levelMask};
    return Install("InstallLevelHandler", gLevel, handler, args, 1);
}
std::int16_t KQ_STDCALL InstallChannelHandler(std::uint16_t channelMask, KqChannelHandler handler) {
    const std::int64_t args[1] = {channelMask};
    return Install("InstallChannelHandler", gChannel, handler, args, 1);
}
std::int16_t KQ_STDCALL InstallClass5Handler(KqUnsignedValueHandler handler) {
    return Install("InstallClass5Handler", gClass5, handler, nullptr, 0);
}
std::int16_t KQ_STDCALL InstallSourceHandler(std::int16_t selector, KqSourceHandler handler) {
    const std::int64_t args[1] = {selector};
    if (selector == -1) {
        return Install("InstallSourceHandler", gSource, handler, args, 1);
    }
    if (selector == -2) {
        return Install("InstallSourceHandler", gMarked, handler, args, 1);
    }
    std::int16_t result = -1;  // no such selector
    SimFaultHit("InstallSourceHandler", &result);
    SimTrace("InstallSourceHandler", args, 1, result);
    return result;
}

}  // extern "C"
