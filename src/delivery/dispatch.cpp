// The dispatch thread (the only caller of WaitDriverEvent and DispatchDriverEvent,
// so every handler runs on it, one at a time), its start and stop, and the
// installation of the ten handlers in the driver library.
#include "delivery/dispatch.h"

#include <cstdint>

#include "delivery/rthndlr.h"
#include "driver/kqvxint.h"
#include "platform/thread.h"
#include "queue/asyncque.h"
#include "queue/wake_relay.h"

OsHandle dispatchThread = OS_NO_HANDLE;
std::uint32_t dispatchThreadId = 0;

namespace {

constexpr std::int16_t STATUS_THREAD_NOT_CREATED = -32768;

// Thread exit codes: cancelled by StopDispatchThread, or a failed wait.
constexpr std::uint32_t EXIT_CANCELLED = 0;
constexpr std::uint32_t EXIT_WAIT_FAILED = 1;

// Masks and selectors that the installation rows hand to the library.
constexpr std::int16_t LEVELS_1_TO_7 = 127;
constexpr std::uint16_t ALL_CHANNELS = 0xFFFF;
constexpr std::int16_t SELECTOR_PLAIN_SOURCE = -1;
constexpr std::int16_t SELECTOR_MARKED_SOURCE = -2;

// One row of the installation: runs only in the full set, or in both sets.
struct InstallRow {
    bool fullSetOnly;
    std::int16_t (*install)();
};

// Rows run in this order; the reduced set is rows 8 to 10.
const InstallRow INSTALL_ROWS[] = {
    {true, [] { return InstallClass0Handler(HandleClass0); }},
    {true, [] { return InstallClass1Handler(HandleClass1); }},
    {true, [] { return InstallClass2Handler(HandleClass2); }},
    {true, [] { return InstallClass3Handler(HandleClass3); }},
    {true, [] { return InstallClass4Handler(HandleClass4); }},
    {true, [] { return InstallLevelHandler(LEVELS_1_TO_7, HandleLevel); }},
    {true, [] { return InstallChannelHandler(ALL_CHANNELS, HandleChannel); }},
    {false, [] { return InstallClass5Handler(HandleClass5); }},
    {false, [] { return InstallSourceHandler(SELECTOR_PLAIN_SOURCE, HandleSourceEvent); }},
    {false, [] { return InstallSourceHandler(SELECTOR_MARKED_SOURCE, HandleMarkedSourceEvent); }},
};
static_assert(sizeof(INSTALL_ROWS) / sizeof(INSTALL_ROWS[0]) == 10);

}  // namespace

std::int16_t StartDispatchThread(std::uint16_t controller) {
    void* parameter = reinterpret_cast<void*>(static_cast<std::uintptr_t>(controller));
    dispatchThread = OsCreateThread(DispatchThreadMain, parameter, &dispatchThreadId);
    if (dispatchThread == OS_NO_HANDLE) {
        return STATUS_THREAD_NOT_CREATED;
    }
    // Without real-time rights the thread runs at normal priority; that is all.
    (void)OsSetThreadTimeCritical(dispatchThread);
    // Without the relay, the handlers wake every sleeping client themselves.
    (void)StartWakeRelay();
    return 0;
}

std::uint32_t DispatchThreadMain(void* parameter) {
    const std::int16_t controller = static_cast<std::int16_t>(
        static_cast<std::uint16_t>(reinterpret_cast<std::uintptr_t>(parameter)));
    std::uint8_t notFirstCall = 0;
    // This thread makes nearly all posts: its side of the post lock is the cheap one.
    (void)ClaimFastPosting();
    for (;;) {
        std::uint32_t item = 0;
        const std::int16_t status = WaitDriverEvent(controller, &item, notFirstCall);
        if (status == KQ_WAIT_CANCELLED) {
            ReleaseFastPosting();
            OsExitThread(EXIT_CANCELLED);
        }
        if (status < 0) {
            ReleaseFastPosting();
            OsExitThread(EXIT_WAIT_FAILED);
        }
        notFirstCall = 1;
        (void)DispatchDriverEvent(item);
    }
}

std::int16_t StopDispatchThread(std::uint16_t controller) {
    return CancelDriverWait(static_cast<std::int16_t>(controller)) < 0 ? -1 : 0;
}

std::int16_t InstallHandlers(std::uint16_t controller, std::int32_t reducedSet) {
    (void)controller;  // no installer takes it
    for (const InstallRow& row : INSTALL_ROWS) {
        if (row.fullSetOnly && reducedSet != 0) {
            continue;
        }
        if (row.install() < 0) {
            return -1;  // rows installed so far stay installed
        }
    }
    return 0;
}
