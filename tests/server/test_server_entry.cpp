// In-process tests of the server's entry against the scripted driver double: the
// controller number from the command line, start-up order and its failures, the
// request loop's replies and exit statuses, and what shutdown calls.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "delivery/dispatch.h"
#include "platform/event.h"
#include "platform/fault.h"
#include "platform/process.h"
#include "platform/types.h"
#include "queue/server_stats.h"
#include "support/client_slots.h"
#include "server_run.h"

using namespace server_test;

namespace {

const std::vector<std::string> FULL_SET_INSTALLS = {
    "InstallClass0Handler", "InstallClass1Handler", "InstallClass2Handler",  "InstallClass3Handler",
    "InstallClass4Handler", "InstallLevelHandler",  "InstallChannelHandler", "InstallClass5Handler",
    "InstallSourceHandler", "InstallSourceHandler"};

class ServerEntry : public testing::Test {
  protected:
    void SetUp() override {
        FakeDriverReset();
        OsClearFaults();
    }
    void TearDown() override {
        OsClearFaults();
        EXPECT_EQ(dispatchThread, OS_NO_HANDLE) << "a run left its dispatch thread behind";
    }
};

// True when the armed fault of OsCreateEvent is still waiting for its call, that
// is when nothing created an event since it was set. Consumes the fault.
bool CreateEventFaultStillArmed() {
    OsHandle probe = OsCreateEvent(nullptr, false, false);
    if (probe != OS_NO_HANDLE) {
        OsCloseHandle(probe);
        return false;
    }
    return true;
}

std::vector<std::string> Concat(std::vector<std::string> a, const std::vector<std::string>& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

}  // namespace

TEST(ServerCommandLine, ConvertsLikeTheDocumentedTable) {
    struct Row {
        const char* text;
        std::uint16_t controller;
    };
    const Row rows[] = {
        {"", 0},           {"  12", 12},        {"+3", 3},
        {"7abc", 7},       {"abc", 0},          {"-1", 0xFFFF},
        {"65538", 2},      {"\t\n\v\f\r 9", 9}, {"-", 0},
        {"+-4", 0},        {"- 4", 0},          {"12 34", 12},
        {"0x10", 0},       {"-65536", 0},       {"65535", 0xFFFF},
        {"4294967297", 1}, {"2147483648", 0},   {"99999999999", 0xE7FF},
        {"00042", 42},
    };
    for (const Row& row : rows) {
        EXPECT_EQ(ParseControllerNumber(row.text), row.controller) << '"' << row.text << '"';
    }
    EXPECT_EQ(ParseControllerNumber(nullptr), 0);
}

TEST_F(ServerEntry, ControllerNumberReachesEveryDriverCall) {
    struct Row {
        std::vector<std::string> args;
        std::uint16_t controller;
    };
    const Row rows[] = {{{}, 0},      {{"  12"}, 12},   {{"+3"}, 3},    {{"7abc"}, 7},
                        {{"abc"}, 0}, {{"-1"}, 0xFFFF}, {{"65538"}, 2}, {{"5", "9"}, 5}};
    for (const Row& row : rows) {
        SCOPED_TRACE(row.args.empty() ? std::string("(none)") : row.args[0]);
        FakeDriverReset();
        QueueRequest(1, CMD_STOP);
        EXPECT_EQ(RunServer(row.args), 0);
        for (const char* op : {"OpenController", "GetClientRequest", "PutClientReply",
                               "CancelDriverWait", "CloseController", "WaitDriverEvent"}) {
            std::vector<FakeCall> calls = CallsOf(op);
            ASSERT_FALSE(calls.empty()) << op;
            for (const FakeCall& c : calls) {
                EXPECT_EQ(static_cast<std::uint16_t>(c.args.at(0)), row.controller) << op;
            }
        }
    }
}

TEST_F(ServerEntry, StopWithNoClientRepliesUnchangedAndEndsWithZero) {
    QueueRequest(0x1234, CMD_STOP, 7, 8, 9);
    EXPECT_EQ(RunServer(), 0);

    std::vector<FakeReply> replies = FakeDriverReplies();
    ASSERT_EQ(replies.size(), 1u);
    EXPECT_EQ(replies[0].command, CMD_STOP);
    EXPECT_EQ(replies[0].arg1, 7u);
    EXPECT_EQ(replies[0].arg2, 8u);
    EXPECT_EQ(replies[0].arg3, 9u);
    ASSERT_EQ(CallsOf("PutClientReply").at(0).args.at(1), 0) << "second argument is literal 0";

    std::vector<std::string> expected = Concat({"OpenController"}, FULL_SET_INSTALLS);
    expected = Concat(
        expected, {"GetClientRequest", "PutClientReply", "CancelDriverWait", "CloseController"});
    EXPECT_EQ(MainThreadOps(), expected);
}

TEST_F(ServerEntry, DispatchThreadHasEndedBeforeTheControllerCloses) {
    QueueRequest(1, CMD_STOP);
    EXPECT_EQ(RunServer(), 0);
    std::vector<FakeCall> calls = FakeDriverCalls();
    int cancelledWait = -1;
    int close = -1;
    for (std::size_t i = 0; i < calls.size(); ++i) {
        if (calls[i].op == "WaitDriverEvent" && calls[i].result == KQ_WAIT_CANCELLED) {
            cancelledWait = static_cast<int>(i);
        }
        if (calls[i].op == "CloseController") {
            close = static_cast<int>(i);
        }
    }
    ASSERT_GE(cancelledWait, 0);
    EXPECT_LT(cancelledWait, close);
}

TEST_F(ServerEntry, OpenControllerResultChoosesTheHandlerSet) {
    struct Row {
        std::int16_t result;
        std::size_t installs;
    };
    for (const Row& row : {Row{2, 3}, Row{0, 10}, Row{1, 10}, Row{3, 10}, Row{32767, 10}}) {
        SCOPED_TRACE(row.result);
        FakeDriverReset();
        FakeDriverSetResult("OpenController", row.result);
        QueueRequest(1, CMD_STOP);
        EXPECT_EQ(RunServer(), 0);
        std::size_t installs = 0;
        for (const std::string& op : MainThreadOps()) {
            installs += op.rfind("Install", 0) == 0 ? 1 : 0;
        }
        EXPECT_EQ(installs, row.installs);
        EXPECT_EQ(FakeDriverCallCount("InstallClass0Handler"), row.installs == 10 ? 1u : 0u);
        EXPECT_EQ(FakeDriverCallCount("InstallClass5Handler"), 1u);
    }
}

TEST_F(ServerEntry, OpenControllerFailureReleasesNothing) {
    for (std::int16_t result : {std::int16_t{-1}, std::int16_t{-32768}}) {
        FakeDriverReset();
        FakeDriverSetResult("OpenController", result);
        OsSetFault(OS_FAULT_CREATE_THREAD, 0);
        OsSetFault(OS_FAULT_CREATE_EVENT, 0);
        EXPECT_EQ(RunServer(), EXIT_STARTUP_FAILED);
        EXPECT_EQ(MainThreadOps(), std::vector<std::string>{"OpenController"});
        EXPECT_TRUE(CreateEventFaultStillArmed()) << "an event was created";
        OsClearFaults();
    }
}

TEST_F(ServerEntry, ThreadFailureClosesOnlyTheController) {
    OsSetFault(OS_FAULT_CREATE_THREAD, 0);
    OsSetFault(OS_FAULT_CREATE_EVENT, 0);
    EXPECT_EQ(RunServer(), EXIT_STARTUP_FAILED);
    EXPECT_EQ(MainThreadOps(), (std::vector<std::string>{"OpenController", "CloseController"}));
    EXPECT_EQ(FakeDriverCallCount("WaitDriverEvent"), 0u);
    EXPECT_TRUE(CreateEventFaultStillArmed()) << "an event was created";
}

TEST_F(ServerEntry, HandlerFailureStopsInstallingAndStopsTheThread) {
    FakeDriverSetResult("InstallClass3Handler", -1);
    OsSetFault(OS_FAULT_CREATE_EVENT, 0);
    EXPECT_EQ(RunServer(), EXIT_STARTUP_FAILED);
    EXPECT_EQ(MainThreadOps(), (std::vector<std::string>{
                                   "OpenController", "InstallClass0Handler", "InstallClass1Handler",
                                   "InstallClass2Handler", "InstallClass3Handler",
                                   "CancelDriverWait", "CloseController"}));
    EXPECT_TRUE(CreateEventFaultStillArmed()) << "an event was created";
}

TEST_F(ServerEntry, EventFailuresEndBeforeTheLoopWithFullShutdown) {
    // The first creation is the server wake event, the second the wait object.
    for (std::uint32_t skip : {0u, 1u}) {
        SCOPED_TRACE(skip);
        FakeDriverReset();
        OsSetFault(OS_FAULT_CREATE_EVENT, skip);
        EXPECT_EQ(RunServer(), EXIT_STARTUP_FAILED);
        std::vector<std::string> expected = Concat({"OpenController"}, FULL_SET_INSTALLS);
        expected = Concat(expected, {"CancelDriverWait", "CloseController"});
        EXPECT_EQ(MainThreadOps(), expected);
        OsClearFaults();
    }
}

TEST_F(ServerEntry, WaitObjectExistsByNameOnlyWhileServing) {
    QueueRequest(1, 99);
    auto run = std::async(std::launch::async, [] { return RunServer(); });
    ASSERT_TRUE(FakeDriverWaitReplies(1, 20000));

    bool existed = false;
    OsHandle probe = OsCreateEvent("KQVXI Wait Object", true, false, &existed);
    ASSERT_NE(probe, OS_NO_HANDLE);
    EXPECT_TRUE(existed);
    // Manual-reset: one signal lets any number of waits through.
    EXPECT_TRUE(OsSetEvent(probe));
    EXPECT_EQ(OsWaitForObject(probe, 0), OS_WAIT_OBJECT_0);
    EXPECT_EQ(OsWaitForObject(probe, 0), OS_WAIT_OBJECT_0);
    OsResetEvent(probe);
    OsCloseHandle(probe);

    QueueRequest(1, CMD_STOP);
    EXPECT_EQ(run.get(), 0);
    probe = OsCreateEvent("KQVXI Wait Object", true, false, &existed);
    EXPECT_FALSE(existed) << "the server kept its wait object after it ended";
    OsCloseHandle(probe);
}

TEST_F(ServerEntry, GetClientRequestFailureEndsWithoutReply) {
    FakeDriverSetResult("GetClientRequest", -4, 2);
    QueueRequest(1, 99, 1, 2, 3);
    QueueRequest(1, 99, 4, 5, 6);
    EXPECT_EQ(RunServer(), EXIT_CHANNEL_FAILED);
    EXPECT_EQ(FakeDriverReplies().size(), 1u);
    std::vector<std::string> ops = MainThreadOps();
    ASSERT_GE(ops.size(), 3u);
    EXPECT_EQ(
        std::vector<std::string>(ops.end() - 3, ops.end()),
        (std::vector<std::string>{"GetClientRequest", "CancelDriverWait", "CloseController"}));
}

TEST_F(ServerEntry, FailedReplyIsRememberedWhileTheLoopGoesOn) {
    FakeDriverSetResult("PutClientReply", -1, 1);
    QueueRequest(1, 99);
    QueueRequest(1, 5);
    QueueRequest(1, CMD_STOP);
    EXPECT_EQ(RunServer(), EXIT_CHANNEL_FAILED);
    EXPECT_EQ(FakeDriverCallCount("PutClientReply"), 3u);
}

TEST_F(ServerEntry, FailedReplyToTheStopStillStops) {
    FakeDriverSetResult("PutClientReply", -1, 1);
    QueueRequest(1, CMD_STOP);
    QueueRequest(1, 99);
    EXPECT_EQ(RunServer(), EXIT_CHANNEL_FAILED);
    EXPECT_EQ(FakeDriverCallCount("GetClientRequest"), 1u);
}

TEST_F(ServerEntry, LaterCommandFailureReplacesTheChannelFailure) {
    FakeDriverSetResult("PutClientReply", -1, 1);
    QueueRequest(1, 99);
    QueueRequest(0x7FFFFFF0u, CMD_ENABLE, 0xDEAD0000u, 0, 0);  // no such client
    QueueRequest(1, 99);
    EXPECT_EQ(RunServer(), EXIT_COMMAND_FAILED);
    EXPECT_EQ(FakeDriverCallCount("PutClientReply"), 2u) << "the loop ends after the failure";
}

TEST_F(ServerEntry, CloseControllerFailureOverridesTheStatus) {
    FakeDriverSetResult("CloseController", -1);
    QueueRequest(1, CMD_STOP);
    EXPECT_EQ(RunServer(), EXIT_STARTUP_FAILED);

    FakeDriverReset();
    FakeDriverSetResult("CloseController", -2);
    FakeDriverSetResult("GetClientRequest", -1);
    QueueRequest(1, CMD_STOP);
    EXPECT_EQ(RunServer(), EXIT_STARTUP_FAILED);

    FakeDriverReset();
    FakeDriverSetResult("CloseController", 1);  // not negative: success
    QueueRequest(1, CMD_STOP);
    EXPECT_EQ(RunServer(), 0);
}

TEST_F(ServerEntry, UnknownCommandsAreAnsweredUnchanged) {
    const std::uint32_t commands[] = {5, 12, 14, 99, 16, 18, 0xFFFFFFFFu};
    std::uint32_t n = 0;
    for (std::uint32_t command : commands) {
        QueueRequest(100 + n, command, 0x11110000u + n, 0x22220000u + n, 0x33330000u + n);
        ++n;
    }
    QueueRequest(1, CMD_STOP);
    EXPECT_EQ(RunServer(), 0);
    std::vector<FakeReply> replies = FakeDriverReplies();
    ASSERT_EQ(replies.size(), n + 1);
    for (std::uint32_t i = 0; i < n; ++i) {
        EXPECT_EQ(replies[i].command, commands[i]);
        EXPECT_EQ(replies[i].arg1, 0x11110000u + i);
        EXPECT_EQ(replies[i].arg2, 0x22220000u + i);
        EXPECT_EQ(replies[i].arg3, 0x33330000u + i);
    }
    EXPECT_EQ(clientTable.clientCount, 0) << "no command registered anyone";
}

TEST_F(ServerEntry, RepeatedRunsStartFromAnEmptyTable) {
    clientTable.clientCount = 17;
    QueueRequest(1, CMD_SWEEP, 5, 6, 7);
    QueueRequest(1, CMD_STOP);
    EXPECT_EQ(RunServer(), 0);
    std::vector<FakeReply> replies = FakeDriverReplies();
    ASSERT_EQ(replies.size(), 2u);
    EXPECT_EQ(replies[0].arg1, 0u) << "the count starts at 0";
    EXPECT_EQ(replies[0].arg2, 6u);
    EXPECT_EQ(replies[0].arg3, 7u);
}

// The statistics object is for readers only: when it cannot be created or
// mapped, the server serves its clients all the same and ends as it would.
TEST_F(ServerEntry, AStatisticsObjectThatCannotBeHadStopsNothing) {
    const std::uint32_t me = OsCurrentProcessId();
    for (OsFault fault : {OS_FAULT_CREATE_MAPPING, OS_FAULT_MAP_VIEW}) {
        SCOPED_TRACE(fault);
        FakeDriverReset();
        // The first mapping of a run is the statistics object, made before the
        // first request is served; the client's block comes after.
        OsSetFault(fault, 0);
        QueueRequest(me, CMD_REGISTER);
        QueueRequest(me, CMD_ENABLE, 0xDEAD0000u);
        QueueRequest(me, CMD_UNREGISTER);
        QueueRequest(me, CMD_STOP);
        EXPECT_EQ(RunServer({"7"}), 0);
        EXPECT_EQ(FakeDriverReplies().size(), 4u);
        EXPECT_EQ(serverStats, nullptr);
        OsClearFaults();
    }
}
