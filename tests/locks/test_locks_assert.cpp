// The assertion reporter: texts, box parameters and the three answers, with the
// box and the debugger output replaced through the platform's seams.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "locks/assert.h"
#include "platform/dialog.h"
#include "platform/mapping.h"
#include "support/child.h"

namespace {

int gAnswer = 0;
std::vector<std::string> gBoxTexts;
std::vector<std::string> gDebugTexts;
std::string gCaption;
std::uint32_t gStyle = 0;

int FakeBox(const char* text, const char* caption, std::uint32_t style) {
    gBoxTexts.push_back(text);
    gCaption = caption;
    gStyle = style;
    return gAnswer;
}

void FakeDebugOutput(const char* text) {
    gDebugTexts.push_back(text);
}

class AssertionReporterTest : public testing::Test {
  protected:
    void SetUp() override {
        gBoxTexts.clear();
        gDebugTexts.clear();
        OsSetMessageBoxHook(FakeBox);
        OsSetDebugOutputHook(FakeDebugOutput);
    }
    void TearDown() override {
        OsSetMessageBoxHook(nullptr);
        OsSetDebugOutputHook(nullptr);
    }
};

const char* const kBoxText =
    "Assertion failed: \"count > 0\"\n\nFile: queue.cpp\nLine: 4294967295\n\nClick 'Retry' to "
    "cause a debugger interrupt,\n'Abort' to terminate your program,\nor 'Ignore' to continue "
    "execution";

TEST_F(AssertionReporterTest, IgnoreOrAFailedBoxContinuesWithoutDebuggerText) {
    for (int answer : {OS_IDIGNORE, 0}) {
        gAnswer = answer;
        EXPECT_EQ(ReportAssertion("count > 0", "queue.cpp", static_cast<std::uint32_t>(-1)), 0);
    }
    ASSERT_EQ(gBoxTexts.size(), 2u);
    EXPECT_EQ(gBoxTexts[0], kBoxText) << "line -1 prints unsigned";
    EXPECT_EQ(gCaption, "Assertion Failed");
    EXPECT_EQ(gStyle, 0x1012u);
    EXPECT_TRUE(gDebugTexts.empty());
}

TEST_F(AssertionReporterTest, RetryWritesOneDebuggerTextAndReturnsOne) {
    gAnswer = OS_IDRETRY;
    EXPECT_EQ(ReportAssertion("p != 0", "mutex.cpp", 42), 1);
    EXPECT_EQ(gBoxTexts.size(), 1u) << "no second box";
    ASSERT_EQ(gDebugTexts.size(), 1u);
    EXPECT_EQ(gDebugTexts[0], "Assertion failed \"p != 0\" in file: mutex.cpp, line: 42\n\r");
}

bool EndsWith(const std::string& text, const std::string& tail) {
    return text.size() >= tail.size() &&
           text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}

TEST_F(AssertionReporterTest, LongTextsAreCutButKeepLineAndEnding) {
    std::string condition(10 * 1024, 'c');
    std::string file(3000, 'f');
    gAnswer = OS_IDRETRY;
    EXPECT_EQ(ReportAssertion(condition.c_str(), file.c_str(), 77), 1);
    ASSERT_EQ(gBoxTexts.size(), 1u);
    ASSERT_EQ(gDebugTexts.size(), 1u);
    const std::string& box = gBoxTexts[0];
    const std::string& debug = gDebugTexts[0];
    EXPECT_LE(box.size(), 511u);
    EXPECT_GE(box.size(), 480u) << "the room is used";
    EXPECT_EQ(box.rfind("Assertion failed: \"cccc", 0), 0u);
    EXPECT_NE(box.find("\"\n\nFile: ffff"), std::string::npos);
    EXPECT_NE(box.find("\nLine: 77\n\n"), std::string::npos);
    EXPECT_TRUE(EndsWith(box, "\nor 'Ignore' to continue execution"));
    EXPECT_LE(debug.size(), 511u);
    EXPECT_NE(debug.find("\" in file: ffff"), std::string::npos);
    EXPECT_TRUE(EndsWith(debug, ", line: 77\n\r"));

    // Only the file name is long: the condition stays whole.
    gBoxTexts.clear();
    gAnswer = OS_IDIGNORE;
    EXPECT_EQ(ReportAssertion("ok", file.c_str(), 1), 0);
    EXPECT_EQ(gBoxTexts[0].rfind("Assertion failed: \"ok\"\n\nFile: ffff", 0), 0u);
    EXPECT_LE(gBoxTexts[0].size(), 511u);
}

// Shared flag the exit handler sets, so the parent sees that it ran.
std::uint32_t* gExitMarker = nullptr;

void MarkExit() {
    if (gExitMarker != nullptr) {
        *gExitMarker = 0x600D;
    }
}

int AbortBox(const char*, const char*, std::uint32_t) {
    return OS_IDABORT;
}

// args: marker mapping name.
KQ_CHILD_ROLE(abort_report) {
    bool existed = false;
    OsHandle h = OsCreateMapping(args.at(0).c_str(), 4096, &existed);
    gExitMarker = static_cast<std::uint32_t*>(OsMapView(h, 4096));
    if (!existed || gExitMarker == nullptr) {
        return 2;
    }
    std::atexit(MarkExit);
    OsSetMessageBoxHook(AbortBox);
    ReportAssertion("false", "child.cpp", 1);
    return 3;  // Abort must not return
}

TEST_F(AssertionReporterTest, AbortEndsTheProcessWithMinusOneAfterExitHandlers) {
    std::string marker = UniqueName("abortmark");
    bool existed = false;
    OsHandle h = OsCreateMapping(marker.c_str(), 4096, &existed);
    ASSERT_NE(h, OS_NO_HANDLE);
    auto* flag = static_cast<volatile std::uint32_t*>(OsMapView(h, 4096));
    ASSERT_NE(flag, nullptr);
    int code = WaitChild(SpawnChild("abort_report", {marker}));
    // exit(-1) reads as 255 where exit statuses have 8 bits.
    EXPECT_TRUE(code == -1 || code == 255) << code;
    EXPECT_EQ(*flag, 0x600Du) << "registered exit handler ran";
    OsUnmapView(const_cast<std::uint32_t*>(flag));
    OsCloseHandle(h);
}

}  // namespace
