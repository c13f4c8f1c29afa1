// The simulated board's fault modes and call record, set through the environment of
// a child process: OpenController's result, failure at the Nth or every call with a
// chosen status, and the record read back line by line.
#include <gtest/gtest.h>

#include <stdlib.h>
#include <unistd.h>

#include <fstream>
#include <string>
#include <vector>

#include "driver/kqvxint.h"
#include "kqvxi/inject.h"
#include "platform/process.h"
#include "support/child.h"

namespace {

void KQ_STDCALL Ignore(std::int16_t) {}
void KQ_STDCALL IgnoreLevel(std::int16_t, std::uint16_t, std::uint32_t) {}

// Runs a fixed sequence of calls; returns the number of the first step whose
// result was not the expected one, or 0.
KQ_CHILD_ROLE(faulty) {
    const auto c = static_cast<std::int16_t>(std::stoi(args.at(0)));
    std::uint32_t item = 0, v[5] = {};
    int step = 0;
    auto expect = [&](int got, int want) {
        ++step;
        return got == want;
    };
    if (!expect(OpenController(c), 2))
        return step;
    if (!expect(InstallClass0Handler(Ignore), 0))
        return step;
    if (!expect(InstallLevelHandler(127, IgnoreLevel), -1))
        return step;
    if (!expect(InstallLevelHandler(127, IgnoreLevel), -1))
        return step;
    if (!expect(WaitDriverEvent(c, &item, 0), -5))
        return step;
    if (!expect(CancelDriverWait(c), 0))
        return step;
    if (!expect(WaitDriverEvent(c, &item, 1), KQ_WAIT_CANCELLED))
        return step;
    if (!expect(GetClientRequest(c, &v[0], &v[1], &v[2], &v[3], &v[4]), -9))
        return step;
    if (!expect(kqvxi_inject_class(static_cast<std::uint16_t>(c), 0, 5), KQVXI_INJECT_OK))
        return step;
    if (!expect(WaitDriverEvent(c, &item, 1), 0))
        return step;
    if (!expect(DispatchDriverEvent(item), 0))
        return step;
    if (!expect(CloseController(c), -1))
        return step;  // the first call fails
    if (!expect(CloseController(c), 0))
        return step;
    return 0;
}

void KQ_STDCALL IgnoreSource(std::uint16_t) {}

// Calls every operation once on a path that ends early (bad input, a controller
// not open, an unknown item or selector) and the request channel's server side
// with a null argument; returns the number of the first step whose result was
// not -1, or 0.
KQ_CHILD_ROLE(refused) {
    const auto c = static_cast<std::int16_t>(std::stoi(args.at(0)));
    std::uint32_t item = 0, v[5] = {};
    int step = 0;
    for (int got : {
             static_cast<int>(InstallClass0Handler(Ignore)),  // no controller open yet
             static_cast<int>(CloseController(c)),
             static_cast<int>(CancelDriverWait(c)),
             static_cast<int>(WaitDriverEvent(c, &item, 0)),
             static_cast<int>(DispatchDriverEvent(0x12345607u)),
             static_cast<int>(QueryEventSource(&v[0], &v[1], &v[2], &v[3])),
             static_cast<int>(InstallSourceHandler(5, IgnoreSource)),
             static_cast<int>(GetClientRequest(c, nullptr, &v[1], &v[2], &v[3], &v[4])),
             static_cast<int>(PutClientReply(c, 0, 7, nullptr, &v[1], &v[2])),
         }) {
        ++step;
        if (got != -1) {
            return step;
        }
    }
    return 0;
}

std::vector<std::string> ReadLines(const std::string& path) {
    std::vector<std::string> lines;
    std::ifstream in(path);
    for (std::string line; std::getline(in, line);) {
        lines.push_back(line);
    }
    return lines;
}

TEST(DriverFaults, EnvironmentFaultsAndCallRecord) {
    const int c = 40000 + static_cast<int>(getpid() % 4000) * 4;
    const std::string trace = "/tmp/kqvxi-sim-trace-" + std::to_string(getpid()) + ".txt";
    unlink(trace.c_str());
    setenv("KQVXI_SIM_OPEN_RESULT", "2", 1);
    setenv("KQVXI_SIM_FAIL",
           "InstallLevelHandler@*,WaitDriverEvent@1=-5,GetClientRequest@1=-9,CloseController@1,"
           "bogus,Nothing@0",
           1);
    setenv("KQVXI_SIM_TRACE", trace.c_str(), 1);
    int code = WaitChild(SpawnChild("faulty", {std::to_string(c)}), 30000);
    unsetenv("KQVXI_SIM_OPEN_RESULT");
    unsetenv("KQVXI_SIM_FAIL");
    unsetenv("KQVXI_SIM_TRACE");
    EXPECT_EQ(code, 0) << "first unexpected result at step " << code;

    std::vector<std::string> lines = ReadLines(trace);
    const std::string cs = std::to_string(static_cast<std::int16_t>(c));
    ASSERT_EQ(lines.size(), 12u);
    EXPECT_EQ(lines[0], "OpenController " + cs + " = 2");
    EXPECT_EQ(lines[1], "InstallClass0Handler = 0");
    EXPECT_EQ(lines[2], "InstallLevelHandler 127 = -1");
    EXPECT_EQ(lines[4], "WaitDriverEvent " + cs + " 0 = -5");
    EXPECT_EQ(lines[5], "CancelDriverWait " + cs + " = 0");
    EXPECT_EQ(lines[6], "WaitDriverEvent " + cs + " 1 = -8");
    EXPECT_EQ(lines[7], "GetClientRequest " + cs + " = -9");
    EXPECT_EQ(lines[8].rfind("WaitDriverEvent " + cs + " 1 = 0 -> ", 0), 0u) << lines[8];
    EXPECT_EQ(lines[9].rfind("DispatchDriverEvent ", 0), 0u) << lines[9];
    EXPECT_EQ(lines[10], "CloseController " + cs + " = -1");
    EXPECT_EQ(lines[11], "CloseController " + cs + " = 0");
    unlink(trace.c_str());
}

// A call that ends early is recorded once, like one that runs to the end.
TEST(DriverFaults, EveryEarlyExitIsRecordedOnce) {
    const int c = 40001 + static_cast<int>(getpid() % 4000) * 4;
    const std::string trace = "/tmp/kqvxi-sim-trace-early-" + std::to_string(getpid()) + ".txt";
    unlink(trace.c_str());
    setenv("KQVXI_SIM_TRACE", trace.c_str(), 1);
    int code = WaitChild(SpawnChild("refused", {std::to_string(c)}), 30000);
    unsetenv("KQVXI_SIM_TRACE");
    EXPECT_EQ(code, 0) << "first unexpected result at step " << code;

    const std::string cs = std::to_string(static_cast<std::int16_t>(c));
    const std::vector<std::string> expected = {
        "InstallClass0Handler = -1",
        "CloseController " + cs + " = -1",
        "CancelDriverWait " + cs + " = -1",
        "WaitDriverEvent " + cs + " 0 = -1",
        "DispatchDriverEvent " + std::to_string(0x12345607u) + " = -1",
        "QueryEventSource = -1",
        "InstallSourceHandler 5 = -1",
        "GetClientRequest " + cs + " = -1",
        "PutClientReply " + cs + " 0 7 0 0 0 = -1",
    };
    EXPECT_EQ(ReadLines(trace), expected);
    unlink(trace.c_str());
}

}  // namespace
