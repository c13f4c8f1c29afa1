// The lock section's tables and their named section shared between processes,
// and the named-mutex wrappers' status values.
#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "locks/mutex.h"
#include "platform/fault.h"
#include "platform/mapping.h"
#include "platform/process.h"
#include "support/child.h"

namespace {

constexpr const char* kSection = "Mutex Shared Memory Section";

// Reads section word i through a view of its own, beside the module's, and
// stores value there when it is given.
std::int32_t PeekSectionWord(std::uint32_t i, const std::int32_t* value = nullptr) {
    bool existed = false;
    OsHandle h = OsCreateMapping(kSection, 3200, &existed);
    if (h == OS_NO_HANDLE) {
        return 12345;
    }
    auto* words = static_cast<volatile std::int32_t*>(OsMapView(h, 3200));
    std::int32_t seen = 12345;
    if (words != nullptr) {
        seen = words[i];
        if (value != nullptr) {
            words[i] = *value;
        }
        OsUnmapView(const_cast<std::int32_t*>(words));
    }
    OsCloseHandle(h);
    return seen;
}

// Opens the existing section in a second process: held words stay held, and
// this process's tables start empty. args: event name.
KQ_CHILD_ROLE(second_opener) {
    if (CreateLockSection() != LOCK_OK) {
        return 2;
    }
    if (PeekSectionWord(0) != 0 || PeekSectionWord(1) != LOCK_FREE) {
        return 3;
    }
    // The first shared entry here is this process's entry 0, over word 0,
    // which the parent holds: a free-path acquire must not get through (the
    // owner, without a handle, counts as alive: the acquire stays pending).
    EventMutex* e = AllocEventMutex(args.at(0).c_str(), 1);
    if (e == nullptr || AcquireEventMutexWithin(e, OS_NO_HANDLE, 1, 20) != EVENT_MUTEX_PENDING) {
        return 4;
    }
    return DestroyLockSection() == LOCK_OK ? 0 : 5;
}

// Creates and destroys the section over and over while other processes do the
// same; no process may find a word taken, since nobody takes one. args: rounds.
KQ_CHILD_ROLE(churn) {
    int rounds = std::stoi(args.at(0));
    for (int r = 0; r < rounds; ++r) {
        if (CreateLockSection() != LOCK_OK) {
            return 2;
        }
        for (std::uint32_t i = 0; i < LOCK_TABLE_SIZE; i += 97) {
            if (PeekSectionWord(i) != LOCK_FREE) {
                return 3;
            }
        }
        if (DestroyLockSection() != LOCK_OK) {
            return 4;
        }
    }
    return 0;
}

class LockSectionTest : public testing::Test {
  protected:
    void TearDown() override {
        OsClearFaults();
        DestroyLockSection();
    }
};

TEST_F(LockSectionTest, StatusesBeforeDuringAndAfterTheSection) {
    std::string name = UniqueName("order");
    EventMutex loose{};
    EXPECT_EQ(DestroyLockSection(), LOCK_NOT_CREATED);
    EXPECT_EQ(AllocEventMutex(name.c_str(), 1), nullptr);
    EXPECT_EQ(FreeEventMutex(&loose), LOCK_NOT_CREATED);
    EXPECT_EQ(FreeEventMutex(nullptr), LOCK_NULL_OR_FAILED);

    ASSERT_EQ(CreateLockSection(), LOCK_OK);
    EXPECT_EQ(CreateLockSection(), LOCK_ALREADY_CREATED);
    EXPECT_EQ(AllocEventMutex(nullptr, 1), nullptr);
    EventMutex* shared = AllocEventMutex(name.c_str(), 1);
    EventMutex* priv = AllocEventMutex(name.c_str(), 0);
    ASSERT_NE(shared, nullptr);
    ASSERT_NE(priv, nullptr);
    AcquireEventMutex(shared);
    AcquireEventMutex(priv);  // a different word: no wait
    EXPECT_EQ(PeekSectionWord(0), 0);
    ReleaseEventMutex(priv);
    ReleaseEventMutex(shared);
    EXPECT_EQ(PeekSectionWord(0), LOCK_FREE);
    EXPECT_EQ(FreeEventMutex(priv), LOCK_OK);
    EXPECT_EQ(FreeEventMutex(priv), LOCK_OK) << "a free entry is only cleared again";

    EXPECT_EQ(DestroyLockSection(), LOCK_OK);
    EXPECT_FALSE(EventMutexIsOpen(shared)) << "destroy closes every open entry";
    EXPECT_EQ(AllocEventMutex(name.c_str(), 1), nullptr);
    EXPECT_EQ(DestroyLockSection(), LOCK_NOT_CREATED);
}

TEST_F(LockSectionTest, TablesFillAtEightHundredAndReuseTheLowestFreeEntry) {
    std::string name = UniqueName("fill");
    ASSERT_EQ(CreateLockSection(), LOCK_OK);
    for (std::int32_t flag : {1, 0}) {
        std::vector<EventMutex*> entries;
        for (std::uint32_t i = 0; i < LOCK_TABLE_SIZE; ++i) {
            EventMutex* e = AllocEventMutex(name.c_str(), flag);
            ASSERT_NE(e, nullptr) << "entry " << i;
            entries.push_back(e);
        }
        EXPECT_EQ(AllocEventMutex(name.c_str(), flag), nullptr) << "table full";
        for (std::uint32_t k : {517u, 3u}) {
            ASSERT_EQ(FreeEventMutex(entries[k]), LOCK_OK);
        }
        EXPECT_EQ(AllocEventMutex(name.c_str(), flag), entries[3]);
        EXPECT_EQ(AllocEventMutex(name.c_str(), flag), entries[517]);
        EXPECT_EQ(AllocEventMutex(name.c_str(), flag), nullptr);
        // Entries are consecutive: the index picks the word.
        EXPECT_EQ(entries[799] - entries[0], 799);
    }
    // A failed open takes no entry and keeps the lowest free one for later.
    EXPECT_EQ(DestroyLockSection(), LOCK_OK);
    ASSERT_EQ(CreateLockSection(), LOCK_OK);
    EventMutex* first = AllocEventMutex(name.c_str(), 0);
    ASSERT_NE(first, nullptr);
    OsSetFault(OS_FAULT_CREATE_EVENT, 0);
    EXPECT_EQ(AllocEventMutex(name.c_str(), 0), nullptr);
    EXPECT_EQ(AllocEventMutex(name.c_str(), 0), first + 1);
}

TEST_F(LockSectionTest, FailedCreateUndoesItselfAndCanBeRetried) {
    for (OsFault fault : {OS_FAULT_CREATE_MAPPING, OS_FAULT_MAP_VIEW, OS_FAULT_HEAP_ALLOC}) {
        OsSetFault(fault, 0, true);
        EXPECT_EQ(CreateLockSection(), LOCK_PLATFORM_FAILED) << fault;
        OsClearFaults();
        EXPECT_EQ(AllocEventMutex("x", 1), nullptr) << "not created after a failure";
        EXPECT_EQ(DestroyLockSection(), LOCK_NOT_CREATED);
    }
    ASSERT_EQ(CreateLockSection(), LOCK_OK);
    // Unmapping fails: every descriptor is closed, the section stays created.
    EventMutex* e = AllocEventMutex(UniqueName("unmap").c_str(), 1);
    ASSERT_NE(e, nullptr);
    OsSetFault(OS_FAULT_UNMAP_VIEW, 0);
    EXPECT_EQ(DestroyLockSection(), LOCK_PLATFORM_FAILED);
    EXPECT_FALSE(EventMutexIsOpen(e));
    EXPECT_EQ(CreateLockSection(), LOCK_ALREADY_CREATED);
    // Closing the section fails after the view is gone: it does not count as
    // created any more, so nothing can reach the unmapped words.
    OsSetFault(OS_FAULT_CLOSE_HANDLE, 0);
    EXPECT_EQ(DestroyLockSection(), LOCK_PLATFORM_FAILED);
    OsClearFaults();
    EXPECT_EQ(AllocEventMutex("x", 1), nullptr);
    EXPECT_EQ(CreateLockSection(), LOCK_OK);
}

TEST_F(LockSectionTest, SecondProcessKeepsHeldWordsHeld) {
    std::string name = UniqueName("second");
    ASSERT_EQ(CreateLockSection(), LOCK_OK);
    EventMutex* e = AllocEventMutex(name.c_str(), 1);
    ASSERT_NE(e, nullptr);
    AcquireEventMutex(e);
    EXPECT_EQ(WaitChild(SpawnChild("second_opener", {name})), 0);
    EXPECT_EQ(PeekSectionWord(0), 1) << "held, plus the child that gave up";
    // The section can outlive this test (a handle another test leaked on
    // purpose keeps it), so the word is put back free.
    const std::int32_t freeWord = LOCK_FREE;
    PeekSectionWord(0, &freeWord);
}

TEST_F(LockSectionTest, ProcessesCreatingAtOnceNeverSeeWordsTaken) {
    std::vector<OsHandle> children;
    for (int i = 0; i < 4; ++i) {
        children.push_back(SpawnChild("churn", {"300"}));
    }
    for (OsHandle child : children) {
        EXPECT_EQ(WaitChild(child, 120000), 0);
    }
}

TEST_F(LockSectionTest, NamedMutexStatusValues) {
    std::string name = UniqueName("named");
    OsHandle m = CreateNamedMutex(name.c_str());
    ASSERT_NE(m, OS_NO_HANDLE);

    // Owned by a live thread: time-out.
    std::atomic<int> stage{0};
    std::thread owner([&] {
        OsHandle mine = CreateNamedMutex(name.c_str());
        WaitNamedMutex(mine, OS_INFINITE);
        stage = 1;
        while (stage.load() != 2) {
            OsSleep(1);
        }
        ReleaseNamedMutex(mine);
        CloseNamedMutex(mine);
    });
    while (stage.load() != 1) {
        OsSleep(1);
    }
    EXPECT_EQ(WaitNamedMutex(m, 0), LOCK_TIMEOUT);
    EXPECT_EQ(ReleaseNamedMutex(m), LOCK_NULL_OR_FAILED) << "not the owner";
    stage = 2;
    owner.join();
    EXPECT_EQ(WaitNamedMutex(m, 5000), LOCK_OK);
    EXPECT_EQ(ReleaseNamedMutex(m), LOCK_OK);

    // Owner thread ends without releasing: the next waiter owns it, abandoned.
    std::thread quitter([&] {
        OsHandle mine = CreateNamedMutex(name.c_str());
        WaitNamedMutex(mine, OS_INFINITE);
        CloseNamedMutex(mine);
    });
    quitter.join();
    EXPECT_EQ(WaitNamedMutex(m, 0), LOCK_ABANDONED);
    EXPECT_EQ(ReleaseNamedMutex(m), LOCK_OK);
    EXPECT_EQ(WaitNamedMutex(m, 0), LOCK_OK);
    EXPECT_EQ(ReleaseNamedMutex(m), LOCK_OK);

    EXPECT_EQ(WaitNamedMutex(OS_NO_HANDLE, 0), LOCK_PLATFORM_FAILED);
    EXPECT_EQ(ReleaseNamedMutex(OS_NO_HANDLE), LOCK_NULL_OR_FAILED);
    EXPECT_EQ(CloseNamedMutex(OS_NO_HANDLE), LOCK_NULL_OR_FAILED);
    EXPECT_EQ(CloseNamedMutex(m), LOCK_OK);
}

}  // namespace
