// Black-box tests of the built kqvxi-server with driver faults set through the
// simulated board library's environment (KQVXI_SIM_OPEN_RESULT, KQVXI_SIM_FAIL,
// KQVXI_SIM_TRACE): each failure gives its exit code. The server is started with
// posix_spawn and an environment of its own, so this process's own board library
// sees no fault. Linux only.
#include <gtest/gtest.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "kqvxi/client.h"
#include "kqvxi/events.h"
#include "support/server_process.h"
#include "support/child.h"

using namespace server_process;

namespace {

constexpr std::uint32_t REPLY_MS = 5000;

// A server process started with extra environment entries ("NAME=value").
struct FaultedServer {
    std::uint16_t controller;
    pid_t pid = -1;

    FaultedServer(std::uint16_t number, const std::vector<std::string>& env) : controller(number) {
        std::vector<std::string> entries(env);
        for (char** e = environ; *e != nullptr; ++e) {
            std::string entry(*e);
            if (entry.rfind("KQVXI_SIM_", 0) != 0) {
                entries.push_back(entry);
            }
        }
        std::vector<char*> envp;
        for (std::string& e : entries) {
            envp.push_back(e.data());
        }
        envp.push_back(nullptr);
        std::string exe = ServerPath();
        std::string arg = std::to_string(number);
        char* argv[] = {exe.data(), arg.data(), nullptr};
        EXPECT_EQ(posix_spawn(&pid, exe.c_str(), nullptr, nullptr, argv, envp.data()), 0);
    }
    // Exit code of the server, or -1000 when it did not end within limitMs.
    int Wait(std::uint32_t limitMs = 20000) {
        const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(limitMs);
        while (pid > 0) {
            int status = 0;
            pid_t r = waitpid(pid, &status, WNOHANG);
            if (r == pid) {
                pid = -1;
                return WIFEXITED(status) ? WEXITSTATUS(status) : -1001;
            }
            if (std::chrono::steady_clock::now() > end) {
                kill(pid, SIGKILL);
                waitpid(pid, nullptr, 0);
                pid = -1;
                return -1000;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return -1002;
    }
    ~FaultedServer() {
        if (pid > 0) {
            std::uint32_t a1 = 0, a2 = 0, a3 = 0;
            kqvxi_request(controller, KQVXI_CMD_STOP, &a1, &a2, &a3, 1000);
            Wait(5000);
        }
    }
};

int Stop(std::uint16_t controller) {
    std::uint32_t a1 = 0, a2 = 0, a3 = 0;
    return kqvxi_request(controller, KQVXI_CMD_STOP, &a1, &a2, &a3, REPLY_MS);
}

std::string ReadFile(const std::string& path) {
    std::ifstream in(path);
    std::stringstream all;
    all << in.rdbuf();
    return all.str();
}

}  // namespace

TEST(ServerProcessFaults, StartUpFailuresEndWithMinusOne) {
    const char* rules[] = {"KQVXI_SIM_OPEN_RESULT=-1", "KQVXI_SIM_OPEN_RESULT=-32768",
                           "KQVXI_SIM_FAIL=InstallClass3Handler@1",
                           "KQVXI_SIM_FAIL=InstallSourceHandler@2=-5"};
    std::uint16_t offset = 0;
    for (const char* rule : rules) {
        SCOPED_TRACE(rule);
        FaultedServer server(OwnController(offset++), {rule});
        EXPECT_TRUE(ExitIs(server.Wait(), -1));
    }
}

TEST(ServerProcessFaults, RequestChannelFailuresEndWithMinusTwo) {
    {
        FaultedServer server(OwnController(0), {"KQVXI_SIM_FAIL=GetClientRequest@1"});
        std::uint32_t a1 = 0, a2 = 0, a3 = 0;
        kqvxi_request(server.controller, UNKNOWN_COMMAND, &a1, &a2, &a3, 1000);  // unanswered
        EXPECT_TRUE(ExitIs(server.Wait(), -2));
    }
    {
        // The first reply fails; the server goes on serving and ends with -2.
        FaultedServer server(OwnController(1), {"KQVXI_SIM_FAIL=PutClientReply@1"});
        ASSERT_TRUE(WaitServing(server.controller));
        ASSERT_EQ(Stop(server.controller), KQVXI_OK);
        EXPECT_TRUE(ExitIs(server.Wait(), -2));
    }
}

TEST(ServerProcessFaults, CloseControllerFailureEndsWithMinusOne) {
    FaultedServer server(OwnController(2), {"KQVXI_SIM_FAIL=CloseController@1"});
    ASSERT_TRUE(WaitServing(server.controller));
    ASSERT_EQ(Stop(server.controller), KQVXI_OK);
    EXPECT_TRUE(ExitIs(server.Wait(), -1));
}

TEST(ServerProcessFaults, OpenResultTwoInstallsTheReducedSet) {
    const std::string trace = "/tmp/" + UniqueName("server trace") + ".txt";
    std::remove(trace.c_str());
    FaultedServer server(OwnController(3), {"KQVXI_SIM_OPEN_RESULT=2", "KQVXI_SIM_TRACE=" + trace});
    ASSERT_TRUE(WaitServing(server.controller));
    ASSERT_EQ(Stop(server.controller), KQVXI_OK);
    EXPECT_EQ(server.Wait(), 0);
    const std::string text = ReadFile(trace);
    std::remove(trace.c_str());
    EXPECT_EQ(text.find("InstallClass0Handler"), std::string::npos) << text;
    EXPECT_EQ(text.find("InstallChannelHandler"), std::string::npos) << text;
    EXPECT_NE(text.find("InstallClass5Handler"), std::string::npos) << text;
    EXPECT_NE(text.find("CancelDriverWait"), std::string::npos) << text;
    EXPECT_LT(text.find("CancelDriverWait"), text.find("CloseController")) << text;
}
