// The dispatch thread and the installation of the handlers, against the driver
// test double: installation rows and order, the reduced set, the first-failure
// rule, the wait flag, cancellation and failed waits, and thread creation failure.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "delivery/dispatch.h"
#include "delivery/rthndlr.h"
#include "delivery_clients.h"
#include "platform/fault.h"
#include "platform/thread.h"
#include "server/entry.h"
#include "support/fake_driver.h"

namespace {

struct Call {
    std::string op;
    std::vector<std::int64_t> args;
    bool operator==(const Call&) const = default;
};

std::ostream& operator<<(std::ostream& out, const Call& c) {
    out << c.op << "(";
    for (std::int64_t a : c.args) {
        out << a << " ";
    }
    return out << ")";
}

// The recorded calls whose name starts with prefix, without their results.
std::vector<Call> CallsOf(const std::string& prefix) {
    std::vector<Call> calls;
    for (const FakeCall& c : FakeDriverCalls()) {
        if (c.op.rfind(prefix, 0) == 0) {
            calls.push_back(Call{c.op, c.args});
        }
    }
    return calls;
}

const std::vector<Call> FULL_SET = {
    {"InstallClass0Handler", {}},        {"InstallClass1Handler", {}},
    {"InstallClass2Handler", {}},        {"InstallClass3Handler", {}},
    {"InstallClass4Handler", {}},        {"InstallLevelHandler", {127}},
    {"InstallChannelHandler", {0xFFFF}}, {"InstallClass5Handler", {}},
    {"InstallSourceHandler", {-1}},      {"InstallSourceHandler", {-2}},
};

class DeliveryDispatch : public ::testing::Test {
  protected:
    void SetUp() override { FakeDriverReset(); }
    void TearDown() override {
        if (dispatchThread != OS_NO_HANDLE) {
            StopDispatchThread(0);
            JoinDispatchThread();
        }
        OsClearFaults();
        UnregisterAllTestClients();
        FakeDriverReset();
    }
    // Waits for the dispatch thread to end and gives its exit code (or 0xDEAD
    // when it did not end in time).
    static std::uint32_t JoinDispatchThread() {
        std::uint32_t code = 0xDEAD;
        if (OsWaitForObject(dispatchThread, 10000) == OS_WAIT_OBJECT_0) {
            EXPECT_TRUE(OsGetExitCodeThread(dispatchThread, &code));
        }
        OsCloseHandle(dispatchThread);
        dispatchThread = OS_NO_HANDLE;
        return code;
    }
};

TEST_F(DeliveryDispatch, FullSetInstallsTheTenRowsInOrder) {
    EXPECT_EQ(InstallHandlers(5, 0), 0);
    EXPECT_EQ(CallsOf("Install"), FULL_SET);
    for (const char* kind : {"class0", "class1", "class2", "class3", "class4", "class5", "level",
                             "channel", "source", "marked"}) {
        EXPECT_TRUE(FakeDriverRunHandler(FakeDriverEvent(kind))) << kind;
    }
}

TEST_F(DeliveryDispatch, ReducedSetInstallsExactlyTheLastThreeRows) {
    EXPECT_EQ(InstallHandlers(0, 1), 0);
    EXPECT_EQ(CallsOf("Install"), std::vector<Call>(FULL_SET.begin() + 7, FULL_SET.end()));
    // Any non-zero value asks for the reduced set.
    FakeDriverReset();
    EXPECT_EQ(InstallHandlers(0, -7), 0);
    EXPECT_EQ(CallsOf("Install").size(), 3u);
}

TEST_F(DeliveryDispatch, TheFirstFailingRowEndsTheInstallation) {
    FakeDriverSetResult("InstallClass0Handler", -1);
    EXPECT_EQ(InstallHandlers(0, 0), -1);
    EXPECT_EQ(CallsOf("Install"), std::vector<Call>(FULL_SET.begin(), FULL_SET.begin() + 1));

    // Row 10 is the second InstallSourceHandler call; rows 1 to 9 stay installed.
    FakeDriverReset();
    FakeDriverSetResult("InstallSourceHandler", -20, 2);
    EXPECT_EQ(InstallHandlers(0, 0), -1);
    EXPECT_EQ(CallsOf("Install"), FULL_SET);
    EXPECT_TRUE(FakeDriverRunHandler(FakeDriverEvent("source")));
    EXPECT_FALSE(FakeDriverRunHandler(FakeDriverEvent("marked")));

    FakeDriverReset();
    FakeDriverSetResult("InstallClass5Handler", -3);
    EXPECT_EQ(InstallHandlers(0, 1), -1);
    EXPECT_EQ(CallsOf("Install").size(), 1u);
}

TEST_F(DeliveryDispatch, PositiveStatusesAreSuccess) {
    for (const Call& row : FULL_SET) {
        FakeDriverSetResult(row.op, 17);
    }
    EXPECT_EQ(InstallHandlers(0, 0), 0);
    EXPECT_EQ(CallsOf("Install").size(), 10u);

    FakeDriverSetResult("CancelDriverWait", 4, 1);
    FakeDriverSetResult("CancelDriverWait", -2, 2);
    EXPECT_EQ(StopDispatchThread(0), 0);
    EXPECT_EQ(StopDispatchThread(0), -1);
}

TEST_F(DeliveryDispatch, ThreadWaitsWithFlagZeroThenOneAndDispatchesEachEvent) {
    ASSERT_EQ(InstallHandlers(0, 0), 0);
    AsyncQueueBlock* client = RegisterTestClient(0);
    ASSERT_NE(client, nullptr);
    client->enableClass5 = 1;
    client->levelMask[2] = 0x0001;
    // A positive wait status is success too: the item is dispatched.
    FakeDriverSetResult("WaitDriverEvent", 9, 2);
    FakeDriverQueueEvent(FakeDriverEvent("class1"));
    FakeDriverQueueEvent(FakeDriverEvent("level", 2, 1, 0x10000));
    FakeDriverQueueEvent(FakeDriverEvent("class5", 0xFFFF));

    ASSERT_EQ(StartDispatchThread(0xFFF7), 0);
    ASSERT_NE(dispatchThread, OS_NO_HANDLE);
    ASSERT_TRUE(FakeDriverWaitIdle(10000));
    EXPECT_EQ(StopDispatchThread(0xFFF7), 0);
    EXPECT_EQ(JoinDispatchThread(), 0u);

    // The controller travels as its 16 bits (0xFFF7 is -9 as the library's type).
    const std::vector<Call> waits = {{"WaitDriverEvent", {-9, 0}},
                                     {"WaitDriverEvent", {-9, 1}},
                                     {"WaitDriverEvent", {-9, 1}},
                                     {"WaitDriverEvent", {-9, 1}}};
    EXPECT_EQ(CallsOf("Wait"), waits);
    EXPECT_EQ(CallsOf("CancelDriverWait"), (std::vector<Call>{{"CancelDriverWait", {-9}}}));
    EXPECT_EQ(FakeDriverCallCount("DispatchDriverEvent"), 3u);
    EXPECT_EQ(TakeAll(0), (std::vector<TestRecord>{{EVENT_CODE_BASE + 1, 0, 0, 0},
                                                   {EVENT_CODE_BASE + 7, 2, 1, 0x10000},
                                                   {EVENT_CODE_BASE + 5, 0xFFFF, 0, 0}}));
}

TEST_F(DeliveryDispatch, AFirstWaitCancelledEndsTheThreadWithZeroAndDispatchesNothing) {
    ASSERT_EQ(InstallHandlers(0, 0), 0);
    FakeDriverQueueEvent(FakeDriverEvent("class1"));
    ASSERT_EQ(StopDispatchThread(0), 0);  // before the thread's first wait
    ASSERT_EQ(StartDispatchThread(0), 0);
    EXPECT_EQ(JoinDispatchThread(), 0u);
    EXPECT_EQ(CallsOf("Wait"), (std::vector<Call>{{"WaitDriverEvent", {0, 0}}}));
    EXPECT_EQ(FakeDriverCallCount("DispatchDriverEvent"), 0u);
}

TEST_F(DeliveryDispatch, AFailedWaitEndsTheThreadWithOne) {
    ASSERT_EQ(InstallHandlers(0, 0), 0);
    FakeDriverSetResult("WaitDriverEvent", -3, 2);
    FakeDriverQueueEvent(FakeDriverEvent("class1"));
    FakeDriverQueueEvent(FakeDriverEvent("class2"));
    ASSERT_EQ(StartDispatchThread(0), 0);
    EXPECT_EQ(JoinDispatchThread(), 1u);
    EXPECT_EQ(FakeDriverCallCount("WaitDriverEvent"), 2u);
    EXPECT_EQ(FakeDriverCallCount("DispatchDriverEvent"), 1u);
}

TEST_F(DeliveryDispatch, ThreadCreationFailureIsReportedAsMinus32768) {
    OsSetFault(OS_FAULT_CREATE_THREAD, 0);
    EXPECT_EQ(StartDispatchThread(0), -32768);
    EXPECT_EQ(dispatchThread, OS_NO_HANDLE);
    OsSleep(50);
    EXPECT_EQ(FakeDriverCallCount("WaitDriverEvent"), 0u);
}

TEST_F(DeliveryDispatch, TheServerEndsWithMinusOneWhenTheThreadCannotBeCreated) {
    OsSetFault(OS_FAULT_CREATE_THREAD, 0);
    const char* const argv[] = {"kqvxi-server", "3", nullptr};
    EXPECT_EQ(ServerMain(2, argv), -1);
    EXPECT_EQ(dispatchThread, OS_NO_HANDLE);
    // No handler is installed and no wait is cancelled; the controller is closed.
    const std::vector<Call> calls = {{"OpenController", {3}}, {"CloseController", {3}}};
    EXPECT_EQ(CallsOf(""), calls);
}

}  // namespace
