// Ring operations on a block in ordinary memory: fill and overflow, the wrap
// from record 99 to 0, takes from an empty ring, and indexes the client process
// could have scribbled out of range.
#include <gtest/gtest.h>

#include <memory>

#include "queue_test_util.h"

namespace {

constexpr std::uint32_t kUntouched = 0xA5A5A5A5u;

class QueueRing : public testing::Test {
  protected:
    void SetUp() override {
        // Exactly one block on the heap, so that AddressSanitizer flags any byte
        // written outside it.
        block.reset(new AsyncQueueBlock);
        std::memset(block.get(), 0, sizeof(AsyncQueueBlock));
        for (std::uint32_t i = 0; i < QUEUE_DEPTH; ++i) {
            block->ring[i].reserved = 0x5E000000u + i;
        }
        ResetQueue(block.get());
    }

    std::uint32_t Append(std::uint32_t n) {
        return AppendRecord(block.get(), n, n + 1, n + 2, n + 3);
    }

    std::uint32_t Take(std::uint32_t out[4]) {
        return TakeRecord(block.get(), &out[0], &out[1], &out[2], &out[3]);
    }

    std::unique_ptr<AsyncQueueBlock> block;
};

TEST_F(QueueRing, HoldsNinetyNineRecordsThenRefusesWithoutChange) {
    for (std::uint32_t i = 0; i < 99; ++i) {
        ASSERT_EQ(Append(i), QUEUE_OK) << "append " << i;
    }
    EXPECT_EQ(block->writeIndex, 99u);
    std::vector<unsigned char> before = BlockBytes(block.get());
    EXPECT_EQ(Append(1000), QUEUE_FULL);
    EXPECT_EQ(BlockBytes(block.get()), before);

    std::uint32_t out[4];
    ASSERT_EQ(Take(out), QUEUE_OK);
    EXPECT_EQ(out[0], 0u);
    EXPECT_EQ(Append(1000), QUEUE_OK);  // the freed record makes room
    EXPECT_EQ(block->writeIndex, 0u);
    EXPECT_EQ(Append(1001), QUEUE_FULL);
}

TEST_F(QueueRing, LastRecordFillsAndWrapsWhenReaderHasMoved) {
    block->readIndex = 0;
    block->writeIndex = 99;
    std::vector<unsigned char> before = BlockBytes(block.get());
    EXPECT_EQ(Append(7), QUEUE_FULL);
    EXPECT_EQ(BlockBytes(block.get()), before);

    block->readIndex = 50;
    EXPECT_EQ(Append(7), QUEUE_OK);
    EXPECT_EQ(block->writeIndex, 0u);
    EXPECT_EQ(block->ring[99].code, 7u);
    EXPECT_EQ(block->ring[99].arg3, 10u);
    EXPECT_EQ(block->ring[99].reserved, 0x5E000000u + 99);
}

TEST_F(QueueRing, TakeFromEmptyLeavesOutputsUnwritten) {
    block->readIndex = 37;
    block->writeIndex = 37;
    std::vector<unsigned char> before = BlockBytes(block.get());
    std::uint32_t out[4] = {kUntouched, kUntouched, kUntouched, kUntouched};
    EXPECT_EQ(Take(out), QUEUE_EMPTY);
    for (std::uint32_t v : out) {
        EXPECT_EQ(v, kUntouched);
    }
    EXPECT_EQ(BlockBytes(block.get()), before);
}

TEST_F(QueueRing, TakesInAppendOrderAcrossTheWrapAndZeroesTakenRecords) {
    block->readIndex = 95;
    block->writeIndex = 95;
    for (std::uint32_t i = 0; i < 10; ++i) {
        ASSERT_EQ(Append(100 * i), QUEUE_OK);
    }
    EXPECT_EQ(block->writeIndex, 5u);
    for (std::uint32_t i = 0; i < 10; ++i) {
        std::uint32_t index = (95 + i) % QUEUE_DEPTH;
        std::uint32_t out[4];
        ASSERT_EQ(Take(out), QUEUE_OK);
        EXPECT_EQ(out[0], 100 * i);
        EXPECT_EQ(out[1], 100 * i + 1);
        EXPECT_EQ(out[2], 100 * i + 2);
        EXPECT_EQ(out[3], 100 * i + 3);
        const QueueRecord& taken = block->ring[index];
        EXPECT_EQ(taken.code | taken.arg1 | taken.arg2 | taken.arg3, 0u);
        EXPECT_EQ(taken.reserved, 0x5E000000u + index);
    }
    std::uint32_t out[4];
    EXPECT_EQ(Take(out), QUEUE_EMPTY);
}

// The block is writable by the client process: out-of-range indexes must never
// address a record. The producer sees a full ring, the consumer an empty one.
TEST_F(QueueRing, IndexesOutOfRangeWriteNothing) {
    const std::uint32_t cases[][2] = {
        {100, 0}, {0, 100}, {0xFFFFFFFFu, 5}, {5, 0x80000000u}, {0x0CCCCCCDu, 0x0CCCCCCDu}};
    for (const auto& c : cases) {
        block->readIndex = c[0];
        block->writeIndex = c[1];
        std::vector<unsigned char> before = BlockBytes(block.get());
        EXPECT_EQ(Append(1), QUEUE_FULL) << c[0] << "," << c[1];
        std::uint32_t out[4] = {kUntouched, kUntouched, kUntouched, kUntouched};
        EXPECT_EQ(Take(out), QUEUE_EMPTY) << c[0] << "," << c[1];
        EXPECT_EQ(out[0], kUntouched);
        EXPECT_EQ(BlockBytes(block.get()), before);
    }
}

}  // namespace
