// The wake relay: a handlers' pass wakes the first sleeping client it posts to
// itself and hands the wake-ups it owes the others, as bits of one word, to a
// thread of their own. While a stream of events flows the relay stays awake,
// and the dispatch thread pays no kernel wake-up beyond the first per event
// however many clients sleep; the relay, which makes them on the other
// processor meanwhile, makes one per client for all the posts that reached the
// client since it last woke it. When the relay sleeps, a pass sets its event
// and wakes a few clients itself until the relay says it is awake, so that
// after a quiet spell not every client waits for the relay's own wake-up.
//
// A client's event is set by the post itself, under the block's lock; only the
// kernel's wake-up of its sleeping waiter moves here. A wake-up that the relay
// never makes (the server ends between a hand-over and the relay's turn) costs
// the waiter at most one step of its bounded wait, never its record.
#include "queue/wake_relay.h"

#include <chrono>

#include "platform/atomic.h"
#include "platform/event.h"
#include "platform/thread.h"
#include "queue/client_table.h"

namespace {

static_assert(MAX_CLIENTS <= 64, "owed wake-ups are the bits of one 64-bit word");

// How long the relay keeps looking for hand-overs after its last one before it
// sleeps, so that a stream's next event finds it awake.
constexpr std::int64_t RELAY_LINGER_US = 100;
// How long the relay sleeps at most before it looks at its stop flag again.
constexpr std::uint32_t RELAY_WAIT_STEP_MS = 1000;
// Most wake-ups a pass makes itself (the first included) while the relay is on
// its way: each costs the dispatch thread a few microseconds.
constexpr std::uint32_t PASS_OWN_WAKEUPS = 4;
constexpr std::uint32_t RELAY_END_WAIT_MS = 5 * RELAY_WAIT_STEP_MS;

// The pass open on this thread, if any.
struct WakeBatch {
    bool open;
    std::uint32_t woken;  // wake-ups the pass has made itself
    bool relayCalled;     // the pass has set the relay's event
    bool handedOver;      // the pass has handed slots to the relay
};
thread_local WakeBatch batch{};

// Slots handed to the relay and not yet woken.
std::uint64_t pendingSlots = 0;
OsHandle relayEvent = OS_NO_HANDLE;  // set to wake the relay
OsHandle relayThread = OS_NO_HANDLE;
std::uint32_t relayRunning = 0;  // 1 from start until stop: passes may hand over
std::uint32_t relayAwake = 0;    // 1 while the relay looks at pendingSlots
std::uint32_t relayStop = 0;
std::uint64_t relayWakeups = 0;  // written by the relay thread only

std::uint64_t Bit(std::uint32_t slot) {
    return std::uint64_t{1} << slot;
}

std::int64_t NowUs() {
    return std::chrono::duration_cast<std::chrono::microseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

// Wakes the waiter of every slot in slots; how many wake-ups that made. A slot
// whose client has gone meanwhile has no event (or a closed one) and is skipped;
// one that a new client took gets a wake-up it does not need, which costs that
// client one more look at its ring.
std::uint64_t WakeSlots(std::uint64_t slots) {
    std::uint64_t made = 0;
    for (std::uint32_t slot = 0; slot < MAX_CLIENTS && slots != 0; ++slot) {
        if ((slots & Bit(slot)) == 0) {
            continue;
        }
        slots &= ~Bit(slot);
        const OsHandle wake = OsAtomicLoad(&clientTable.wakeEvents[slot]);
        if (wake != OS_NO_HANDLE && OsWakeEventWaiter(wake)) {
            ++made;
        }
    }
    return made;
}

std::uint32_t RelayMain(void*) {
    std::int64_t lastWorkUs = NowUs();
    for (;;) {
        if (OsAtomicLoad(&pendingSlots) != 0) {
            const std::uint64_t made = WakeSlots(OsAtomicExchange(&pendingSlots, std::uint64_t{0}));
            OsAtomicStoreRelaxed(&relayWakeups, OsAtomicLoadRelaxed(&relayWakeups) + made);
            lastWorkUs = NowUs();
            continue;
        }
        if (OsAtomicLoad(&relayStop) != 0) {
            return 0;
        }
        if (NowUs() - lastWorkUs < RELAY_LINGER_US) {
            continue;
        }
        // Says it is going to sleep before it looks once more: a pass that
        // handed slots over while it still read 1 sets the event at its end.
        OsAtomicStoreSeqCst(&relayAwake, 0u);
        if (OsAtomicLoadSeqCst(&pendingSlots) == 0) {
            (void)OsWaitForObject(relayEvent, RELAY_WAIT_STEP_MS);
        }
        OsAtomicStoreSeqCst(&relayAwake, 1u);
        lastWorkUs = NowUs();
    }
}

}  // namespace

void BeginWakeBatch() {
    batch = WakeBatch{true, 0, false, false};
}

void EndWakeBatch() {
    const bool handedOver = batch.handedOver;
    batch = WakeBatch{};
    if (handedOver) {
        // Costs no system call unless the relay went to sleep after the pass
        // saw it awake.
        OsSetEvent(relayEvent);
    }
}

void WakeAfterPost(std::uint32_t slot, OsHandle wake) {
    if (!batch.open) {
        OsSetEvent(wake);
        return;
    }
    bool owed = false;
    (void)OsSetEventOwingWake(wake, &owed);
    if (!owed) {
        return;  // set before, or nobody asleep on it: no system call
    }
    if (batch.woken == 0 || OsAtomicLoadSeqCst(&relayRunning) == 0) {
        // The first sleeper of a pass is woken at once: an event for one
        // client goes the shortest way.
        ++batch.woken;
        (void)OsWakeEventWaiter(wake);
        return;
    }
    if (!batch.relayCalled) {
        batch.relayCalled = true;
        OsSetEvent(relayEvent);  // no system call when the relay is awake
    }
    if (OsAtomicLoadSeqCst(&relayAwake) == 0 && batch.woken < PASS_OWN_WAKEUPS) {
        ++batch.woken;  // the relay is still on its way
        (void)OsWakeEventWaiter(wake);
        return;
    }
    OsAtomicFetchOr(&pendingSlots, Bit(slot));
    batch.handedOver = true;
}

bool StartWakeRelay() {
    if (relayThread != OS_NO_HANDLE) {
        return true;
    }
    if (relayEvent == OS_NO_HANDLE) {
        relayEvent = OsCreateEvent(nullptr, false, false);
        if (relayEvent == OS_NO_HANDLE) {
            return false;
        }
    }
    OsAtomicStore(&relayStop, 0u);
    OsAtomicStore(&relayAwake, 1u);
    relayThread = OsCreateThread(RelayMain, nullptr, nullptr);
    if (relayThread == OS_NO_HANDLE) {
        return false;
    }
    // At the dispatch thread's priority: the clients it wakes do not take the
    // processor from it before it has woken the rest. Without real-time rights
    // it runs at normal priority.
    (void)OsSetThreadTimeCritical(relayThread);
    OsAtomicStoreSeqCst(&relayRunning, 1u);
    return true;
}

void StopWakeRelay() {
    if (relayThread == OS_NO_HANDLE) {
        return;
    }
    OsAtomicStoreSeqCst(&relayRunning, 0u);
    OsAtomicStore(&relayStop, 1u);
    OsSetEvent(relayEvent);
    // The relay never blocks but in its bounded wait: it ends within a step.
    (void)OsWaitForObject(relayThread, RELAY_END_WAIT_MS);
    OsCloseHandle(relayThread);
    relayThread = OS_NO_HANDLE;
    // Whatever was handed over after the relay's last look.
    (void)WakeSlots(OsAtomicExchange(&pendingSlots, std::uint64_t{0}));
}

std::uint64_t WakeRelayWakeups() {
    return OsAtomicLoadRelaxed(&relayWakeups);
}
