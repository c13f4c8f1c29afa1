// The event handlers, run through the driver test double as a dispatch would run
// them: event code table, argument widening, source checks, level and channel
// bits, slot order, full rings, and indexes outside their mask tables.
#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>

#include "delivery/dispatch.h"
#include "delivery/rthndlr.h"
#include "delivery_clients.h"
#include "locks/mutex.h"
#include "platform/types.h"
#include "queue/asyncque.h"
#include "queue/lifecycle.h"
#include "support/client_slots.h"
#include "support/fake_driver.h"

namespace {

constexpr std::uint32_t Code(std::uint32_t eventClass) {
    return EVENT_CODE_BASE + eventClass;
}

// A source event: the handler's argument, and what QueryEventSource reports.
FakeEvent Source(bool marked, std::uint32_t source, std::uint32_t index, std::uint32_t level,
                 std::uint32_t reportedSource, std::uint32_t kind, std::int16_t status = 0) {
    FakeEvent e = FakeDriverEvent(marked ? "marked" : "source", source);
    e.queryStatus = status;
    e.queryIndex = index;
    e.queryLevel = level;
    e.querySource = reportedSource;
    e.queryKind = kind;
    return e;
}

class DeliveryHandlers : public ::testing::Test {
  protected:
    void SetUp() override {
        FakeDriverReset();
        ASSERT_EQ(InstallHandlers(0, 0), 0);
    }
    void TearDown() override {
        UnregisterAllTestClients();
        FakeDriverReset();
    }
    static void Run(const FakeEvent& e) { ASSERT_TRUE(FakeDriverRunHandler(e)) << e.kind; }
    static void ExpectNothing(std::uint32_t slot) {
        EXPECT_TRUE(TakeAll(slot).empty()) << "slot " << slot;
    }
    static void ExpectOnly(std::uint32_t slot, const TestRecord& r) {
        EXPECT_EQ(TakeAll(slot), std::vector<TestRecord>{r}) << "slot " << slot;
    }
};

// One row of the event code table: the event, how a client selects it and
// deselects it, and the record it gives.
struct Row {
    const char* name;
    FakeEvent event;
    void (*select)(AsyncQueueBlock*);
    void (*deselect)(AsyncQueueBlock*);
    TestRecord record;
    bool everyone;  // reaches every registered client whatever it selected
};

TEST_F(DeliveryHandlers, EachCodeReachesExactlyTheClientsThatSelectIt) {
    const Row rows[] = {
        {"class 0",
         FakeDriverEvent("class0", 0x1234),
         [](AsyncQueueBlock* b) { b->enableClass0 = 1; },
         [](AsyncQueueBlock* b) { b->enableClass0 = 0; },
         {Code(0), 0x1234, 0, 0},
         false},
        {"class 1",
         FakeDriverEvent("class1"),
         [](AsyncQueueBlock*) {},
         [](AsyncQueueBlock*) {},
         {Code(1), 0, 0, 0},
         true},
        {"class 2",
         FakeDriverEvent("class2"),
         [](AsyncQueueBlock* b) { b->enableClass2 = 1; },
         [](AsyncQueueBlock* b) { b->enableClass2 = 0; },
         {Code(2), 0, 0, 0},
         false},
        {"class 3",
         FakeDriverEvent("class3", 0x0123),
         [](AsyncQueueBlock* b) { b->enableClass3 = 1; },
         [](AsyncQueueBlock* b) { b->enableClass3 = 0; },
         {Code(3), 0x0123, 0, 0},
         false},
        {"class 4",
         FakeDriverEvent("class4", 0x7FFF),
         [](AsyncQueueBlock* b) { b->enableClass4 = 1; },
         [](AsyncQueueBlock* b) { b->enableClass4 = 0; },
         {Code(4), 0x7FFF, 0, 0},
         false},
        {"class 5",
         FakeDriverEvent("class5", 0x8001),
         [](AsyncQueueBlock* b) { b->enableClass5 = 1; },
         [](AsyncQueueBlock* b) { b->enableClass5 = 0; },
         {Code(5), 0x8001, 0, 0},
         false},
        {"class 6",
         Source(false, 5, 0, 0, 5, 1),
         [](AsyncQueueBlock* b) { b->enableClass6 = 1; },
         [](AsyncQueueBlock* b) { b->enableClass6 = 0; },
         {Code(6), 5, 0, 0},
         false},
        {"class 7",
         FakeDriverEvent("level", 3, 2, 0xCAFEF00D),
         [](AsyncQueueBlock* b) { b->levelMask[3] = 0x0002; },
         [](AsyncQueueBlock* b) { b->levelMask[3] = 0xFFFD; },
         {Code(7), 3, 2, 0xCAFEF00D},
         false},
        {"class 8",
         Source(false, 5, 3, 2, 5, 0),
         [](AsyncQueueBlock* b) { b->sourceMask[3] = 0x0002; },
         [](AsyncQueueBlock* b) { b->sourceMask[3] = 0xFFFD; },
         {Code(8), 5, 3, 2},
         false},
        {"class 9",
         FakeDriverEvent("channel", 4, 50, 0xBEEF),
         [](AsyncQueueBlock* b) { b->channelMask[4] = 0x4000; },
         [](AsyncQueueBlock* b) { b->channelMask[4] = 0xBFFF; },
         {Code(9), 4, 50, 0xBEEF},
         false},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        // Slot 2 selects only this row; slot 5 selects everything but this row;
        // slot 9 selects nothing at all.
        AsyncQueueBlock* selecting = RegisterTestClient(2);
        AsyncQueueBlock* others = RegisterTestClient(5);
        ASSERT_NE(RegisterTestClient(9), nullptr);
        ASSERT_NE(selecting, nullptr);
        ASSERT_NE(others, nullptr);
        row.select(selecting);
        SelectEverything(others);
        row.deselect(others);

        Run(row.event);

        ExpectOnly(2, row.record);
        EXPECT_TRUE(TakeWake(2));
        if (row.everyone) {
            ExpectOnly(5, row.record);
            ExpectOnly(9, row.record);
        } else {
            ExpectNothing(5);
            ExpectNothing(9);
            EXPECT_FALSE(TakeWake(5));
        }
        UnregisterAllTestClients();
    }
}

TEST_F(DeliveryHandlers, ArgumentsAreWidenedAsEachCodeDefines) {
    AsyncQueueBlock* b = RegisterTestClient(0);
    ASSERT_NE(b, nullptr);
    SelectEverything(b);

    Run(FakeDriverEvent("class0", 0xFFFF));
    Run(FakeDriverEvent("class3", 0xFFFF));
    Run(FakeDriverEvent("class4", 0x8000));
    Run(FakeDriverEvent("class5", 0xFFFF));
    Run(FakeDriverEvent("level", 5, 3, 0x10000));
    Run(FakeDriverEvent("level", 5, 3, 0xFFFFFFFF));
    Run(FakeDriverEvent("channel", 6, 0xFFEF, 0x12345));  // channel 0xFFEF: bit 15, as 15 and 60
    Run(Source(true, 0xFFFF, 254, 16, 0xFFFF, 0));

    const std::vector<TestRecord> expected = {
        {Code(0), 0xFFFFFFFF, 0, 0},  {Code(3), 0xFFFFFFFF, 0, 0},
        {Code(4), 0xFFFF8000, 0, 0},  {Code(5), 0x0000FFFF, 0, 0},
        {Code(7), 5, 3, 0x10000},     {Code(7), 5, 3, 0xFFFFFFFF},
        {Code(9), 6, 0xFFEF, 0x2345}, {Code(8), SOURCE_MARKER | 0xFFFF, 254, 16},
    };
    EXPECT_EQ(TakeAll(0), expected);
}

TEST_F(DeliveryHandlers, SourceHandlersCheckTheReportedEventAndMarkTheirRecords) {
    AsyncQueueBlock* a = RegisterTestClient(2);
    AsyncQueueBlock* b = RegisterTestClient(6);
    AsyncQueueBlock* all = RegisterTestClient(9);
    ASSERT_NE(a, nullptr);
    ASSERT_NE(b, nullptr);
    ASSERT_NE(all, nullptr);
    a->enableClass6 = 1;
    a->sourceMask[3] = 0x0002;  // level 2
    b->sourceMask[3] = 0x0001;  // level 1 only
    SelectEverything(all);

    Run(Source(true, 5, 0, 0, 5, 1));
    Run(Source(false, 5, 0, 0, 5, 1));
    Run(Source(false, 5, 3, 2, 5, 0));
    Run(Source(true, 5, 3, 2, 5, 0));
    Run(Source(false, 7, 0, 0, 7, 2));  // any kind but 0 and 0xFFFF is class 6
    // Only the low 16 bits of each reported value count.
    Run(Source(false, 5, 0x20003, 0x30002, 0x10005, 0x10000));
    std::vector<TestRecord> expected = {
        {Code(6), SOURCE_MARKER + 5, 0, 0}, {Code(6), 5, 0, 0}, {Code(8), 5, 3, 2},
        {Code(8), SOURCE_MARKER + 5, 3, 2}, {Code(6), 7, 0, 0}, {Code(8), 5, 3, 2},
    };
    EXPECT_EQ(TakeAll(2), expected);
    ExpectNothing(6);
    EXPECT_EQ(TakeAll(9).size(), expected.size());

    // Whatever the selections: no record for kind 0xFFFF, a foreign source or a
    // failed query.
    Run(Source(false, 5, 3, 2, 5, 0xFFFF));
    Run(Source(true, 5, 3, 2, 5, 0xFFFF));
    Run(Source(false, 5, 3, 2, 6, 1));
    Run(Source(true, 5, 3, 2, 0x0105, 0));
    Run(Source(false, 5, 3, 2, 5, 1, -3));
    Run(Source(true, 5, 3, 2, 5, 0, -1));
    ExpectNothing(2);
    ExpectNothing(9);
    EXPECT_EQ(FakeDriverCallCount("QueryEventSource"), 12u);
}

TEST_F(DeliveryHandlers, LevelsWithoutABitReachNoClient) {
    AsyncQueueBlock* b = RegisterTestClient(1);
    ASSERT_NE(b, nullptr);
    b->levelMask[3] = 0xFFFF;
    b->sourceMask[3] = 0xFFFF;
    Run(FakeDriverEvent("level", 3, 0, 1));
    Run(FakeDriverEvent("level", 3, 17, 1));
    Run(FakeDriverEvent("level", 3, 32, 1));
    Run(Source(false, 5, 3, 0, 5, 0));
    Run(Source(false, 5, 3, 17, 5, 0));
    ExpectNothing(1);

    // Level 33 wraps round to bit 0, as level 1 does.
    b->levelMask[3] = 0x0001;
    b->sourceMask[3] = 0x0001;
    Run(FakeDriverEvent("level", 3, 33, 9));
    Run(FakeDriverEvent("level", 3, 2, 9));
    Run(Source(false, 5, 3, 33, 5, 0));
    EXPECT_EQ(TakeAll(1), (std::vector<TestRecord>{{Code(7), 3, 33, 9}, {Code(8), 5, 3, 33}}));
}

TEST_F(DeliveryHandlers, ChannelsMatchTheirBitAndReportTheNumberAsReceived) {
    AsyncQueueBlock* b = RegisterTestClient(1);
    ASSERT_NE(b, nullptr);
    b->channelMask[4] = 0x4000;
    Run(FakeDriverEvent("channel", 4, 50, 1));
    Run(FakeDriverEvent("channel", 4, 14, 2));
    Run(FakeDriverEvent("channel", 4, 13, 3));
    b->channelMask[4] = 0xFFFF;
    Run(FakeDriverEvent("channel", 4, 20, 4));
    b->channelMask[4] = 0x0002;
    Run(FakeDriverEvent("channel", 4, 33, 5));
    EXPECT_EQ(TakeAll(1), (std::vector<TestRecord>{
                              {Code(9), 4, 50, 1}, {Code(9), 4, 14, 2}, {Code(9), 4, 33, 5}}));
}

TEST_F(DeliveryHandlers, IndexesOutsideTheirTablesReachNoClient) {
    // Every flag and entry is set, enableClass6 in all 32 bits: an index that
    // slipped past its table would land on a set neighbour and deliver.
    AsyncQueueBlock* b = RegisterTestClient(2);
    ASSERT_NE(b, nullptr);
    SelectEverything(b);
    b->enableClass6 = 0xFFFFFFFF;
    // A heap copy of a block, exactly its size, so that a read past its end is
    // caught by the address sanitizer. Its gates are all open too.
    auto* heapBlock = new AsyncQueueBlock{};
    SelectEverything(heapBlock);
    PublishClientBlock(11, heapBlock);

    for (std::uint32_t index : {0xFFFFu, 255u, 256u, 0x7FFFu, 0x8000u}) {
        SCOPED_TRACE(index);
        Run(FakeDriverEvent("level", index, 1, 0));
        Run(Source(false, 5, index, 1, 5, 0));
        if (index != 255) {
            Run(FakeDriverEvent("channel", index, 1, 0));
        }
    }
    PublishClientBlock(11, nullptr);
    delete heapBlock;
    ExpectNothing(2);

    // The last entry of each table still counts.
    Run(FakeDriverEvent("level", 254, 1, 0));
    Run(Source(false, 5, 254, 1, 5, 0));
    Run(FakeDriverEvent("channel", 255, 1, 0));
    EXPECT_EQ(TakeAll(2), (std::vector<TestRecord>{
                              {Code(7), 254, 1, 0}, {Code(8), 5, 254, 1}, {Code(9), 255, 1, 0}}));
}

TEST_F(DeliveryHandlers, AFullRingLosesTheNewRecordWhileLaterSlotsReceive) {
    AsyncQueueBlock* full = RegisterTestClient(1);
    AsyncQueueBlock* later = RegisterTestClient(4);
    ASSERT_NE(full, nullptr);
    ASSERT_NE(later, nullptr);
    full->enableClass0 = 1;
    later->enableClass0 = 1;
    for (std::uint32_t i = 0; i < QUEUE_DEPTH - 1; ++i) {
        Run(FakeDriverEvent("class0", i));
    }
    ASSERT_EQ(TakeAll(4).size(), QUEUE_DEPTH - 1);
    ASSERT_TRUE(TakeWake(1));
    ASSERT_TRUE(TakeWake(4));

    Run(FakeDriverEvent("class0", 0x4242));

    EXPECT_FALSE(TakeWake(1));
    EXPECT_EQ(full->lockCount, LOCK_FREE);
    ExpectOnly(4, {Code(0), 0x4242, 0, 0});
    EXPECT_TRUE(TakeWake(4));
    // The oldest records stay; the newest one was dropped.
    std::vector<TestRecord> kept = TakeAll(1);
    ASSERT_EQ(kept.size(), QUEUE_DEPTH - 1);
    EXPECT_EQ(kept.front().arg1, 0u);
    EXPECT_EQ(kept.back().arg1, QUEUE_DEPTH - 2);
}

TEST_F(DeliveryHandlers, LowerSlotsAreServedFirstAndRemovalWaitsForTheWalk) {
    AsyncQueueBlock* b7 = RegisterTestClient(7);
    AsyncQueueBlock* b3 = RegisterTestClient(3);
    ASSERT_NE(b7, nullptr);
    ASSERT_NE(b3, nullptr);
    b7->enableClass2 = 1;
    b3->enableClass2 = 1;

    // Stall the handler inside slot 3's post (the posting hook, with slot 3's
    // lock held): a handler serving slot 3 first must stop there before it
    // touches slot 7.
    static std::atomic<bool> holdSlot3{true};
    holdSlot3 = true;
    postingHook = [](std::uint32_t slot, PostPoint point) {
        while (slot == 3 && point == PostPoint::BeforeRelease && holdSlot3.load()) {
            OsSleep(1);
        }
    };
    std::atomic<bool> handlerDone{false};
    std::thread handler([&] {
        HandleClass2();
        handlerDone = true;
    });
    OsSleep(100);
    EXPECT_FALSE(handlerDone.load());
    ExpectNothing(7);

    // A removal on the main thread clears a slot and then waits for the walk.
    std::atomic<bool> removalWaited{false};
    std::thread removal([&] {
        WaitForTableWalkers();
        removalWaited = true;
    });
    OsSleep(50);
    EXPECT_FALSE(removalWaited.load());

    holdSlot3 = false;
    handler.join();
    removal.join();
    postingHook = nullptr;
    EXPECT_TRUE(removalWaited.load());
    ExpectOnly(3, {Code(2), 0, 0, 0});
    ExpectOnly(7, {Code(2), 0, 0, 0});
}

}  // namespace
