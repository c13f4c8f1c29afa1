// kqvxi_client_read: taking records from this process's ring and decoding them,
// waiting for the wake event in steps, and at each step looking after the
// server: when it has ended or been replaced, what is left in the ring is
// handed out first, then the read either registers with a new server
// (KQVXI_OPEN_REREGISTER, answered once with KQVXI_E_RESTARTED) or answers
// KQVXI_E_SERVER_GONE. An interrupt, a close, or on Linux a signal handled by
// the reading thread ends a wait.
#include <chrono>
#include <thread>

#include "client/handle.h"
#include "client/queue_consumer.h"
#include "platform/atomic.h"
#include "platform/event.h"

namespace {

using Clock = std::chrono::steady_clock;

// A wait for the wake event lasts at most this long before the read looks at
// the server again (a server that ends sets no event).
constexpr std::uint32_t READ_WAIT_STEP_MS = 100;
// Checks of the ring a coalescing read makes before it sleeps again.
constexpr std::uint32_t COALESCE_CHECKS = 20;

std::uint32_t RemainingMs(Clock::time_point start, std::uint32_t timeoutMs) {
    if (timeoutMs == KQVXI_INFINITE) {
        return KQVXI_INFINITE;
    }
    const auto spent =
        std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
    return spent >= timeoutMs ? 0 : timeoutMs - static_cast<std::uint32_t>(spent);
}

// Takes up to max records and decodes them: how many, or the queue's
// KQVXI_E_TIMEOUT (the server kept the ring's lock) when none was taken.
int DrainInto(kqvxi_client* client, kqvxi_event* events, int max) {
    kqvxi_record batch[QUEUE_DEPTH];
    int total = 0;
    while (total < max) {
        const int want = max - total < static_cast<int>(QUEUE_DEPTH)
                             ? max - total
                             : static_cast<int>(QUEUE_DEPTH);
        const int n = kqvxi_queue_drain(client->queue, batch, want);
        if (n < 0) {
            return total > 0 ? total : n;
        }
        for (int i = 0; i < n; ++i) {
            DecodeRecord(batch[i], &events[total + i]);
        }
        total += n;
        if (n < want) {
            break;
        }
    }
    return total;
}

bool WaitShouldEnd(kqvxi_client* client) {
    return OsAtomicLoad(&client->closed) != 0 || OsAtomicLoad(&client->interruptPending) != 0 ||
           QueueMayHoldRecords(client->queue);
}

// Spinning and coalescing before a sleep (both off by default): true when the
// ring may hold records (or the wait must end), so the read drains again.
bool PollBeforeSleep(kqvxi_client* client, std::uint32_t leftMs) {
    const std::uint64_t leftUs =
        leftMs == KQVXI_INFINITE ? UINT64_MAX : static_cast<std::uint64_t>(leftMs) * 1000u;
    if (client->spinUs > 0) {
        const auto end = Clock::now() + std::chrono::microseconds(
                                            client->spinUs < leftUs ? client->spinUs : leftUs);
        while (Clock::now() < end) {
            if (WaitShouldEnd(client)) {
                return true;
            }
        }
    }
    if (client->coalesceUs > 0 && OsAtomicExchange(&client->recentWake, std::int32_t{0}) != 0) {
        std::uint64_t spent = 0;
        for (std::uint32_t i = 0; i < COALESCE_CHECKS && spent + client->coalesceUs <= leftUs;
             ++i) {
            std::this_thread::sleep_for(std::chrono::microseconds(client->coalesceUs));
            spent += client->coalesceUs;
            if (WaitShouldEnd(client)) {
                return true;
            }
        }
    }
    return false;
}

// The read's loop; the caller counts it among the handle's readers.
int ReadInside(kqvxi_client* client, kqvxi_event* events, int max, std::uint32_t timeoutMs) {
    const Clock::time_point start = Clock::now();
    for (;;) {
        if (OsAtomicLoadSeqCst(&client->closed) != 0) {
            return KQVXI_E_CLOSED;
        }
        const bool bridged = OsAtomicLoad(&client->bridgeRunning) != 0;
        if (bridged) {
            ClearDescriptor(client);
        }
        const int n = DrainInto(client, events, max);
        if (n != 0) {
            if (n > 0) {
                OsAtomicFetchAdd(&client->received, static_cast<std::uint64_t>(n));
                OsAtomicStore(&client->recentWake, std::int32_t{1});
            }
            // A full batch may have left records behind, and a failed one all of
            // them: the descriptor stays readable for them.
            if (bridged && (n == max || n < 0)) {
                SignalDescriptor(client);
            }
            return n;
        }
        if (ServerReplaced(client)) {
            // Once more through the ring first: records the server posted
            // before it ended are still this client's.
            if (OsAtomicExchange(&client->serverGone, std::int32_t{1}) == 0) {
                continue;
            }
            if ((client->flags & KQVXI_OPEN_REREGISTER) == 0) {
                return KQVXI_E_SERVER_GONE;
            }
            const int status = Reregister(client);
            if (status == KQVXI_OK) {
                return KQVXI_E_RESTARTED;
            }
            if (status == REREGISTERED_BEFORE) {
                continue;
            }
            if (status == KQVXI_E_CLOSED) {
                return status;
            }
        }
        // An interrupt is for a read that waits: one that would return now
        // leaves it to the read it was meant for.
        const std::uint32_t left = RemainingMs(start, timeoutMs);
        if (left == 0) {
            return 0;
        }
        if (OsAtomicExchange(&client->interruptPending, std::int32_t{0}) != 0) {
            return KQVXI_E_INTERRUPTED;
        }
        if (PollBeforeSleep(client, left)) {
            continue;
        }
        // While the bridge runs it alone waits on the wake event and passes
        // each wake-up on to readerWake.
        const OsHandle waitOn = bridged ? client->readerWake : client->wake;
        const std::uint32_t got =
            OsWaitForObjectAlertable(waitOn, left < READ_WAIT_STEP_MS ? left : READ_WAIT_STEP_MS);
        if (got == OS_WAIT_INTERRUPTED) {
            return KQVXI_E_INTERRUPTED;
        }
        if (got == OS_WAIT_FAILED) {
            return KQVXI_E_SYSTEM;
        }
        if (got == OS_WAIT_OBJECT_0) {
            OsAtomicStore(&client->recentWake, std::int32_t{1});
        }
    }
}

}  // namespace

extern "C" KQVXI_API int kqvxi_client_read(kqvxi_client* client, kqvxi_event* events, int max,
                                           uint32_t timeout_ms) {
    if (client == nullptr || events == nullptr || max <= 0) {
        return KQVXI_E_ARG;
    }
    // Counted before the closed flag is looked at: a close waits for every
    // read it did not see start.
    OsAtomicFetchAdd(&client->readers, std::int32_t{1});
    const int result = ReadInside(client, events, max, timeout_ms);
    OsAtomicFetchSub(&client->readers, std::int32_t{1});
    return result;
}
