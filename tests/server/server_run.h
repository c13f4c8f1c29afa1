// Helpers for running the server's entry in-process against the scripted driver
// double: a bounded run, the call record as a list of operation names, and a
// check that a platform fault is still armed (no call consumed it).
#pragma once
#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <future>
#include <string>
#include <vector>

#include "platform/fault.h"
#include "server/commands.h"
#include "server/entry.h"
#include "support/fake_driver.h"

namespace server_test {

inline constexpr auto RUN_LIMIT = std::chrono::seconds(30);

// Runs ServerMain with args on a thread of its own and returns its exit code. A
// run still going at the limit is sent a stop request and the test fails.
inline std::int32_t RunServer(const std::vector<std::string>& args = {}) {
    std::vector<const char*> argv{"kqvxi-server"};
    for (const std::string& a : args) {
        argv.push_back(a.c_str());
    }
    auto run = std::async(std::launch::async, [&argv] {
        return ServerMain(static_cast<int>(argv.size()), argv.data());
    });
    if (run.wait_for(RUN_LIMIT) != std::future_status::ready) {
        ADD_FAILURE() << "server did not end; sending a stop request";
        FakeDriverQueueRequest(FakeRequest{1, CMD_STOP, 0, 0, 0});
    }
    return run.get();
}

// Operation names of the call record in order, without the dispatch thread's
// waits and dispatches (their timing is the thread's own).
inline std::vector<std::string> MainThreadOps() {
    std::vector<std::string> ops;
    for (const FakeCall& c : FakeDriverCalls()) {
        if (c.op != "WaitDriverEvent" && c.op != "DispatchDriverEvent") {
            ops.push_back(c.op);
        }
    }
    return ops;
}

// The calls of op, in order.
inline std::vector<FakeCall> CallsOf(const std::string& op) {
    std::vector<FakeCall> out;
    for (const FakeCall& c : FakeDriverCalls()) {
        if (c.op == op) {
            out.push_back(c);
        }
    }
    return out;
}

// Index of the first op in the record, or -1.
inline int FirstIndexOf(const std::vector<std::string>& ops, const std::string& op) {
    for (std::size_t i = 0; i < ops.size(); ++i) {
        if (ops[i] == op) {
            return static_cast<int>(i);
        }
    }
    return -1;
}

inline void QueueRequest(std::uint32_t pid, std::uint32_t command, std::uint32_t arg1 = 0,
                         std::uint32_t arg2 = 0, std::uint32_t arg3 = 0) {
    FakeDriverQueueRequest(FakeRequest{pid, command, arg1, arg2, arg3});
}

}  // namespace server_test
