// The handler installers of the simulated board, the installed handlers, and the
// table that runs the one an event is for. Installers may run while the dispatch
// thread dispatches, so every slot is read and written atomically.
#include "driver/sim/sim_handlers.h"

#include <type_traits>

#include "driver/kqvxint.h"
#include "driver/sim/sim_local.h"
#include "driver/sim/sim_modes.h"
#include "platform/atomic.h"

namespace {

KqSignedValueHandler class0Handler = nullptr;
KqNoArgHandler class1Handler = nullptr;
KqNoArgHandler class2Handler = nullptr;
KqSignedValueHandler class3Handler = nullptr;
KqSignedValueHandler class4Handler = nullptr;
KqUnsignedValueHandler class5Handler = nullptr;
KqLevelHandler levelHandler = nullptr;
KqChannelHandler channelHandler = nullptr;
KqSourceHandler sourceHandler = nullptr;  // selector -1
KqSourceHandler markedHandler = nullptr;  // selector -2

// Calls handler h with the event's arguments, narrowed to the handler's shape.
// (The class 5 and source handlers share one shape.)
void Invoke(KqSignedValueHandler h, const SimEvent& e) {
    h(static_cast<std::int16_t>(e.a));
}
void Invoke(KqNoArgHandler h, const SimEvent&) {
    h();
}
void Invoke(KqUnsignedValueHandler h, const SimEvent& e) {
    h(static_cast<std::uint16_t>(e.a));
}
void Invoke(KqLevelHandler h, const SimEvent& e) {
    h(static_cast<std::int16_t>(e.a), static_cast<std::uint16_t>(e.b), e.c);
}
void Invoke(KqChannelHandler h, const SimEvent& e) {
    h(static_cast<std::int16_t>(e.a), static_cast<std::uint16_t>(e.b),
      static_cast<std::uint16_t>(e.c));
}

// Runs the handler installed in *Slot, if any.
template <auto* Slot>
bool Run(const SimEvent& e) {
    const auto h = OsAtomicLoad(Slot);
    if (h != nullptr) {
        Invoke(h, e);
    }
    return h != nullptr;
}

// Event kind -> the thunk that runs its handler, indexed by SimEventKind.
using HandlerThunk = bool (*)(const SimEvent&);
inline constexpr HandlerThunk HANDLER_THUNKS[] = {
    Run<&class0Handler>,   // SIM_EV_CLASS0 + 0
    Run<&class1Handler>,   // SIM_EV_CLASS0 + 1
    Run<&class2Handler>,   // SIM_EV_CLASS0 + 2
    Run<&class3Handler>,   // SIM_EV_CLASS0 + 3
    Run<&class4Handler>,   // SIM_EV_CLASS0 + 4
    Run<&class5Handler>,   // SIM_EV_CLASS0 + 5
    Run<&levelHandler>,    // SIM_EV_LEVEL
    Run<&channelHandler>,  // SIM_EV_CHANNEL
    Run<&sourceHandler>,   // SIM_EV_SOURCE
    Run<&markedHandler>,   // SIM_EV_MARKED
};
static_assert(sizeof HANDLER_THUNKS / sizeof HANDLER_THUNKS[0] == SIM_EV_MARKED + 1,
              "one thunk per event kind");

// Installs handler into *Slot and records the call. A null handler, or a
// library no controller of which this process opened, is refused.
template <auto* Slot>
std::int16_t Install(const char* op, std::remove_pointer_t<decltype(Slot)> handler,
                     std::initializer_list<std::int64_t> args = {}) {
    SimCall call(op, args);
    if (call.FaultHit()) {
        return call.result;
    }
    if (handler == nullptr || !SimAnyOpened()) {
        return call.Return(SIM_STATUS_BAD_INPUT);
    }
    OsAtomicStore(Slot, handler);
    return call.Return(SIM_STATUS_OK);
}

}  // namespace

bool SimRunHandler(const SimEvent& event) {
    if (event.kind > SIM_EV_MARKED) {
        return false;
    }
    return HANDLER_THUNKS[event.kind](event);
}

extern "C" {

// The installers of the handlers that take no selector or mask.
#define KQ_SIM_INSTALLER(name, Handler, slot)       \
    std::int16_t KQ_STDCALL name(Handler handler) { \
        return Install<&slot>(#name, handler);      \
    }
KQ_SIM_INSTALLER(InstallClass0Handler, KqSignedValueHandler, class0Handler)
KQ_SIM_INSTALLER(InstallClass1Handler, KqNoArgHandler, class1Handler)
KQ_SIM_INSTALLER(InstallClass2Handler, KqNoArgHandler, class2Handler)
KQ_SIM_INSTALLER(InstallClass3Handler, KqSignedValueHandler, class3Handler)
KQ_SIM_INSTALLER(InstallClass4Handler, KqSignedValueHandler, class4Handler)
KQ_SIM_INSTALLER(InstallClass5Handler, KqUnsignedValueHandler, class5Handler)
#undef KQ_SIM_INSTALLER

std::int16_t KQ_STDCALL InstallLevelHandler(std::int16_t levelMask, KqLevelHandler handler) {
    return Install<&levelHandler>("InstallLevelHandler", handler, {levelMask});
}
std::int16_t KQ_STDCALL InstallChannelHandler(std::uint16_t channelMask, KqChannelHandler handler) {
    return Install<&channelHandler>("InstallChannelHandler", handler, {channelMask});
}
std::int16_t KQ_STDCALL InstallSourceHandler(std::int16_t selector, KqSourceHandler handler) {
    if (selector == -1) {
        return Install<&sourceHandler>("InstallSourceHandler", handler, {selector});
    }
    if (selector == -2) {
        return Install<&markedHandler>("InstallSourceHandler", handler, {selector});
    }
    SimCall call("InstallSourceHandler", {selector});
    if (call.FaultHit()) {
        return call.result;
    }
    return call.Return(SIM_STATUS_BAD_INPUT);  // no such selector
}

}  // extern "C"
