// Processes stopped or killed in the middle of a simulated board operation: an
// injector or a requester stopped with SIGSTOP at random points of a storm costs
// the server's dispatch and request loop at most a bound, and a request claimed by
// a server killed before its reply does not block the controller's next server.
// Every process here runs in a private object namespace, on controllers other
// than 0. KQVXI_SOAK=1 selects the long setting.
#include <gtest/gtest.h>

#include <atomic>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <thread>

#include "chaos_support.h"
#include "kqvxi/client.h"
#include "kqvxi/inject.h"
#include "platform/event.h"
#include "platform/process.h"
#include "support/child.h"

namespace {

using namespace chaos;

// Set before anything opens a named object; children inherit it.
const bool privateNamespace = [] {
    setenv("KQVXI_NAMESPACE", "kqtest-board-stalls", 1);
    return true;
}();

// Index and level the victim injector raises: no client enables them, so the
// server dispatches them to nobody.
inline constexpr std::int16_t VICTIM_INDEX = 2;
inline constexpr std::uint16_t VICTIM_LEVEL = 2;

void Signal(std::uint32_t pid, int sig) {
    kill(static_cast<pid_t>(pid), sig);
}

// An injector that raises events on controller (args[0]) as fast as it can,
// until killed.
KQ_CHILD_ROLE(board_stall_injector) {
    const auto controller = static_cast<std::uint16_t>(std::stoul(args.at(0)));
    for (std::uint32_t i = 0;; ++i) {
        if (kqvxi_inject_level(controller, VICTIM_INDEX, VICTIM_LEVEL, i) != KQVXI_INJECT_OK) {
            std::this_thread::yield();
        }
    }
}

// A requester that asks controller (args[0]) for a sweep again and again, until
// killed.
KQ_CHILD_ROLE(board_stall_requester) {
    const auto controller = static_cast<std::uint16_t>(std::stoul(args.at(0)));
    for (;;) {
        std::uint32_t a1 = 0, a2 = 0, a3 = 0;
        kqvxi_request(controller, KQVXI_CMD_SWEEP, &a1, &a2, &a3, 2000);
    }
}

// One request: args controller, time-out in ms.
KQ_CHILD_ROLE(board_stall_one_request) {
    const auto controller = static_cast<std::uint16_t>(std::stoul(args.at(0)));
    std::uint32_t a1 = 0, a2 = 0, a3 = 0;
    return kqvxi_request(controller, KQVXI_CMD_SWEEP, &a1, &a2, &a3,
                         static_cast<std::uint32_t>(std::stoul(args.at(1)))) == KQVXI_OK
               ? 0
               : 1;
}

// True when the file at path holds text.
bool FileHolds(const std::string& path, const std::string& text) {
    std::FILE* f = std::fopen(path.c_str(), "r");
    if (f == nullptr) {
        return false;
    }
    std::string all;
    char buf[4096];
    for (std::size_t n = 0; (n = std::fread(buf, 1, sizeof buf, f)) > 0;) {
        all.append(buf, n);
    }
    std::fclose(f);
    return all.find(text) != std::string::npos;
}

void StopServer(std::uint16_t controller, OsHandle server) {
    EXPECT_EQ(Request(controller, KQVXI_CMD_STOP), KQVXI_OK);
    EXPECT_EQ(WaitChild(server, 20000), 0);
}

void Kill(OsHandle process) {
    OsKillProcess(process);
    WaitChild(process, 10000);
}

TEST(ReliabilityBoardStalls, StoppedInjectorsAndRequestersCostTheServerAtMostABound) {
    const int rounds = std::getenv("KQ_BOARD_STOPS") ? std::atoi(std::getenv("KQ_BOARD_STOPS"))
                       : Soak()                      ? 2000
                                                     : 200;
    const std::uint16_t controller = 23;
    const std::uint16_t other = 24;  // the requester's controller
    std::uint32_t pid = 0;
    OsHandle server = StartServer(controller, &pid);
    OsHandle otherServer = StartServer(other, &pid);
    ASSERT_NE(server, OS_NO_HANDLE);
    ASSERT_NE(otherServer, OS_NO_HANDLE);
    ASSERT_TRUE(WaitServing(controller));
    ASSERT_TRUE(WaitServing(other));

    const std::string ready = UniqueName("board stalls drainer");
    const std::string result = TempPath("board-stalls-drain");
    OsHandle readyEvent = OsCreateEvent(ready.c_str(), false, false);
    OsHandle drainer = StartDrainer(controller, result, ready);
    ASSERT_NE(drainer, OS_NO_HANDLE);
    ASSERT_EQ(OsWaitForObject(readyEvent, 30000), OS_WAIT_OBJECT_0);
    OsCloseHandle(readyEvent);

    Injector injector;
    injector.controller = controller;
    injector.ratePerSecond = 5000;
    std::thread storm([&] { injector.Run(); });

    std::uint32_t victimPid = 0, requesterPid = 0;
    OsHandle victim = SpawnChild("board_stall_injector", {std::to_string(controller)}, &victimPid);
    OsHandle requester =
        SpawnChild("board_stall_requester", {std::to_string(other)}, &requesterPid);
    ASSERT_NE(victim, OS_NO_HANDLE);
    ASSERT_NE(requester, OS_NO_HANDLE);

    // Continues the victims should a round's sweep hang past 1.5 s, so that a
    // board that lets them block the server fails this test instead of hanging it.
    std::atomic<long long> continueAtMs{-1};
    std::atomic<bool> roundsDone{false};
    const Clock::time_point epoch = Clock::now();
    std::thread watchdog([&] {
        while (!roundsDone.load()) {
            const long long at = continueAtMs.load();
            if (at >= 0 && MsSince(epoch) >= at) {
                Signal(victimPid, SIGCONT);
                Signal(requesterPid, SIGCONT);
            }
            OsSleep(5);
        }
    });

    std::mt19937 rng(static_cast<unsigned>(Clock::now().time_since_epoch().count()));
    long long worstSweepMs = 0, totalSweepMs = 0;
    int sweepFailures = 0;
    const long long acceptedBefore = injector.accepted.load();
    const Clock::time_point start = Clock::now();
    for (int k = 0; k < rounds; ++k) {
        // A random point of the victims' work; every other round the requester
        // is stopped too.
        OsSleep(1 + rng() % 10);
        Signal(victimPid, SIGSTOP);
        const bool requesterStopped = k % 2 == 1;
        if (requesterStopped) {
            Signal(requesterPid, SIGSTOP);
        }
        continueAtMs = MsSince(epoch) + 1500;
        const Clock::time_point asked = Clock::now();
        std::uint32_t a1 = 0, a2 = 0, a3 = 0;
        const int rc = kqvxi_request(controller, KQVXI_CMD_SWEEP, &a1, &a2, &a3, 500);
        const long long ms = MsSince(asked);
        // The storm goes on while they stay stopped.
        OsSleep(20 + rng() % 30);
        continueAtMs = -1;
        Signal(victimPid, SIGCONT);
        if (requesterStopped) {
            Signal(requesterPid, SIGCONT);
        }
        worstSweepMs = ms > worstSweepMs ? ms : worstSweepMs;
        totalSweepMs += ms;
        if (rc != KQVXI_OK || ms >= 1000) {
            ++sweepFailures;
            ADD_FAILURE() << "round " << k << ": sweep status " << rc << " after " << ms << " ms";
        }
    }
    const long long stormMs = MsSince(start);
    roundsDone = true;
    watchdog.join();
    const long long acceptedDuring = injector.accepted.load() - acceptedBefore;
    Kill(victim);
    Kill(requester);
    injector.stop = true;
    storm.join();
    ASSERT_TRUE(injector.Finish());

    ASSERT_EQ(WaitChild(drainer, 60000), 0);
    const DrainResult r = ReadDrainResult(result, injector.accepted.load());
    std::remove(result.c_str());
    // Every accepted event arrives once and in order; the only losses allowed
    // are records the server dropped on the drainer's full ring, which it counts.
    EXPECT_EQ(r.errors, 0) << "first expected " << r.firstBadExpected << ", got " << r.firstBadGot;
    EXPECT_EQ(r.received + r.overflowLost, injector.accepted.load());
    EXPECT_EQ(sweepFailures, 0);
    // Over the stops the storm's events kept coming through: at least a tenth
    // of what the injector's pace asks for (figures printed below).
    EXPECT_GT(acceptedDuring * 10, stormMs * injector.ratePerSecond / 1000 / 10);
    std::printf(
        "[board stalls] %d stops of an injector (%d with a requester) in %.1f s: sweep "
        "worst %lld ms, mean %.1f ms; storm %lld accepted, %lld refused (longest refusal run "
        "%lld ms), drainer received %lld, dropped on its full ring %lld, longest gap %.1f ms\n",
        rounds, rounds / 2, static_cast<double>(stormMs) / 1000.0, worstSweepMs,
        static_cast<double>(totalSweepMs) / rounds, injector.accepted.load(),
        injector.refused.load(), injector.longestRefusalMs, r.received, r.overflowLost,
        static_cast<double>(r.maxGapUs) / 1000.0);
    StopServer(controller, server);
    StopServer(other, otherServer);
}

TEST(ReliabilityBoardStalls, AClaimWhoseServerWasKilledIsFreedForTheNextServer) {
    const std::uint16_t controller = 25;
    const std::uint16_t other = 26;  // keeps the board's state open throughout
    std::uint32_t pid = 0;
    OsHandle otherServer = StartServer(other, &pid);
    ASSERT_NE(otherServer, OS_NO_HANDLE);
    ASSERT_TRUE(WaitServing(other));

    // The server stalls between its claim of the request and its reply.
    OsHandle stalled = OsCreateEvent("KQVXINT Sim Stalled", true, false);
    ASSERT_NE(stalled, OS_NO_HANDLE);
    OsResetEvent(stalled);
    setenv("KQVXI_SIM_STALL", "PutClientReply", 1);
    OsHandle server = StartServer(controller, &pid);
    unsetenv("KQVXI_SIM_STALL");
    ASSERT_NE(server, OS_NO_HANDLE);
    OsHandle client = SpawnChild("board_stall_one_request", {std::to_string(controller), "30000"});
    ASSERT_NE(client, OS_NO_HANDLE);
    ASSERT_EQ(OsWaitForObject(stalled, 30000), OS_WAIT_OBJECT_0);
    OsCloseHandle(stalled);
    Kill(server);
    Kill(client);

    // The next server's call record shows when it has opened the controller:
    // the request goes to it only then, as a request to a server already running.
    const std::string trace = TempPath("board-claims-trace");
    std::remove(trace.c_str());
    setenv("KQVXI_SIM_TRACE", trace.c_str(), 1);
    OsHandle next = StartServer(controller, &pid);
    unsetenv("KQVXI_SIM_TRACE");
    ASSERT_NE(next, OS_NO_HANDLE);
    const std::string opened = "OpenController " + std::to_string(controller) + " = 0";
    const Clock::time_point started = Clock::now();
    while (!FileHolds(trace, opened) && MsSince(started) < 20000) {
        OsSleep(10);
    }
    std::remove(trace.c_str());
    ASSERT_LT(MsSince(started), 20000) << "the next server never opened the controller";
    const Clock::time_point asked = Clock::now();
    std::uint32_t a1 = 0, a2 = 0, a3 = 0;
    EXPECT_EQ(kqvxi_request(controller, KQVXI_CMD_SWEEP, &a1, &a2, &a3, 1000), KQVXI_OK);
    const long long ms = MsSince(asked);
    EXPECT_LT(ms, 1000);
    std::printf("[board claims] the next server's first request took %lld ms\n", ms);
    StopServer(controller, next);
    StopServer(other, otherServer);
}

}  // namespace
