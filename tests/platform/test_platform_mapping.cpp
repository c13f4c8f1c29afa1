// Named mapping lifetime and the truthful "already existed": last close
// destroys, a view keeps the object, a killed holder keeps nothing, and of many
// processes creating one name at once exactly one is its creator.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <cstring>
#include <string>

#include "platform/atomic.h"
#include "platform/event.h"
#include "platform/mapping.h"
#include "platform/process.h"
#include "support/child.h"

namespace {

constexpr std::uint32_t SIZE = 3604;  // not a page multiple, like the queue blocks
constexpr int RACERS = 6;

bool AllBytesAre(const void* p, std::uint32_t n, unsigned char value) {
    const unsigned char* b = static_cast<const unsigned char*>(p);
    for (std::uint32_t i = 0; i < n; ++i) {
        if (b[i] != value) {
            return false;
        }
    }
    return true;
}

// Result slots of the creation race: 1 created, 2 opened, 3 saw non-zero bytes,
// 4 failed.
struct RaceResults {
    std::int32_t slot[RACERS];
};

}  // namespace

TEST(PlatformMapping, SecondCreateOpensTheSameZeroFilledObject) {
    std::string name = UniqueName("map");
    bool existed = true;
    OsHandle a = OsCreateMapping(name.c_str(), SIZE, &existed);
    ASSERT_NE(a, OS_NO_HANDLE);
    EXPECT_FALSE(existed);
    OsHandle b = OsCreateMapping(name.c_str(), SIZE, &existed);
    ASSERT_NE(b, OS_NO_HANDLE);
    EXPECT_TRUE(existed);
    auto* va = static_cast<unsigned char*>(OsMapView(a, SIZE));
    auto* vb = static_cast<unsigned char*>(OsMapView(b, SIZE));
    ASSERT_NE(va, nullptr);
    ASSERT_NE(vb, nullptr);
    EXPECT_TRUE(AllBytesAre(va, SIZE, 0));
    va[SIZE - 1] = 0x5a;
    EXPECT_EQ(vb[SIZE - 1], 0x5a);
    EXPECT_TRUE(OsUnmapView(va));
    EXPECT_TRUE(OsUnmapView(vb));
    EXPECT_TRUE(OsCloseHandle(a));
    EXPECT_TRUE(OsCloseHandle(b));
}

TEST(PlatformMapping, TheNameLivesWithItsHandlesAndAViewKeepsItsMemory) {
    std::string name = UniqueName("map");
    bool existed = true;
    OsHandle h = OsCreateMapping(name.c_str(), SIZE, &existed);
    ASSERT_NE(h, OS_NO_HANDLE);
    OsHandle other = OsCreateMapping(name.c_str(), SIZE, &existed);
    ASSERT_NE(other, OS_NO_HANDLE);
    auto* v = static_cast<unsigned char*>(OsMapView(h, SIZE));
    ASSERT_NE(v, nullptr);
    std::memset(v, 0xab, SIZE);
    ASSERT_TRUE(OsCloseHandle(h));  // the other handle still holds the name

    h = OsCreateMapping(name.c_str(), SIZE, &existed);
    ASSERT_NE(h, OS_NO_HANDLE);
    EXPECT_TRUE(existed);
    auto* v2 = static_cast<unsigned char*>(OsMapView(h, SIZE));
    ASSERT_NE(v2, nullptr);
    EXPECT_TRUE(AllBytesAre(v2, SIZE, 0xab));
    EXPECT_TRUE(OsUnmapView(v2));
    EXPECT_TRUE(OsCloseHandle(other));
    EXPECT_TRUE(OsCloseHandle(h));  // last handle: the name is gone

    // The view still works on the old memory; the name makes a new, zeroed object.
    EXPECT_TRUE(AllBytesAre(v, SIZE, 0xab));
    v[0] = 1;
    h = OsCreateMapping(name.c_str(), SIZE, &existed);
    ASSERT_NE(h, OS_NO_HANDLE);
    EXPECT_FALSE(existed);
    v2 = static_cast<unsigned char*>(OsMapView(h, SIZE));
    ASSERT_NE(v2, nullptr);
    EXPECT_TRUE(AllBytesAre(v2, SIZE, 0));
    EXPECT_TRUE(OsUnmapView(v2));
    EXPECT_TRUE(OsUnmapView(v));
    OsCloseHandle(h);
}

TEST(PlatformMapping, UnmapOfWhatIsNotAViewFails) {
    int local = 0;
    EXPECT_FALSE(OsUnmapView(&local));
    EXPECT_FALSE(OsUnmapView(nullptr));
    OsHandle h = OsCreateMapping(UniqueName("map").c_str(), SIZE, nullptr);
    ASSERT_NE(h, OS_NO_HANDLE);
    void* v = OsMapView(h, SIZE);
    ASSERT_NE(v, nullptr);
    EXPECT_TRUE(OsUnmapView(v));
    EXPECT_FALSE(OsUnmapView(v));
    EXPECT_EQ(OsMapView(h, SIZE + 8192), nullptr);  // more than the object holds
    OsCloseHandle(h);
}

// args: mapping name, ready event name. Creates the mapping, fills it with 0x5a,
// signals ready and waits to be killed. Exit 3 when the setup failed.
KQ_CHILD_ROLE(mapping_holder) {
    bool existed = false;
    OsHandle h = OsCreateMapping(args.at(0).c_str(), SIZE, &existed);
    void* v = h != OS_NO_HANDLE ? OsMapView(h, SIZE) : nullptr;
    OsHandle ready = OsCreateEvent(args.at(1).c_str(), true, false);
    if (v == nullptr || ready == OS_NO_HANDLE) {
        return 3;
    }
    std::memset(v, 0x5a, SIZE);
    OsSetEvent(ready);
    OsSleep(30000);
    return 0;
}

TEST(PlatformMapping, AKilledHolderKeepsNothingAlive) {
    std::string name = UniqueName("map");
    std::string readyName = UniqueName("ready");
    OsHandle ready = OsCreateEvent(readyName.c_str(), true, false);
    ASSERT_NE(ready, OS_NO_HANDLE);
    OsHandle child = SpawnChild("mapping_holder", {name, readyName});
    ASSERT_NE(child, OS_NO_HANDLE);
    ASSERT_EQ(OsWaitForObject(ready, 20000), OS_WAIT_OBJECT_0);

    bool existed = false;
    OsHandle h = OsCreateMapping(name.c_str(), SIZE, &existed);
    ASSERT_NE(h, OS_NO_HANDLE);
    EXPECT_TRUE(existed);  // the child holds it
    OsCloseHandle(h);

    ASSERT_TRUE(OsKillProcess(child));
    ASSERT_EQ(OsWaitForObject(child, 10000), OS_WAIT_OBJECT_0);
    OsCloseHandle(child);

    h = OsCreateMapping(name.c_str(), SIZE, &existed);
    ASSERT_NE(h, OS_NO_HANDLE);
    EXPECT_FALSE(existed) << "a killed holder kept the mapping alive";
    void* v = OsMapView(h, SIZE);
    ASSERT_NE(v, nullptr);
    EXPECT_TRUE(AllBytesAre(v, SIZE, 0)) << "stale contents of a dead holder";
    OsUnmapView(v);
    OsCloseHandle(h);
    OsCloseHandle(ready);
}

// Open-only: never creates, refuses a smaller object, shares the creator's
// bytes through a read-only view, and finds nothing once a killed creator
// left only the name behind.
TEST(PlatformMapping, OpenOnlyFindsOnlyAHeldObjectOfTheRightSize) {
    std::string name = UniqueName("map");
    EXPECT_EQ(OsOpenMapping(name.c_str(), SIZE), OS_NO_HANDLE);
    bool existed = true;
    OsHandle probe = OsCreateMapping(name.c_str(), SIZE, &existed);
    ASSERT_NE(probe, OS_NO_HANDLE);
    EXPECT_FALSE(existed) << "an open-only call created the object";
    OsCloseHandle(probe);

    OsHandle owner = OsCreateMapping(name.c_str(), SIZE, &existed);
    ASSERT_NE(owner, OS_NO_HANDLE);
    auto* w = static_cast<unsigned char*>(OsMapView(owner, SIZE));
    ASSERT_NE(w, nullptr);
    EXPECT_EQ(OsOpenMapping(name.c_str(), SIZE + 4096), OS_NO_HANDLE);
    OsHandle reader = OsOpenMapping(name.c_str(), SIZE);
    ASSERT_NE(reader, OS_NO_HANDLE);
    const auto* r = static_cast<const unsigned char*>(OsMapViewReadOnly(reader, SIZE));
    ASSERT_NE(r, nullptr);
    w[7] = 0x3c;
    EXPECT_EQ(r[7], 0x3c);
    EXPECT_TRUE(OsUnmapView(const_cast<unsigned char*>(r)));
    EXPECT_TRUE(OsCloseHandle(reader));
    EXPECT_TRUE(OsUnmapView(w));
    EXPECT_TRUE(OsCloseHandle(owner));
    EXPECT_EQ(OsOpenMapping(name.c_str(), SIZE), OS_NO_HANDLE) << "the last close left the name";

    std::string readyName = UniqueName("ready");
    OsHandle ready = OsCreateEvent(readyName.c_str(), true, false);
    ASSERT_NE(ready, OS_NO_HANDLE);
    OsHandle child = SpawnChild("mapping_holder", {name, readyName});
    ASSERT_NE(child, OS_NO_HANDLE);
    ASSERT_EQ(OsWaitForObject(ready, 20000), OS_WAIT_OBJECT_0);
    OsHandle held = OsOpenMapping(name.c_str(), SIZE);
    EXPECT_NE(held, OS_NO_HANDLE) << "a live holder's object was not found";
    OsCloseHandle(held);
    ASSERT_TRUE(OsKillProcess(child));
    ASSERT_EQ(OsWaitForObject(child, 10000), OS_WAIT_OBJECT_0);
    OsCloseHandle(child);
    EXPECT_EQ(OsOpenMapping(name.c_str(), SIZE), OS_NO_HANDLE)
        << "a killed holder's name was opened";
    OsCloseHandle(ready);
}

// args: mapping name, results mapping name, slot, go event, release event. Waits
// for go, creates the mapping, reports, and holds it until release.
KQ_CHILD_ROLE(mapping_racer) {
    int slot = std::stoi(args.at(2));
    bool existed = false;
    OsHandle res = OsCreateMapping(args.at(1).c_str(), sizeof(RaceResults), &existed);
    auto* results = res != OS_NO_HANDLE ? static_cast<RaceResults*>(OsMapView(res, 0)) : nullptr;
    OsHandle go = OsCreateEvent(args.at(3).c_str(), true, false);
    OsHandle release = OsCreateEvent(args.at(4).c_str(), true, false);
    if (results == nullptr || go == OS_NO_HANDLE || release == OS_NO_HANDLE) {
        return 3;
    }
    OsWaitForObject(go, 20000);
    std::int32_t outcome = 4;
    OsHandle h = OsCreateMapping(args.at(0).c_str(), SIZE, &existed);
    void* v = h != OS_NO_HANDLE ? OsMapView(h, SIZE) : nullptr;
    if (v != nullptr) {
        outcome = !AllBytesAre(v, SIZE, 0) ? 3 : existed ? 2 : 1;
    }
    OsAtomicStore(&results->slot[slot], outcome);
    OsWaitForObject(release, 20000);
    return 0;
}

TEST(PlatformMapping, OfManySimultaneousCreatorsExactlyOneCreates) {
    std::string name = UniqueName("race");
    std::string resName = UniqueName("results");
    std::string goName = UniqueName("go");
    std::string releaseName = UniqueName("release");
    bool existed = false;
    OsHandle res = OsCreateMapping(resName.c_str(), sizeof(RaceResults), &existed);
    ASSERT_NE(res, OS_NO_HANDLE);
    auto* results = static_cast<RaceResults*>(OsMapView(res, 0));
    ASSERT_NE(results, nullptr);
    OsHandle go = OsCreateEvent(goName.c_str(), true, false);
    OsHandle release = OsCreateEvent(releaseName.c_str(), true, false);
    OsHandle kids[RACERS];
    for (int i = 0; i < RACERS; ++i) {
        kids[i] =
            SpawnChild("mapping_racer", {name, resName, std::to_string(i), goName, releaseName});
        ASSERT_NE(kids[i], OS_NO_HANDLE);
    }
    OsSleep(200);  // let them all reach the go event
    OsSetEvent(go);
    int created = 0;
    int opened = 0;
    auto end = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    for (int i = 0; i < RACERS; ++i) {
        std::int32_t r = 0;
        while ((r = OsAtomicLoad(&results->slot[i])) == 0 &&
               std::chrono::steady_clock::now() < end) {
            OsSleep(2);
        }
        EXPECT_TRUE(r == 1 || r == 2) << "racer " << i << " reported " << r;
        created += r == 1 ? 1 : 0;
        opened += r == 2 ? 1 : 0;
    }
    EXPECT_EQ(created, 1);
    EXPECT_EQ(opened, RACERS - 1);
    OsSetEvent(release);
    for (OsHandle k : kids) {
        EXPECT_EQ(WaitChild(k, 20000), 0);
    }
    OsUnmapView(results);
    OsCloseHandle(res);
    OsCloseHandle(go);
    OsCloseHandle(release);
}
