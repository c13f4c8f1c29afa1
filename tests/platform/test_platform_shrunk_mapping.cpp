// Named objects that another holder shrinks under this process: touching a view
// or an event beyond the object's new end must not kill the process; the range
// then reads as zeros. A SIGBUS outside any platform mapping still ends the
// process, and an object opened after it was shrunk gets its size back.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>

#include "platform/event.h"
#include "platform/mapping.h"
#include "platform/posix/shm_path.h"
#include "platform/process.h"
#include "support/child.h"

namespace {

// A name of plain letters and digits, so its POSIX name is the stem unescaped.
std::string PlainName(const char* stem) {
    return std::string(stem) + std::to_string(OsCurrentProcessId());
}

bool Shrink(const char* kind, const std::string& name, off_t size) {
    char path[512];
    if (!px_shm_path(kind, name.c_str(), path, sizeof path)) {
        return false;
    }
    int fd = open(path, O_RDWR);
    if (fd < 0) {
        return false;
    }
    const bool ok = ftruncate(fd, size) == 0;
    close(fd);
    return ok;
}

TEST(PlatformShrunkMapping, AViewOfAShrunkObjectReadsAsZerosInsteadOfFaulting) {
    const std::string name = PlainName("kqshrinkmap");
    bool existed = true;
    OsHandle mapping = OsCreateMapping(name.c_str(), 8192, &existed);
    ASSERT_NE(mapping, OS_NO_HANDLE);
    auto* view = static_cast<volatile std::uint32_t*>(OsMapView(mapping, 8192));
    ASSERT_NE(view, nullptr);
    view[0] = 0x11111111;
    view[2000] = 0x22222222;
    ASSERT_TRUE(Shrink("map", name, 0));
    view[1500] = 0x33333333;  // beyond the end: would be SIGBUS
    EXPECT_EQ(view[1500], 0x33333333u);
    EXPECT_EQ(view[0], 0u);  // the whole view was replaced
    EXPECT_EQ(view[2000], 0u);
    EXPECT_TRUE(OsUnmapView(const_cast<std::uint32_t*>(view)));

    // Opened again after the shrink: the object has its size again.
    bool again = false;
    OsHandle second = OsCreateMapping(name.c_str(), 8192, &again);
    ASSERT_NE(second, OS_NO_HANDLE);
    EXPECT_TRUE(again);
    auto* view2 = static_cast<volatile std::uint32_t*>(OsMapView(second, 8192));
    ASSERT_NE(view2, nullptr);
    view2[2047] = 5;
    EXPECT_EQ(view2[2047], 5u);
    EXPECT_TRUE(OsUnmapView(const_cast<std::uint32_t*>(view2)));
    OsCloseHandle(second);
    OsCloseHandle(mapping);
}

TEST(PlatformShrunkMapping, AShrunkEventFailsQuietlyInsteadOfFaulting) {
    const std::string name = PlainName("kqshrinkevt");
    OsHandle event = OsCreateEvent(name.c_str(), false, false);
    ASSERT_NE(event, OS_NO_HANDLE);
    ASSERT_TRUE(Shrink("evt", name, 0));
    OsSetEvent(event);
    (void)OsWaitForObject(event, 0);
    OsCloseHandle(event);
    SUCCEED() << "still running";
}

// Touches a page of an ordinary file mapping beyond the file's end.
KQ_CHILD_ROLE(platform_foreign_bus_error) {
    (void)args;
    char path[] = "/tmp/kqshrinkXXXXXX";
    int fd = mkstemp(path);
    if (fd < 0 || ftruncate(fd, 4096) != 0) {
        return 2;
    }
    auto* p =
        static_cast<volatile char*>(mmap(nullptr, 8192, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0));
    unlink(path);
    if (p == MAP_FAILED) {
        return 3;
    }
    // A platform view exists, so the guard's handler is installed.
    OsHandle mapping = OsCreateMapping(nullptr, 4096, nullptr);
    if (mapping == OS_NO_HANDLE || OsMapView(mapping, 4096) == nullptr) {
        return 4;
    }
    p[5000] = 1;
    return 0;
}

TEST(PlatformShrunkMapping, ABusErrorOutsidePlatformMappingsStillEndsTheProcess) {
    const int code = WaitChild(SpawnChild("platform_foreign_bus_error"), 30000);
    // 128 + 7: ended by SIGBUS; 1 (AddressSanitizer) or 66 (ThreadSanitizer): a
    // sanitizer that reported the fault and ended the process.
    EXPECT_TRUE(code == 128 + 7 || code == 1 || code == 66) << code;
}

}  // namespace
