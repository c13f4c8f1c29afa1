// The scripted driver double itself: scripted results, the request signal, event
// waits with cancellation, dispatch and the source query.
#include <gtest/gtest.h>

#include <thread>

#include "platform/event.h"
#include "support/fake_driver.h"

namespace {

std::uint16_t lastSource;
std::uint32_t queried[4];
std::int16_t queryStatus;

void KQ_STDCALL SourceHandler(std::uint16_t source) {
    lastSource = source;
    queryStatus = QueryEventSource(&queried[0], &queried[1], &queried[2], &queried[3]);
}

TEST(DriverFake, ScriptedResultsAtNthAndEveryCall) {
    FakeDriverReset();
    FakeDriverSetResult("OpenController", 2);
    FakeDriverSetResult("InstallLevelHandler", -5, 2);
    EXPECT_EQ(OpenController(3), 2);
    EXPECT_EQ(OpenController(3), 2);
    EXPECT_EQ(InstallLevelHandler(127, nullptr), 0);
    EXPECT_EQ(InstallLevelHandler(127, nullptr), -5);
    EXPECT_EQ(InstallLevelHandler(127, nullptr), 0);
    std::vector<FakeCall> calls = FakeDriverCalls();
    ASSERT_EQ(calls.size(), 5u);
    EXPECT_EQ(calls[2].op, "InstallLevelHandler");
    EXPECT_EQ(calls[2].args, std::vector<std::int64_t>{127});
    EXPECT_EQ(calls[3].result, -5);
    EXPECT_EQ(FakeDriverCallCount("OpenController"), 2u);
}

TEST(DriverFake, RequestsSignalOncePerRequestAndReplyInOrder) {
    FakeDriverReset();
    OsHandle wake = OsCreateEvent("KQ-VXI Intr Proc Event", false, false);
    ASSERT_NE(wake, OS_NO_HANDLE);
    FakeDriverQueueRequest({10, 0, 1, 2, 3});
    FakeDriverQueueRequest({11, 4, 5, 6, 7});
    std::uint32_t pid, cmd, a1, a2, a3;
    for (std::uint32_t expectPid : {10u, 11u}) {
        ASSERT_EQ(OsWaitForObject(wake, 1000), OS_WAIT_OBJECT_0);
        ASSERT_EQ(GetClientRequest(0, &pid, &cmd, &a1, &a2, &a3), 0);
        EXPECT_EQ(pid, expectPid);
        ASSERT_EQ(PutClientReply(0, 0, cmd, &a1, &a2, &a3), 0);
    }
    EXPECT_EQ(OsWaitForObject(wake, 0), OS_WAIT_TIMEOUT);
    EXPECT_EQ(GetClientRequest(0, &pid, &cmd, &a1, &a2, &a3), -1);
    ASSERT_TRUE(FakeDriverWaitReplies(2, 1000));
    EXPECT_EQ(FakeDriverReplies()[1].arg3, 7u);
    OsCloseHandle(wake);
}

TEST(DriverFake, WaitDispatchQueryAndCancel) {
    FakeDriverReset();
    ASSERT_EQ(InstallSourceHandler(-1, SourceHandler), 0);
    std::uint32_t item = 0;
    EXPECT_EQ(CancelDriverWait(0), 0);
    EXPECT_EQ(WaitDriverEvent(0, &item, 0), KQ_WAIT_CANCELLED);  // cancelled before the wait

    std::thread dispatcher([] {
        std::uint32_t it = 0;
        std::uint8_t flag = 0;
        while (WaitDriverEvent(0, &it, flag) == 0) {
            flag = 1;
            DispatchDriverEvent(it);
        }
    });
    FakeEvent e;
    e.kind = "source";
    e.a = 77;
    e.queryIndex = 3;
    e.queryLevel = 4;
    e.querySource = 5;
    e.queryKind = 1;
    FakeDriverQueueEvent(e);
    EXPECT_TRUE(FakeDriverWaitIdle(2000));
    CancelDriverWait(0);  // ends the wait in progress
    dispatcher.join();
    EXPECT_EQ(lastSource, 77);
    EXPECT_EQ(queryStatus, 0);
    EXPECT_EQ(queried[0], 3u);
    EXPECT_EQ(queried[3], 1u);
    EXPECT_EQ(DispatchDriverEvent(12345), -1);
    FakeEvent level;
    level.kind = "level";
    EXPECT_FALSE(FakeDriverRunHandler(level));
}

}  // namespace
