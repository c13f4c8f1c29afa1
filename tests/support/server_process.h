// Helpers for black-box tests of the built kqvxi-server against the simulated
// board library: where the server program lies, a controller number of this test
// process's own, a server process stopped when it goes out of scope, waiting
// until a server answers, and exit-code comparison.
#pragma once
#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <string>
#include <thread>

#include "kqvxi/client.h"
#include "platform/process.h"
#include "support/child.h"

namespace server_process {

inline constexpr std::uint32_t UNKNOWN_COMMAND = 99;

// The server program beside this test program (both are built into one folder).
inline std::string ServerPath() {
    char self[4096];
    if (!OsSelfExePath(self, sizeof self)) {
        return {};
    }
    std::string path(self);
    std::size_t cut = path.find_last_of("/\\");
    std::string dir = cut == std::string::npos ? std::string() : path.substr(0, cut + 1);
    bool exe = path.size() > 4 && path.compare(path.size() - 4, 4, ".exe") == 0;
    return dir + "kqvxi-server" + (exe ? ".exe" : "");
}

// A controller number that no other test process uses at the same time.
inline std::uint16_t OwnController(std::uint16_t offset) {
    return static_cast<std::uint16_t>(20000 + (OsCurrentProcessId() % 4000) * 8 + offset);
}

// A kqvxi-server process for controller; sent a stop request and waited for
// (bounded) when it is still there at the end of its scope.
struct ServerProcess {
    std::uint16_t controller;
    std::uint32_t pid = 0;
    OsHandle process = OS_NO_HANDLE;

    explicit ServerProcess(std::uint16_t number) : controller(number) {
        const std::string exe = ServerPath();
        const std::string arg = std::to_string(number);
        const char* args[] = {arg.c_str(), nullptr};
        process = OsSpawnProcess(exe.c_str(), args, &pid);
        EXPECT_NE(process, OS_NO_HANDLE) << exe;
    }
    // Waits for the process to end and returns its exit code.
    int Wait() {
        int code = WaitChild(process, 30000);
        process = OS_NO_HANDLE;
        return code;
    }
    // Asks the server to stop and returns its exit code.
    int Stop() {
        std::uint32_t a1 = 0, a2 = 0, a3 = 0;
        EXPECT_EQ(kqvxi_request(controller, KQVXI_CMD_STOP, &a1, &a2, &a3, 10000), KQVXI_OK);
        return Wait();
    }
    ~ServerProcess() {
        if (process != OS_NO_HANDLE) {
            std::uint32_t a1 = 0, a2 = 0, a3 = 0;
            kqvxi_request(controller, KQVXI_CMD_STOP, &a1, &a2, &a3, 2000);
            WaitChild(process, 10000);
        }
    }
    ServerProcess(const ServerProcess&) = delete;
    ServerProcess& operator=(const ServerProcess&) = delete;
};

// Sends an unknown command until the server of controller answers it unchanged,
// for at most limitMs. True once it did.
inline bool WaitServing(std::uint16_t controller, std::uint32_t limitMs = 30000) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(limitMs);
    while (std::chrono::steady_clock::now() < end) {
        std::uint32_t a1 = 11, a2 = 22, a3 = 33;
        if (kqvxi_request(controller, UNKNOWN_COMMAND, &a1, &a2, &a3, 500) == KQVXI_OK) {
            EXPECT_EQ(a1, 11u);
            EXPECT_EQ(a2, 22u);
            EXPECT_EQ(a3, 33u);
            return true;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return false;
}

// One request, retried while it times out (no server answers yet, or it is
// still starting) for up to limitMs; each try waits 2 s for its reply. Null
// arguments stand for zero. The status of the last try.
inline int RequestRetrying(std::uint16_t controller, std::uint32_t command,
                           std::uint32_t* arg1 = nullptr, std::uint32_t* arg2 = nullptr,
                           std::uint32_t* arg3 = nullptr, std::uint32_t limitMs = 10000) {
    std::uint32_t a1 = 0, a2 = 0, a3 = 0;
    arg1 = arg1 != nullptr ? arg1 : &a1;
    arg2 = arg2 != nullptr ? arg2 : &a2;
    arg3 = arg3 != nullptr ? arg3 : &a3;
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(limitMs);
    int status = KQVXI_E_TIMEOUT;
    while (std::chrono::steady_clock::now() < end) {
        std::uint32_t b1 = *arg1, b2 = *arg2, b3 = *arg3;
        status = kqvxi_request(controller, command, &b1, &b2, &b3, 2000);
        if (status != KQVXI_E_TIMEOUT) {
            *arg1 = b1;
            *arg2 = b2;
            *arg3 = b3;
            break;
        }
    }
    return status;
}

// A process exit code against the server's 32-bit status: Linux keeps only the
// low 8 bits of it, Windows all 32.
inline bool ExitIs(int code, std::int32_t status) {
    return code == status || code == (status & 0xFF);
}

}  // namespace server_process
