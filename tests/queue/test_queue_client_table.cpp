// Finding a client by process id, and the guard that lets the main thread wait
// for the dispatch thread's walk of the table.
#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <thread>

#include "queue_test_util.h"

namespace {

class QueueClientTable : public testing::Test {
  protected:
    void SetUp() override {
        for (auto& block : blocks) {
            block.reset(new AsyncQueueBlock());
        }
    }
    void TearDown() override {
        for (auto& entry : clientTable.clientBlocks) {
            entry = nullptr;
        }
    }
    std::unique_ptr<AsyncQueueBlock> blocks[3];
};

TEST_F(QueueClientTable, FindsTheFirstRegisteredSlotOfAProcess) {
    std::uint32_t slot = 77;
    EXPECT_EQ(FindClientSlot(1234, &slot), SLOT_NOT_FOUND);
    EXPECT_EQ(slot, 77u);

    blocks[0]->ownerPid = 1234;
    blocks[1]->ownerPid = 1234;
    blocks[2]->ownerPid = 99;
    clientTable.clientBlocks[4] = blocks[0].get();
    clientTable.clientBlocks[9] = blocks[1].get();
    clientTable.clientBlocks[49] = blocks[2].get();
    ASSERT_EQ(FindClientSlot(1234, &slot), 0);
    EXPECT_EQ(slot, 4u);
    ASSERT_EQ(FindClientSlot(99, &slot), 0);
    EXPECT_EQ(slot, 49u);

    clientTable.clientBlocks[4] = nullptr;
    ASSERT_EQ(FindClientSlot(1234, &slot), 0);
    EXPECT_EQ(slot, 9u);
    clientTable.clientBlocks[9] = nullptr;
    EXPECT_EQ(FindClientSlot(1234, &slot), SLOT_NOT_FOUND);
    EXPECT_EQ(FindClientSlot(0, &slot), SLOT_NOT_FOUND);  // a free slot matches no pid
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
