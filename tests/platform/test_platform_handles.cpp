// Handle misuse, the heap, the dialog hooks and fault injection: failure paths
// that must fail cleanly on every backend.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <string>

#include "platform/dialog.h"
#include "platform/event.h"
#include "platform/fault.h"
#include "platform/heap.h"
#include "platform/mapping.h"
#include "platform/named_mutex.h"
#include "platform/process.h"
#include "platform/thread.h"
#include "support/child.h"

TEST(PlatformHandles, ClosingAnUnknownOrClosedHandleFailsAndTouchesNothing) {
    EXPECT_FALSE(OsCloseHandle(OS_NO_HANDLE));
    OsHandle keep = OsCreateEvent(nullptr, true, true);
    OsHandle gone = OsCreateEvent(nullptr, true, false);
    ASSERT_NE(keep, OS_NO_HANDLE);
    ASSERT_NE(gone, OS_NO_HANDLE);
    EXPECT_LE(keep, OsHandle{0xFFFFFFFFu});  // fits the 4-byte fields of the shared block
    EXPECT_TRUE(OsCloseHandle(gone));
    EXPECT_FALSE(OsCloseHandle(gone));
    EXPECT_FALSE(OsCloseHandle(OsHandle{0x7ffff0}));
    EXPECT_EQ(OsWaitForObject(OsHandle{0x7ffff0}, 0), OS_WAIT_FAILED);
    EXPECT_EQ(OsWaitForObject(keep, 0), OS_WAIT_OBJECT_0);  // untouched by the misuse
    EXPECT_TRUE(OsCloseHandle(keep));
}

TEST(PlatformHandles, WrongKindsOfHandleAreRefused) {
    OsHandle map = OsCreateMapping(UniqueName("map").c_str(), 64, nullptr);
    OsHandle ev = OsCreateEvent(nullptr, false, false);
    ASSERT_NE(map, OS_NO_HANDLE);
    ASSERT_NE(ev, OS_NO_HANDLE);
    EXPECT_EQ(OsMapView(ev, 64), nullptr);
    EXPECT_FALSE(OsReleaseMutex(ev));
    std::uint32_t code = 0;
    EXPECT_FALSE(OsGetExitCodeThread(OS_NO_HANDLE, &code));
    EXPECT_FALSE(OsGetExitCodeProcess(OS_NO_HANDLE, &code));
    OsCloseHandle(ev);
    OsCloseHandle(map);
}

TEST(PlatformHeap, AllocationIsZeroFilled) {
    for (bool compactable : {false, true}) {
        auto* p = static_cast<unsigned char*>(OsHeapAllocZeroed(4096, compactable));
        ASSERT_NE(p, nullptr);
        for (int i = 0; i < 4096; ++i) {
            ASSERT_EQ(p[i], 0);
        }
        OsHeapFree(p);
    }
    OsHeapCompact(4096);
    OsHeapFree(nullptr);
}

namespace {
std::string hookedText;
int BoxHook(const char* text, const char*, std::uint32_t) {
    hookedText = text;
    return OS_IDRETRY;
}
void OutputHook(const char* text) {
    hookedText = text;
}
std::uint32_t Nothing(void*) {
    return 0;
}
}  // namespace

TEST(PlatformDialog, HooksReplaceTheRealCalls) {
    OsSetMessageBoxHook(BoxHook);
    EXPECT_EQ(OsMessageBox("boxed", "caption", 0x12), OS_IDRETRY);
    EXPECT_EQ(hookedText, "boxed");
    OsSetMessageBoxHook(nullptr);
    OsSetDebugOutputHook(OutputHook);
    OsDebugOutput("traced");
    EXPECT_EQ(hookedText, "traced");
    OsSetDebugOutputHook(nullptr);
}

// A failed create says "did not exist" on both backends, whatever the flag held
// before: a caller that checks only the flag must not take a failure for an
// object another process made.
TEST(PlatformFault, AFailedCreateLeavesExistedFalse) {
    std::string mapName = UniqueName("existed-map");
    std::string eventName = UniqueName("existed-event");
    bool existed = false;
    OsHandle map = OsCreateMapping(mapName.c_str(), 64, &existed);
    ASSERT_NE(map, OS_NO_HANDLE);
    OsHandle ev = OsCreateEvent(eventName.c_str(), true, false, &existed);
    ASSERT_NE(ev, OS_NO_HANDLE);

    existed = true;
    OsSetFault(OS_FAULT_CREATE_MAPPING, 0);
    EXPECT_EQ(OsCreateMapping(mapName.c_str(), 64, &existed), OS_NO_HANDLE);
    EXPECT_FALSE(existed);  // the name does exist, but this call opened nothing
    existed = true;
    OsSetFault(OS_FAULT_CREATE_EVENT, 0);
    EXPECT_EQ(OsCreateEvent(eventName.c_str(), true, false, &existed), OS_NO_HANDLE);
    EXPECT_FALSE(existed);
    OsClearFaults();

    // A refusal by the system itself: a new mapping of no size.
    existed = true;
    EXPECT_EQ(OsCreateMapping(UniqueName("existed-empty").c_str(), 0, &existed), OS_NO_HANDLE);
    EXPECT_FALSE(existed);

    EXPECT_TRUE(OsCloseHandle(ev));
    EXPECT_TRUE(OsCloseHandle(map));
}

TEST(PlatformFault, EachFaultFailsItsOperationOnceThenClears) {
    std::string name = UniqueName("fault");
    OsSetFault(OS_FAULT_CREATE_EVENT, 0);
    EXPECT_EQ(OsCreateEvent(nullptr, false, false), OS_NO_HANDLE);
    OsHandle ev = OsCreateEvent(nullptr, false, false);
    EXPECT_NE(ev, OS_NO_HANDLE);

    OsSetFault(OS_FAULT_CREATE_MAPPING, 0);
    bool existed = true;
    EXPECT_EQ(OsCreateMapping(name.c_str(), 64, &existed), OS_NO_HANDLE);
    OsHandle map = OsCreateMapping(name.c_str(), 64, &existed);
    ASSERT_NE(map, OS_NO_HANDLE);
    EXPECT_FALSE(existed);  // the failed attempt left nothing behind

    OsSetFault(OS_FAULT_MAP_VIEW, 0);
    EXPECT_EQ(OsMapView(map, 64), nullptr);
    void* view = OsMapView(map, 64);
    ASSERT_NE(view, nullptr);
    OsSetFault(OS_FAULT_UNMAP_VIEW, 0);
    EXPECT_FALSE(OsUnmapView(view));
    EXPECT_TRUE(OsUnmapView(view));  // the failed unmap left the view in place

    OsSetFault(OS_FAULT_CLOSE_HANDLE, 1);  // the second close fails
    EXPECT_TRUE(OsCloseHandle(ev));
    EXPECT_FALSE(OsCloseHandle(map));
    EXPECT_TRUE(OsCloseHandle(map));  // and left the handle open

    OsSetFault(OS_FAULT_OPEN_PROCESS, 0);
    EXPECT_EQ(OsOpenProcess(OsCurrentProcessId()), OS_NO_HANDLE);
    OsSetFault(OS_FAULT_CREATE_THREAD, 0);
    EXPECT_EQ(OsCreateThread(Nothing, nullptr, nullptr), OS_NO_HANDLE);
    OsSetFault(OS_FAULT_CREATE_MUTEX, 0);
    EXPECT_EQ(OsCreateMutex(name.c_str()), OS_NO_HANDLE);
    OsSetFault(OS_FAULT_HEAP_ALLOC, 0, true);
    EXPECT_EQ(OsHeapAllocZeroed(16, false), nullptr);
    EXPECT_EQ(OsHeapAllocZeroed(16, true), nullptr);  // every call while armed
    OsClearFaults();

    void* block = OsHeapAllocZeroed(16, false);
    EXPECT_NE(block, nullptr);
    OsHeapFree(block);
    OsHandle self = OsOpenProcess(OsCurrentProcessId());
    EXPECT_NE(self, OS_NO_HANDLE);
    OsCloseHandle(self);
    OsHandle t = OsCreateThread(Nothing, nullptr, nullptr);
    ASSERT_NE(t, OS_NO_HANDLE);
    EXPECT_EQ(OsWaitForObject(t, 10000), OS_WAIT_OBJECT_0);
    OsCloseHandle(t);
    OsHandle mx = OsCreateMutex(name.c_str());
    EXPECT_NE(mx, OS_NO_HANDLE);
    OsCloseHandle(mx);
}
