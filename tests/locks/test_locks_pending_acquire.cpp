// The bounded acquire that a server uses on a client's lock: it gives up on a
// live holder after its limit and leaves its acquire pending; the hand-over that
// comes later completes it, without waiting and without ever letting two
// parties in; an owner that ends while the acquire is pending is reported.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "locks/mutex.h"
#include "platform/event.h"
#include "platform/process.h"
#include "support/child.h"

namespace {

struct TwoSides {
    std::int32_t word = LOCK_FREE;
    EventMutex client{}, server{};
    OsHandle self = OS_NO_HANDLE;
    TwoSides() {
        const std::string name = UniqueName("pending lock");
        EXPECT_EQ(OpenEventMutex(&client, &word, name.c_str()), 0);
        EXPECT_EQ(OpenEventMutex(&server, &word, name.c_str()), 0);
        self = OsOpenProcess(OsCurrentProcessId());
        EXPECT_NE(self, OS_NO_HANDLE);
    }
    ~TwoSides() {
        CloseEventMutex(&client);
        CloseEventMutex(&server);
        OsCloseHandle(self);
    }
};

TEST(LocksPendingAcquire, ALiveHolderMakesItPendingAndItsReleaseCompletesIt) {
    TwoSides s;
    AcquireEventMutex(&s.client);
    EXPECT_EQ(AcquireEventMutexWithin(&s.server, s.self, 5, 30), EVENT_MUTEX_PENDING);
    EXPECT_EQ(s.word, 1) << "the pending acquire still counts as a waiter";
    EXPECT_EQ(CompletePendingEventMutex(&s.server, s.self), EVENT_MUTEX_PENDING);
    ReleaseEventMutex(&s.client);
    EXPECT_EQ(CompletePendingEventMutex(&s.server, s.self), 0);

    // The server holds it now: the client waits until the server lets go.
    std::atomic<bool> clientIn{false};
    std::thread client([&] {
        AcquireEventMutex(&s.client);
        clientIn = true;
        ReleaseEventMutex(&s.client);
    });
    OsSleep(50);
    EXPECT_FALSE(clientIn.load());
    ReleaseEventMutex(&s.server);
    client.join();
    EXPECT_TRUE(clientIn.load());
    EXPECT_EQ(s.word, LOCK_FREE) << "nothing is left counted";
}

TEST(LocksPendingAcquire, AFreeLockIsTakenAtOnceAndAnUnboundedWaitStillWaits) {
    TwoSides s;
    EXPECT_EQ(AcquireEventMutexWithin(&s.server, s.self, 5, 30), 0);
    ReleaseEventMutex(&s.server);
    AcquireEventMutex(&s.client);
    std::thread release([&] {
        OsSleep(100);
        ReleaseEventMutex(&s.client);
    });
    EXPECT_EQ(AcquireEventMutexWithin(&s.server, s.self, 5, OS_INFINITE), 0);
    release.join();
    ReleaseEventMutex(&s.server);
    EXPECT_EQ(s.word, LOCK_FREE);
}

KQ_CHILD_ROLE(locks_pending_exit) {
    (void)args;
    return 0;
}

TEST(LocksPendingAcquire, AnOwnerThatEndsWhileItIsPendingIsReported) {
    TwoSides s;
    std::uint32_t pid = 0;
    OsHandle owner = SpawnChild("locks_pending_exit", {}, &pid);
    ASSERT_NE(owner, OS_NO_HANDLE);
    OsHandle watch = OsOpenProcess(pid);
    AcquireEventMutex(&s.client);  // held for good, as by an owner that died holding it
    const std::int32_t first = AcquireEventMutexWithin(&s.server, watch, 5, 30);
    EXPECT_EQ(WaitChild(owner, 10000), 0);
    if (first == EVENT_MUTEX_PENDING) {
        EXPECT_EQ(CompletePendingEventMutex(&s.server, watch), -1);
    } else {
        EXPECT_EQ(first, -1);  // it had ended already
    }
    OsCloseHandle(watch);
}

}  // namespace
