// The client library's wait for its block's lock: a server that dies holding the
// lock costs a take no more than a few poll steps (the lock is taken back), and
// a server that lives and keeps it costs a take at most the library's bound, the
// next take then completing the same acquire. A helper process stands in for the
// server: it opens this process's block with the server side and holds its lock.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>

#include "kqvxi/client.h"
#include "platform/atomic.h"
#include "platform/event.h"
#include "platform/mapping.h"
#include "platform/process.h"
#include "queue/block_mapping.h"
#include "queue/lifecycle.h"
#include "support/child.h"
#include "support/client_slots.h"

namespace {

const bool privateNamespace = setenv("KQVXI_NAMESPACE", "kqtest-client-lock", 0) == 0;

using Clock = std::chrono::steady_clock;

double MsSince(Clock::time_point t) {
    return std::chrono::duration<double, std::milli>(Clock::now() - t).count();
}

// A take run on its own thread, so that a take that never returns fails the
// test instead of hanging it.
struct TakeThread {
    kqvxi_queue* queue;
    int status = 1;  // 1: not returned yet
    Clock::time_point returnedAt{};
    kqvxi_record record{};

    void Start() {
        std::thread([this] {
            int s = kqvxi_queue_take(queue, &record);
            returnedAt = Clock::now();
            OsAtomicStore(&status, s);
        }).detach();
    }
    // The take's status once it returned within limitMs, else 1.
    int WaitReturned(std::uint32_t limitMs) {
        const auto end = Clock::now() + std::chrono::milliseconds(limitMs);
        while (OsAtomicLoad(&status) == 1 && Clock::now() < end) {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        return OsAtomicLoad(&status);
    }
};

}  // namespace

// args: client pid, ready event, release event ("-": hold until killed).
// Opens the client's block with the server side, takes its lock, says ready,
// and gives the lock back when the release event is set.
KQ_CHILD_ROLE(server_holding_lock) {
    const std::uint32_t pid = static_cast<std::uint32_t>(std::stoul(args.at(0)));
    AsyncQueueBlock* block = OpenQueueBlock(0, pid, SIDE_SERVER);
    if (block == nullptr) {
        return 2;
    }
    AcquireEventMutex(SlotLock(0));
    OsHandle ready = OsCreateEvent(args.at(1).c_str(), false, false);
    OsSetEvent(ready);
    if (args.at(2) == "-") {
        for (;;) {
            OsSleep(1000);
        }
    }
    OsHandle release = OsCreateEvent(args.at(2).c_str(), false, false);
    if (OsWaitForObject(release, 60000) != OS_WAIT_OBJECT_0) {
        return 3;
    }
    ReleaseEventMutex(SlotLock(0));
    OsSleep(60000);  // keeps the block mapped until the test kills it
    return 0;
}

TEST(ReliabilityClientLock, TakeReturnsSoonAfterTheServerHoldingTheLockIsKilled) {
    ASSERT_TRUE(privateNamespace);
    kqvxi_queue* queue = kqvxi_queue_open();
    ASSERT_NE(queue, nullptr);
    const std::string ready = UniqueName("client-lock-ready");
    ReadyChild holder = StartReady("server_holding_lock",
                                   {std::to_string(OsCurrentProcessId()), ready, "-"}, ready);
    ASSERT_NE(holder.handle, OS_NO_HANDLE);

    TakeThread take{queue};
    take.Start();
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_EQ(OsAtomicLoad(&take.status), 1) << "the take must wait while the server holds";

    ASSERT_TRUE(OsKillProcess(holder.handle));
    ASSERT_EQ(OsWaitForObject(holder.handle, 10000), OS_WAIT_OBJECT_0);
    const Clock::time_point died = Clock::now();
    OsCloseHandle(holder.handle);

    // A take that timed out before the kill (a very slow machine) is retried:
    // the retry completes the same acquire.
    int status = take.WaitReturned(5000);
    while (status == KQVXI_E_TIMEOUT) {
        take.status = 1;
        take.Start();
        status = take.WaitReturned(5000);
    }
    ASSERT_NE(status, 1) << "the take still waits 5 s after the server died";
    EXPECT_EQ(status, KQVXI_E_EMPTY);
    const double afterDeath =
        std::chrono::duration<double, std::milli>(take.returnedAt - died).count();
    std::printf("take returned %.1f ms after the holding server died\n",
                afterDeath < 0 ? 0.0 : afterDeath);
    EXPECT_LT(afterDeath, 1000.0) << "the design answers within a few 10 ms poll steps";

    // The lock is whole again: a take passes at once and leaves it free.
    kqvxi_record r{};
    const Clock::time_point again = Clock::now();
    EXPECT_EQ(kqvxi_queue_take(queue, &r), KQVXI_E_EMPTY);
    std::printf("next take: %.2f ms\n", MsSince(again));
    OsHandle mapping = OS_NO_HANDLE;
    AsyncQueueBlock* view = MapQueueBlock(OsCurrentProcessId(), &mapping);
    ASSERT_NE(view, nullptr);
    EXPECT_EQ(OsAtomicLoad(&view->lockCount), LOCK_FREE);
    OsUnmapView(view);
    OsCloseHandle(mapping);
    kqvxi_queue_close(queue);
}

TEST(ReliabilityClientLock, LiveHolderCostsATakeTheBoundAndTheNextTakeCompletesIt) {
    ASSERT_TRUE(privateNamespace);
    kqvxi_queue* queue = kqvxi_queue_open();
    ASSERT_NE(queue, nullptr);
    const std::string ready = UniqueName("client-lock-ready");
    const std::string release = UniqueName("client-lock-release");
    OsHandle releaseEvent = OsCreateEvent(release.c_str(), false, false);
    ASSERT_NE(releaseEvent, OS_NO_HANDLE);
    ReadyChild holder = StartReady("server_holding_lock",
                                   {std::to_string(OsCurrentProcessId()), ready, release}, ready);
    ASSERT_NE(holder.handle, OS_NO_HANDLE);

    TakeThread take{queue};
    const Clock::time_point start = Clock::now();
    take.Start();
    const int status = take.WaitReturned(10000);
    const double waited =
        std::chrono::duration<double, std::milli>(take.returnedAt - start).count();
    std::printf("take gave up after %.1f ms while a live server held the lock\n", waited);
    ASSERT_EQ(status, KQVXI_E_TIMEOUT) << "a take must not wait for ever on a live holder";
    EXPECT_GE(waited, 400.0);

    // The holder gives the lock back: the next take completes the pending
    // acquire (it does not count itself in a second time) and the word balances.
    ASSERT_TRUE(OsSetEvent(releaseEvent));
    TakeThread next{queue};
    next.Start();
    EXPECT_EQ(next.WaitReturned(5000), KQVXI_E_EMPTY);
    OsHandle mapping = OS_NO_HANDLE;
    AsyncQueueBlock* view = MapQueueBlock(OsCurrentProcessId(), &mapping);
    ASSERT_NE(view, nullptr);
    EXPECT_EQ(OsAtomicLoad(&view->lockCount), LOCK_FREE);
    kqvxi_record r{};
    EXPECT_EQ(kqvxi_queue_take(queue, &r), KQVXI_E_EMPTY);
    EXPECT_EQ(OsAtomicLoad(&view->lockCount), LOCK_FREE);
    OsUnmapView(view);
    OsCloseHandle(mapping);

    OsKillProcess(holder.handle);
    WaitChild(holder.handle, 10000);
    OsCloseHandle(releaseEvent);
    kqvxi_queue_close(queue);
}
