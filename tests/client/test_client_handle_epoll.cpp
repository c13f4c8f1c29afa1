// The handle's descriptor in an epoll loop: 10,000 records through it in order,
// none twice, and every one either received or counted as dropped; and the
// latency the descriptor bridge adds to a wake-up, printed.
#include <gtest/gtest.h>
#include <sys/epoll.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <thread>
#include <vector>

#include "client_server.h"
#include "kqvxi/kqvxi.h"
#include "platform/atomic.h"
#include "platform/event.h"
#include "platform/process.h"

namespace {

using client_test::Clock;
using client_test::InjectRetrying;
using client_test::MsSince;

constexpr std::uint32_t RECORDS = 10000;

class ClientHandleEpoll : public client_test::ServerTest {
  protected:
    void TearDown() override {
        if (epollFd >= 0) {
            close(epollFd);
        }
        ServerTest::TearDown();
    }
    // An epoll set watching the handle's descriptor.
    void WatchDescriptor() {
        intptr_t d = -1;
        ASSERT_EQ(kqvxi_client_descriptor(client, &d), KQVXI_OK);
        intptr_t again = -2;
        ASSERT_EQ(kqvxi_client_descriptor(client, &again), KQVXI_OK);
        EXPECT_EQ(again, d) << "one descriptor per handle";
        epollFd = epoll_create1(EPOLL_CLOEXEC);
        ASSERT_GE(epollFd, 0);
        epoll_event e{};
        e.events = EPOLLIN;
        e.data.fd = static_cast<int>(d);
        ASSERT_EQ(epoll_ctl(epollFd, EPOLL_CTL_ADD, static_cast<int>(d), &e), 0);
    }
    // Reads with timeout 0 until the ring is empty; appends the class-5 values.
    bool DrainReady(std::vector<std::uint32_t>* values) {
        kqvxi_event ev[64];
        for (;;) {
            const int n = kqvxi_client_read(client, ev, 64, 0);
            if (n < 0) {
                ADD_FAILURE() << kqvxi_strerror(n);
                return false;
            }
            if (n == 0) {
                return true;
            }
            for (int i = 0; i < n; ++i) {
                if (ev[i].cls == KQVXI_CLASS_5) {
                    values->push_back(ev[i].value);
                }
            }
        }
    }
    int epollFd = -1;
};

TEST_F(ClientHandleEpoll, TenThousandRecordsInOrderNoneTwiceDropsCounted) {
    ASSERT_NO_FATAL_FAILURE(StartServer(0));
    ASSERT_EQ(kqvxi_client_open(controller, nullptr, &client), KQVXI_OK);
    ASSERT_EQ(kqvxi_select_class(client, 5, 1), KQVXI_OK);
    ASSERT_NO_FATAL_FAILURE(WatchDescriptor());

    int injected = 0;
    int stop = 0;
    std::thread injector([&] {
        for (std::uint32_t i = 0; i < RECORDS && OsAtomicLoad(&stop) == 0; ++i) {
            if (!InjectRetrying([&] {
                    return kqvxi_inject_class(controller, 5, static_cast<std::uint16_t>(i));
                })) {
                break;
            }
            OsAtomicStore(&injected, static_cast<int>(i + 1));
        }
    });
    std::vector<std::uint32_t> values;
    values.reserve(RECORDS);
    kqvxi_stats s{};
    std::uint64_t wakes = 0;
    bool drained = true;
    bool complete = false;
    const Clock::time_point start = Clock::now();
    while (drained && !complete && MsSince(start) < 120000.0) {
        epoll_event e{};
        const int ready = epoll_wait(epollFd, &e, 1, 100);
        wakes += ready > 0 ? 1 : 0;
        drained = DrainReady(&values);
        drained = drained && kqvxi_client_stats(client, &s) == KQVXI_OK;
        complete = OsAtomicLoad(&injected) == static_cast<int>(RECORDS) &&
                   values.size() + s.dropped >= RECORDS;
    }
    OsAtomicStore(&stop, 1);
    injector.join();
    std::printf(
        "%d injected, %zu received, %llu dropped (%llu ring full), %llu wake-ups, %.0f ms\n",
        OsAtomicLoad(&injected), values.size(), static_cast<unsigned long long>(s.dropped),
        static_cast<unsigned long long>(s.dropped_full), static_cast<unsigned long long>(wakes),
        MsSince(start));
    ASSERT_TRUE(drained);
    ASSERT_TRUE(complete) << "every record received or counted as dropped within 2 minutes";
    for (std::size_t i = 1; i < values.size(); ++i) {
        ASSERT_LT(values[i - 1], values[i]) << "order, no duplicates at " << i;
    }
    EXPECT_EQ(values.size() + s.dropped, RECORDS);
    EXPECT_EQ(s.received, values.size());
    EXPECT_EQ(s.delivered, values.size());
    EXPECT_EQ(kqvxi_client_close(client), KQVXI_OK);
}

double Percentile(std::vector<double> v, double p) {
    std::sort(v.begin(), v.end());
    return v[static_cast<std::size_t>(p * static_cast<double>(v.size() - 1))];
}

TEST_F(ClientHandleEpoll, TheBridgeCostOfAWakeUpIsPrinted) {
    constexpr int ROUNDS = 1000;
    ASSERT_NO_FATAL_FAILURE(StartServer(1));
    ASSERT_EQ(kqvxi_client_open(controller, nullptr, &client), KQVXI_OK);
    ASSERT_NO_FATAL_FAILURE(WatchDescriptor());
    char name[64];
    std::snprintf(name, sizeof name, "X%lxKQ-VXI Intr Proc Event",
                  static_cast<unsigned long>(OsCurrentProcessId()));
    OsHandle wake = OsCreateEvent(name, false, false);
    ASSERT_NE(wake, OS_NO_HANDLE);

    // Rounds alternate between the two paths, so both see the same load:
    // direct, a thread that waits on an event of the same kind wakes; bridged,
    // the server's set of the wake event until epoll returns on the descriptor.
    OsHandle event = OsCreateEvent(nullptr, false, false);
    OsHandle back = OsCreateEvent(nullptr, false, false);
    Clock::time_point setAt;
    double wokeAfterUs = 0;
    int stop = 0;
    std::thread waiter([&] {
        while (OsWaitForObject(event, OS_INFINITE) == OS_WAIT_OBJECT_0 &&
               OsAtomicLoad(&stop) == 0) {
            wokeAfterUs = MsSince(setAt) * 1000.0;
            OsSetEvent(back);
        }
    });
    std::vector<double> direct;
    std::vector<double> bridged;
    std::vector<std::uint32_t> none;
    bool ok = true;
    for (int i = 0; i < ROUNDS && ok; ++i) {
        OsSleep(1);
        setAt = Clock::now();
        OsSetEvent(event);
        OsWaitForObject(back, OS_INFINITE);
        direct.push_back(wokeAfterUs);

        epoll_event e{};
        while (ok && epoll_wait(epollFd, &e, 1, 0) > 0) {
            ok = DrainReady(&none);  // clears the descriptor
        }
        OsSleep(1);
        const Clock::time_point t = Clock::now();
        OsSetEvent(wake);
        ok = ok && epoll_wait(epollFd, &e, 1, 5000) == 1;
        bridged.push_back(MsSince(t) * 1000.0);
    }
    OsAtomicStore(&stop, 1);
    OsSetEvent(event);
    waiter.join();
    OsCloseHandle(event);
    OsCloseHandle(back);
    OsCloseHandle(wake);
    ASSERT_TRUE(ok);
    EXPECT_TRUE(none.empty());
    std::printf(
        "wake-up latency, us: direct median %.1f p99 %.1f; through the bridge median "
        "%.1f p99 %.1f; the bridge adds about %.1f us (median)\n",
        Percentile(direct, 0.5), Percentile(direct, 0.99), Percentile(bridged, 0.5),
        Percentile(bridged, 0.99), Percentile(bridged, 0.5) - Percentile(direct, 0.5));
    EXPECT_EQ(kqvxi_client_close(client), KQVXI_OK);
}

}  // namespace

// The descriptor also tells of a server's end (which sets no wake event): it
// turns readable, and the read then answers KQVXI_E_SERVER_GONE.
TEST_F(ClientHandleEpoll, TheDescriptorTurnsReadableWhenTheServerEnds) {
    ASSERT_NO_FATAL_FAILURE(StartServer(2));
    ASSERT_EQ(kqvxi_client_open(controller, nullptr, &client), KQVXI_OK);
    ASSERT_NO_FATAL_FAILURE(WatchDescriptor());
    std::vector<std::uint32_t> values;
    epoll_event e{};
    epoll_wait(epollFd, &e, 1, 0);
    ASSERT_TRUE(DrainReady(&values));  // the first signal, given when it was made
    ASSERT_NO_FATAL_FAILURE(KillServer());
    const Clock::time_point killed = Clock::now();
    int status = 0;
    while (status == 0 && MsSince(killed) < 20000.0) {
        if (epoll_wait(epollFd, &e, 1, 20000) <= 0) {
            break;
        }
        kqvxi_event ev[4];
        status = kqvxi_client_read(client, ev, 4, 0);
    }
    std::printf("the server's end was seen through the descriptor %.1f ms after the kill\n",
                MsSince(killed));
    EXPECT_EQ(status, KQVXI_E_SERVER_GONE);
}
