// A real kqvxi-server on the simulated board for the handle API's tests: start
// it on a controller of this test process, kill it, start it again, stop it,
// and inject events with a retry while the board's queue is full.
#pragma once
#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <string>

#include "kqvxi/inject.h"
#include "kqvxi/kqvxi.h"
#include "platform/process.h"
#include "support/child.h"
#include "support/server_process.h"

namespace client_test {

using Clock = std::chrono::steady_clock;

inline double MsSince(Clock::time_point start) {
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

// Retries an injection while the board's event queue is full, up to 10 s.
template <typename Inject>
bool InjectRetrying(Inject inject) {
    const Clock::time_point start = Clock::now();
    while (MsSince(start) < 10000) {
        const int status = inject();
        if (status == KQVXI_INJECT_OK) {
            return true;
        }
        if (status != KQVXI_INJECT_FULL) {
            return false;
        }
        OsSleep(1);
    }
    return false;
}

class ServerTest : public ::testing::Test {
  protected:
    // Starts a server for controller offset of this process and waits until it serves.
    void StartServer(std::uint16_t offset) {
        controller = server_process::OwnController(offset);
        Spawn();
    }
    // Starts a new server for the same controller.
    void Spawn() {
        const std::string path = server_process::ServerPath();
        const std::string number = std::to_string(controller);
        const char* const args[] = {number.c_str(), nullptr};
        server = OsSpawnProcess(path.c_str(), args, &serverPid);
        ASSERT_NE(server, OS_NO_HANDLE) << path;
        ASSERT_TRUE(server_process::WaitServing(controller));
    }
    void KillServer() {
        ASSERT_TRUE(OsKillProcess(server));
        WaitChild(server, 20000);
        server = OS_NO_HANDLE;
    }
    // Stops the server and gives its exit code.
    int StopServer() {
        std::uint32_t a1 = 0, a2 = 0, a3 = 0;
        kqvxi_request(controller, KQVXI_CMD_STOP, &a1, &a2, &a3, 2000);
        OsHandle s = server;
        server = OS_NO_HANDLE;
        return WaitChild(s, 20000);
    }
    void TearDown() override {
        if (client != nullptr) {
            kqvxi_client_free(client);
            client = nullptr;
        }
        if (server != OS_NO_HANDLE) {
            StopServer();
        }
    }
    // Reads until count events came or limitMs passed.
    int ReadEvents(kqvxi_event* events, int count, double limitMs = 10000) {
        int got = 0;
        const Clock::time_point start = Clock::now();
        while (got < count && MsSince(start) < limitMs) {
            const int n = kqvxi_client_read(client, events + got, count - got, 100);
            if (n < 0) {
                ADD_FAILURE() << kqvxi_strerror(n);
                break;
            }
            got += n;
        }
        return got;
    }

    std::uint16_t controller = 0;
    OsHandle server = OS_NO_HANDLE;
    std::uint32_t serverPid = 0;
    kqvxi_client* client = nullptr;
};

}  // namespace client_test
