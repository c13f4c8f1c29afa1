// Stress of the removal guard: a thread walks the client table and posts to every
// registered slot as fast as it can, as the dispatch thread's handlers do, while
// this thread registers, unregisters, replaces and sweeps hundreds of clients.
// Meant for the sanitizer legs: a post into a closed block or an unordered access
// to a table entry shows up there as a crash or a reported race.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdint>
#include <memory>
#include <thread>
#include <vector>

#include "command_support.h"
#include "platform/atomic.h"
#include "queue/asyncque.h"

using namespace command_test;

namespace {

constexpr std::uint32_t CODE_CLASS1 = 0xDEAD0001u;
constexpr std::uint32_t ROUNDS = 60;
constexpr std::uint32_t CLIENTS_PER_ROUND = 40;
constexpr auto TIME_LIMIT = std::chrono::seconds(120);

// A pid the walker may legitimately find in a block: one of this test's fake pids
// or a real process id.
bool PlausibleOwner(std::uint32_t pid) {
    return (pid & 0xFFFFFF00u) == (FakePid(0) & 0xFFFFFF00u) || (pid != 0 && pid < 0x40000000u);
}

struct Walker {
    std::atomic<bool> stop{false};
    std::atomic<std::uint64_t> walks{0};
    std::atomic<std::uint64_t> posts{0};
    std::atomic<std::uint64_t> strangeOwners{0};

    void Run() {
        std::uint32_t n = 0;
        while (!stop.load(std::memory_order_relaxed)) {
            BeginTableWalk();
            for (std::uint32_t slot = 0; slot < MAX_CLIENTS; ++slot) {
                AsyncQueueBlock* block = OsAtomicLoad(&clientTable.clientBlocks[slot]);
                if (block == nullptr) {
                    continue;
                }
                std::uint32_t owner = OsAtomicLoad(&block->ownerPid);
                if (!PlausibleOwner(owner)) {
                    strangeOwners.fetch_add(1, std::memory_order_relaxed);
                }
                PostEvent(owner, slot, CODE_CLASS1, ++n, slot, 0);
                posts.fetch_add(1, std::memory_order_relaxed);
            }
            EndTableWalk();
            walks.fetch_add(1, std::memory_order_relaxed);
        }
    }
};

// Runs a Walker on its own thread and stops it however the test leaves.
struct WalkerThread {
    Walker walker;
    std::thread thread;
    WalkerThread() : thread([this] { walker.Run(); }) {}
    ~WalkerThread() { Stop(); }
    void Stop() {
        walker.stop = true;
        if (thread.joinable()) {
            thread.join();
        }
    }
};

}  // namespace

TEST(CommandStress, PostingWalkerNeverReachesARemovedBlock) {
    ClearClientTable();
    WalkerThread running;
    Walker& walker = running.walker;
    const auto start = std::chrono::steady_clock::now();
    std::uint64_t registered = 0;
    std::uint64_t swept = 0;

    for (std::uint32_t round = 0; round < ROUNDS; ++round) {
        if (std::chrono::steady_clock::now() - start > TIME_LIMIT) {
            ADD_FAILURE() << "time limit reached after " << round << " rounds";
            break;
        }
        // Fill most of the table, with one client asking twice.
        for (std::uint32_t i = 0; i < CLIENTS_PER_ROUND; ++i) {
            ASSERT_TRUE(CarriesOn(Send(FakePid(i), CMD_REGISTER)));
            ++registered;
        }
        ASSERT_TRUE(CarriesOn(Send(FakePid(round % CLIENTS_PER_ROUND), CMD_REGISTER)));
        ASSERT_EQ(clientTable.clientCount, static_cast<std::int32_t>(CLIENTS_PER_ROUND));
        ASSERT_TRUE(CarriesOn(Send(FakePid(1), CMD_ENABLE, 0xDEAD0007u, round, 0xFFFF)));

        // Every fourth round, real processes that end: a sweep and a reused pid.
        if (round % 4 == 0) {
            auto a = std::make_unique<LiveChild>();
            auto b = std::make_unique<LiveChild>();
            ASSERT_TRUE(CarriesOn(Send(a->pid, CMD_REGISTER)));
            ASSERT_TRUE(CarriesOn(Send(b->pid, CMD_REGISTER)));
            registered += 2;
            ASSERT_EQ(a->EndAndWait(), 0);
            ASSERT_EQ(b->EndAndWait(), 0);
            ASSERT_TRUE(CarriesOn(Send(b->pid, CMD_REGISTER)));  // replaces b's old slot
            ASSERT_EQ(SlotsOf(b->pid).size(), 1u);
            // Where the ended process can still be opened by its id, the sweep
            // frees b's new slot too; elsewhere it has no handle and stays.
            const bool bStays = SlotProcess(SlotsOf(b->pid)[0]) == OS_NO_HANDLE;
            Args args;
            ASSERT_TRUE(CarriesOn(Send(0, CMD_SWEEP, &args)));
            EXPECT_EQ(args.arg1, CLIENTS_PER_ROUND + (bStays ? 1 : 0));
            swept += bStays ? 1 : 2;
            if (bStays) {
                ASSERT_TRUE(CarriesOn(Send(b->pid, CMD_UNREGISTER)));
            }
        }

        // Unregister in an order that leaves holes for the next round to refill.
        for (std::uint32_t i = round % 2; i < CLIENTS_PER_ROUND; i += 2) {
            ASSERT_TRUE(CarriesOn(Send(FakePid(i), CMD_UNREGISTER)));
        }
        for (std::uint32_t i = 1 - round % 2; i < CLIENTS_PER_ROUND; i += 2) {
            ASSERT_TRUE(CarriesOn(Send(FakePid(i), CMD_UNREGISTER)));
        }
        ASSERT_EQ(clientTable.clientCount, 0);
    }

    running.Stop();
    ClearClientTable();
    EXPECT_EQ(walker.strangeOwners.load(), 0u) << "the walker read a block that was not one";
    EXPECT_GT(walker.posts.load(), 0u);
    std::printf("stress: %llu registrations, %llu swept, %llu walks, %llu posts\n",
                static_cast<unsigned long long>(registered), static_cast<unsigned long long>(swept),
                static_cast<unsigned long long>(walker.walks.load()),
                static_cast<unsigned long long>(walker.posts.load()));
}
