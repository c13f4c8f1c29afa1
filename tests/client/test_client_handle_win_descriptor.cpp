// On Windows the handle's descriptor is the wake event's HANDLE: a wait on it
// ends when a record arrives, and reads with timeout 0 then take the record.
#include <gtest/gtest.h>
#include <windows.h>

#include "client_server.h"
#include "kqvxi/kqvxi.h"

namespace {

class ClientHandleWinDescriptor : public client_test::ServerTest {};

TEST_F(ClientHandleWinDescriptor, TheWakeEventSignalsARecord) {
    ASSERT_NO_FATAL_FAILURE(StartServer(0));
    ASSERT_EQ(kqvxi_client_open(controller, nullptr, &client), KQVXI_OK);
    ASSERT_EQ(kqvxi_select_class(client, 5, 1), KQVXI_OK);
    intptr_t d = 0;
    intptr_t again = 0;
    ASSERT_EQ(kqvxi_client_descriptor(client, &d), KQVXI_OK);
    ASSERT_EQ(kqvxi_client_descriptor(client, &again), KQVXI_OK);
    EXPECT_EQ(d, again);
    const HANDLE wake = reinterpret_cast<HANDLE>(d);
    EXPECT_EQ(WaitForSingleObject(wake, 0), static_cast<DWORD>(WAIT_TIMEOUT));
    ASSERT_TRUE(client_test::InjectRetrying([&] { return kqvxi_inject_class(controller, 5, 9); }));
    ASSERT_EQ(WaitForSingleObject(wake, 10000), static_cast<DWORD>(WAIT_OBJECT_0));
    kqvxi_event ev[4];
    ASSERT_EQ(kqvxi_client_read(client, ev, 4, 0), 1);
    EXPECT_EQ(ev[0].cls, KQVXI_CLASS_5);
    EXPECT_EQ(ev[0].value, 9u);
    EXPECT_EQ(kqvxi_client_read(client, ev, 4, 0), 0);
    EXPECT_EQ(kqvxi_client_close(client), KQVXI_OK);
}

}  // namespace
