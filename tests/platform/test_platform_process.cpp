// Process and thread handles: exit detection, exit codes, still-active, kill,
// thread exit codes and time-critical priority requests.
#include <gtest/gtest.h>

#include "platform/atomic.h"
#include <cstdint>
#include <cstdio>
#include <string>

#include "platform/event.h"
#include "platform/process.h"
#include "platform/thread.h"
#include "support/child.h"

// args: exit code. Ends at once with it.
KQ_CHILD_ROLE(exit_with) {
    return std::stoi(args.at(0));
}

// args: event name. Ends with 5 once the event is set.
KQ_CHILD_ROLE(exit_on_event) {
    OsHandle ev = OsCreateEvent(args.at(0).c_str(), true, false);
    if (ev == OS_NO_HANDLE) {
        return 3;
    }
    return OsWaitForObject(ev, 20000) == OS_WAIT_OBJECT_0 ? 5 : 4;
}

TEST(PlatformProcess, ChildExitCodeComesBack) {
    EXPECT_EQ(WaitChild(SpawnChild("exit_with", {"42"}), 20000), 42);
    EXPECT_EQ(WaitChild(SpawnChild("exit_with", {"0"}), 20000), 0);
}

TEST(PlatformProcess, OpenedHandleSeesTheProcessRunThenEnd) {
    std::string name = UniqueName("ev");
    OsHandle ev = OsCreateEvent(name.c_str(), true, false);
    std::uint32_t pid = 0;
    OsHandle child = SpawnChild("exit_on_event", {name}, &pid);
    ASSERT_NE(child, OS_NO_HANDLE);
    ASSERT_NE(pid, 0u);
    OsHandle opened = OsOpenProcess(pid);
    ASSERT_NE(opened, OS_NO_HANDLE);
    std::uint32_t code = 0;
    ASSERT_TRUE(OsGetExitCodeProcess(opened, &code));
    EXPECT_EQ(code, OS_STILL_ACTIVE);
    EXPECT_EQ(OsWaitForObject(opened, 20), OS_WAIT_TIMEOUT);
    OsSetEvent(ev);
    EXPECT_EQ(OsWaitForObject(opened, 20000), OS_WAIT_OBJECT_0);
    ASSERT_TRUE(OsGetExitCodeProcess(opened, &code));
    EXPECT_NE(code, OS_STILL_ACTIVE);
    EXPECT_EQ(WaitChild(child, 20000), 5);
    EXPECT_EQ(OsWaitForObject(opened, 0), OS_WAIT_OBJECT_0);  // stays ended
    OsCloseHandle(opened);
    OsCloseHandle(ev);
}

TEST(PlatformProcess, OwnProcessIsStillActiveAndKillEndsAChild) {
    OsHandle self = OsOpenProcess(OsCurrentProcessId());
    ASSERT_NE(self, OS_NO_HANDLE);
    std::uint32_t code = 0;
    ASSERT_TRUE(OsGetExitCodeProcess(self, &code));
    EXPECT_EQ(code, OS_STILL_ACTIVE);
    OsCloseHandle(self);

    OsHandle child = SpawnChild("exit_on_event", {UniqueName("never")});
    ASSERT_NE(child, OS_NO_HANDLE);
    EXPECT_TRUE(OsKillProcess(child));
    EXPECT_EQ(OsWaitForObject(child, 10000), OS_WAIT_OBJECT_0);
    ASSERT_TRUE(OsGetExitCodeProcess(child, &code));
    EXPECT_EQ(code, 137u);  // 128 + SIGKILL, the code a killed child reports on both systems
    OsCloseHandle(child);
}

namespace {
std::uint32_t ReturnParameter(void* p) {
    return static_cast<std::uint32_t>(reinterpret_cast<std::uintptr_t>(p));
}
std::uint32_t ExitEarly(void*) {
    OsExitThread(77);
}
std::uint32_t WaitThenReturn(void* ev) {
    return OsWaitForObject(*static_cast<OsHandle*>(ev), 20000) == OS_WAIT_OBJECT_0 ? 9 : 8;
}
std::int32_t detachedDone = 0;
std::uint32_t WaitThenMarkDone(void* ev) {
    std::uint32_t r = WaitThenReturn(ev);
    OsAtomicStore(&detachedDone, 1);
    return r;
}
}  // namespace

TEST(PlatformThread, ExitCodeFromReturnOrExitThread) {
    std::uint32_t tid = 0;
    OsHandle t =
        OsCreateThread(ReturnParameter, reinterpret_cast<void*>(std::uintptr_t{123}), &tid);
    ASSERT_NE(t, OS_NO_HANDLE);
    EXPECT_NE(tid, 0u);
    EXPECT_NE(tid, OsCurrentThreadId());
    ASSERT_EQ(OsWaitForObject(t, 10000), OS_WAIT_OBJECT_0);
    std::uint32_t code = 0;
    ASSERT_TRUE(OsGetExitCodeThread(t, &code));
    EXPECT_EQ(code, 123u);
    OsCloseHandle(t);

    t = OsCreateThread(ExitEarly, nullptr, nullptr);
    ASSERT_NE(t, OS_NO_HANDLE);
    ASSERT_EQ(OsWaitForObject(t, 10000), OS_WAIT_OBJECT_0);
    ASSERT_TRUE(OsGetExitCodeThread(t, &code));
    EXPECT_EQ(code, 77u);
    OsCloseHandle(t);
}

TEST(PlatformThread, RunningThreadReportsStillActiveAndOutlivesItsHandle) {
    OsHandle ev = OsCreateEvent(nullptr, true, false);
    OsHandle t = OsCreateThread(WaitThenReturn, &ev, nullptr);
    ASSERT_NE(t, OS_NO_HANDLE);
    std::uint32_t code = 0;
    ASSERT_TRUE(OsGetExitCodeThread(t, &code));
    EXPECT_EQ(code, OS_STILL_ACTIVE);
    EXPECT_EQ(OsWaitForObject(t, 20), OS_WAIT_TIMEOUT);
    // A request for time-critical priority may be refused; it must not crash.
    bool raised = OsSetThreadTimeCritical(t);
    std::printf("time-critical priority %s\n", raised ? "granted" : "refused");
    OsSetEvent(ev);
    ASSERT_EQ(OsWaitForObject(t, 10000), OS_WAIT_OBJECT_0);
    ASSERT_TRUE(OsGetExitCodeThread(t, &code));
    EXPECT_EQ(code, 9u);
    OsCloseHandle(t);

    // Closing the handle of a running thread leaves the thread running to its end.
    OsResetEvent(ev);
    t = OsCreateThread(WaitThenMarkDone, &ev, nullptr);
    ASSERT_NE(t, OS_NO_HANDLE);
    EXPECT_TRUE(OsCloseHandle(t));
    OsSetEvent(ev);
    for (int i = 0; i < 5000 && OsAtomicLoad(&detachedDone) == 0; ++i) {
        OsSleep(2);
    }
    EXPECT_EQ(OsAtomicLoad(&detachedDone), 1);
    OsSleep(10);  // the thread leaves its wait before it marks done; let it finish
    OsCloseHandle(ev);
}
