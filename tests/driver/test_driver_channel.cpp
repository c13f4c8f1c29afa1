// The simulated board's request channel across processes: many clients against one
// server (every reply matches its request, none lost or doubled, one wake signal
// per request), two controllers served side by side on the shared wake event,
// time-outs without a server or without a reply, and the channel afterwards.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "driver/kqvxint.h"
#include "kqvxi/client.h"
#include "platform/event.h"
#include "platform/process.h"
#include "support/child.h"

namespace {

inline constexpr std::uint32_t STOP = 13;
inline constexpr std::uint32_t KEEP_CLAIM = 99;  // the test server claims it and never replies

std::int16_t TestController(int k) {
    return static_cast<std::int16_t>(30000 + (OsCurrentProcessId() % 1500) * 8 + k);
}

// What a test server answers: each value depends on the request, the requesting
// process and the controller, so a reply crossed with another request shows.
void Transform(std::uint16_t controller, std::uint32_t pid, std::uint32_t command,
               std::uint32_t* a1, std::uint32_t* a2, std::uint32_t* a3) {
    *a1 = *a1 + 1;
    *a2 = *a2 ^ 0xA5A5A5A5u;
    *a3 = pid + command + controller;
}

struct ServeStats {
    std::uint32_t served = 0;
    std::uint32_t wakes = 0;
    std::uint32_t anomalies = 0;       // a pid that was not the client's, a failed call
    std::vector<std::uint16_t> tally;  // requests seen per (client index, sequence)
};

// A server loop as the real server runs it: wait for the wake event, take one
// request, reply. Ends after maxRequests, or at a STOP request (answered first).
void Serve(std::int16_t controller, std::uint32_t maxRequests, ServeStats* stats,
           std::uint32_t perClient) {
    OsHandle wake = OsCreateEvent("KQ-VXI Intr Proc Event", false, false);
    if (wake == OS_NO_HANDLE) {
        ++stats->anomalies;
        return;
    }
    while (stats->served < maxRequests) {
        if (OsWaitForObject(wake, 30000) != OS_WAIT_OBJECT_0) {
            ++stats->anomalies;
            break;
        }
        ++stats->wakes;
        std::uint32_t pid = 0, command = 0, a1 = 0, a2 = 0, a3 = 0;
        if (GetClientRequest(controller, &pid, &command, &a1, &a2, &a3) < 0) {
            ++stats->anomalies;
            break;
        }
        ++stats->served;
        if (command == KEEP_CLAIM) {
            continue;
        }
        if (command != STOP && a3 != pid) {
            ++stats->anomalies;
        }
        std::uint32_t client = a1 >> 16, seq = a1 & 0xFFFFu;
        if (command != STOP && client * perClient + seq < stats->tally.size()) {
            ++stats->tally[client * perClient + seq];
        }
        Transform(static_cast<std::uint16_t>(controller), pid, command, &a1, &a2, &a3);
        if (PutClientReply(controller, 0, command, &a1, &a2, &a3) < 0) {
            ++stats->anomalies;
        }
        if (command == STOP) {
            break;
        }
    }
    OsCloseHandle(wake);
}

// Sends count requests; returns how many failed or came back wrong.
int SendRequests(std::uint16_t controller, std::uint32_t clientIndex, std::uint32_t count,
                 std::uint32_t timeoutMs) {
    const std::uint32_t pid = OsCurrentProcessId();
    int bad = 0;
    for (std::uint32_t i = 0; i < count; ++i) {
        std::uint32_t command = 100 + i % 7;
        std::uint32_t a1 = (clientIndex << 16) | i, a2 = i * 2654435761u, a3 = pid;
        int r = kqvxi_request(controller, command, &a1, &a2, &a3, timeoutMs);
        std::uint32_t e1 = (clientIndex << 16) | i, e2 = i * 2654435761u, e3 = 0;
        Transform(controller, pid, command, &e1, &e2, &e3);
        if (r != KQVXI_OK || a1 != e1 || a2 != e2 || a3 != e3) {
            ++bad;
        }
    }
    return bad;
}

int StopServer(std::uint16_t controller) {
    std::uint32_t a1 = 0, a2 = 0, a3 = 0;
    return kqvxi_request(controller, STOP, &a1, &a2, &a3, 10000);
}

KQ_CHILD_ROLE(client) {
    // controller, client index, count, time limit
    if (args.size() != 4) {
        return 90;
    }
    int bad = SendRequests(static_cast<std::uint16_t>(std::stoul(args[0])),
                           static_cast<std::uint32_t>(std::stoul(args[1])),
                           static_cast<std::uint32_t>(std::stoul(args[2])),
                           static_cast<std::uint32_t>(std::stoul(args[3])));
    return bad > 80 ? 80 : bad;
}

KQ_CHILD_ROLE(server) {
    // controller, requests to serve
    if (args.size() != 2) {
        return 90;
    }
    const auto controller = static_cast<std::int16_t>(std::stoi(args[0]));
    if (OpenController(controller) < 0) {
        return 91;
    }
    ServeStats stats;
    Serve(controller, static_cast<std::uint32_t>(std::stoul(args[1])), &stats, 0);
    CloseController(controller);
    if (stats.anomalies != 0) {
        return 92;
    }
    return 0;
}

KQ_CHILD_ROLE(stuck_client) {
    // controller: one request that waits long for a reply while the test kills us
    std::uint32_t a1 = 1, a2 = 2, a3 = OsCurrentProcessId();
    return kqvxi_request(static_cast<std::uint16_t>(std::stoul(args.at(0))), 7, &a1, &a2, &a3,
                         60000) == KQVXI_OK
               ? 0
               : 1;
}

TEST(DriverChannel, EightClientProcessesThousandRequestsEach) {
    const std::int16_t c = TestController(0);
    constexpr std::uint32_t CLIENT_COUNT = 8, REQUESTS_EACH = 1000;
    ASSERT_GE(OpenController(c), 0);
    OsHandle wake = OsCreateEvent("KQ-VXI Intr Proc Event", false, false);
    ASSERT_NE(wake, OS_NO_HANDLE);
    OsResetEvent(wake);  // no signal left over from earlier tests of this process

    ServeStats stats;
    stats.tally.assign(CLIENT_COUNT * REQUESTS_EACH, 0);
    std::thread server([&] { Serve(c, CLIENT_COUNT * REQUESTS_EACH + 1, &stats, REQUESTS_EACH); });
    auto start = std::chrono::steady_clock::now();
    std::vector<OsHandle> children;
    for (std::uint32_t k = 0; k < CLIENT_COUNT; ++k) {
        children.push_back(SpawnChild("client", {std::to_string(c), std::to_string(k),
                                                 std::to_string(REQUESTS_EACH), "20000"}));
        ASSERT_NE(children.back(), OS_NO_HANDLE);
    }
    for (OsHandle child : children) {
        EXPECT_EQ(WaitChild(child, 240000), 0);
    }
    double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    std::printf("%u requests from %u processes in %.2f s (%.0f per second)\n",
                CLIENT_COUNT * REQUESTS_EACH, CLIENT_COUNT, seconds,
                CLIENT_COUNT * REQUESTS_EACH / seconds);
    EXPECT_EQ(StopServer(static_cast<std::uint16_t>(c)), KQVXI_OK);
    server.join();

    EXPECT_EQ(stats.anomalies, 0u);
    EXPECT_EQ(stats.served, CLIENT_COUNT * REQUESTS_EACH + 1);
    std::uint32_t missing = 0, doubled = 0;
    for (std::uint16_t n : stats.tally) {
        missing += n == 0 ? 1 : 0;
        doubled += n > 1 ? 1 : 0;
    }
    EXPECT_EQ(missing, 0u);
    EXPECT_EQ(doubled, 0u);
    // One wake signal per request, and none left over.
    EXPECT_EQ(stats.wakes, stats.served);
    EXPECT_EQ(OsWaitForObject(wake, 0), OS_WAIT_TIMEOUT);
    OsCloseHandle(wake);
    EXPECT_GE(CloseController(c), 0);
}

TEST(DriverChannel, TwoControllersServedSideBySide) {
    const std::int16_t c1 = TestController(1), c2 = TestController(2);
    constexpr std::uint32_t REQUESTS_EACH = 150;
    OsHandle s1 = SpawnChild("server", {std::to_string(c1), std::to_string(2 * REQUESTS_EACH)});
    OsHandle s2 = SpawnChild("server", {std::to_string(c2), std::to_string(2 * REQUESTS_EACH)});
    ASSERT_NE(s1, OS_NO_HANDLE);
    ASSERT_NE(s2, OS_NO_HANDLE);
    std::vector<OsHandle> clients;
    for (std::int16_t c : {c1, c2, c1, c2}) {
        clients.push_back(SpawnChild("client", {std::to_string(c), std::to_string(clients.size()),
                                                std::to_string(REQUESTS_EACH), "20000"}));
    }
    for (OsHandle child : clients) {
        EXPECT_EQ(WaitChild(child, 120000), 0);
    }
    EXPECT_EQ(WaitChild(s1, 30000), 0);
    EXPECT_EQ(WaitChild(s2, 30000), 0);
}

TEST(DriverChannel, TimeOutWithoutServerOrReplyThenUsable) {
    const auto c = TestController(3);
    const auto u = static_cast<std::uint16_t>(c);
    std::uint32_t a1 = 1, a2 = 2, a3 = 3;
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(kqvxi_request(u, 5, &a1, &a2, &a3, 300), KQVXI_E_TIMEOUT);
    auto waited = std::chrono::steady_clock::now() - start;
    EXPECT_GE(waited, std::chrono::milliseconds(250));
    EXPECT_LT(waited, std::chrono::seconds(5));
    EXPECT_EQ(kqvxi_request(u, 5, nullptr, &a2, &a3, 300), KQVXI_E_ARG);

    // A server comes: the withdrawn request is not served, the next one is.
    ASSERT_GE(OpenController(c), 0);
    ServeStats stats;
    std::thread server([&] { Serve(c, 100, &stats, 0); });
    a1 = 7;
    a3 = OsCurrentProcessId();
    ASSERT_EQ(kqvxi_request(u, 6, &a1, &a2, &a3, 10000), KQVXI_OK);
    EXPECT_EQ(a1, 8u);
    EXPECT_EQ(a3, OsCurrentProcessId() + 6 + u);

    // A request the server takes and never answers times out, and a late reply
    // to it is refused; the channel goes on.
    EXPECT_EQ(kqvxi_request(u, KEEP_CLAIM, &a1, &a2, &a3, 1000), KQVXI_E_TIMEOUT);
    std::uint32_t r1 = 0, r2 = 0, r3 = 0;
    EXPECT_LT(PutClientReply(c, 0, KEEP_CLAIM, &r1, &r2, &r3), 0);
    a1 = 41;
    a3 = OsCurrentProcessId();
    ASSERT_EQ(kqvxi_request(u, 6, &a1, &a2, &a3, 10000), KQVXI_OK);
    EXPECT_EQ(a1, 42u);
    EXPECT_EQ(StopServer(u), KQVXI_OK);
    server.join();
    EXPECT_EQ(stats.anomalies, 0u);
    EXPECT_EQ(stats.served, 4u);
    EXPECT_GE(CloseController(c), 0);
}

TEST(DriverChannel, ClientKilledMidRequestLeavesChannelUsable) {
    const auto c = TestController(4);
    const auto u = static_cast<std::uint16_t>(c);
    OsHandle child = SpawnChild("stuck_client", {std::to_string(c)});
    ASSERT_NE(child, OS_NO_HANDLE);
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    EXPECT_TRUE(OsKillProcess(child));
    WaitChild(child, 10000);

    ASSERT_GE(OpenController(c), 0);
    ServeStats stats;
    std::thread server([&] { Serve(c, 100, &stats, 0); });
    std::uint32_t a1 = 1, a2 = 2, a3 = OsCurrentProcessId();
    EXPECT_EQ(kqvxi_request(u, 6, &a1, &a2, &a3, 10000), KQVXI_OK);
    EXPECT_EQ(a1, 2u);
    EXPECT_EQ(StopServer(u), KQVXI_OK);
    server.join();
    EXPECT_EQ(stats.anomalies, 0u);
    EXPECT_GE(CloseController(c), 0);
}

}  // namespace
