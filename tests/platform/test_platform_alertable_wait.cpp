// The POSIX backend's waits that a signal ends (OsWaitForObjectAlertable) and
// its poll descriptors: a handled signal ends an alertable event wait even
// with SA_RESTART and leaves a plain wait alone; a grant that comes is still
// taken; a poll descriptor is readable exactly between a signal and a clear.
#include <gtest/gtest.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>

#include <chrono>
#include <thread>

#include "platform/atomic.h"
#include "platform/event.h"
#include "platform/poll_descriptor.h"

namespace {

int handled = 0;
extern "C" void CountSignal(int) {
    OsAtomicFetchAdd(&handled, 1);
}

// Runs wait on a thread, sends it SIGUSR1 (handler with SA_RESTART) every
// 20 ms while it waits, and gives wait's result.
template <typename Wait>
std::uint32_t WaitUnderSignals(Wait wait, int* sent) {
    struct sigaction action {};
    action.sa_handler = CountSignal;
    action.sa_flags = SA_RESTART;
    sigemptyset(&action.sa_mask);
    struct sigaction previous {};
    EXPECT_EQ(sigaction(SIGUSR1, &action, &previous), 0);
    std::uint32_t result = 0xDEADu;
    int done = 0;
    std::thread waiter([&] {
        result = wait();
        OsAtomicStore(&done, 1);
    });
    *sent = 0;
    for (int i = 0; i < 25 && OsAtomicLoad(&done) == 0; ++i) {
        OsSleep(20);
        if (OsAtomicLoad(&done) == 0) {
            pthread_kill(waiter.native_handle(), SIGUSR1);
            ++*sent;
        }
    }
    waiter.join();
    sigaction(SIGUSR1, &previous, nullptr);
    return result;
}

TEST(PlatformAlertableWait, ASignalEndsOnlyTheAlertableWait) {
    OsHandle event = OsCreateEvent(nullptr, false, false);
    ASSERT_NE(event, OS_NO_HANDLE);
    int sent = 0;
    EXPECT_EQ(WaitUnderSignals([&] { return OsWaitForObjectAlertable(event, OS_INFINITE); }, &sent),
              OS_WAIT_INTERRUPTED);
    EXPECT_GE(sent, 1);
    // The plain wait sleeps through every signal until its time is up.
    EXPECT_EQ(WaitUnderSignals([&] { return OsWaitForObject(event, 300); }, &sent),
              OS_WAIT_TIMEOUT);
    EXPECT_GE(sent, 5);

    // Without signals it is an ordinary wait: set, time-out, auto-reset.
    EXPECT_EQ(OsWaitForObjectAlertable(event, 10), OS_WAIT_TIMEOUT);
    ASSERT_TRUE(OsSetEvent(event));
    EXPECT_EQ(OsWaitForObjectAlertable(event, 1000), OS_WAIT_OBJECT_0);
    EXPECT_EQ(OsWaitForObjectAlertable(event, 0), OS_WAIT_TIMEOUT);
    EXPECT_EQ(OsWaitForObjectAlertable(OS_NO_HANDLE, 0), OS_WAIT_FAILED);
    OsCloseHandle(event);
}

bool Readable(std::intptr_t d) {
    pollfd p{static_cast<int>(d), POLLIN, 0};
    return poll(&p, 1, 0) == 1 && (p.revents & POLLIN) != 0;
}

TEST(PlatformPollDescriptor, ReadableFromASignalUntilTheNextClear) {
    const std::intptr_t d = OsCreatePollDescriptor();
    ASSERT_NE(d, OS_NO_DESCRIPTOR);
    EXPECT_FALSE(Readable(d));
    OsClearPollDescriptor(d);  // clearing a clear one does not block
    ASSERT_TRUE(OsSignalPollDescriptor(d));
    ASSERT_TRUE(OsSignalPollDescriptor(d));
    EXPECT_TRUE(Readable(d));
    OsClearPollDescriptor(d);
    EXPECT_FALSE(Readable(d)) << "one clear undoes any number of signals";
    OsClosePollDescriptor(d);

    OsHandle event = OsCreateEvent(nullptr, false, false);
    EXPECT_EQ(OsNativeEventHandle(event), OS_NO_DESCRIPTOR) << "no native waitable on POSIX";
    OsCloseHandle(event);
}

}  // namespace
