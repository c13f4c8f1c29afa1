// The simulated board's driver events: injection order and arguments through every
// handler shape, the source query, the bounded queue, cancellation before and
// during a wait, and bad input from the server side.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "driver/kqvxint.h"
#include "kqvxi/inject.h"
#include "platform/process.h"
#include "support/child.h"

namespace {

// A controller number of this test process alone, so parallel runs never meet.
std::int16_t TestController(int k) {
    return static_cast<std::int16_t>(20000 + (OsCurrentProcessId() % 1500) * 8 + k);
}

std::vector<std::string> seen;
std::uint32_t queried[4];
std::int16_t queryStatus;

void Seen(const char* kind, long long a = 0, long long b = 0, long long c = 0) {
    char buf[96];
    std::snprintf(buf, sizeof buf, "%s %lld %lld %lld", kind, a, b, c);
    seen.push_back(buf);
}
void KQ_STDCALL OnClass0(std::int16_t v) {
    Seen("c0", v);
}
void KQ_STDCALL OnClass1() {
    Seen("c1");
}
void KQ_STDCALL OnClass2() {
    Seen("c2");
}
void KQ_STDCALL OnClass3(std::int16_t v) {
    Seen("c3", v);
}
void KQ_STDCALL OnClass4(std::int16_t v) {
    Seen("c4", v);
}
void KQ_STDCALL OnClass5(std::uint16_t v) {
    Seen("c5", v);
}
void KQ_STDCALL OnLevel(std::int16_t i, std::uint16_t l, std::uint32_t v) {
    Seen("level", i, l, static_cast<long long>(v));
}
void KQ_STDCALL OnChannel(std::int16_t i, std::uint16_t ch, std::uint16_t v) {
    Seen("channel", i, ch, v);
}
void KQ_STDCALL OnSource(std::uint16_t s) {
    queryStatus = QueryEventSource(&queried[0], &queried[1], &queried[2], &queried[3]);
    Seen("source", s, queried[0], queried[3]);
}
void KQ_STDCALL OnMarked(std::uint16_t s) {
    queryStatus = QueryEventSource(&queried[0], &queried[1], &queried[2], &queried[3]);
    Seen("marked", s, queried[1], queried[2]);
}

void InstallAll() {
    ASSERT_GE(InstallClass0Handler(OnClass0), 0);
    ASSERT_GE(InstallClass1Handler(OnClass1), 0);
    ASSERT_GE(InstallClass2Handler(OnClass2), 0);
    ASSERT_GE(InstallClass3Handler(OnClass3), 0);
    ASSERT_GE(InstallClass4Handler(OnClass4), 0);
    ASSERT_GE(InstallLevelHandler(127, OnLevel), 0);
    ASSERT_GE(InstallChannelHandler(0xFFFF, OnChannel), 0);
    ASSERT_GE(InstallClass5Handler(OnClass5), 0);
    ASSERT_GE(InstallSourceHandler(-1, OnSource), 0);
    ASSERT_GE(InstallSourceHandler(-2, OnMarked), 0);
}

// Waits for and dispatches n events on the calling thread.
void DispatchN(std::int16_t c, int n) {
    for (int i = 0; i < n; ++i) {
        std::uint32_t item = 0;
        ASSERT_EQ(WaitDriverEvent(c, &item, i == 0 ? 0 : 1), 0);
        ASSERT_EQ(DispatchDriverEvent(item), 0);
    }
}

TEST(DriverEvents, EveryKindReachesItsHandlerInInjectionOrder) {
    const std::int16_t c = TestController(0);
    // Injected before the controller has a server: they wait in its queue.
    const auto u = static_cast<std::uint16_t>(c);
    ASSERT_EQ(kqvxi_inject_class(u, 0, 0xFFFF), KQVXI_INJECT_OK);
    ASSERT_EQ(kqvxi_inject_class(u, 1, 9), KQVXI_INJECT_OK);
    ASSERT_EQ(kqvxi_inject_class(u, 2, 9), KQVXI_INJECT_OK);
    ASSERT_EQ(kqvxi_inject_class(u, 3, 0x8000), KQVXI_INJECT_OK);
    ASSERT_EQ(kqvxi_inject_class(u, 4, 7), KQVXI_INJECT_OK);
    ASSERT_EQ(kqvxi_inject_class(u, 5, 0xFFFF), KQVXI_INJECT_OK);
    ASSERT_EQ(kqvxi_inject_level(u, -1, 7, 0xFFFFFFFFu), KQVXI_INJECT_OK);
    ASSERT_EQ(kqvxi_inject_channel(u, 49, 50, 0xBEEF), KQVXI_INJECT_OK);
    ASSERT_EQ(kqvxi_inject_source(u, 0, 11, 12, 3, 14, 0), KQVXI_INJECT_OK);
    ASSERT_EQ(kqvxi_inject_source(u, 1, 21, 22, 5, 24, 1), KQVXI_INJECT_OK);

    ASSERT_GE(OpenController(c), 0);
    InstallAll();
    seen.clear();
    DispatchN(c, 10);
    const std::vector<std::string> expected = {"c0 -1 0 0",
                                               "c1 0 0 0",
                                               "c2 0 0 0",
                                               "c3 -32768 0 0",
                                               "c4 7 0 0",
                                               "c5 65535 0 0",
                                               "level -1 7 4294967295",
                                               "channel 49 50 48879",
                                               "source 11 12 0",
                                               "marked 21 5 24"};
    EXPECT_EQ(seen, expected);
    EXPECT_EQ(queryStatus, 0);
    // Outside a source handler the query has nothing to describe.
    EXPECT_LT(QueryEventSource(&queried[0], &queried[1], &queried[2], &queried[3]), 0);
    EXPECT_GE(CloseController(c), 0);
}

TEST(DriverEvents, FullQueueRefusesAndNeverDrops) {
    const std::int16_t c = TestController(1);
    const auto u = static_cast<std::uint16_t>(c);
    int accepted = 0;
    int result = KQVXI_INJECT_OK;
    while (accepted < 1000 && (result = kqvxi_inject_class(u, 4, accepted)) == KQVXI_INJECT_OK) {
        ++accepted;
    }
    EXPECT_EQ(result, KQVXI_INJECT_FULL);
    EXPECT_EQ(accepted, 64);
    ASSERT_GE(OpenController(c), 0);
    ASSERT_GE(InstallClass4Handler(OnClass4), 0);
    seen.clear();
    DispatchN(c, 1);
    EXPECT_EQ(kqvxi_inject_class(u, 4, 999), KQVXI_INJECT_OK);  // room again
    // The wait took the whole queue at once, but what it has not handed out yet
    // still fills the queue: one event out, one place free.
    EXPECT_EQ(kqvxi_inject_class(u, 4, 998), KQVXI_INJECT_FULL);
    DispatchN(c, accepted);
    ASSERT_EQ(seen.size(), static_cast<std::size_t>(accepted) + 1);
    EXPECT_EQ(seen[0], "c4 0 0 0");
    EXPECT_EQ(seen[63], "c4 63 0 0");
    EXPECT_EQ(seen[64], "c4 999 0 0");
    EXPECT_GE(CloseController(c), 0);
}

// A wait takes a controller's whole queue at once; what it has not handed out
// when the controller is closed goes back to that controller's queue: another
// controller opened meanwhile gets its own events only, and the first one, opened
// again, gets the rest of its events in order.
TEST(DriverEvents, EventsTakenButNotDispatchedStayWithTheirController) {
    const std::int16_t a = TestController(5);
    const std::int16_t b = TestController(6);
    const auto ua = static_cast<std::uint16_t>(a);
    const auto ub = static_cast<std::uint16_t>(b);
    ASSERT_GE(OpenController(a), 0);
    ASSERT_GE(InstallClass4Handler(OnClass4), 0);
    for (int i = 0; i < 3; ++i) {
        ASSERT_EQ(kqvxi_inject_class(ua, 4, i), KQVXI_INJECT_OK);
    }
    seen.clear();
    DispatchN(a, 1);
    ASSERT_GE(CloseController(a), 0);

    ASSERT_GE(OpenController(b), 0);
    ASSERT_GE(InstallClass4Handler(OnClass4), 0);
    ASSERT_EQ(kqvxi_inject_class(ub, 4, 100), KQVXI_INJECT_OK);
    DispatchN(b, 1);
    ASSERT_GE(CloseController(b), 0);
    EXPECT_EQ(seen, (std::vector<std::string>{"c4 0 0 0", "c4 100 0 0"}));

    ASSERT_GE(OpenController(a), 0);
    ASSERT_GE(InstallClass4Handler(OnClass4), 0);
    ASSERT_EQ(kqvxi_inject_class(ua, 4, 3), KQVXI_INJECT_OK);
    seen.clear();
    // Up to the event injected last, so that lost events fail the test, not hang it.
    for (int i = 0; i < 3 && (seen.empty() || seen.back() != "c4 3 0 0"); ++i) {
        DispatchN(a, 1);
    }
    EXPECT_EQ(seen, (std::vector<std::string>{"c4 1 0 0", "c4 2 0 0", "c4 3 0 0"}));
    ASSERT_GE(CloseController(a), 0);
}

// A server process that opens the controller, takes its queue in one wait, hands
// out one event and ends without closing the controller.
KQ_CHILD_ROLE(take_and_end) {
    const auto c = static_cast<std::int16_t>(std::stoi(args.at(0)));
    std::uint32_t item = 0;
    return OpenController(c) >= 0 && WaitDriverEvent(c, &item, 0) == 0 ? 0 : 1;
}

// The events it had taken end with it, and the next server starts with the whole
// depth of the queue free.
TEST(DriverEvents, AServerThatEndedLeavesTheQueueItsFullDepth) {
    const std::int16_t c = TestController(7);
    const auto u = static_cast<std::uint16_t>(c);
    for (int i = 0; i < 10; ++i) {
        ASSERT_EQ(kqvxi_inject_class(u, 4, i), KQVXI_INJECT_OK);
    }
    ASSERT_EQ(WaitChild(SpawnChild("take_and_end", {std::to_string(c)})), 0);
    ASSERT_GE(OpenController(c), 0);
    int accepted = 0;
    while (accepted < 1000 && kqvxi_inject_class(u, 4, accepted) == KQVXI_INJECT_OK) {
        ++accepted;
    }
    EXPECT_EQ(accepted, 64);
    EXPECT_GE(CloseController(c), 0);
}

TEST(DriverEvents, CancelBeforeTheFirstWaitAndDuringAWait) {
    const std::int16_t c = TestController(2);
    ASSERT_GE(OpenController(c), 0);
    std::uint32_t item = 0;
    ASSERT_EQ(CancelDriverWait(c), 0);
    EXPECT_EQ(WaitDriverEvent(c, &item, 0), KQ_WAIT_CANCELLED);

    std::atomic<int> status{1};
    std::thread waiter([&] {
        std::uint32_t it = 0;
        status = WaitDriverEvent(c, &it, 1);
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(150));
    EXPECT_EQ(status.load(), 1);  // still blocked: nothing pending
    auto start = std::chrono::steady_clock::now();
    ASSERT_EQ(CancelDriverWait(c), 0);
    waiter.join();
    EXPECT_EQ(status.load(), KQ_WAIT_CANCELLED);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));

    // The cancellation was used up: the next wait takes an event.
    ASSERT_GE(InstallClass1Handler(OnClass1), 0);
    ASSERT_EQ(kqvxi_inject_class(static_cast<std::uint16_t>(c), 1, 0), KQVXI_INJECT_OK);
    seen.clear();
    DispatchN(c, 1);
    EXPECT_EQ(seen.size(), 1u);
    EXPECT_GE(CloseController(c), 0);
}

TEST(DriverEvents, BadInputGetsAFailureStatus) {
    const std::int16_t c = TestController(3);
    const std::int16_t neverOpened = TestController(4);
    std::uint32_t v = 0, w = 0, x = 0, y = 0, z = 0;
    EXPECT_LT(WaitDriverEvent(neverOpened, &v, 0), 0);
    EXPECT_LT(CancelDriverWait(neverOpened), 0);
    EXPECT_LT(GetClientRequest(neverOpened, &v, &w, &x, &y, &z), 0);
    EXPECT_LT(PutClientReply(neverOpened, 0, 0, &x, &y, &z), 0);
    EXPECT_LT(CloseController(neverOpened), 0);

    ASSERT_GE(OpenController(c), 0);
    EXPECT_LT(WaitDriverEvent(c, nullptr, 0), 0);
    EXPECT_LT(GetClientRequest(c, nullptr, &w, &x, &y, &z), 0);
    EXPECT_LT(PutClientReply(c, 0, 0, &x, nullptr, &z), 0);
    EXPECT_LT(PutClientReply(c, 0, 0, &x, &y, &z), 0);  // no request was handed out
    EXPECT_LT(QueryEventSource(&v, nullptr, &x, &y), 0);
    EXPECT_LT(InstallSourceHandler(-3, OnSource), 0);
    EXPECT_LT(InstallClass0Handler(nullptr), 0);

    // Items: made-up, and one already dispatched.
    EXPECT_LT(DispatchDriverEvent(0), 0);
    EXPECT_LT(DispatchDriverEvent(0xFFFFFFFFu), 0);
    ASSERT_GE(InstallClass2Handler(OnClass2), 0);
    ASSERT_EQ(kqvxi_inject_class(static_cast<std::uint16_t>(c), 2, 0), KQVXI_INJECT_OK);
    std::uint32_t item = 0;
    ASSERT_EQ(WaitDriverEvent(c, &item, 0), 0);
    EXPECT_EQ(DispatchDriverEvent(item), 0);
    EXPECT_LT(DispatchDriverEvent(item), 0);

    const auto u = static_cast<std::uint16_t>(c);
    EXPECT_EQ(kqvxi_inject_class(u, 6, 0), KQVXI_INJECT_ARG);
    EXPECT_EQ(kqvxi_inject_class(u, -1, 0), KQVXI_INJECT_ARG);
    EXPECT_EQ(kqvxi_inject_source(u, 2, 0, 0, 0, 0, 0), KQVXI_INJECT_ARG);
    EXPECT_GE(CloseController(c), 0);
    EXPECT_LT(CloseController(c), 0);  // closed already
}

}  // namespace
