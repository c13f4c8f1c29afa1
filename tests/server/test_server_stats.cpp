// The server statistics object as the built kqvxi-server publishes it on the
// simulated board, read the way a client reads it: the header and instance of
// each start, slots published and withdrawn with registrations, selections
// mirrored, counts of a full ring, and an object that a process of the same
// user filled with garbage before or while the server ran.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>

#include "client/stats_view.h"
#include "kqvxi/client.h"
#include "kqvxi/events.h"
#include "kqvxi/inject.h"
#include "platform/atomic.h"
#include "platform/mapping.h"
#include "platform/process.h"
#include "queue/server_stats.h"
#include "support/child.h"
#include "support/server_process.h"

using namespace server_process;

namespace {

constexpr std::uint32_t REPLY_MS = 10000;
constexpr std::uint32_t SETTLE_MS = 10000;

// The object of controller as this process maps it (writable, as any process
// of the server's user can). Creates it when it is not there.
struct StatsMapping {
    OsHandle mapping = OS_NO_HANDLE;
    ServerStats* stats = nullptr;
    bool existed = false;

    explicit StatsMapping(std::uint16_t controller) {
        char name[SERVER_STATS_NAME_SIZE];
        FormatServerStatsName(name, controller);
        mapping = OsCreateMapping(name, sizeof(ServerStats), &existed);
        if (mapping != OS_NO_HANDLE) {
            stats = static_cast<ServerStats*>(OsMapView(mapping, sizeof(ServerStats)));
        }
    }
    ~StatsMapping() {
        if (stats != nullptr) {
            OsUnmapView(stats);
        }
        if (mapping != OS_NO_HANDLE) {
            OsCloseHandle(mapping);
        }
    }
    StatsMapping(const StatsMapping&) = delete;
    StatsMapping& operator=(const StatsMapping&) = delete;

    StatsSlot& Slot(std::uint32_t slot) const { return stats->slots[slot]; }
};

int Request(std::uint16_t controller, std::uint32_t command, std::uint32_t a1 = 0,
            std::uint32_t a2 = 0, std::uint32_t a3 = 0) {
    return kqvxi_request(controller, command, &a1, &a2, &a3, REPLY_MS);
}

// Polls until done() holds, for at most limitMs.
template <typename Done>
bool WaitFor(Done done, std::uint32_t limitMs = SETTLE_MS) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(limitMs);
    while (!done()) {
        if (std::chrono::steady_clock::now() >= end) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
}

std::uint64_t Load(const std::uint64_t& field) {
    return OsAtomicLoad(&field);
}
std::uint32_t Load(const std::uint32_t& field) {
    return OsAtomicLoad(&field);
}

// Raises count class-0 events, retrying while the board's queue is full.
// The number the board accepted (all of them unless it stayed full).
std::uint32_t InjectClass0(std::uint16_t controller, std::uint32_t count) {
    std::uint32_t accepted = 0;
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (accepted < count && std::chrono::steady_clock::now() < end) {
        const int result = kqvxi_inject_class(controller, 0, static_cast<std::uint16_t>(accepted));
        if (result == KQVXI_INJECT_OK) {
            ++accepted;
        } else {
            EXPECT_EQ(result, KQVXI_INJECT_FULL);
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    }
    return accepted;
}

std::uint32_t DrainAll(kqvxi_queue* queue) {
    std::uint32_t taken = 0;
    kqvxi_record record{};
    while (kqvxi_queue_take(queue, &record) == KQVXI_OK) {
        ++taken;
    }
    return taken;
}

// Every value of a free slot reads 0.
void ExpectFreeSlot(const StatsSlot& s, std::uint32_t slot) {
    SCOPED_TRACE("slot " + std::to_string(slot));
    EXPECT_EQ(Load(s.registration), 0u);
    EXPECT_EQ(Load(s.pid), 0u);
    EXPECT_EQ(Load(s.delivered) | Load(s.droppedFull) | Load(s.droppedEnded) |
                  Load(s.droppedLockKept) | Load(s.lockWaits),
              0u);
    EXPECT_EQ(Load(s.selections.flagClasses), 0u);
    const StatsSelections zero{};
    EXPECT_EQ(std::memcmp(&s.selections, &zero, sizeof zero), 0) << "a mask entry is not 0";
}

}  // namespace

TEST(ServerStats, EachStartPublishesANewInstanceAndAStopRetiresIt) {
    const std::uint16_t controller = OwnController(0);
    std::uint32_t firstInstance = 0;
    {
        ServerProcess server(controller);
        ASSERT_TRUE(WaitServing(controller));
        StatsMapping view(controller);
        ASSERT_NE(view.stats, nullptr);
        ASSERT_TRUE(view.existed) << "the running server had not created its object";
        const auto nowMs =
            static_cast<std::uint64_t>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                           std::chrono::system_clock::now().time_since_epoch())
                                           .count());
        firstInstance = Load(view.stats->instance);
        EXPECT_NE(firstInstance, 0u);
        EXPECT_EQ(Load(view.stats->magic), SERVER_STATS_MAGIC);
        EXPECT_EQ(Load(view.stats->version), SERVER_STATS_VERSION);
        EXPECT_EQ(Load(view.stats->serverPid), server.pid);
        EXPECT_EQ(Load(view.stats->controller), controller);
        EXPECT_EQ(Load(view.stats->clientCount), 0u);
        EXPECT_EQ(Load(view.stats->registrations), 0u);
        EXPECT_LE(Load(view.stats->startedAtUnixMs), nowMs);
        EXPECT_GT(Load(view.stats->startedAtUnixMs) + 60000, nowMs);

        // A client's read-only view agrees, and finds a registration's slot.
        StatsView reader{};
        ASSERT_TRUE(OpenStatsView(controller, &reader));
        EXPECT_EQ(LiveServerInstance(reader), firstInstance);
        ASSERT_EQ(RequestRetrying(controller, KQVXI_CMD_REGISTER), KQVXI_OK);
        std::uint32_t slot = 99, registration = 0;
        EXPECT_TRUE(FindStatsSlot(reader, OsCurrentProcessId(), &slot, &registration));
        EXPECT_EQ(slot, 0u);
        EXPECT_EQ(registration, 1u);
        StatsSlot copy{};
        EXPECT_TRUE(CopyStatsSlot(reader, 0, &copy));
        EXPECT_EQ(copy.selections.flagClasses, 1u << 1);
        ASSERT_EQ(RequestRetrying(controller, KQVXI_CMD_UNREGISTER), KQVXI_OK);
        EXPECT_FALSE(CopyStatsSlot(reader, 0, &copy));

        // Kept mapped across the stop: a clean stop leaves instance 0.
        ASSERT_EQ(server.Stop(), 0);
        EXPECT_EQ(Load(view.stats->instance), 0u);
        EXPECT_EQ(LiveServerInstance(reader), 0u);
        CloseStatsView(&reader);

        // A second server of the same controller takes the same object over
        // while a reader keeps it open.
        ServerProcess again(controller);
        ASSERT_TRUE(WaitServing(controller));
        const std::uint32_t secondInstance = Load(view.stats->instance);
        EXPECT_NE(secondInstance, 0u);
        EXPECT_NE(secondInstance, firstInstance);
        EXPECT_EQ(Load(view.stats->serverPid), again.pid);
        ASSERT_EQ(again.Stop(), 0);
        EXPECT_EQ(Load(view.stats->instance), 0u);
    }
}

TEST(ServerStats, ASecondServerOfTheControllerLeavesTheObjectAlone) {
    const std::uint16_t controller = OwnController(1);
    ServerProcess server(controller);
    ASSERT_TRUE(WaitServing(controller));
    StatsMapping view(controller);
    ASSERT_NE(view.stats, nullptr);
    const std::uint32_t instance = Load(view.stats->instance);

    // The board refuses the second server, which ends without touching the
    // running one's object.
    ServerProcess second(controller);
    EXPECT_TRUE(ExitIs(second.Wait(), -1));
    EXPECT_EQ(Load(view.stats->instance), instance);
    EXPECT_EQ(Load(view.stats->serverPid), server.pid);
    EXPECT_EQ(server.Stop(), 0);
}

TEST(ServerStats, RegistrationsPublishAndWithdrawSlotsAndMirrorSelections) {
    const std::uint16_t controller = OwnController(2);
    ServerProcess server(controller);
    ASSERT_TRUE(WaitServing(controller));
    StatsMapping view(controller);
    ASSERT_NE(view.stats, nullptr);
    const std::uint32_t me = OsCurrentProcessId();
    const StatsSlot& slot0 = view.Slot(0);

    ASSERT_EQ(Request(controller, KQVXI_CMD_REGISTER), KQVXI_OK);
    EXPECT_EQ(Load(slot0.registration), 1u);
    EXPECT_EQ(Load(slot0.pid), me);
    EXPECT_EQ(Load(slot0.selections.flagClasses), 1u << 1) << "a new client has class 1 only";
    EXPECT_EQ(Load(view.stats->clientCount), 1u);
    EXPECT_EQ(Load(view.stats->registrations), 1u);
    for (std::uint32_t s = 1; s < MAX_CLIENTS; ++s) {
        ExpectFreeSlot(view.Slot(s), s);
    }

    // Flag classes, and class 1, which has no flag.
    ASSERT_EQ(Request(controller, KQVXI_CMD_ENABLE, KQVXI_EVENT_CODE(0)), KQVXI_OK);
    ASSERT_EQ(Request(controller, KQVXI_CMD_ENABLE, KQVXI_EVENT_CODE(6)), KQVXI_OK);
    ASSERT_EQ(Request(controller, KQVXI_CMD_DISABLE, KQVXI_EVENT_CODE(1)), KQVXI_OK);
    EXPECT_EQ(Load(slot0.selections.flagClasses), (1u << 0) | (1u << 1) | (1u << 6));
    ASSERT_EQ(Request(controller, KQVXI_CMD_DISABLE, KQVXI_EVENT_CODE(0)), KQVXI_OK);
    EXPECT_EQ(Load(slot0.selections.flagClasses), (1u << 1) | (1u << 6));

    // Mask entries as applied: a disable of class 7 or 8 keeps bits 0 to 6 only,
    // channel 50 is bit 14; the last entry of each table counts, and an index
    // past it changes nothing.
    ASSERT_EQ(Request(controller, KQVXI_CMD_ENABLE, KQVXI_EVENT_CODE(7), 3, 0x0105), KQVXI_OK);
    EXPECT_EQ(OsAtomicLoad(&slot0.selections.levelMask[3]), 0x0105);
    ASSERT_EQ(Request(controller, KQVXI_CMD_DISABLE, KQVXI_EVENT_CODE(7), 3, 0x0001), KQVXI_OK);
    EXPECT_EQ(OsAtomicLoad(&slot0.selections.levelMask[3]), 0x0004);
    ASSERT_EQ(Request(controller, KQVXI_CMD_ENABLE, KQVXI_EVENT_CODE(8), 254, 0x8001), KQVXI_OK);
    EXPECT_EQ(OsAtomicLoad(&slot0.selections.sourceMask[254]), 0x8001);
    ASSERT_EQ(Request(controller, KQVXI_CMD_ENABLE, KQVXI_EVENT_CODE(9), 255, 50), KQVXI_OK);
    ASSERT_EQ(Request(controller, KQVXI_CMD_ENABLE, KQVXI_EVENT_CODE(9), 255, 33), KQVXI_OK);
    EXPECT_EQ(OsAtomicLoad(&slot0.selections.channelMask[255]), (1u << 14) | (1u << 1));
    ASSERT_EQ(Request(controller, KQVXI_CMD_DISABLE, KQVXI_EVENT_CODE(9), 255, 33), KQVXI_OK);
    EXPECT_EQ(OsAtomicLoad(&slot0.selections.channelMask[255]), 1u << 14);
    ASSERT_EQ(Request(controller, KQVXI_CMD_ENABLE, KQVXI_EVENT_CODE(7), 255, 0xFFFF), KQVXI_OK);
    EXPECT_EQ(OsAtomicLoad(&slot0.selections.sourceMask[0]), 0) << "past levelMask";

    // The unregistration record is posted, then the slot withdrawn whole.
    ASSERT_EQ(Request(controller, KQVXI_CMD_UNREGISTER), KQVXI_OK);
    ExpectFreeSlot(slot0, 0);
    EXPECT_EQ(Load(view.stats->clientCount), 0u);
    EXPECT_EQ(Load(view.stats->registrations), 1u);

    // The next registration has the next serial and starts from nothing.
    ASSERT_EQ(Request(controller, KQVXI_CMD_REGISTER), KQVXI_OK);
    EXPECT_EQ(Load(slot0.registration), 2u);
    EXPECT_EQ(Load(slot0.pid), me);
    EXPECT_EQ(Load(slot0.delivered), 0u) << "counts are per registration";
    EXPECT_EQ(Load(slot0.selections.flagClasses), 1u << 1);
    EXPECT_EQ(OsAtomicLoad(&slot0.selections.levelMask[3]), 0);
    EXPECT_EQ(Load(view.stats->registrations), 2u);

    // A client that ended is withdrawn by the sweep.
    std::uint32_t childPid = 0;
    OsHandle child = SpawnChild("register_and_exit", {std::to_string(controller)}, &childPid);
    ASSERT_NE(child, OS_NO_HANDLE);
    ASSERT_EQ(WaitChild(child, 30000), 0);
    EXPECT_EQ(Load(view.Slot(1).pid), childPid);
    EXPECT_EQ(Load(view.Slot(1).registration), 3u);
    EXPECT_EQ(Load(view.stats->clientCount), 2u);
    std::uint32_t count = 0;
    ASSERT_EQ(RequestRetrying(controller, KQVXI_CMD_SWEEP, &count), KQVXI_OK);
    EXPECT_EQ(count, 1u);
    ExpectFreeSlot(view.Slot(1), 1);
    EXPECT_EQ(Load(view.stats->clientCount), 1u);

    // Shutdown withdraws what is still registered.
    EXPECT_EQ(server.Stop(), 0);
    ExpectFreeSlot(slot0, 0);
    EXPECT_EQ(Load(view.stats->clientCount), 0u);
    EXPECT_EQ(Load(view.stats->instance), 0u);
}

// A client process that registers and ends without unregistering.
KQ_CHILD_ROLE(register_and_exit) {
    const auto controller = static_cast<std::uint16_t>(std::stoul(args.at(0)));
    return Request(controller, KQVXI_CMD_REGISTER) == KQVXI_OK ? 0 : 1;
}

TEST(ServerStats, AFullRingCountsEveryRecordItDropped) {
    const std::uint16_t controller = OwnController(3);
    ServerProcess server(controller);
    ASSERT_TRUE(WaitServing(controller));
    StatsMapping view(controller);
    ASSERT_NE(view.stats, nullptr);
    kqvxi_queue* queue = kqvxi_queue_open();
    ASSERT_NE(queue, nullptr);
    ASSERT_EQ(Request(controller, KQVXI_CMD_REGISTER), KQVXI_OK);
    ASSERT_EQ(Request(controller, KQVXI_CMD_ENABLE, KQVXI_EVENT_CODE(0)), KQVXI_OK);
    const StatsSlot& slot0 = view.Slot(0);

    // Nothing is taken while the events arrive: the ring holds 99 of them.
    const std::uint32_t injected = InjectClass0(controller, 250);
    ASSERT_EQ(injected, 250u);
    ASSERT_TRUE(WaitFor([&] {
        return Load(slot0.delivered) + Load(slot0.droppedFull) == injected;
    })) << "delivered "
        << Load(slot0.delivered) << " dropped " << Load(slot0.droppedFull);
    const std::uint32_t taken = DrainAll(queue);
    EXPECT_EQ(taken, QUEUE_DEPTH - 1);
    EXPECT_EQ(Load(slot0.delivered), taken);
    EXPECT_EQ(Load(slot0.droppedFull), injected - taken);
    EXPECT_EQ(Load(slot0.droppedEnded), 0u);
    EXPECT_EQ(Load(slot0.droppedLockKept), 0u);
    std::printf("full ring: %u injected, %u taken, %llu dropped full, %llu lock waits\n", injected,
                taken, static_cast<unsigned long long>(Load(slot0.droppedFull)),
                static_cast<unsigned long long>(Load(slot0.lockWaits)));

    // Room again: the next records are delivered and counted on top.
    ASSERT_EQ(InjectClass0(controller, 10), 10u);
    ASSERT_TRUE(WaitFor([&] { return Load(slot0.delivered) == taken + 10u; }));
    EXPECT_EQ(DrainAll(queue), 10u);

    ASSERT_EQ(Request(controller, KQVXI_CMD_STOP_UNREGISTER), KQVXI_OK);
    EXPECT_EQ(server.Wait(), 0);
    kqvxi_queue_close(queue);
}

TEST(ServerStats, AnObjectFullOfGarbageBeforeTheStartIsRewrittenWhole) {
    const std::uint16_t controller = OwnController(4);
    // Made first by a process of the server's user, and kept open by it.
    StatsMapping planted(controller);
    ASSERT_NE(planted.stats, nullptr);
    ASSERT_FALSE(planted.existed);
    std::memset(static_cast<void*>(planted.stats), 0xA5, sizeof(ServerStats));

    ServerProcess server(controller);
    ASSERT_TRUE(WaitServing(controller));
    const ServerStats& stats = *planted.stats;
    EXPECT_EQ(Load(stats.magic), SERVER_STATS_MAGIC);
    EXPECT_EQ(Load(stats.version), SERVER_STATS_VERSION);
    EXPECT_NE(Load(stats.instance), 0u);
    EXPECT_NE(Load(stats.instance), 0xA5A5A5A5u);
    EXPECT_EQ(Load(stats.serverPid), server.pid);
    EXPECT_EQ(Load(stats.controller), controller);
    EXPECT_EQ(Load(stats.clientCount), 0u);
    EXPECT_EQ(Load(stats.registrations), 0u);
    for (std::uint32_t s = 0; s < MAX_CLIENTS; ++s) {
        ExpectFreeSlot(stats.slots[s], s);
    }

    ASSERT_EQ(Request(controller, KQVXI_CMD_REGISTER), KQVXI_OK);
    EXPECT_EQ(Load(stats.slots[0].registration), 1u);
    EXPECT_EQ(Load(stats.slots[0].delivered), 0u);
    ASSERT_EQ(Request(controller, KQVXI_CMD_STOP_UNREGISTER), KQVXI_OK);
    EXPECT_EQ(server.Wait(), 0);
}

// Any process of the server's user can write the object while the server runs:
// the server reads nothing back, so what it publishes next is its own count, and
// it goes on serving.
TEST(ServerStats, ScribblingOnTheObjectDoesNotReachTheServer) {
    const std::uint16_t controller = OwnController(5);
    ServerProcess server(controller);
    ASSERT_TRUE(WaitServing(controller));
    StatsMapping view(controller);
    ASSERT_NE(view.stats, nullptr);
    kqvxi_queue* queue = kqvxi_queue_open();
    ASSERT_NE(queue, nullptr);
    ASSERT_EQ(Request(controller, KQVXI_CMD_REGISTER), KQVXI_OK);
    ASSERT_EQ(Request(controller, KQVXI_CMD_ENABLE, KQVXI_EVENT_CODE(0)), KQVXI_OK);
    const StatsSlot& slot0 = view.Slot(0);
    ASSERT_EQ(InjectClass0(controller, 10), 10u);
    ASSERT_TRUE(WaitFor([&] { return Load(slot0.delivered) == 10u; }));
    EXPECT_EQ(DrainAll(queue), 10u);

    for (std::uint8_t pattern : {std::uint8_t{0xFF}, std::uint8_t{0x00}, std::uint8_t{0x7F}}) {
        std::memset(static_cast<void*>(view.stats), pattern, sizeof(ServerStats));
    }
    ASSERT_EQ(InjectClass0(controller, 10), 10u);
    ASSERT_TRUE(WaitFor([&] { return Load(slot0.delivered) == 20u; }))
        << "delivered reads " << Load(slot0.delivered);
    EXPECT_EQ(DrainAll(queue), 10u);
    ASSERT_TRUE(WaitServing(controller));

    // What the server writes next is its own state again.
    ASSERT_EQ(Request(controller, KQVXI_CMD_ENABLE, KQVXI_EVENT_CODE(2)), KQVXI_OK);
    EXPECT_EQ(Load(slot0.selections.flagClasses), (1u << 0) | (1u << 1) | (1u << 2));
    ASSERT_EQ(Request(controller, KQVXI_CMD_UNREGISTER), KQVXI_OK);
    EXPECT_EQ(Load(slot0.registration), 0u);
    EXPECT_EQ(Load(view.stats->clientCount), 0u);
    ASSERT_EQ(Request(controller, KQVXI_CMD_REGISTER), KQVXI_OK);
    EXPECT_EQ(Load(slot0.registration), 2u);
    EXPECT_EQ(Load(view.stats->registrations), 2u);
    EXPECT_EQ(Load(view.stats->clientCount), 1u);
    // Counted from 0 again: the earlier registration's 21 records (the
    // unregistration's among them) are not carried over.
    ASSERT_EQ(Request(controller, KQVXI_CMD_ENABLE, KQVXI_EVENT_CODE(0)), KQVXI_OK);
    EXPECT_EQ(DrainAll(queue), 0u) << "a new registration starts with an empty ring";
    ASSERT_EQ(InjectClass0(controller, 3), 3u);
    ASSERT_TRUE(WaitFor([&] { return Load(slot0.delivered) >= 3u; }));
    EXPECT_EQ(Load(slot0.delivered), 3u);
    EXPECT_EQ(DrainAll(queue), 3u);
    ASSERT_EQ(Request(controller, KQVXI_CMD_STOP_UNREGISTER), KQVXI_OK);
    EXPECT_EQ(server.Wait(), 0);
    EXPECT_EQ(Load(view.stats->instance), 0u);
    kqvxi_queue_close(queue);
}
