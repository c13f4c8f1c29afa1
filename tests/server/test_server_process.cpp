// Black-box tests of the built kqvxi-server against the simulated board library,
// driven through the client library as a client process would: stopping, the
// named objects two servers share, a client's round trip, and a failing command.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>

#include "kqvxi/client.h"
#include "kqvxi/events.h"
#include "kqvxi/inject.h"
#include "platform/event.h"
#include "support/server_process.h"
#include "support/child.h"

using namespace server_process;

namespace {

constexpr std::uint32_t REPLY_MS = 10000;

int Request(std::uint16_t controller, std::uint32_t command, std::uint32_t a1 = 0,
            std::uint32_t a2 = 0, std::uint32_t a3 = 0) {
    return kqvxi_request(controller, command, &a1, &a2, &a3, REPLY_MS);
}

// Whether an event exists under name (opening it briefly).
bool EventExists(const char* name, bool manualReset) {
    bool existed = false;
    OsHandle h = OsCreateEvent(name, manualReset, false, &existed);
    if (h != OS_NO_HANDLE) {
        OsCloseHandle(h);
    }
    return existed;
}

}  // namespace

TEST(ServerProcess, StopRequestWithNoClientEndsWithZero) {
    ServerProcess server(OwnController(0));
    ASSERT_TRUE(WaitServing(server.controller));
    std::uint32_t a1 = 5, a2 = 6, a3 = 7;
    ASSERT_EQ(kqvxi_request(server.controller, KQVXI_CMD_STOP, &a1, &a2, &a3, REPLY_MS), KQVXI_OK);
    EXPECT_EQ(a1, 5u);
    EXPECT_EQ(a3, 7u);
    EXPECT_EQ(server.Wait(), 0);
}

TEST(ServerProcess, SecondServerOpensTheSameNamedEvents) {
    ServerProcess first(OwnController(1));
    ASSERT_TRUE(WaitServing(first.controller));
    ServerProcess second(OwnController(2));
    ASSERT_TRUE(WaitServing(second.controller));
    ASSERT_TRUE(WaitServing(first.controller)) << "the first server stopped serving";

    ASSERT_EQ(Request(first.controller, KQVXI_CMD_STOP), KQVXI_OK);
    EXPECT_EQ(first.Wait(), 0);
    // The objects live on by name in the second server, which still serves.
    EXPECT_TRUE(EventExists("KQVXI Wait Object", true));
    EXPECT_TRUE(EventExists("KQ-VXI Intr Proc Event", false));
    ASSERT_TRUE(WaitServing(second.controller));
    ASSERT_EQ(Request(second.controller, KQVXI_CMD_STOP), KQVXI_OK);
    EXPECT_EQ(second.Wait(), 0);
}

TEST(ServerProcess, ClientRoundTripEndsWithStopAndUnregister) {
    ServerProcess server(OwnController(3));
    ASSERT_TRUE(WaitServing(server.controller));
    ASSERT_EQ(Request(server.controller, KQVXI_CMD_REGISTER), KQVXI_OK);
    ASSERT_EQ(Request(server.controller, KQVXI_CMD_ENABLE, KQVXI_EVENT_CODE(0)), KQVXI_OK);
    std::uint32_t a1 = KQVXI_EVENT_CODE(9), a2 = 0, a3 = 60;
    ASSERT_EQ(kqvxi_request(server.controller, KQVXI_CMD_ENABLE, &a1, &a2, &a3, REPLY_MS),
              KQVXI_OK);
    EXPECT_EQ(a3, 15u) << "channel 60 is replied as 15";

    kqvxi_queue* queue = kqvxi_queue_open();
    ASSERT_NE(queue, nullptr);
    ASSERT_EQ(kqvxi_inject_class(server.controller, 0, 0xFFFB), KQVXI_INJECT_OK);
    ASSERT_EQ(kqvxi_queue_wait(queue, REPLY_MS), 1);
    kqvxi_record record{};
    ASSERT_EQ(kqvxi_queue_take(queue, &record), KQVXI_OK);
    EXPECT_EQ(record.code, KQVXI_EVENT_CODE(0));
    EXPECT_EQ(record.arg1, 0xFFFFFFFBu) << "class 0 values are sign-extended";

    ASSERT_EQ(Request(server.controller, KQVXI_CMD_STOP_UNREGISTER), KQVXI_OK);
    EXPECT_EQ(server.Wait(), 0);
    kqvxi_queue_wait(queue, 1000);
    ASSERT_EQ(kqvxi_queue_take(queue, &record), KQVXI_OK);
    EXPECT_EQ(record.code, KQVXI_CODE_UNREGISTERED);
    EXPECT_EQ(kqvxi_queue_take(queue, &record), KQVXI_E_EMPTY);
    kqvxi_queue_close(queue);
}

TEST(ServerProcess, CommandFromAnUnregisteredClientIsAnsweredThenEnds) {
    ServerProcess server(OwnController(4));
    ASSERT_TRUE(WaitServing(server.controller));
    std::uint32_t a1 = KQVXI_EVENT_CODE(0), a2 = 1, a3 = 2;
    ASSERT_EQ(kqvxi_request(server.controller, KQVXI_CMD_ENABLE, &a1, &a2, &a3, REPLY_MS),
              KQVXI_OK);
    EXPECT_EQ(a1, KQVXI_EVENT_CODE(0));
    EXPECT_TRUE(ExitIs(server.Wait(), -3));
}
