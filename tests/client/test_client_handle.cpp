// The handle API against a real server on the simulated board: opening,
// selecting, reading each class decoded, closing (twice, and calls after it),
// one handle per process, interrupting a wait, a server restart with and
// without re-registration, and the 51st client refused.
#include <gtest/gtest.h>

#include <climits>
#include <cstdio>
#include <cstring>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "client_server.h"
#include "kqvxi/kqvxi.h"
#include "platform/event.h"

namespace {

using client_test::Clock;
using client_test::InjectRetrying;
using client_test::MsSince;
using client_test::ServerTest;

std::uint32_t Code(int cls) {
    return KQVXI_EVENT_CODE(cls);
}

// The server's client count, from a sweep.
std::uint32_t ClientCount(std::uint16_t controller) {
    std::uint32_t count = 0xFFFFFFFFu;
    EXPECT_EQ(server_process::RequestRetrying(controller, KQVXI_CMD_SWEEP, &count), KQVXI_OK);
    return count;
}

TEST(ClientHandleApi, VersionStatusTextsOptionsAndArguments) {
    EXPECT_STREQ(kqvxi_version(), KQVXI_VERSION_STRING);
    std::set<std::string> texts;
    for (int status = 0; status >= KQVXI_E_CLOSED; --status) {
        const char* text = kqvxi_strerror(status);
        ASSERT_NE(text, nullptr);
        EXPECT_STRNE(text, "unknown status") << status;
        texts.insert(text);
    }
    EXPECT_EQ(texts.size(), static_cast<std::size_t>(1 - KQVXI_E_CLOSED)) << "one text per status";
    EXPECT_STREQ(kqvxi_strerror(7), "success");
    EXPECT_STREQ(kqvxi_strerror(KQVXI_E_CLOSED - 1), "unknown status");
    EXPECT_STREQ(kqvxi_strerror(INT_MIN), "unknown status");

    kqvxi_options o;
    std::memset(&o, 0xAB, sizeof o);
    kqvxi_options_init(&o);
    EXPECT_EQ(o.size, sizeof(kqvxi_options));
    EXPECT_EQ(o.flags, 0u);
    EXPECT_EQ(o.timeout_ms, KQVXI_DEFAULT_TIMEOUT_MS);
    EXPECT_EQ(o.coalesce_us, 0u);
    EXPECT_EQ(o.spin_us, 0u);
    kqvxi_options_init(nullptr);

    kqvxi_client* c = reinterpret_cast<kqvxi_client*>(1);
    EXPECT_EQ(kqvxi_client_open(1, nullptr, nullptr), KQVXI_E_ARG);
    kqvxi_options wrong = o;
    wrong.size = sizeof(kqvxi_options) - 4;
    EXPECT_EQ(kqvxi_client_open(1, &wrong, &c), KQVXI_E_ARG);
    EXPECT_EQ(c, nullptr);

    // Every call on no handle: an argument error, never a crash.
    kqvxi_event ev;
    kqvxi_stats st;
    intptr_t d = 0;
    EXPECT_EQ(kqvxi_client_close(nullptr), KQVXI_E_ARG);
    kqvxi_client_free(nullptr);
    EXPECT_EQ(kqvxi_select_class(nullptr, 0, 1), KQVXI_E_ARG);
    EXPECT_EQ(kqvxi_select_levels(nullptr, 0, 1, 1), KQVXI_E_ARG);
    EXPECT_EQ(kqvxi_select_source_levels(nullptr, 0, 1, 1), KQVXI_E_ARG);
    EXPECT_EQ(kqvxi_select_channel(nullptr, 0, 1, 1), KQVXI_E_ARG);
    EXPECT_EQ(kqvxi_client_read(nullptr, &ev, 1, 0), KQVXI_E_ARG);
    EXPECT_EQ(kqvxi_client_interrupt(nullptr), KQVXI_E_ARG);
    EXPECT_EQ(kqvxi_client_descriptor(nullptr, &d), KQVXI_E_ARG);
    EXPECT_EQ(kqvxi_client_stats(nullptr, &st), KQVXI_E_ARG);

    // No server: refused within the bound, nothing left open (a second try is
    // not taken for a second handle).
    o.timeout_ms = 200;
    const std::uint16_t none = server_process::OwnController(6);
    for (int i = 0; i < 2; ++i) {
        const Clock::time_point start = Clock::now();
        c = reinterpret_cast<kqvxi_client*>(1);
        EXPECT_EQ(kqvxi_client_open(none, &o, &c), KQVXI_E_NO_SERVER);
        EXPECT_EQ(c, nullptr);
        std::printf("open without a server refused in %.1f ms\n", MsSince(start));
    }
}

class ClientHandle : public ServerTest {};

// One injection and the event it gives to a client with every selection below.
struct Expected {
    int (*inject)(std::uint16_t controller);
    kqvxi_event event;
};

kqvxi_event Event(std::uint32_t code, std::uint32_t a1, std::uint32_t a2, std::uint32_t a3, int cls,
                  std::uint32_t value, std::int32_t index, std::uint32_t level,
                  std::uint32_t channel, std::uint32_t source, std::uint32_t marked) {
    kqvxi_event e{};
    e.raw = kqvxi_record{code, a1, a2, a3};
    e.cls = cls;
    e.value = value;
    e.index = index;
    e.level = level;
    e.channel = channel;
    e.source = source;
    e.marked = marked;
    return e;
}

const Expected SCRIPT[] = {
    {[](std::uint16_t c) { return kqvxi_inject_class(c, 0, 0xFFFF); },
     Event(Code(0), 0xFFFFFFFFu, 0, 0, 0, 0xFFFFFFFFu, 0, 0, 0, 0, 0)},
    {[](std::uint16_t c) { return kqvxi_inject_class(c, 1, 0); },
     Event(Code(1), 0, 0, 0, 1, 0, 0, 0, 0, 0, 0)},
    {[](std::uint16_t c) { return kqvxi_inject_class(c, 2, 0); },
     Event(Code(2), 0, 0, 0, 2, 0, 0, 0, 0, 0, 0)},
    {[](std::uint16_t c) { return kqvxi_inject_class(c, 3, 0x8000); },
     Event(Code(3), 0xFFFF8000u, 0, 0, 3, 0xFFFF8000u, 0, 0, 0, 0, 0)},
    {[](std::uint16_t c) { return kqvxi_inject_class(c, 4, 7); },
     Event(Code(4), 7, 0, 0, 4, 7, 0, 0, 0, 0, 0)},
    {[](std::uint16_t c) { return kqvxi_inject_class(c, 5, 0xFFFF); },
     Event(Code(5), 0xFFFF, 0, 0, 5, 0xFFFF, 0, 0, 0, 0, 0)},
    {[](std::uint16_t c) { return kqvxi_inject_source(c, 1, 5, 0, 0, 5, 1); },
     Event(Code(6), KQVXI_SOURCE_MARKER + 5, 0, 0, 6, 0, 0, 0, 0, 5, 1)},
    {[](std::uint16_t c) { return kqvxi_inject_source(c, 0, 9, 0, 0, 9, 1); },
     Event(Code(6), 9, 0, 0, 6, 0, 0, 0, 0, 9, 0)},
    {[](std::uint16_t c) { return kqvxi_inject_level(c, 3, 2, 0x10000); },
     Event(Code(7), 3, 2, 0x10000, 7, 0x10000, 3, 2, 0, 0, 0)},
    {[](std::uint16_t c) { return kqvxi_inject_level(c, -1, 7, 5); },
     Event(Code(7), 0xFFFFFFFFu, 7, 5, 7, 5, -1, 7, 0, 0, 0)},
    {[](std::uint16_t c) { return kqvxi_inject_source(c, 1, 6, 3, 2, 6, 0); },
     Event(Code(8), KQVXI_SOURCE_MARKER + 6, 3, 2, 8, 0, 3, 2, 0, 6, 1)},
    {[](std::uint16_t c) { return kqvxi_inject_channel(c, 4, 50, 0x1234); },
     Event(Code(9), 4, 50, 0x1234, 9, 0x1234, 4, 0, 50, 0, 0)},
    {[](std::uint16_t c) { return kqvxi_inject_channel(c, 4, 15, 1); },
     Event(Code(9), 4, 15, 1, 9, 1, 4, 0, 15, 0, 0)},
};
constexpr int SCRIPT_LENGTH = static_cast<int>(sizeof SCRIPT / sizeof SCRIPT[0]);

void ExpectSameEvent(const kqvxi_event& got, const kqvxi_event& want, int i) {
    EXPECT_EQ(got.raw.code, want.raw.code) << i;
    EXPECT_EQ(got.raw.arg1, want.raw.arg1) << i;
    EXPECT_EQ(got.raw.arg2, want.raw.arg2) << i;
    EXPECT_EQ(got.raw.arg3, want.raw.arg3) << i;
    EXPECT_EQ(got.cls, want.cls) << i;
    EXPECT_EQ(got.value, want.value) << i;
    EXPECT_EQ(got.index, want.index) << i;
    EXPECT_EQ(got.level, want.level) << i;
    EXPECT_EQ(got.channel, want.channel) << i;
    EXPECT_EQ(got.source, want.source) << i;
    EXPECT_EQ(got.marked, want.marked) << i;
}

TEST_F(ClientHandle, EveryClassArrivesDecodedAndCloseUnregistersOnce) {
    ASSERT_NO_FATAL_FAILURE(StartServer(0));
    ASSERT_EQ(kqvxi_client_open(controller, nullptr, &client), KQVXI_OK);
    ASSERT_NE(client, nullptr);

    // Arguments the server would misread are refused before any request.
    EXPECT_EQ(kqvxi_select_class(client, 7, 1), KQVXI_E_ARG);
    EXPECT_EQ(kqvxi_select_class(client, -1, 1), KQVXI_E_ARG);
    EXPECT_EQ(kqvxi_select_class(client, 10, 1), KQVXI_E_ARG);
    EXPECT_EQ(kqvxi_select_class(client, 1, 0), KQVXI_OK);
    EXPECT_EQ(kqvxi_select_levels(client, 0, 0, 1), KQVXI_E_ARG);
    EXPECT_EQ(kqvxi_select_levels(client, 0, 0x80, 1), KQVXI_E_ARG);
    EXPECT_EQ(kqvxi_select_levels(client, 255, 1, 1), KQVXI_E_ARG);
    EXPECT_EQ(kqvxi_select_source_levels(client, 255, 1, 1), KQVXI_E_ARG);
    EXPECT_EQ(kqvxi_select_channel(client, 256, 1, 1), KQVXI_E_ARG);
    for (std::uint32_t channel : {16u, 20u, 33u, 49u, 51u, 59u, 61u}) {
        EXPECT_EQ(kqvxi_select_channel(client, 0, channel, 1), KQVXI_E_ARG) << channel;
    }
    kqvxi_event ev[SCRIPT_LENGTH + 4];
    EXPECT_EQ(kqvxi_client_read(client, ev, 0, 0), KQVXI_E_ARG);

    for (int cls : {0, 2, 3, 4, 5, 6}) {
        ASSERT_EQ(kqvxi_select_class(client, cls, 1), KQVXI_OK) << cls;
    }
    ASSERT_EQ(kqvxi_select_levels(client, 3, KQVXI_LEVEL_BIT(2), 1), KQVXI_OK);
    ASSERT_EQ(kqvxi_select_levels(client, 254, KQVXI_ALL_LEVELS, 1), KQVXI_OK);
    ASSERT_EQ(kqvxi_select_source_levels(client, 3, KQVXI_LEVEL_BIT(2), 1), KQVXI_OK);
    ASSERT_EQ(kqvxi_select_channel(client, 4, 50, 1), KQVXI_OK);
    ASSERT_EQ(kqvxi_select_channel(client, 4, 60, 1), KQVXI_OK);
    // Index -1 reaches no table entry: the level event at -1 must not arrive.
    for (const Expected& e : SCRIPT) {
        ASSERT_TRUE(InjectRetrying([&] { return e.inject(controller); }));
    }
    const int got = ReadEvents(ev, SCRIPT_LENGTH - 1);
    ASSERT_EQ(got, SCRIPT_LENGTH - 1);
    for (int i = 0, g = 0; i < SCRIPT_LENGTH; ++i) {
        if (SCRIPT[i].event.index == -1) {
            continue;
        }
        ExpectSameEvent(ev[g], SCRIPT[i].event, i);
        ++g;
    }
    EXPECT_EQ(kqvxi_client_read(client, ev, 4, 0), 0);

    kqvxi_stats s;
    ASSERT_EQ(kqvxi_client_stats(client, &s), KQVXI_OK);
    EXPECT_EQ(s.received, static_cast<std::uint64_t>(got));
    EXPECT_EQ(s.delivered, static_cast<std::uint64_t>(got));
    EXPECT_EQ(s.dropped, 0u);
    EXPECT_LT(s.slot, static_cast<std::uint32_t>(KQVXI_MAX_CLIENTS));
    EXPECT_EQ(s.server_pid, serverPid);
    EXPECT_EQ(s.controller, controller);
    EXPECT_EQ(s.server_restarts, 0u);
    EXPECT_EQ(ClientCount(controller), 1u);

    // Deselected classes stop arriving.
    ASSERT_EQ(kqvxi_select_class(client, 0, 0), KQVXI_OK);
    ASSERT_EQ(kqvxi_select_levels(client, 3, KQVXI_LEVEL_BIT(2), 0), KQVXI_OK);
    ASSERT_TRUE(InjectRetrying([&] { return kqvxi_inject_class(controller, 0, 1); }));
    ASSERT_TRUE(InjectRetrying([&] { return kqvxi_inject_level(controller, 3, 2, 1); }));
    ASSERT_TRUE(InjectRetrying([&] { return kqvxi_inject_class(controller, 1, 0); }));
    ASSERT_EQ(ReadEvents(ev, 1), 1);
    EXPECT_EQ(ev[0].cls, KQVXI_CLASS_1);

    EXPECT_EQ(kqvxi_client_close(client), KQVXI_OK);
    EXPECT_EQ(kqvxi_client_close(client), KQVXI_OK);
    EXPECT_EQ(ClientCount(controller), 0u) << "close unregistered";
    intptr_t d = 0;
    EXPECT_EQ(kqvxi_select_class(client, 0, 1), KQVXI_E_CLOSED);
    EXPECT_EQ(kqvxi_select_class(client, 1, 1), KQVXI_E_CLOSED);
    EXPECT_EQ(kqvxi_select_levels(client, 0, 1, 1), KQVXI_E_CLOSED);
    EXPECT_EQ(kqvxi_select_channel(client, 0, 1, 1), KQVXI_E_CLOSED);
    EXPECT_EQ(kqvxi_client_read(client, ev, 1, 1000), KQVXI_E_CLOSED);
    EXPECT_EQ(kqvxi_client_stats(client, &s), KQVXI_E_CLOSED);
    EXPECT_EQ(kqvxi_client_descriptor(client, &d), KQVXI_E_CLOSED);
    EXPECT_EQ(kqvxi_client_interrupt(client), KQVXI_OK);
    kqvxi_client_free(client);
    client = nullptr;
    EXPECT_TRUE(server_process::ExitIs(StopServer(), 0));
}

TEST_F(ClientHandle, AProcessHoldsOneHandleForAnyController) {
    ASSERT_NO_FATAL_FAILURE(StartServer(1));
    ASSERT_EQ(kqvxi_client_open(controller, nullptr, &client), KQVXI_OK);
    kqvxi_client* second = reinterpret_cast<kqvxi_client*>(1);
    EXPECT_EQ(kqvxi_client_open(controller, nullptr, &second), KQVXI_E_BUSY);
    EXPECT_EQ(second, nullptr);
    EXPECT_EQ(kqvxi_client_open(static_cast<std::uint16_t>(controller + 1), nullptr, &second),
              KQVXI_E_BUSY);
    EXPECT_EQ(second, nullptr);
    EXPECT_EQ(ClientCount(controller), 1u);
    // Closed, the process may open again, and the new handle works.
    EXPECT_EQ(kqvxi_client_close(client), KQVXI_OK);
    ASSERT_EQ(kqvxi_client_open(controller, nullptr, &second), KQVXI_OK);
    EXPECT_EQ(kqvxi_select_class(second, 5, 1), KQVXI_OK);
    ASSERT_TRUE(InjectRetrying([&] { return kqvxi_inject_class(controller, 5, 42); }));
    kqvxi_client_free(client);
    client = second;
    kqvxi_event ev;
    ASSERT_EQ(ReadEvents(&ev, 1), 1);
    EXPECT_EQ(ev.cls, KQVXI_CLASS_5);
    EXPECT_EQ(ev.value, 42u);
}

TEST_F(ClientHandle, InterruptAndCloseEndAWaitingRead) {
    ASSERT_NO_FATAL_FAILURE(StartServer(2));
    ASSERT_EQ(kqvxi_client_open(controller, nullptr, &client), KQVXI_OK);
    kqvxi_event ev[4];

    // An interrupt with no read waiting is kept for the next read that would wait.
    ASSERT_EQ(kqvxi_client_interrupt(client), KQVXI_OK);
    EXPECT_EQ(kqvxi_client_read(client, ev, 4, 5000), KQVXI_E_INTERRUPTED);
    EXPECT_EQ(kqvxi_client_read(client, ev, 4, 0), 0) << "taken once";

    for (int round = 0; round < 5; ++round) {
        int result = 1;
        std::thread reader([&] { result = kqvxi_client_read(client, ev, 4, KQVXI_INFINITE); });
        OsSleep(50);
        const Clock::time_point interrupted = Clock::now();
        ASSERT_EQ(kqvxi_client_interrupt(client), KQVXI_OK);
        reader.join();
        const double ms = MsSince(interrupted);
        EXPECT_EQ(result, KQVXI_E_INTERRUPTED);
        std::printf("an interrupted read returned %.3f ms after the interrupt\n", ms);
        EXPECT_LT(ms, 1000.0) << "the target is 10 ms; the bound leaves room for a loaded machine";
    }

    // A read that does not wait (timeout 0) leaves the interrupt to the one that does.
    for (int round = 0; round < 5; ++round) {
        int result = 1;
        kqvxi_event mine[4];
        std::thread reader([&] { result = kqvxi_client_read(client, mine, 4, 5000); });
        OsSleep(50);
        ASSERT_EQ(kqvxi_client_interrupt(client), KQVXI_OK);
        EXPECT_EQ(kqvxi_client_read(client, ev, 4, 0), 0)
            << "a non-waiting read took the interrupt";
        reader.join();
        EXPECT_EQ(result, KQVXI_E_INTERRUPTED) << "round " << round;
    }

    // Records first: an interrupt does not hide them, and waits for the next wait.
    ASSERT_TRUE(InjectRetrying([&] { return kqvxi_inject_class(controller, 1, 0); }));
    kqvxi_stats s;
    const Clock::time_point start = Clock::now();
    while (kqvxi_client_stats(client, &s) == KQVXI_OK && s.delivered == 0 &&
           MsSince(start) < 10000) {
        OsSleep(2);
    }
    ASSERT_EQ(kqvxi_client_interrupt(client), KQVXI_OK);
    EXPECT_EQ(kqvxi_client_read(client, ev, 4, KQVXI_INFINITE), 1);
    EXPECT_EQ(kqvxi_client_read(client, ev, 4, KQVXI_INFINITE), KQVXI_E_INTERRUPTED);

    // A close ends the wait with KQVXI_E_CLOSED.
    int result = 1;
    std::thread reader([&] { result = kqvxi_client_read(client, ev, 4, KQVXI_INFINITE); });
    OsSleep(50);
    const Clock::time_point closing = Clock::now();
    EXPECT_EQ(kqvxi_client_close(client), KQVXI_OK);
    reader.join();
    EXPECT_EQ(result, KQVXI_E_CLOSED);
    std::printf("close with a waiting read took %.3f ms\n", MsSince(closing));
}

TEST_F(ClientHandle, WithoutReregisterAServerRestartEndsTheStreamAndSendsNothing) {
    ASSERT_NO_FATAL_FAILURE(StartServer(3));
    ASSERT_EQ(kqvxi_client_open(controller, nullptr, &client), KQVXI_OK);
    ASSERT_EQ(kqvxi_select_class(client, 5, 1), KQVXI_OK);
    ASSERT_TRUE(InjectRetrying([&] { return kqvxi_inject_class(controller, 5, 1); }));
    // Let the record reach the ring before the server dies.
    kqvxi_event ev[4];
    kqvxi_stats s;
    const Clock::time_point start = Clock::now();
    while (kqvxi_client_stats(client, &s) == KQVXI_OK && s.delivered == 0 &&
           MsSince(start) < 10000) {
        OsSleep(5);
    }
    ASSERT_NO_FATAL_FAILURE(KillServer());

    // What the ring holds comes first, then the end.
    ASSERT_EQ(kqvxi_client_read(client, ev, 4, KQVXI_INFINITE), 1);
    EXPECT_EQ(ev[0].cls, KQVXI_CLASS_5);
    const Clock::time_point gone = Clock::now();
    EXPECT_EQ(kqvxi_client_read(client, ev, 4, KQVXI_INFINITE), KQVXI_E_SERVER_GONE);
    std::printf("the server's end was seen in %.1f ms\n", MsSince(gone));
    EXPECT_EQ(kqvxi_client_read(client, ev, 4, 0), KQVXI_E_SERVER_GONE);
    EXPECT_EQ(kqvxi_client_stats(client, &s), KQVXI_E_NOT_REGISTERED);
    EXPECT_EQ(s.delivered, 0u);
    EXPECT_EQ(s.received, 1u);

    // The new server does not know this process: nothing may reach it.
    ASSERT_NO_FATAL_FAILURE(Spawn());
    EXPECT_EQ(kqvxi_select_class(client, 0, 1), KQVXI_E_NOT_REGISTERED);
    EXPECT_EQ(kqvxi_select_levels(client, 1, 1, 0), KQVXI_E_NOT_REGISTERED);
    EXPECT_EQ(kqvxi_client_read(client, ev, 4, 300), KQVXI_E_SERVER_GONE);
    EXPECT_EQ(kqvxi_client_close(client), KQVXI_OK);
    EXPECT_TRUE(server_process::WaitServing(controller, 5000)) << "the new server still serves";
    EXPECT_EQ(ClientCount(controller), 0u);
    EXPECT_TRUE(server_process::ExitIs(StopServer(), 0));
}

TEST_F(ClientHandle, WithReregisterANewServerGetsTheClientAndItsSelections) {
    ASSERT_NO_FATAL_FAILURE(StartServer(4));
    kqvxi_options o;
    kqvxi_options_init(&o);
    o.flags = KQVXI_OPEN_REREGISTER;
    ASSERT_EQ(kqvxi_client_open(controller, &o, &client), KQVXI_OK);
    ASSERT_EQ(kqvxi_select_class(client, 5, 1), KQVXI_OK);
    ASSERT_EQ(kqvxi_select_levels(client, 9, KQVXI_LEVEL_BIT(3) | KQVXI_LEVEL_BIT(4), 1), KQVXI_OK);
    ASSERT_EQ(kqvxi_select_levels(client, 9, KQVXI_LEVEL_BIT(4), 0), KQVXI_OK);
    ASSERT_EQ(kqvxi_select_channel(client, 200, 60, 1), KQVXI_OK);
    ASSERT_NO_FATAL_FAILURE(KillServer());

    kqvxi_event ev[4];
    int result = 0;
    // The read waits for the new server (started meanwhile) and answers once.
    std::thread starter([&] {
        OsSleep(300);
        Spawn();
    });
    const Clock::time_point start = Clock::now();
    while (result == 0 && MsSince(start) < 30000) {
        result = kqvxi_client_read(client, ev, 4, 1000);
    }
    starter.join();
    ASSERT_EQ(result, KQVXI_E_RESTARTED);
    std::printf("re-registered %.1f ms after the old server was killed\n", MsSince(start));
    kqvxi_stats s;
    ASSERT_EQ(kqvxi_client_stats(client, &s), KQVXI_OK);
    EXPECT_EQ(s.server_restarts, 1u);
    EXPECT_EQ(s.server_pid, serverPid);
    EXPECT_EQ(ClientCount(controller), 1u);
    EXPECT_EQ(kqvxi_client_read(client, ev, 4, 0), 0) << "RESTARTED comes once";

    // The selections came along: level 3 at 9 and channel 60 at 200, not level 4.
    ASSERT_TRUE(InjectRetrying([&] { return kqvxi_inject_level(controller, 9, 4, 1); }));
    ASSERT_TRUE(InjectRetrying([&] { return kqvxi_inject_class(controller, 5, 77); }));
    ASSERT_TRUE(InjectRetrying([&] { return kqvxi_inject_level(controller, 9, 3, 2); }));
    ASSERT_TRUE(InjectRetrying([&] { return kqvxi_inject_channel(controller, 200, 15, 3); }));
    ASSERT_EQ(ReadEvents(ev, 3), 3);
    EXPECT_EQ(ev[0].cls, KQVXI_CLASS_5);
    EXPECT_EQ(ev[0].value, 77u);
    EXPECT_EQ(ev[1].cls, KQVXI_CLASS_LEVEL);
    EXPECT_EQ(ev[1].level, 3u);
    EXPECT_EQ(ev[2].cls, KQVXI_CLASS_CHANNEL);
    EXPECT_EQ(ev[2].channel, 15u);
    ASSERT_EQ(kqvxi_client_stats(client, &s), KQVXI_OK);
    EXPECT_EQ(s.received, 3u);

    EXPECT_EQ(kqvxi_client_close(client), KQVXI_OK);
    EXPECT_EQ(ClientCount(controller), 0u);
    EXPECT_TRUE(server_process::ExitIs(StopServer(), 0));
}

TEST_F(ClientHandle, CoalescingAndSpinningReadsKeepOrderAndCountEveryRecord) {
    constexpr std::uint32_t RECORDS = 500;
    ASSERT_NO_FATAL_FAILURE(StartServer(6));
    kqvxi_options o;
    kqvxi_options_init(&o);
    o.coalesce_us = 100;
    o.spin_us = 20;
    ASSERT_EQ(kqvxi_client_open(controller, &o, &client), KQVXI_OK);
    ASSERT_EQ(kqvxi_select_class(client, 5, 1), KQVXI_OK);
    std::thread injector([&] {
        for (std::uint32_t i = 0; i < RECORDS; ++i) {
            InjectRetrying(
                [&] { return kqvxi_inject_class(controller, 5, static_cast<std::uint16_t>(i)); });
            if (i % 16 == 0) {
                OsSleep(1);
            }
        }
    });
    std::vector<std::uint32_t> values;
    kqvxi_stats s{};
    kqvxi_event ev[16];
    const Clock::time_point start = Clock::now();
    while (MsSince(start) < 60000) {
        const int n = kqvxi_client_read(client, ev, 16, 50);
        if (n < 0) {
            ADD_FAILURE() << kqvxi_strerror(n);
            break;
        }
        for (int i = 0; i < n; ++i) {
            values.push_back(ev[i].value);
        }
        if (kqvxi_client_stats(client, &s) != KQVXI_OK || values.size() + s.dropped >= RECORDS) {
            break;
        }
    }
    injector.join();
    for (std::size_t i = 1; i < values.size(); ++i) {
        ASSERT_LT(values[i - 1], values[i]) << i;
    }
    EXPECT_EQ(values.size() + s.dropped, RECORDS);
    std::printf("%zu received, %llu dropped, in %.0f ms\n", values.size(),
                static_cast<unsigned long long>(s.dropped), MsSince(start));
}

// Registers through the low-level request and stays until its end event is
// set. args: controller, end event, ready event.
KQ_CHILD_ROLE(client_handle_plain_client) {
    if (args.size() != 3) {
        return 2;
    }
    const auto controller = static_cast<std::uint16_t>(std::stoul(args[0]));
    std::uint32_t a1 = 0, a2 = 0, a3 = 0;
    if (server_process::RequestRetrying(controller, KQVXI_CMD_REGISTER, &a1, &a2, &a3) !=
        KQVXI_OK) {
        return 3;
    }
    OsHandle end = OsCreateEvent(args[1].c_str(), true, false);
    OsHandle ready = OsCreateEvent(args[2].c_str(), false, false);
    OsSetEvent(ready);
    OsWaitForObject(end, 120000);
    OsCloseHandle(end);
    OsCloseHandle(ready);
    return 0;
}

TEST_F(ClientHandle, TheFiftyFirstClientIsRefusedAndTheServerGoesOn) {
    ASSERT_NO_FATAL_FAILURE(StartServer(5));
    const std::string endName = UniqueName("handle full end");
    OsHandle end = OsCreateEvent(endName.c_str(), true, false);
    std::vector<ReadyChild> children;
    for (int i = 0; i < KQVXI_MAX_CLIENTS; ++i) {
        const std::string readyName = UniqueName("handle full ready " + std::to_string(i));
        children.push_back(StartReady("client_handle_plain_client",
                                      {std::to_string(controller), endName, readyName}, readyName));
        ASSERT_NE(children.back().handle, OS_NO_HANDLE) << i;
    }
    EXPECT_EQ(ClientCount(controller), static_cast<std::uint32_t>(KQVXI_MAX_CLIENTS));
    client = reinterpret_cast<kqvxi_client*>(1);
    EXPECT_EQ(kqvxi_client_open(controller, nullptr, &client), KQVXI_E_FULL);
    EXPECT_EQ(client, nullptr);
    EXPECT_TRUE(server_process::WaitServing(controller, 5000)) << "the server still serves";
    EXPECT_EQ(ClientCount(controller), static_cast<std::uint32_t>(KQVXI_MAX_CLIENTS));

    // Once one has ended, its slot is swept and the handle gets it.
    OsSetEvent(end);
    for (ReadyChild& child : children) {
        EXPECT_EQ(WaitChild(child.handle, 30000), 0);
    }
    ASSERT_EQ(kqvxi_client_open(controller, nullptr, &client), KQVXI_OK);
    EXPECT_EQ(ClientCount(controller), 1u);
    EXPECT_EQ(kqvxi_client_close(client), KQVXI_OK);
    OsCloseHandle(end);
    EXPECT_TRUE(server_process::ExitIs(StopServer(), 0));
}

}  // namespace
