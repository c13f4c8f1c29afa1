// A signal handled by a reading thread ends its infinite wait with
// KQVXI_E_INTERRUPTED, even with a handler installed with SA_RESTART.
#include <gtest/gtest.h>
#include <pthread.h>
#include <signal.h>

#include <cstdio>
#include <thread>

#include "client_server.h"
#include "kqvxi/kqvxi.h"
#include "platform/atomic.h"

namespace {

using client_test::Clock;
using client_test::MsSince;

int signalsHandled = 0;
extern "C" void CountSignal(int) {
    OsAtomicFetchAdd(&signalsHandled, 1);
}

class ClientHandleSignal : public client_test::ServerTest {};

TEST_F(ClientHandleSignal, ASignalWithRestartEndsAnInfiniteRead) {
    ASSERT_NO_FATAL_FAILURE(StartServer(0));
    struct sigaction action {};
    action.sa_handler = CountSignal;
    action.sa_flags = SA_RESTART;
    sigemptyset(&action.sa_mask);
    struct sigaction previous {};
    ASSERT_EQ(sigaction(SIGUSR1, &action, &previous), 0);
    ASSERT_EQ(kqvxi_client_open(controller, nullptr, &client), KQVXI_OK);

    int result = 1;
    int done = 0;
    std::thread reader([&] {
        kqvxi_event ev[4];
        result = kqvxi_client_read(client, ev, 4, KQVXI_INFINITE);
        OsAtomicStore(&done, 1);
    });
    OsSleep(50);
    // A signal that lands while the reader is between waits is handled
    // without ending the read; the next one finds it waiting.
    const Clock::time_point start = Clock::now();
    int sent = 0;
    while (OsAtomicLoad(&done) == 0 && MsSince(start) < 10000) {
        pthread_kill(reader.native_handle(), SIGUSR1);
        ++sent;
        OsSleep(20);
    }
    reader.join();
    EXPECT_EQ(result, KQVXI_E_INTERRUPTED);
    std::printf("%d signal(s) sent, %d handled; the read ended after %.1f ms\n", sent,
                OsAtomicLoad(&signalsHandled), MsSince(start));
    // The handle goes on working after it.
    kqvxi_event ev[4];
    EXPECT_EQ(kqvxi_client_read(client, ev, 4, 0), 0);
    EXPECT_EQ(kqvxi_client_close(client), KQVXI_OK);
    sigaction(SIGUSR1, &previous, nullptr);
}

}  // namespace
