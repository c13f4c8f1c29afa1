// Event mutexes inside one process: the lock-word protocol with the event seen
// from outside, descriptor validation, failure paths of open, the allocator,
// and threads that share one lock.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <thread>
#include <vector>

#include "locks/mutex.h"
#include "platform/atomic.h"
#include "platform/event.h"
#include "platform/fault.h"
#include "support/child.h"

namespace {

// A second handle on a lock's event, to see whether it is set without being
// part of the lock protocol. Waiting with time-out 0 takes the signal.
struct EventProbe {
    explicit EventProbe(const std::string& name) {
        handle = OsCreateEvent(name.c_str(), false, false);
    }
    ~EventProbe() { OsCloseHandle(handle); }
    bool TakeSignal() { return OsWaitForObject(handle, 0) == OS_WAIT_OBJECT_0; }
    OsHandle handle;
};

std::int32_t Load(volatile std::int32_t& word) {
    return OsAtomicLoad(&word);
}

class EventMutexTest : public testing::Test {
  protected:
    void TearDown() override { OsClearFaults(); }
};

TEST_F(EventMutexTest, FreePathAndContendedHandOverFollowTheLockWord) {
    std::string name = UniqueName("handover");
    alignas(4) volatile std::int32_t word = LOCK_FREE;
    EventMutex a{}, b{};
    ASSERT_EQ(OpenEventMutex(&a, &word, name.c_str()), 0);
    ASSERT_EQ(OpenEventMutex(&b, &word, name.c_str()), 0);
    EventProbe probe(name);
    ASSERT_NE(probe.handle, OS_NO_HANDLE);
    EXPECT_EQ(Load(word), LOCK_FREE) << "opening never writes the word";

    // Free lock: one step each way, the event is not touched.
    AcquireEventMutex(&a);
    EXPECT_EQ(Load(word), 0);
    ReleaseEventMutex(&a);
    EXPECT_EQ(Load(word), -1);
    EXPECT_FALSE(probe.TakeSignal());

    // b waits while a holds; a's release hands the lock over through the event.
    AcquireEventMutex(&a);
    std::atomic<bool> bHolds{false};
    std::thread second([&] {
        AcquireEventMutex(&b);
        bHolds = true;
    });
    for (int i = 0; i < 5000 && Load(word) != 1; ++i) {
        OsSleep(1);
    }
    ASSERT_EQ(Load(word), 1) << "second acquirer counted as waiting";
    OsSleep(20);
    EXPECT_FALSE(bHolds.load());
    ReleaseEventMutex(&a);
    second.join();
    EXPECT_TRUE(bHolds.load());
    EXPECT_EQ(Load(word), 0);
    ReleaseEventMutex(&b);
    EXPECT_EQ(Load(word), -1);
    EXPECT_FALSE(probe.TakeSignal()) << "the last release sets nothing";

    CloseEventMutex(&a);
    CloseEventMutex(&b);
}

TEST_F(EventMutexTest, ReleaseBeforeTheWaiterWaitsLeavesTheEventSet) {
    // The second party has counted itself (increment) but not begun to wait
    // when the holder releases: the signal must wait for it, not be lost.
    std::string name = UniqueName("early");
    alignas(4) volatile std::int32_t word = LOCK_FREE;
    EventMutex holder{};
    ASSERT_EQ(OpenEventMutex(&holder, &word, name.c_str()), 0);
    EventProbe late(name);
    AcquireEventMutex(&holder);
    OsInterlockedIncrement(&word);  // the late party's first step
    ReleaseEventMutex(&holder);
    EXPECT_EQ(Load(word), 0);
    OsSleep(10);
    EXPECT_TRUE(late.TakeSignal()) << "hand-over kept until the late party waits";
    EXPECT_FALSE(late.TakeSignal()) << "auto-reset: one pass per set";
    OsInterlockedDecrement(&word);  // the late party releases: nobody waits
    EXPECT_EQ(Load(word), -1);
    CloseEventMutex(&holder);
}

TEST_F(EventMutexTest, CloseClearsAndForeignOrStaleFieldsReadAsClosed) {
    std::string name = UniqueName("fields");
    alignas(4) volatile std::int32_t word = LOCK_FREE;
    EventMutex never{};
    CloseEventMutex(&never);
    EXPECT_EQ(never.name | never.event | never.lockWord, 0u);
    EXPECT_FALSE(EventMutexIsOpen(&never));

    EventMutex m{};
    ASSERT_EQ(OpenEventMutex(&m, &word, name.c_str()), 0);
    EXPECT_NE(m.name, 0u);
    EXPECT_TRUE(EventMutexIsOpen(&m));
    EXPECT_EQ(OpenEventMutex(&m, &word, name.c_str()), -1) << "already open";
    EXPECT_TRUE(EventMutexIsOpen(&m));

    if (sizeof(void*) > 4) {
        // A copy elsewhere (as another process's descriptor bytes would be)
        // is not believed: acquiring through it never touches the word.
        EventMutex copy;
        std::memcpy(&copy, &m, sizeof copy);
        EXPECT_FALSE(EventMutexIsOpen(&copy));
        AcquireEventMutex(&copy);
        ReleaseEventMutex(&copy);
        EXPECT_EQ(Load(word), LOCK_FREE);
        EXPECT_EQ(AcquireEventMutexUnlessEnded(&copy, OS_NO_HANDLE, 1), -1);
        EXPECT_EQ(Load(word), LOCK_FREE);
        CloseEventMutex(&copy);  // only clears the copy
        EXPECT_TRUE(EventMutexIsOpen(&m));

        // Values written over the descriptor itself (as the other process
        // could): out of range, fields that disagree, the wrong tags.
        const EventMutex saved = m;
        const EventMutex junk[] = {{0xFFFFFFFFu, 0xFFFFFFFFu, 0xFFFFFFFFu},
                                   {saved.name, saved.event, saved.lockWord + 1},
                                   {saved.name + 1, saved.event + 1, saved.lockWord + 1},
                                   {saved.name, 0, 0},
                                   {saved.lockWord, saved.event, saved.name},
                                   {1, 1, 1}};
        for (const EventMutex& j : junk) {
            m = j;
            EXPECT_FALSE(EventMutexIsOpen(&m));
            AcquireEventMutex(&m);
            EXPECT_EQ(Load(word), LOCK_FREE);
            m = saved;
        }
        EXPECT_TRUE(EventMutexIsOpen(&m));
        // A stale descriptor reopened in place is opened afresh.
        EventMutex stale{};
        stale.name = 0x4E000007u;
        stale.event = 0x45000007u;
        stale.lockWord = 0x4C000007u;
        EXPECT_EQ(OpenEventMutex(&stale, &word, name.c_str()), 0);
        EXPECT_TRUE(EventMutexIsOpen(&stale));
        CloseEventMutex(&stale);
    }
    CloseEventMutex(&m);
    EXPECT_EQ(m.name | m.event | m.lockWord, 0u);
    EXPECT_FALSE(EventMutexIsOpen(&m));
    EXPECT_EQ(Load(word), LOCK_FREE) << "closing never writes the word";
}

TEST_F(EventMutexTest, FailedOpenLeavesTheDescriptorClosedAndLeaksNothing) {
    std::string name = UniqueName("failopen");
    alignas(4) volatile std::int32_t word = LOCK_FREE;
    EventMutex m{};
    EXPECT_EQ(OpenEventMutex(&m, &word, nullptr), -1);
    EXPECT_EQ(OpenEventMutex(&m, nullptr, name.c_str()), -1);
    EXPECT_EQ(OpenEventMutex(nullptr, &word, name.c_str()), -1);

    OsSetFault(OS_FAULT_CREATE_EVENT, 0);
    EXPECT_EQ(OpenEventMutex(&m, &word, name.c_str()), -1);
    EXPECT_EQ(m.name, 0u);
    EXPECT_EQ(m.event, 0u);

    OsSetFault(OS_FAULT_HEAP_ALLOC, 0, true);
    EXPECT_EQ(OpenEventMutex(&m, &word, name.c_str()), -1);
    EXPECT_EQ(m.name, 0u);
    OsClearFaults();

    // Far more failed opens and open/close cycles than the process can hold
    // descriptors at once: neither may use a descriptor place up.
    OsSetFault(OS_FAULT_CREATE_EVENT, 0, true);
    for (int i = 0; i < 5000; ++i) {
        ASSERT_EQ(OpenEventMutex(&m, &word, name.c_str()), -1);
    }
    OsClearFaults();
    for (int i = 0; i < 5000; ++i) {
        ASSERT_EQ(OpenEventMutex(&m, &word, name.c_str()), 0) << "cycle " << i;
        CloseEventMutex(&m);
    }
    EXPECT_EQ(Load(word), LOCK_FREE);

    // The other side of a shared block wipes or scribbles over this side's
    // descriptor between open and close, or between two opens: what this
    // process opened for it must still be found and given back.
    for (int i = 0; i < 5000; ++i) {
        ASSERT_EQ(OpenEventMutex(&m, &word, name.c_str()), 0) << "cycle " << i;
        m = i % 2 == 0 ? EventMutex{0, 0, 0} : EventMutex{1, 2, 3};
        if (i % 3 == 0) {
            CloseEventMutex(&m);
        }
    }
    CloseEventMutex(&m);
}

TEST_F(EventMutexTest, SharedAllocZeroFillsRetriesOnceAndRefusesWrappingSizes) {
    auto* block = static_cast<unsigned char*>(SharedAlloc(1000, 1));
    ASSERT_NE(block, nullptr);
    for (int i = 0; i < 1000; ++i) {
        ASSERT_EQ(block[i], 0) << i;
    }
    std::memset(block, 0xAB, 1000);
    SharedFree(block);
    SharedFree(nullptr);

    auto* counted = static_cast<unsigned char*>(SharedAlloc(7, 13));
    ASSERT_NE(counted, nullptr);
    counted[90] = 1;  // 91 bytes are there
    SharedFree(counted);

    OsSetFault(OS_FAULT_HEAP_ALLOC, 0);
    void* retried = SharedAlloc(64, 1);
    EXPECT_NE(retried, nullptr) << "second request after compaction";
    SharedFree(retried);
    OsSetFault(OS_FAULT_HEAP_ALLOC, 0, true);
    EXPECT_EQ(SharedAlloc(64, 1), nullptr);
    OsClearFaults();

    // 0x10000 * 0x10001 wraps to 0x10000 in 32 bits.
    EXPECT_EQ(SharedAlloc(0x10000u, 0x10001u), nullptr);
}

TEST_F(EventMutexTest, ThreadsCountExactlyUnderOneLock) {
    // Two threads share one descriptor (as the server's two threads share
    // serverMutex); two more each have their own over the same word and name.
    // Every thread runs at least kRounds rounds and 100 ms, and goes on until the lock has
    // been seen contended often enough (or a time limit), so that hand-overs
    // through the event are exercised and not only the free path.
    std::string name = UniqueName("threads");
    alignas(4) volatile std::int32_t word = LOCK_FREE;
    EventMutex shared{}, own1{}, own2{};
    ASSERT_EQ(OpenEventMutex(&shared, &word, name.c_str()), 0);
    ASSERT_EQ(OpenEventMutex(&own1, &word, name.c_str()), 0);
    ASSERT_EQ(OpenEventMutex(&own2, &word, name.c_str()), 0);
    constexpr std::uint64_t kRounds = 20000;
    constexpr std::uint64_t kWantContended = 1000;
    std::uint64_t counter = 0;    // plain: only the lock orders the accesses
    std::uint64_t contended = 0;  // rounds during which another party waited
    std::uint32_t inside = 0;
    std::atomic<int> overlaps{0};
    std::atomic<std::uint64_t> rounds{0};
    std::atomic<int> ready{0};
    auto work = [&](EventMutex* m) {
        ++ready;
        for (int spin = 0; spin < 100000 && ready.load() < 4; ++spin) {
            std::this_thread::yield();
        }
        auto start = std::chrono::steady_clock::now();
        auto atLeast = start + std::chrono::milliseconds(100);
        auto until = start + std::chrono::seconds(3);
        std::uint64_t mine = 0;
        bool enough = false;
        for (;;) {
            auto now = std::chrono::steady_clock::now();
            if (mine >= kRounds && now >= atLeast && (enough || now >= until)) {
                break;
            }
            AcquireEventMutex(m);
            if (inside++ != 0) {
                ++overlaps;
            }
            counter = counter + 1;
            if (Load(word) > 0) {
                ++contended;
            }
            enough = contended >= kWantContended;
            --inside;
            ReleaseEventMutex(m);
            ++mine;
        }
        rounds += mine;
    };
    std::vector<std::thread> threads;
    threads.emplace_back(work, &shared);
    threads.emplace_back(work, &shared);
    threads.emplace_back(work, &own1);
    threads.emplace_back(work, &own2);
    for (std::thread& t : threads) {
        t.join();
    }
    EXPECT_EQ(counter, rounds.load());
    EXPECT_EQ(overlaps.load(), 0);
    EXPECT_GT(contended, 0u) << "the lock was never contended";
    EXPECT_EQ(Load(word), LOCK_FREE);
    std::printf("%llu rounds, %llu with a waiter\n", static_cast<unsigned long long>(counter),
                static_cast<unsigned long long>(contended));
    CloseEventMutex(&shared);
    CloseEventMutex(&own1);
    CloseEventMutex(&own2);
}

}  // namespace
