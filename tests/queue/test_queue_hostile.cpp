// A client that scribbles on its block. Between posts the test writes random
// values (and the values of live handles) into the indexes, both descriptors,
// processHandle, ownerPid and the lock word of the block that PostEvent fills.
// Nothing outside the block may be written (the block is one exact-size heap
// allocation, so AddressSanitizer sees any stray byte), nothing inside it but the
// appended record and writeIndex, and no handle of this process may be closed or
// waited on because the block named it.
//
// The lock word that PostEvent really locks with is the one its own descriptor
// points at: the mapped block's. The scribbled lock word above is a copy the
// server never uses, so the first loop keeps the real one sane; the second test
// scribbles the real one too, with a client that has ended, where a post must
// give up instead of waiting.
#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <random>

#include "locks/mutex.h"
#include "support/child.h"
#include "queue_test_util.h"

namespace {

constexpr std::uint32_t kSlot = 23;

KQ_CHILD_ROLE(exit_at_once) {
    return static_cast<int>(args.size());
}

TEST(QueueHostileBlock, ScribbledFieldsNeverLeadOutsideTheBlock) {
    std::uint32_t pid = FakeClientPid(20);
    AsyncQueueBlock* mapped = PlantClient(kSlot, pid);
    ASSERT_NE(mapped, nullptr);
    OsHandle self = OsOpenProcess(OsCurrentProcessId());
    ASSERT_NE(self, OS_NO_HANDLE);
    SetSlotProcess(kSlot, self);
    OsHandle wake = clientTable.wakeEvents[kSlot];

    // A set decoy event: if anything waited on it, the signal would be taken.
    OsHandle decoy = OsCreateEvent(nullptr, false, true);
    ASSERT_NE(decoy, OS_NO_HANDLE);
    const std::uint32_t handles[] = {static_cast<std::uint32_t>(decoy),
                                     static_cast<std::uint32_t>(wake),
                                     static_cast<std::uint32_t>(self)};

    std::unique_ptr<AsyncQueueBlock> block(new AsyncQueueBlock);
    std::memset(block.get(), 0, sizeof(AsyncQueueBlock));
    block->ownerPid = pid;
    PublishClientBlock(kSlot, block.get());

    std::uint32_t seed = static_cast<std::uint32_t>(Clock::now().time_since_epoch().count());
    std::mt19937 random(seed);
    auto value = [&]() -> std::uint32_t {
        switch (random() % 4) {
            case 0:
                return random();
            case 1:
                return handles[random() % 3];
            case 2:
                return random() % 64;  // small values: handle numbers of this process
            default:
                return random() % 128;  // indexes in and just beyond the ring
        }
    };
    std::uint32_t appended = 0;
    std::uint32_t refused = 0;
    for (std::uint32_t i = 0; i < 20000; ++i) {
        block->readIndex = random() % 3 == 0 ? value() : random() % QUEUE_DEPTH;
        block->writeIndex = random() % 3 == 0 ? value() : random() % QUEUE_DEPTH;
        block->clientMutex = {value(), value(), value()};
        block->serverMutex = {value(), value(), value()};
        block->processHandle = value();
        block->lockCount = static_cast<std::int32_t>(value());
        bool foreign = random() % 16 == 0;
        block->ownerPid = foreign ? value() | 1u : pid;
        if (block->ownerPid == pid) {
            foreign = false;
        }
        std::uint32_t r = block->readIndex;
        std::uint32_t w = block->writeIndex;
        bool room = r < QUEUE_DEPTH && w < QUEUE_DEPTH && (w + 1) % QUEUE_DEPTH != r;
        std::vector<unsigned char> before = BlockBytes(block.get());

        std::int16_t result = PostEvent(pid, kSlot, 0xDEAD0009u, i, ~i, 7);
        ASSERT_EQ(result, foreign ? -1 : 0) << "seed " << seed << " post " << i;
        if (!foreign && room) {
            ++appended;
            ASSERT_EQ(block->writeIndex, (w + 1) % QUEUE_DEPTH) << "seed " << seed;
            ASSERT_EQ(block->ring[w].code, 0xDEAD0009u);
            ASSERT_EQ(block->ring[w].arg1, i);
            // Nothing else moved: restore what may change and compare the rest.
            block->writeIndex = w;
            std::memcpy(&block->ring[w].code, &before[40 + 20 * w + 4], 16);
        } else {
            ++refused;
        }
        ASSERT_EQ(BlockBytes(block.get()), before) << "seed " << seed << " post " << i;
        ASSERT_EQ(mapped->lockCount, -1) << "seed " << seed << " post " << i;
    }
    std::printf("seed %u: %u appended, %u refused\n", seed, appended, refused);
    EXPECT_GT(appended, 1000u);
    EXPECT_GT(refused, 1000u);

    // Every handle of this process still works and the decoy still holds its signal.
    EXPECT_TRUE(TakeSignal(decoy));
    EXPECT_TRUE(OsSetEvent(wake));
    EXPECT_TRUE(TakeSignal(wake));
    std::uint32_t exitCode = 0;
    EXPECT_TRUE(OsGetExitCodeProcess(self, &exitCode));
    EXPECT_EQ(exitCode, OS_STILL_ACTIVE);
    AcquireEventMutex(SlotLock(kSlot));
    EXPECT_EQ(mapped->lockCount, 0);
    ReleaseEventMutex(SlotLock(kSlot));
    EXPECT_EQ(mapped->lockCount, -1);

    PublishClientBlock(kSlot, mapped);
    EXPECT_EQ(RemovePlantedClient(kSlot), 0);
    OsCloseHandle(decoy);
    OsCloseHandle(self);
}

// The client wrote a random lock word and has ended: the post gives up instead
// of waiting for a hand-over that will never come, and drops its record.
TEST(QueueHostileBlock, ScribbledLockWordOfAnEndedClientDoesNotStallPosts) {
    std::uint32_t childPid = 0;
    OsHandle child = SpawnChild("exit_at_once", {}, &childPid);
    ASSERT_NE(child, OS_NO_HANDLE);
    ASSERT_EQ(OsWaitForObject(child, 20000), OS_WAIT_OBJECT_0);
    std::uint32_t pid = FakeClientPid(21);
    std::mt19937 random(static_cast<std::uint32_t>(Clock::now().time_since_epoch().count()));
    for (int round = 0; round < 3; ++round) {
        AsyncQueueBlock* block = PlantClient(kSlot, pid, child);
        ASSERT_NE(block, nullptr);
        EXPECT_FALSE(SlotAbandoned(kSlot));  // a fresh open forgets the last client
        // Any value but -1 (free): bit 9 clear rules out -1, either sign is possible.
        std::int32_t word = static_cast<std::int32_t>((random() & ~0x200u) | 0x100u);
        block->lockCount = word;
        Clock::time_point start = Clock::now();
        EXPECT_EQ(PostEvent(pid, kSlot, 0xDEAD0001u, 1, 2, 3), 0);
        EXPECT_EQ(PostEvent(pid, kSlot, 0xDEAD0001u, 1, 2, 3), 0);
        auto ms =
            std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
        EXPECT_LT(ms, 5000) << "lock word " << word;
        EXPECT_EQ(block->writeIndex, 0u);
        EXPECT_TRUE(SlotAbandoned(kSlot));
        EXPECT_EQ(RemovePlantedClient(kSlot), 0);
    }
    OsCloseHandle(child);
}

}  // namespace
