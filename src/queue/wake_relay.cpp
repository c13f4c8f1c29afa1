// The wake relay. A handlers' pass that comes within a stream of events (less
// than QUIET_GAP_US after the previous pass) wakes the first sleeping client it
// posts to itself and hands the wake-ups it owes the others, as bits of one
// word, to a thread of their own: the dispatch thread then pays one kernel
// wake-up per event however many clients sleep, and goes on to the next event
// while the relay makes the others on the other processor, one per client for
// all the posts that reached the client since the relay last woke it. A pass
// after a quiet spell wakes every client itself, the shortest way for an
// event that comes alone.
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

// A pass this long after the previous one makes all its wake-ups itself.
constexpr std::int64_t QUIET_GAP_US = 1000;
// How long the relay sleeps at most before it looks at its stop flag again.
constexpr std::uint32_t RELAY_WAIT_STEP_MS = 1000;
constexpr std::uint32_t RELAY_END_WAIT_MS = 5 * RELAY_WAIT_STEP_MS;

// The pass open on this thread, if any.
struct WakeBatch {
    bool open;
    bool wakesAll;    // after a quiet spell: every wake-up made by the pass
    bool wokeOne;     // the pass has made its first wake-up
    bool handedOver;  // the pass has handed slots to the relay
};
thread_local WakeBatch batch{};
thread_local std::int64_t lastPassUs = 0;

// Slots handed to the relay and not yet woken.
std::uint64_t pendingSlots = 0;
OsHandle relayEvent = OS_NO_HANDLE;  // set to wake the relay
OsHandle relayThread = OS_NO_HANDLE;
std::uint32_t relayRunning = 0;  // 1 from start until stop: passes may hand over
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
    for (;;) {
        const std::uint64_t owed = OsAtomicExchange(&pendingSlots, std::uint64_t{0});
        if (owed != 0) {
            const std::uint64_t made = WakeSlots(owed);
            OsAtomicStoreRelaxed(&relayWakeups, OsAtomicLoadRelaxed(&relayWakeups) + made);
            continue;
        }
        if (OsAtomicLoad(&relayStop) != 0) {
            return 0;
        }
        // A pass sets the event after its hand-over: one that came after the
        // look above is not missed (the event stays set until this wait).
        (void)OsWaitForObject(relayEvent, RELAY_WAIT_STEP_MS);
    }
}

}  // namespace

void BeginWakeBatch() {
    const std::int64_t now = NowUs();
    const bool quiet = now - lastPassUs >= QUIET_GAP_US;
    lastPassUs = now;
    batch = WakeBatch{true, quiet, false, false};
}

void EndWakeBatch() {
    const bool handedOver = batch.handedOver;
    batch = WakeBatch{};
    if (handedOver) {
        OsSetEvent(relayEvent);  // no system call when the relay is awake
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
    if (batch.wakesAll || !batch.wokeOne || OsAtomicLoadSeqCst(&relayRunning) == 0) {
        batch.wokeOne = true;
        (void)OsWakeEventWaiter(wake);
        return;
    }
    OsAtomicFetchOr(&pendingSlots, Bit(slot));
    batch.handedOver = true;
}

bool StartWakeRelay() {
    if (relayThread != OS_NO_HANDLE || !OsEventWakesCanBeOwed()) {
        return true;  // running, or not needed: every set wakes its waiter itself
    }
    if (relayEvent == OS_NO_HANDLE) {
        relayEvent = OsCreateEvent(nullptr, false, false);
        if (relayEvent == OS_NO_HANDLE) {
            return false;
        }
    }
    OsAtomicStore(&relayStop, 0u);
    relayThread = OsCreateThread(RelayMain, nullptr, nullptr);
    if (relayThread == OS_NO_HANDLE) {
        return false;
    }
    // At normal priority, as the clients: at the dispatch thread's, it would
    // take a processor from them for as long as a stream lasts.
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
