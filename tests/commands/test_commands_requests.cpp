// Client commands arriving as requests through the server's loop (in-process,
// against the driver double): the replies they get and how they end the server,
// and records reaching a client through the dispatch thread's handlers.
#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "../server/server_run.h"
#include "command_support.h"
#include "delivery/rthndlr.h"
#include "platform/fault.h"

using namespace command_test;
using namespace server_test;

namespace {

constexpr std::uint32_t CODE_BASE = 0xDEAD0000u;

class ClientRequests : public testing::Test {
  protected:
    void SetUp() override {
        FakeDriverReset();
        OsClearFaults();
        ClearClientTable();
    }
    void TearDown() override { ClearClientTable(); }
};

}  // namespace

TEST_F(ClientRequests, FiftyFirstRegistrationIsAnsweredThenTheServerEnds) {
    for (std::uint32_t i = 0; i <= MAX_CLIENTS; ++i) {
        QueueRequest(FakePid(i), CMD_REGISTER, i, i + 1000, i + 2000);
    }
    QueueRequest(FakePid(0), 99);
    EXPECT_EQ(RunServer(), EXIT_COMMAND_FAILED);
    std::vector<FakeReply> replies = FakeDriverReplies();
    ASSERT_EQ(replies.size(), MAX_CLIENTS + 1) << "the request after the failure was served";
    for (std::uint32_t i = 0; i <= MAX_CLIENTS; ++i) {
        EXPECT_EQ(replies[i].command, CMD_REGISTER);
        EXPECT_EQ(replies[i].arg1, i);
        EXPECT_EQ(replies[i].arg2, i + 1000);
        EXPECT_EQ(replies[i].arg3, i + 2000);
    }
    for (std::uint32_t s = 0; s < MAX_CLIENTS; ++s) {
        EXPECT_EQ(clientTable.clientBlocks[s], nullptr) << "shutdown left slot " << s;
        EXPECT_EQ(SlotMapping(s), OS_NO_HANDLE);
    }
}

TEST_F(ClientRequests, CommandFromAnUnknownPidIsAnsweredThenEndsTheServer) {
    for (std::uint32_t command : {CMD_ENABLE, CMD_DISABLE, CMD_UNREGISTER, CMD_STOP_UNREGISTER}) {
        SCOPED_TRACE(command);
        FakeDriverReset();
        QueueRequest(FakePid(1), CMD_REGISTER);
        QueueRequest(FakePid(2), command, CODE_BASE, 1, 2);
        QueueRequest(FakePid(1), CMD_STOP);
        EXPECT_EQ(RunServer(), EXIT_COMMAND_FAILED);
        std::vector<FakeReply> replies = FakeDriverReplies();
        ASSERT_EQ(replies.size(), 2u);
        EXPECT_EQ(replies[1].command, command);
        EXPECT_EQ(replies[1].arg1, CODE_BASE);
        EXPECT_EQ(replies[1].arg3, 2u);
    }
}

TEST_F(ClientRequests, StopAndUnregisterFromARegisteredClientEndsWithZero) {
    const std::uint32_t self = OsCurrentProcessId();
    QueueRequest(self, CMD_REGISTER);
    QueueRequest(self, CMD_ENABLE, CODE_BASE + 9, 4, 60);
    QueueRequest(self, CMD_STOP_UNREGISTER, 5, 6, 7);
    QueueRequest(self, 99);
    EXPECT_EQ(RunServer(), 0);
    std::vector<FakeReply> replies = FakeDriverReplies();
    ASSERT_EQ(replies.size(), 3u);
    EXPECT_EQ(replies[1].arg3, 15u) << "channel 60 goes back as 15";
    EXPECT_EQ(replies[2].command, CMD_STOP_UNREGISTER);
    EXPECT_EQ(replies[2].arg1, 5u);
    EXPECT_EQ(clientTable.clientCount, 0) << "the client was unregistered";
}

TEST_F(ClientRequests, WakeEventFailureEndsWithoutReply) {
    QueueRequest(FakePid(3), CMD_REGISTER);
    QueueRequest(FakePid(3), CMD_STOP);
    // Creations: server wake event, wait object, the block's lock event, then the
    // client's wake event.
    OsSetFault(OS_FAULT_CREATE_EVENT, 3);
    EXPECT_EQ(RunServer(), EXIT_STARTUP_FAILED);
    EXPECT_TRUE(FakeDriverReplies().empty());
    EXPECT_EQ(clientTable.clientBlocks[0], nullptr) << "shutdown did not remove the block";
    EXPECT_EQ(SlotMapping(0), OS_NO_HANDLE);
}

TEST_F(ClientRequests, SweepRepliesWithTheCount) {
    LiveChild ended;
    QueueRequest(FakePid(4), CMD_REGISTER);
    QueueRequest(ended.pid, CMD_REGISTER);
    QueueRequest(FakePid(5), CMD_REGISTER);
    auto run = std::async(std::launch::async, [] { return RunServer(); });
    ASSERT_TRUE(FakeDriverWaitReplies(3, 20000));
    ASSERT_EQ(ended.EndAndWait(), 0);
    QueueRequest(FakePid(4), CMD_SWEEP, 77, 78, 79);
    QueueRequest(FakePid(4), CMD_STOP);
    EXPECT_EQ(run.get(), 0);
    std::vector<FakeReply> replies = FakeDriverReplies();
    ASSERT_EQ(replies.size(), 5u);
    EXPECT_EQ(replies[3].arg1, 2u);
    EXPECT_EQ(replies[3].arg2, 78u);
}

TEST_F(ClientRequests, EnabledClientReceivesRecordsFromTheDispatchThread) {
    const std::uint32_t self = OsCurrentProcessId();
    QueueRequest(self, CMD_REGISTER);
    QueueRequest(self, CMD_ENABLE, CODE_BASE + 0);
    auto run = std::async(std::launch::async, [] { return RunServer(); });
    ASSERT_TRUE(FakeDriverWaitReplies(2, 20000));
    BlockView view(self);

    FakeEvent e;
    e.kind = "class0";
    e.a = 0x1234;
    FakeDriverQueueEvent(e);
    FakeDriverQueueEvent(FakeEvent{"class1"});
    ASSERT_TRUE(FakeDriverWaitIdle(20000));
    QueueRequest(self, CMD_UNREGISTER);
    QueueRequest(self, CMD_STOP);
    EXPECT_EQ(run.get(), 0);

    ASSERT_EQ(view.block->writeIndex, 3u);
    EXPECT_EQ(view.block->ring[0].code, CODE_BASE + 0);
    EXPECT_EQ(view.block->ring[0].arg1, 0x1234u);
    EXPECT_EQ(view.block->ring[1].code, CODE_BASE + 1);
    EXPECT_EQ(view.block->ring[2].code, CODE_UNREGISTERED);
}
