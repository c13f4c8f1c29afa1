// Finding a client by process id, and the guard that lets the main thread wait
// for the dispatch thread's walk of the table.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "queue_test_util.h"

namespace {

class QueueClientTable : public testing::Test {
  protected:
    void TearDown() override {
        for (std::uint32_t slot = 0; slot < MAX_CLIENTS; ++slot) {
            RemovePlantedClient(slot);
        }
    }
};

TEST_F(QueueClientTable, FindsTheFirstRegisteredSlotOfAProcess) {
    const std::uint32_t first = FakeClientPid(1);
    const std::uint32_t other = FakeClientPid(2);
    std::uint32_t slot = 77;
    EXPECT_EQ(FindClientSlot(first, &slot), SLOT_NOT_FOUND);
    EXPECT_EQ(slot, 77u);

    ASSERT_NE(PlantClient(4, first), nullptr);
    ASSERT_NE(PlantClient(9, first), nullptr);
    ASSERT_NE(PlantClient(49, other), nullptr);
    ASSERT_EQ(FindClientSlot(first, &slot), 0);
    EXPECT_EQ(slot, 4u);
    ASSERT_EQ(FindClientSlot(other, &slot), 0);
    EXPECT_EQ(slot, 49u);

    ASSERT_EQ(RemovePlantedClient(4), 0);
    ASSERT_EQ(FindClientSlot(first, &slot), 0);
    EXPECT_EQ(slot, 9u);
    ASSERT_EQ(RemovePlantedClient(9), 0);
    EXPECT_EQ(FindClientSlot(first, &slot), SLOT_NOT_FOUND);
    EXPECT_EQ(FindClientSlot(0, &slot), SLOT_NOT_FOUND);  // a free slot matches no pid
}

// The block's ownerPid is the client's to rewrite: a client that writes another's
// pid there must neither take over that client's requests nor lose its own.
TEST_F(QueueClientTable, GoesByThePidTheSlotWasOpenedFor) {
    const std::uint32_t honest = FakeClientPid(3);
    const std::uint32_t liar = FakeClientPid(4);
    ASSERT_NE(PlantClient(2, honest), nullptr);
    AsyncQueueBlock* lying = PlantClient(5, liar);
    ASSERT_NE(lying, nullptr);
    OsVolatileStore(&lying->ownerPid, honest);

    std::uint32_t slot = 77;
    ASSERT_EQ(FindClientSlot(honest, &slot), 0);
    EXPECT_EQ(slot, 2u);
    ASSERT_EQ(FindClientSlot(liar, &slot), 0);
    EXPECT_EQ(slot, 5u);
}

TEST_F(QueueClientTable, WaitForWalkersReturnsOnlyAfterTheRunningWalk) {
    WaitForTableWalkers();  // no walk: returns at once

    std::atomic<int> phase{0};
    std::thread walker([&] {
        BeginTableWalk();
        phase = 1;
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        phase = 2;
        EndTableWalk();
    });
    while (phase.load() == 0) {
        std::this_thread::yield();
    }
    WaitForTableWalkers();
    EXPECT_EQ(phase.load(), 2);
    walker.join();
}

}  // namespace
