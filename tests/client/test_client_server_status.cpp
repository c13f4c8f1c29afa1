// kqvxi_server_status against a statistics object this test publishes itself,
// as a server would: what it copies out (slots, counters, selection tables,
// uptime), whether a client's process is alive, the cap on entries handed out,
// and every way the object can say that no server runs (none, not initialised,
// cleared, another version, its server killed).
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <string>

#include "kqvxi/kqvxi.h"
#include "platform/atomic.h"
#include "platform/mapping.h"
#include "platform/process.h"
#include "queue/server_stats.h"
#include "support/child.h"
#include "support/server_process.h"

namespace {

KQ_CHILD_ROLE(exit_now) {
    (void)args;
    return 0;
}

std::uint64_t NowUnixMs() {
    using namespace std::chrono;
    return static_cast<std::uint64_t>(
        duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count());
}

// The statistics object of a controller of this test's own, written as its
// server writes it.
struct FakeServer {
    std::uint16_t controller = 0;
    OsHandle mapping = OS_NO_HANDLE;
    ServerStats* stats = nullptr;

    explicit FakeServer(std::uint16_t c) : controller(c) {
        char name[SERVER_STATS_NAME_SIZE];
        FormatServerStatsName(name, controller);
        mapping = OsCreateMapping(name, sizeof(ServerStats), nullptr);
        if (mapping != OS_NO_HANDLE) {
            stats = static_cast<ServerStats*>(OsMapView(mapping, sizeof(ServerStats)));
        }
    }
    ~FakeServer() {
        if (stats != nullptr) {
            OsUnmapView(stats);
        }
        if (mapping != OS_NO_HANDLE) {
            OsCloseHandle(mapping);
        }
    }
    void Publish(std::uint32_t instance, std::uint32_t pid, std::uint64_t startedAt) {
        OsAtomicStore(&stats->magic, SERVER_STATS_MAGIC);
        OsAtomicStore(&stats->version, SERVER_STATS_VERSION);
        OsAtomicStore(&stats->serverPid, pid);
        OsAtomicStore(&stats->controller, std::uint32_t{controller});
        OsAtomicStore(&stats->startedAtUnixMs, startedAt);
        OsAtomicStore(&stats->instance, instance);
    }
    StatsSlot& Hold(std::uint32_t slot, std::uint32_t registration, std::uint32_t pid) {
        StatsSlot& s = stats->slots[slot];
        OsAtomicStore(&s.pid, pid);
        OsAtomicStore(&s.selections.flagClasses, 0x2u);
        OsAtomicStore(&s.registration, registration);
        OsAtomicStore(&stats->clientCount, OsAtomicLoad(&stats->clientCount) + 1);
        return s;
    }
};

// A process id that has ended (a child that exited and was reaped).
std::uint32_t EndedPid() {
    std::uint32_t pid = 0;
    OsHandle child = SpawnChild("exit_now", {}, &pid);
    EXPECT_NE(child, OS_NO_HANDLE);
    EXPECT_EQ(WaitChild(child), 0);
    return pid;
}

TEST(ClientServerStatus, ArgumentsAndNoServer) {
    const std::uint16_t controller = server_process::OwnController(1);
    kqvxi_server_info server;
    kqvxi_client_info client;
    EXPECT_EQ(kqvxi_server_status(controller, nullptr, nullptr, 0), KQVXI_E_ARG);
    EXPECT_EQ(kqvxi_server_status(controller, &server, &client, -1), KQVXI_E_ARG);
    EXPECT_EQ(kqvxi_server_status(controller, &server, nullptr, 1), KQVXI_E_ARG);
    // No object at all.
    EXPECT_EQ(kqvxi_server_status(controller, &server, &client, 1), KQVXI_E_NO_SERVER);

    FakeServer fake(controller);
    ASSERT_NE(fake.stats, nullptr);
    // Created but not initialised yet: zero magic.
    EXPECT_EQ(kqvxi_server_status(controller, &server, nullptr, 0), KQVXI_E_NO_SERVER);
    // Another layout version.
    fake.Publish(5, OsCurrentProcessId(), NowUnixMs());
    OsAtomicStore(&fake.stats->version, SERVER_STATS_VERSION + 1);
    EXPECT_EQ(kqvxi_server_status(controller, &server, nullptr, 0), KQVXI_E_NO_SERVER);
    // Cleared by its server at shutdown.
    fake.Publish(5, OsCurrentProcessId(), NowUnixMs());
    EXPECT_EQ(kqvxi_server_status(controller, &server, nullptr, 0), 0);
    OsAtomicStore(&fake.stats->instance, 0u);
    EXPECT_EQ(kqvxi_server_status(controller, &server, nullptr, 0), KQVXI_E_NO_SERVER);
    // Its server was killed and never cleared it.
    fake.Publish(6, EndedPid(), NowUnixMs());
    server.pid = 12345;
    EXPECT_EQ(kqvxi_server_status(controller, &server, nullptr, 0), KQVXI_E_NO_SERVER);
    EXPECT_EQ(server.pid, 0u) << "a failed read leaves no stale server behind";
}

TEST(ClientServerStatus, CopiesServerAndClients) {
    const std::uint16_t controller = server_process::OwnController(2);
    FakeServer fake(controller);
    ASSERT_NE(fake.stats, nullptr);
    const std::uint64_t started = NowUnixMs() - 5000;
    fake.Publish(77, OsCurrentProcessId(), started);

    const std::uint32_t ended = EndedPid();
    StatsSlot& live = fake.Hold(2, 10, OsCurrentProcessId());
    OsAtomicStore(&live.delivered, std::uint64_t{1} << 40);  // beyond 32 bits
    OsAtomicStore(&live.droppedFull, std::uint64_t{3});
    OsAtomicStore(&live.droppedEnded, std::uint64_t{4});
    OsAtomicStore(&live.droppedLockKept, std::uint64_t{5});
    OsAtomicStore(&live.lockWaits, std::uint64_t{6});
    OsAtomicStore(&live.selections.flagClasses, 0x23u);
    OsAtomicStore(&live.selections.levelMask[0], std::uint16_t{0x01});
    OsAtomicStore(&live.selections.levelMask[254], std::uint16_t{0x7F});
    OsAtomicStore(&live.selections.sourceMask[3], std::uint16_t{0x02});
    OsAtomicStore(&live.selections.channelMask[255], std::uint16_t{0x4000});
    fake.Hold(7, 11, ended);
    // A slot being withdrawn (registration 0) is not a client, whatever else it holds.
    OsAtomicStore(&fake.stats->slots[9].pid, OsCurrentProcessId());

    kqvxi_server_info server;
    kqvxi_client_info clients[KQVXI_MAX_CLIENTS];
    const std::uint64_t before = NowUnixMs();
    ASSERT_EQ(kqvxi_server_status(controller, &server, clients, KQVXI_MAX_CLIENTS), 2);
    const std::uint64_t after = NowUnixMs();
    EXPECT_EQ(server.controller, controller);
    EXPECT_EQ(server.pid, OsCurrentProcessId());
    EXPECT_EQ(server.instance, 77u);
    EXPECT_EQ(server.clients, 2u);
    EXPECT_GE(server.uptime_ms, before - started);
    EXPECT_LE(server.uptime_ms, after - started);

    const kqvxi_client_info& a = clients[0];
    EXPECT_EQ(a.slot, 2u);
    EXPECT_EQ(a.pid, OsCurrentProcessId());
    EXPECT_EQ(a.alive, 1u);
    EXPECT_EQ(a.flag_classes, 0x23u);
    EXPECT_EQ(a.delivered, std::uint64_t{1} << 40);
    EXPECT_EQ(a.dropped_full, 3u);
    EXPECT_EQ(a.dropped_ended, 4u);
    EXPECT_EQ(a.dropped_lock_kept, 5u);
    EXPECT_EQ(a.lock_waits, 6u);
    EXPECT_EQ(a.level_masks[0], 0x01);
    EXPECT_EQ(a.level_masks[254], 0x7F);
    EXPECT_EQ(a.source_level_masks[3], 0x02);
    EXPECT_EQ(a.channel_masks[255], 0x4000);
    EXPECT_EQ(a.level_masks[1], 0);

    const kqvxi_client_info& b = clients[1];
    EXPECT_EQ(b.slot, 7u);
    EXPECT_EQ(b.pid, ended);
    EXPECT_EQ(b.alive, 0u) << "a client whose process ended shows as ended until a sweep";
    EXPECT_EQ(b.flag_classes, 0x2u);

    // Fewer entries than clients: the count is still every client, the lowest
    // slot fills the one entry, and nothing is written beyond it.
    kqvxi_client_info two[2];
    std::memset(&two[1], 0xA5, sizeof two[1]);
    EXPECT_EQ(kqvxi_server_status(controller, &server, two, 1), 2);
    EXPECT_EQ(two[0].slot, 2u);
    EXPECT_EQ(two[1].pid, 0xA5A5A5A5u);
    EXPECT_EQ(kqvxi_server_status(controller, &server, nullptr, 0), 2);

    // A clock set back before the start reads as no uptime, not as ~584 million years.
    OsAtomicStore(&fake.stats->startedAtUnixMs, NowUnixMs() + 3600000);
    ASSERT_EQ(kqvxi_server_status(controller, &server, nullptr, 0), 2);
    EXPECT_EQ(server.uptime_ms, 0u);
}

}  // namespace
