// Opening and closing slots' blocks: slot bounds, who initialises, re-opening,
// what the block shows of the server side after it closes, stale descriptors,
// and each failure step (through the platform's fault injection).
#include <gtest/gtest.h>

#include "kqvxi/client.h"
#include "platform/fault.h"
#include "queue_test_util.h"

namespace {

const EventMutex kClosed = {0, 0, 0};

bool SameDescriptor(const EventMutex& a, const EventMutex& b) {
    return a.name == b.name && a.event == b.event && a.lockWord == b.lockWord;
}

class QueueLifecycle : public testing::Test {
  protected:
    void TearDown() override {
        OsClearFaults();
        for (std::uint32_t slot = 0; slot < MAX_CLIENTS; ++slot) {
            if (SlotMapping(slot) != OS_NO_HANDLE || SlotView(slot) != nullptr) {
                CloseQueueBlock(slot, SIDE_SERVER);
            }
        }
    }
};

TEST_F(QueueLifecycle, SlotFortyNineOpensAndFiftyTouchesNothing) {
    std::uint32_t pid = FakeClientPid(2);
    AsyncQueueBlock* block = OpenQueueBlock(49, pid, SIDE_SERVER);
    ASSERT_NE(block, nullptr);
    EXPECT_EQ(SlotView(49), block);
    EXPECT_NE(SlotMapping(49), OS_NO_HANDLE);

    std::vector<OsHandle> mappings = AllSlotMappings();
    std::vector<AsyncQueueBlock*> views = AllSlotViews();
    EXPECT_EQ(OpenQueueBlock(50, pid, SIDE_SERVER), nullptr);
    EXPECT_EQ(OpenQueueBlock(0xFFFFFFFFu, pid, SIDE_SERVER), nullptr);
    EXPECT_EQ(CloseQueueBlock(50, SIDE_SERVER), -1);
    EXPECT_EQ(AllSlotMappings(), mappings);
    EXPECT_EQ(AllSlotViews(), views);

    EXPECT_EQ(CloseQueueBlock(49, SIDE_SERVER), 0);
    EXPECT_EQ(SlotView(49), nullptr);
    EXPECT_EQ(SlotMapping(49), OS_NO_HANDLE);
    EXPECT_EQ(CloseQueueBlock(49, SIDE_SERVER), -1);  // nothing open any more
}

TEST_F(QueueLifecycle, NewBlockHoldsOwnerAndFreeLockAndOnlyTheServerDescriptor) {
    std::uint32_t pid = FakeClientPid(3);
    AsyncQueueBlock* block = OpenQueueBlock(7, pid, SIDE_SERVER);
    ASSERT_NE(block, nullptr);
    std::vector<unsigned char> b = BlockBytes(block);
    EXPECT_EQ(ReadLE32(b, 0), 0xFFFFFFFFu);
    EXPECT_EQ(ReadLE32(b, 28), pid);
    EXPECT_NE(ReadLE32(b, 16), 0u);  // serverMutex.name: the server side is open
    for (std::size_t i = 4; i < QUEUE_BLOCK_SIZE; ++i) {
        if (i < 16 || i >= 32) {
            ASSERT_EQ(b[i], 0) << "byte " << i;
        }
    }
    EXPECT_TRUE(SameDescriptor(block->serverMutex, *SlotLock(7)));
}

TEST_F(QueueLifecycle, ReopeningAnOpenSlotReturnsTheSameViewAndOpensNoSecondLock) {
    std::uint32_t pid = FakeClientPid(4);
    AsyncQueueBlock* block = OpenQueueBlock(3, pid, SIDE_SERVER);
    ASSERT_NE(block, nullptr);
    EventMutex lock = *SlotLock(3);
    EXPECT_EQ(OpenQueueBlock(3, pid, SIDE_SERVER), block);
    EXPECT_EQ(OpenQueueBlock(3, FakeClientPid(5), SIDE_CLIENT), block);
    EXPECT_TRUE(SameDescriptor(*SlotLock(3), lock));
    EXPECT_TRUE(SameDescriptor(block->clientMutex, kClosed));
    EXPECT_EQ(block->ownerPid, pid);
}

// The client (this process, through the client library) creates its block first
// and puts records and selections in it; the server's open changes nothing but
// serverMutex, and its close clears serverMutex while the client keeps the rest.
TEST_F(QueueLifecycle, ClientCreatedBlockIsKeptAndOutlivesTheServerSide) {
    kqvxi_queue* queue = kqvxi_queue_open();
    ASSERT_NE(queue, nullptr);
    std::uint32_t pid = OsCurrentProcessId();
    OsHandle mapping = OS_NO_HANDLE;
    AsyncQueueBlock* client = MapQueueBlock(pid, &mapping);  // a second view, as the client's
    ASSERT_NE(client, nullptr);
    EXPECT_NE(client->clientMutex.name, 0u);
    client->enableClass3 = 1;
    client->levelMask[10] = 0x0042;
    client->channelMask[255] = 0x8000;
    ASSERT_EQ(AppendRecord(client, 0xDEAD0003u, 1, 2, 3), QUEUE_OK);
    std::vector<unsigned char> before = BlockBytes(client);

    AsyncQueueBlock* server = OpenQueueBlock(11, pid, SIDE_SERVER);
    ASSERT_NE(server, nullptr);
    std::vector<unsigned char> after = BlockBytes(client);
    for (std::size_t i = 0; i < QUEUE_BLOCK_SIZE; ++i) {
        if (i < 16 || i >= 28) {
            ASSERT_EQ(after[i], before[i]) << "byte " << i;
        }
    }
    EXPECT_NE(client->serverMutex.name, 0u);

    EXPECT_EQ(CloseQueueBlock(11, SIDE_SERVER), 0);
    EXPECT_TRUE(SameDescriptor(client->serverMutex, kClosed));
    after = BlockBytes(client);
    for (std::size_t i = 0; i < QUEUE_BLOCK_SIZE; ++i) {
        if (i < 16 || i >= 28) {
            ASSERT_EQ(after[i], before[i]) << "byte " << i;
        }
    }
    kqvxi_record record;
    EXPECT_EQ(kqvxi_queue_take(queue, &record), KQVXI_OK);
    EXPECT_EQ(record.code, 0xDEAD0003u);
    EXPECT_EQ(record.arg3, 3u);
    EXPECT_EQ(kqvxi_queue_take(queue, &record), KQVXI_E_EMPTY);
    kqvxi_queue_close(queue);
    EXPECT_TRUE(SameDescriptor(client->clientMutex, kClosed));
    EXPECT_TRUE(OsUnmapView(client));
    EXPECT_TRUE(OsCloseHandle(mapping));
}

// A serverMutex left by an ended server (or written by the client) is not
// trusted: the server opens its own lock and posts through it.
TEST_F(QueueLifecycle, StaleServerDescriptorIsReplacedByAWorkingLock) {
    std::uint32_t pid = FakeClientPid(6);
    OsHandle mapping = OS_NO_HANDLE;
    AsyncQueueBlock* client = MapQueueBlock(pid, &mapping);
    ASSERT_NE(client, nullptr);
    OsHandle decoy = OsCreateEvent(nullptr, false, true);
    ASSERT_NE(decoy, OS_NO_HANDLE);
    client->serverMutex = {0x00DEAD00u, static_cast<std::uint32_t>(decoy), 0x00001000u};

    AsyncQueueBlock* server = PlantClient(12, pid);
    ASSERT_NE(server, nullptr);
    EXPECT_NE(SlotLock(12)->name, 0u);
    EXPECT_TRUE(SameDescriptor(server->serverMutex, *SlotLock(12)));
    EXPECT_EQ(PostEvent(pid, 12, 0xDEAD0001u, 4, 5, 6), 0);
    EXPECT_EQ(client->writeIndex, 1u);
    EXPECT_EQ(client->ring[0].arg1, 4u);
    EXPECT_EQ(client->lockCount, -1);
    EXPECT_TRUE(TakeSignal(decoy)) << "the decoy handle from the block was waited on or closed";

    EXPECT_EQ(RemovePlantedClient(12), 0);
    EXPECT_TRUE(OsCloseHandle(decoy));
    EXPECT_TRUE(OsUnmapView(client));
    EXPECT_TRUE(OsCloseHandle(mapping));
}

TEST_F(QueueLifecycle, FailedOpenStepsLeaveTheSlotClosed) {
    std::uint32_t pid = FakeClientPid(7);
    OsSetFault(OS_FAULT_CREATE_MAPPING, 0);
    EXPECT_EQ(OpenQueueBlock(20, pid, SIDE_SERVER), nullptr);
    EXPECT_EQ(SlotMapping(20), OS_NO_HANDLE);
    EXPECT_EQ(SlotView(20), nullptr);

    OsSetFault(OS_FAULT_MAP_VIEW, 0);
    EXPECT_EQ(OpenQueueBlock(20, pid, SIDE_SERVER), nullptr);
    EXPECT_EQ(SlotMapping(20), OS_NO_HANDLE);
    EXPECT_EQ(SlotView(20), nullptr);

    // The lock's event fails: the block is closed again, and a client that maps
    // it meanwhile sees no server descriptor.
    OsHandle mapping = OS_NO_HANDLE;
    AsyncQueueBlock* client = MapQueueBlock(pid, &mapping);
    ASSERT_NE(client, nullptr);
    OsSetFault(OS_FAULT_CREATE_EVENT, 0);
    EXPECT_EQ(OpenQueueBlock(20, pid, SIDE_SERVER), nullptr);
    OsClearFaults();
    EXPECT_EQ(SlotMapping(20), OS_NO_HANDLE);
    EXPECT_EQ(SlotView(20), nullptr);
    EXPECT_EQ(SlotLock(20)->name, 0u);
    EXPECT_TRUE(SameDescriptor(client->serverMutex, kClosed));
    EXPECT_EQ(client->lockCount, -1);

    EXPECT_NE(OpenQueueBlock(20, pid, SIDE_SERVER), nullptr);
    EXPECT_EQ(CloseQueueBlock(20, SIDE_SERVER), 0);
    EXPECT_TRUE(OsUnmapView(client));
    EXPECT_TRUE(OsCloseHandle(mapping));
}

TEST_F(QueueLifecycle, FailedCloseStepsCanBeFinishedLater) {
    std::uint32_t pid = FakeClientPid(8);
    ASSERT_NE(OpenQueueBlock(21, pid, SIDE_SERVER), nullptr);
    OsSetFault(OS_FAULT_UNMAP_VIEW, 0);
    EXPECT_EQ(CloseQueueBlock(21, SIDE_SERVER), -1);
    EXPECT_EQ(SlotLock(21)->name, 0u);  // the descriptor is closed already
    ASSERT_NE(SlotView(21), nullptr);
    EXPECT_TRUE(SameDescriptor(SlotView(21)->serverMutex, kClosed));
    EXPECT_NE(SlotMapping(21), OS_NO_HANDLE);
    EXPECT_EQ(CloseQueueBlock(21, SIDE_SERVER), 0);
    EXPECT_EQ(SlotView(21), nullptr);
    EXPECT_EQ(SlotMapping(21), OS_NO_HANDLE);

    ASSERT_NE(OpenQueueBlock(21, pid, SIDE_SERVER), nullptr);
    // The first handle closed is the lock's event, the second the mapping.
    OsSetFault(OS_FAULT_CLOSE_HANDLE, 1);
    EXPECT_EQ(CloseQueueBlock(21, SIDE_SERVER), -1);
    OsClearFaults();
    EXPECT_EQ(SlotView(21), nullptr);
    EXPECT_NE(SlotMapping(21), OS_NO_HANDLE);
    EXPECT_EQ(OpenQueueBlock(21, pid, SIDE_SERVER), nullptr);  // the slot is not closed yet
    EXPECT_EQ(CloseQueueBlock(21, SIDE_SERVER), 0);            // ... and its mapping not lost
    EXPECT_EQ(SlotMapping(21), OS_NO_HANDLE);
}

// Two slots of this process with the same client's block: the block shows the
// server side open until the last of them closes.
TEST_F(QueueLifecycle, ServerDescriptorStaysWhileAnotherSlotHasTheBlockOpen) {
    std::uint32_t pid = FakeClientPid(9);
    AsyncQueueBlock* first = OpenQueueBlock(30, pid, SIDE_SERVER);
    AsyncQueueBlock* second = OpenQueueBlock(31, pid, SIDE_SERVER);
    ASSERT_NE(first, nullptr);
    ASSERT_NE(second, nullptr);
    EXPECT_EQ(CloseQueueBlock(31, SIDE_SERVER), 0);
    EXPECT_TRUE(SameDescriptor(first->serverMutex, *SlotLock(30)));
    EXPECT_NE(first->serverMutex.name, 0u);
    EXPECT_EQ(CloseQueueBlock(30, SIDE_SERVER), 0);
}

}  // namespace
