// Named mutexes: recursion for the owner, refusal for others, and "abandoned"
// when the owner thread or process ends holding it.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <thread>

#include "platform/event.h"
#include "platform/named_mutex.h"
#include "platform/thread.h"
#include "support/child.h"

TEST(PlatformMutex, OwnerMayTakeItAgainAndReleasesEachLevel) {
    std::string name = UniqueName("mx");
    OsHandle m = OsCreateMutex(name.c_str());
    OsHandle same = OsCreateMutex(name.c_str());  // a second handle to the same mutex
    ASSERT_NE(m, OS_NO_HANDLE);
    ASSERT_NE(same, OS_NO_HANDLE);
    EXPECT_EQ(OsWaitForObject(m, 0), OS_WAIT_OBJECT_0);
    EXPECT_EQ(OsWaitForObject(same, 0), OS_WAIT_OBJECT_0);
    EXPECT_EQ(OsWaitForObject(m, 100), OS_WAIT_OBJECT_0);
    EXPECT_TRUE(OsReleaseMutex(same));
    EXPECT_TRUE(OsReleaseMutex(m));
    EXPECT_TRUE(OsReleaseMutex(m));
    EXPECT_FALSE(OsReleaseMutex(m));  // no level left
    OsCloseHandle(same);
    OsCloseHandle(m);
}

TEST(PlatformMutex, AnotherThreadTimesOutAndCannotRelease) {
    OsHandle m = OsCreateMutex(UniqueName("mx").c_str());
    ASSERT_NE(m, OS_NO_HANDLE);
    ASSERT_EQ(OsWaitForObject(m, 0), OS_WAIT_OBJECT_0);
    std::uint32_t polled = 0;
    std::uint32_t limited = 0;
    bool released = true;
    std::thread([&] {
        polled = OsWaitForObject(m, 0);
        limited = OsWaitForObject(m, 50);
        released = OsReleaseMutex(m);
    }).join();
    EXPECT_EQ(polled, OS_WAIT_TIMEOUT);
    EXPECT_EQ(limited, OS_WAIT_TIMEOUT);
    EXPECT_FALSE(released);
    EXPECT_TRUE(OsReleaseMutex(m));
    std::uint32_t after = 0;
    std::thread([&] {
        after = OsWaitForObject(m, 1000);
        OsReleaseMutex(m);
    }).join();
    EXPECT_EQ(after, OS_WAIT_OBJECT_0);
    OsCloseHandle(m);
}

namespace {
std::uint32_t TakeTwiceAndEnd(void* mutex) {
    OsHandle m = *static_cast<OsHandle*>(mutex);
    OsWaitForObject(m, 1000);
    OsWaitForObject(m, 1000);
    return 7;
}
}  // namespace

TEST(PlatformMutex, OwnerThreadEndingHoldingItAbandonsIt) {
    OsHandle m = OsCreateMutex(UniqueName("mx").c_str());
    ASSERT_NE(m, OS_NO_HANDLE);
    OsHandle t = OsCreateThread(TakeTwiceAndEnd, &m, nullptr);
    ASSERT_NE(t, OS_NO_HANDLE);
    ASSERT_EQ(OsWaitForObject(t, 10000), OS_WAIT_OBJECT_0);
    // Once the thread's handle is signalled, the mutex reads as abandoned at once.
    EXPECT_EQ(OsWaitForObject(m, 0), OS_WAIT_ABANDONED);
    // Now owned once by this thread, whatever depth the dead owner had.
    EXPECT_EQ(OsWaitForObject(m, 0), OS_WAIT_OBJECT_0);
    EXPECT_TRUE(OsReleaseMutex(m));
    EXPECT_TRUE(OsReleaseMutex(m));
    EXPECT_FALSE(OsReleaseMutex(m));
    OsCloseHandle(t);
    OsCloseHandle(m);
}

// args: mutex name, event name. Takes the mutex, signals, and ends holding it.
KQ_CHILD_ROLE(mutex_holder) {
    OsHandle m = OsCreateMutex(args.at(0).c_str());
    OsHandle ev = OsCreateEvent(args.at(1).c_str(), true, false);
    if (m == OS_NO_HANDLE || ev == OS_NO_HANDLE || OsWaitForObject(m, 5000) != OS_WAIT_OBJECT_0) {
        return 3;
    }
    OsSetEvent(ev);
    return 0;
}

// args: mutex name. 0 when the mutex is held elsewhere (a poll times out).
KQ_CHILD_ROLE(mutex_poller) {
    OsHandle m = OsCreateMutex(args.at(0).c_str());
    if (m == OS_NO_HANDLE) {
        return 3;
    }
    return OsWaitForObject(m, 0) == OS_WAIT_TIMEOUT ? 0 : 1;
}

TEST(PlatformMutex, OwnerProcessEndingHoldingItAbandonsIt) {
    std::string name = UniqueName("mx");
    std::string evName = UniqueName("held");
    OsHandle m = OsCreateMutex(name.c_str());
    OsHandle ev = OsCreateEvent(evName.c_str(), true, false);
    ASSERT_NE(m, OS_NO_HANDLE);
    EXPECT_EQ(WaitChild(SpawnChild("mutex_holder", {name, evName}), 20000), 0);
    EXPECT_EQ(OsWaitForObject(ev, 0), OS_WAIT_OBJECT_0);
    EXPECT_EQ(OsWaitForObject(m, 5000), OS_WAIT_ABANDONED);
    EXPECT_EQ(WaitChild(SpawnChild("mutex_poller", {name}), 20000), 0);
    EXPECT_TRUE(OsReleaseMutex(m));
    OsCloseHandle(ev);
    OsCloseHandle(m);
}
