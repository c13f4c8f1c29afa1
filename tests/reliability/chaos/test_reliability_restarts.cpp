// The server killed with SIGKILL and started again, over and over, with live
// clients that stay (and register again with every new server) and clients that
// die around it: every start succeeds without any cleanup, the live clients get
// their records from each new server, and nothing a dead server or a dead client
// left behind is taken for live.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "chaos_support.h"
#include "kqvxi/client.h"
#include "kqvxi/events.h"
#include "kqvxi/inject.h"
#include "locks/mutex.h"
#include "platform/event.h"
#include "platform/process.h"
#include "queue/lifecycle.h"
#include "support/client_slots.h"
#include "support/server_process.h"
#include "support/child.h"

namespace {

using namespace chaos;

std::string RoundEvent(const std::string& stem, const std::string& who) {
    return stem + " " + who;
}

// Live client: args controller, event stem, own tag. For each round: waits for
// "<stem> go <tag>", registers with the server now running, says so on
// "<stem> reg <tag>", then waits for the round's record (value = round) and says
// so on "<stem> got <tag>". Ends on a round value of SENTINEL.
KQ_CHILD_ROLE(chaos_restart_client) {
    if (args.size() != 3) {
        return 2;
    }
    const auto controller = static_cast<std::uint16_t>(std::stoul(args[0]));
    const std::string& stem = args[1];
    const std::string& tag = args[2];
    kqvxi_queue* queue = kqvxi_queue_open();
    OsHandle go = OsCreateEvent(RoundEvent(stem + " go", tag).c_str(), false, false);
    OsHandle reg = OsCreateEvent(RoundEvent(stem + " reg", tag).c_str(), false, false);
    OsHandle got = OsCreateEvent(RoundEvent(stem + " got", tag).c_str(), false, false);
    if (queue == nullptr || go == OS_NO_HANDLE || reg == OS_NO_HANDLE || got == OS_NO_HANDLE) {
        return 3;
    }
    for (std::uint32_t round = 0;; ++round) {
        if (OsWaitForObject(go, 60000) != OS_WAIT_OBJECT_0) {
            return 4;
        }
        if (RegisterForStorm(controller) != 0) {
            return 5;
        }
        OsSetEvent(reg);
        const Clock::time_point start = Clock::now();
        bool found = false;
        while (!found && MsSince(start) < 20000) {
            kqvxi_queue_wait(queue, 100);
            kqvxi_record r;
            while (kqvxi_queue_take(queue, &r) == KQVXI_OK) {
                if (r.code == KQVXI_EVENT_CODE(7) && r.arg3 == SENTINEL) {
                    kqvxi_queue_close(queue);
                    return 0;
                }
                found = found || (r.code == KQVXI_EVENT_CODE(7) && r.arg3 == round);
            }
        }
        if (!found) {
            std::fprintf(stderr, "client %s: no record of round %u\n", tag.c_str(), round);
            return 6;
        }
        OsSetEvent(got);
    }
}

// Dead client: args controller, ready event. Registers, takes its lock, says
// so, and waits to be killed.
KQ_CHILD_ROLE(chaos_restart_dead) {
    if (args.size() != 2) {
        return 2;
    }
    const auto controller = static_cast<std::uint16_t>(std::stoul(args[0]));
    if (OpenQueueBlock(0, OsCurrentProcessId(), SIDE_CLIENT) == nullptr ||
        RegisterForStorm(controller) != 0) {
        return 3;
    }
    AcquireEventMutex(SlotLock(0));
    OsHandle ready = OsCreateEvent(args[1].c_str(), false, false);
    OsSetEvent(ready);
    OsSleep(600000);
    return 4;
}

bool Inject(std::uint16_t controller, std::uint32_t value) {
    const Clock::time_point start = Clock::now();
    while (MsSince(start) < 10000) {
        if (kqvxi_inject_level(controller, STORM_INDEX, STORM_LEVEL, value) == KQVXI_INJECT_OK) {
            return true;
        }
        OsSleep(1);
    }
    return false;
}

TEST(ReliabilityRestarts, AServerKilledOverAndOverStartsAgainAndServesItsClients) {
    const int rounds = Soak() ? 2000 : 200;
    const int liveCount = 3;
    const std::uint16_t controller = server_process::OwnController(7);
    const std::string stem = UniqueName("restart");
    std::vector<OsHandle> live;
    std::vector<OsHandle> go, reg, got;
    for (int i = 0; i < liveCount; ++i) {
        const std::string tag = std::to_string(i);
        go.push_back(OsCreateEvent(RoundEvent(stem + " go", tag).c_str(), false, false));
        reg.push_back(OsCreateEvent(RoundEvent(stem + " reg", tag).c_str(), false, false));
        got.push_back(OsCreateEvent(RoundEvent(stem + " got", tag).c_str(), false, false));
        live.push_back(SpawnChild("chaos_restart_client", {std::to_string(controller), stem, tag}));
        ASSERT_NE(live.back(), OS_NO_HANDLE);
    }
    int startsFailed = 0, roundsMissed = 0, deadLeft = 0;
    long long slowestStartMs = 0;
    std::vector<std::uint32_t> deadPids;
    const Clock::time_point begin = Clock::now();
    for (int round = 0; round < rounds; ++round) {
        const Clock::time_point t0 = Clock::now();
        std::uint32_t serverPid = 0;
        OsHandle server = StartServer(controller, &serverPid);
        if (server == OS_NO_HANDLE || !WaitServing(controller, 20000)) {
            ++startsFailed;
            ADD_FAILURE() << "round " << round << ": the server did not start";
            if (server != OS_NO_HANDLE) {
                std::printf("[restarts] server exit %d\n", WaitChild(server, 5000));
            }
            break;
        }
        const long long startMs = MsSince(t0);
        slowestStartMs = startMs > slowestStartMs ? startMs : slowestStartMs;
        for (int i = 0; i < liveCount; ++i) {
            OsSetEvent(go[i]);
        }
        bool ok = true;
        for (int i = 0; i < liveCount; ++i) {
            ok = ok && OsWaitForObject(reg[i], 20000) == OS_WAIT_OBJECT_0;
        }
        // A client that dies holding its lock, and one registered client that the
        // next server never hears of.
        const std::string ready = UniqueName("restart dead " + std::to_string(round));
        OsHandle readyEvent = OsCreateEvent(ready.c_str(), false, false);
        std::uint32_t deadPid = 0;
        OsHandle dead =
            SpawnChild("chaos_restart_dead", {std::to_string(controller), ready}, &deadPid);
        ok = ok && dead != OS_NO_HANDLE && OsWaitForObject(readyEvent, 20000) == OS_WAIT_OBJECT_0;
        OsCloseHandle(readyEvent);
        ok = ok && Inject(controller, static_cast<std::uint32_t>(round));
        for (int i = 0; i < liveCount; ++i) {
            ok = ok && OsWaitForObject(got[i], 20000) == OS_WAIT_OBJECT_0;
        }
        if (!ok) {
            ++roundsMissed;
            ADD_FAILURE() << "round " << round << ": the live clients were not served";
        }
        // The dead client dies before or after the server, alternately.
        if (round % 2 == 0) {
            OsKillProcess(dead);
            WaitChild(dead, 10000);
        }
        OsKillProcess(server);
        WaitChild(server, 10000);
        if (round % 2 != 0) {
            OsKillProcess(dead);
            WaitChild(dead, 10000);
        }
        deadPids.push_back(deadPid);
        if (!ok) {
            break;
        }
    }
    const long long totalMs = MsSince(begin);
    // Finish the live clients with one last server.
    std::uint32_t serverPid = 0;
    OsHandle server = StartServer(controller, &serverPid);
    ASSERT_TRUE(WaitServing(controller));
    for (int i = 0; i < liveCount; ++i) {
        OsSetEvent(go[i]);
    }
    for (int i = 0; i < liveCount; ++i) {
        EXPECT_EQ(OsWaitForObject(reg[i], 20000), OS_WAIT_OBJECT_0);
    }
    EXPECT_TRUE(Inject(controller, SENTINEL));
    for (OsHandle h : live) {
        EXPECT_EQ(WaitChild(h, 30000), 0);
    }
    std::uint32_t count = 99;
    EXPECT_EQ(Request(controller, KQVXI_CMD_SWEEP, &count), KQVXI_OK);
    EXPECT_EQ(Request(controller, KQVXI_CMD_STOP), KQVXI_OK);
    EXPECT_EQ(WaitChild(server, 20000), 0);
    // A new process's first object sweeps names whose holders all died.
    for (std::uint32_t pid : deadPids) {
        deadLeft += CountClientObjects(pid) > 0 ? 1 : 0;
    }
    std::printf(
        "[restarts] %d server kills and restarts in %.1f s, %d failed to start, %d "
        "rounds with a live client not served; slowest start %lld ms; %d live clients "
        "re-registered each time; dead clients' objects still named: %d of %zu; count "
        "after the last sweep %u\n",
        rounds, static_cast<double>(totalMs) / 1000.0, startsFailed, roundsMissed, slowestStartMs,
        liveCount, deadLeft, deadPids.size(), count);
    EXPECT_EQ(startsFailed, 0);
    EXPECT_EQ(roundsMissed, 0);
    EXPECT_EQ(count, 0u);
}

}  // namespace
