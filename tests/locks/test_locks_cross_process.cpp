// Event mutexes shared between processes: exact counting under contention, the
// hand-over across processes, and the acquire that gives up when the process
// behind the lock has ended.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "locks/mutex.h"
#include "platform/atomic.h"
#include "platform/event.h"
#include "platform/mapping.h"
#include "platform/process.h"
#include "support/child.h"

namespace {

// The memory the parties share: one lock word, one descriptor per party (as
// the queue block holds one for each side), and what the lock protects.
struct SharedArea {
    std::int32_t word;
    EventMutex desc[8];
    std::uint32_t counter;
    std::uint32_t holding;    // a holder child has taken the lock
    std::uint32_t go;         // the parent lets a holder child release
    std::uint32_t started;    // counting parties wait for each other at the start
    std::uint32_t contended;  // rounds during which another party waited
    std::uint32_t rounds;     // rounds every counting party has finished
    std::uint32_t inside;     // parties inside the lock right now
    std::uint32_t overlaps;   // rounds that found another party inside
};

struct Area {
    OsHandle mapping = OS_NO_HANDLE;
    SharedArea* shared = nullptr;
    bool existed = false;
    bool Open(const std::string& name) {
        mapping = OsCreateMapping(name.c_str(), sizeof(SharedArea), &existed);
        if (mapping == OS_NO_HANDLE) {
            return false;
        }
        shared = static_cast<SharedArea*>(OsMapView(mapping, sizeof(SharedArea)));
        return shared != nullptr;
    }
    ~Area() {
        if (shared != nullptr) {
            OsUnmapView(shared);
        }
        if (mapping != OS_NO_HANDLE) {
            OsCloseHandle(mapping);
        }
    }
};

bool WaitFor(const std::uint32_t* flag, std::uint32_t ms) {
    for (std::uint32_t i = 0; i < ms; ++i) {
        if (OsAtomicLoad(flag) != 0) {
            return true;
        }
        OsSleep(1);
    }
    return false;
}

constexpr std::uint32_t kCountingParties = 5;  // three processes, two threads

// Lets the counting parties start at about the same time, so their rounds
// overlap and the lock is contended.
void WaitForStart(SharedArea* shared) {
    OsInterlockedIncrement(reinterpret_cast<volatile std::int32_t*>(&shared->started));
    for (int i = 0; i < 20000 && OsAtomicLoad(&shared->started) < kCountingParties; ++i) {
        OsSleep(1);
    }
}

// Counts under the lock: at least minRounds rounds and 200 ms, then on until the lock
// has been seen contended often enough or the time is up, so that hand-overs
// between processes are exercised and not only the free path.
void CountRounds(SharedArea* shared, EventMutex* m, std::uint32_t minRounds) {
    WaitForStart(shared);
    // Parties wake from the start barrier at different moments; running for a
    // while makes sure they overlap.
    auto start = std::chrono::steady_clock::now();
    auto atLeast = start + std::chrono::milliseconds(200);
    auto until = start + std::chrono::seconds(5);
    std::uint32_t mine = 0;
    bool enough = false;
    for (;;) {
        auto now = std::chrono::steady_clock::now();
        if (mine >= minRounds && now >= atLeast && (enough || now >= until)) {
            break;
        }
        AcquireEventMutex(m);
        volatile std::uint32_t* inside = &shared->inside;
        std::uint32_t others = *inside;
        *inside = others + 1;
        if (others != 0) {
            ++shared->overlaps;
        }
        // A read-modify-write spread over a little time: a party let in while
        // another holds the lock would lose counts.
        volatile std::uint32_t* counter = &shared->counter;
        std::uint32_t seen = *counter;
        for (int spin = 0; spin < 20; ++spin) {
            (void)*inside;
        }
        *counter = seen + 1;
        *inside = *inside - 1;
        if (OsAtomicLoad(&shared->word) > 0) {
            ++shared->contended;
        }
        enough = shared->contended >= 500;
        ReleaseEventMutex(m);
        ++mine;
    }
    __atomic_add_fetch(&shared->rounds, mine, __ATOMIC_SEQ_CST);
}

// args: mapping, event name, party index, rounds.
KQ_CHILD_ROLE(count) {
    Area area;
    if (args.size() != 4 || !area.Open(args[0]) || !area.existed) {
        return 2;
    }
    EventMutex* m = &area.shared->desc[std::stoi(args[2])];
    if (OpenEventMutex(m, &area.shared->word, args[1].c_str()) != 0) {
        return 3;
    }
    CountRounds(area.shared, m, static_cast<std::uint32_t>(std::stoul(args[3])));
    CloseEventMutex(m);
    return 0;
}

KQ_CHILD_ROLE(quit) {
    return args.empty() ? 0 : 2;
}

// args: mapping, event name, party index, "forever" or "release".
KQ_CHILD_ROLE(hold) {
    Area area;
    if (args.size() != 4 || !area.Open(args[0]) || !area.existed) {
        return 2;
    }
    EventMutex* m = &area.shared->desc[std::stoi(args[2])];
    if (OpenEventMutex(m, &area.shared->word, args[1].c_str()) != 0) {
        return 3;
    }
    AcquireEventMutex(m);
    OsAtomicStore(&area.shared->holding, 1u);
    if (args[3] == "forever") {
        OsSleep(60000);
        return 4;
    }
    if (!WaitFor(&area.shared->go, 30000)) {
        return 5;
    }
    ReleaseEventMutex(m);
    return 0;
}

// Joins the late waiter's half of a hand-over: opens its own descriptor on the
// event whose signal is already pending, then takes the signal and releases.
// args: mapping, event name, party index.
KQ_CHILD_ROLE(late_waiter) {
    Area area;
    if (args.size() != 3 || !area.Open(args[0]) || !area.existed) {
        return 2;
    }
    EventMutex* m = &area.shared->desc[std::stoi(args[2])];
    if (OpenEventMutex(m, &area.shared->word, args[1].c_str()) != 0) {
        return 3;
    }
    OsHandle probe = OsCreateEvent(args[1].c_str(), false, false);
    bool signalled = OsWaitForObject(probe, 0) == OS_WAIT_OBJECT_0;
    OsCloseHandle(probe);
    if (!signalled) {
        return 4;
    }
    ReleaseEventMutex(m);
    CloseEventMutex(m);
    return 0;
}

class CrossProcessLockTest : public testing::Test {
  protected:
    void SetUp() override {
        mapName = UniqueName("area");
        eventName = UniqueName("lockevent");
        ASSERT_TRUE(area.Open(mapName));
        ASSERT_FALSE(area.existed);
        area.shared->word = LOCK_FREE;  // the creator frees the word
    }
    std::string mapName, eventName;
    Area area;
};

TEST_F(CrossProcessLockTest, ProcessesAndThreadsCountExactly) {
    constexpr std::uint32_t kRounds = 3000;
    constexpr int kChildren = 3;
    static_assert(kChildren + 2 == kCountingParties);
    std::vector<OsHandle> children;
    for (int i = 1; i <= kChildren; ++i) {
        OsHandle child =
            SpawnChild("count", {mapName, eventName, std::to_string(i), std::to_string(kRounds)});
        ASSERT_NE(child, OS_NO_HANDLE);
        children.push_back(child);
    }
    EventMutex* mine = &area.shared->desc[0];
    ASSERT_EQ(OpenEventMutex(mine, &area.shared->word, eventName.c_str()), 0);
    auto work = [&] { CountRounds(area.shared, mine, kRounds); };
    std::thread t1(work), t2(work);
    t1.join();
    t2.join();
    for (OsHandle child : children) {
        EXPECT_EQ(WaitChild(child, 120000), 0);
    }
    EXPECT_EQ(area.shared->counter, area.shared->rounds);
    EXPECT_EQ(area.shared->overlaps, 0u);
    EXPECT_GE(area.shared->rounds, static_cast<std::uint32_t>((kChildren + 2) * kRounds));
    EXPECT_GT(area.shared->contended, 0u) << "the lock was never contended";
    std::printf("%u rounds, %u with a waiter\n", area.shared->rounds, area.shared->contended);
    EXPECT_EQ(area.shared->word, LOCK_FREE);
    CloseEventMutex(mine);
}

TEST_F(CrossProcessLockTest, HandOverPendsUntilAnotherProcessOpensAndWaits) {
    EventMutex* holder = &area.shared->desc[0];
    ASSERT_EQ(OpenEventMutex(holder, &area.shared->word, eventName.c_str()), 0);
    AcquireEventMutex(holder);
    OsInterlockedIncrement(&area.shared->word);  // the late party counted itself
    ReleaseEventMutex(holder);                   // sets the event, nobody waits yet
    EXPECT_EQ(area.shared->word, 0);
    // The late party opens its descriptor only now; its open must neither
    // reset the pending signal nor disturb the word.
    EXPECT_EQ(WaitChild(SpawnChild("late_waiter", {mapName, eventName, "1"})), 0);
    EXPECT_EQ(area.shared->word, LOCK_FREE);
    EXPECT_NE(area.shared->desc[0].name, 0u) << "the other side's close leaves ours";
    AcquireEventMutex(holder);
    EXPECT_EQ(area.shared->word, 0);
    ReleaseEventMutex(holder);
    CloseEventMutex(holder);
}

TEST_F(CrossProcessLockTest, UnlessEndedGivesUpOnKilledHolderAndWaitsForLiveOne) {
    EventMutex* mine = &area.shared->desc[0];
    ASSERT_EQ(OpenEventMutex(mine, &area.shared->word, eventName.c_str()), 0);
    using Clock = std::chrono::steady_clock;

    // The holder is killed while holding: give up within a few poll steps.
    OsHandle killed = SpawnChild("hold", {mapName, eventName, "1", "forever"});
    ASSERT_NE(killed, OS_NO_HANDLE);
    ASSERT_TRUE(WaitFor(&area.shared->holding, 30000));
    std::atomic<int> result{99};
    std::atomic<bool> done{false};
    std::thread waiter([&] {
        result = AcquireEventMutexUnlessEnded(mine, killed, 20);
        done = true;
    });
    OsSleep(100);
    EXPECT_FALSE(done.load()) << "a live holder is waited for";
    auto killedAt = Clock::now();
    ASSERT_TRUE(OsKillProcess(killed));
    for (int i = 0; i < 10000 && !done.load(); ++i) {
        OsSleep(1);
    }
    ASSERT_TRUE(done.load());
    waiter.join();
    auto gaveUpAfter =
        std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - killedAt).count();
    EXPECT_EQ(result.load(), -1);
    EXPECT_LT(gaveUpAfter, 5000);
    EXPECT_EQ(area.shared->word, 1) << "the dead holder and the one who gave up";
    EXPECT_NE(WaitChild(killed, 10000), 0);

    // The owner has ended and the word stays taken: later calls give up too.
    // (killed's handle is closed now; a fresh ended child stands for it.)
    OsHandle ended = SpawnChild("quit");
    ASSERT_NE(ended, OS_NO_HANDLE);
    ASSERT_EQ(OsWaitForObject(ended, 30000), OS_WAIT_OBJECT_0);
    EXPECT_EQ(AcquireEventMutexUnlessEnded(mine, ended, 10), -1);
    // A free lock is taken at once, whatever became of the owner.
    area.shared->word = LOCK_FREE;
    EXPECT_EQ(AcquireEventMutexUnlessEnded(mine, ended, 10), 0);
    EXPECT_EQ(area.shared->word, 0);
    ReleaseEventMutex(mine);
    EXPECT_EQ(WaitChild(ended), 0);

    // A live holder that releases hands the lock over.
    area.shared->holding = 0;
    OsHandle live = SpawnChild("hold", {mapName, eventName, "3", "release"});
    ASSERT_NE(live, OS_NO_HANDLE);
    ASSERT_TRUE(WaitFor(&area.shared->holding, 30000));
    done = false;
    std::thread taker([&] {
        result = AcquireEventMutexUnlessEnded(mine, live, 10);
        done = true;
    });
    OsSleep(50);
    EXPECT_FALSE(done.load());
    OsAtomicStore(&area.shared->go, 1u);
    taker.join();
    EXPECT_EQ(result.load(), 0);
    EXPECT_EQ(area.shared->word, 0);
    ReleaseEventMutex(mine);
    EXPECT_EQ(area.shared->word, LOCK_FREE);
    EXPECT_EQ(WaitChild(live), 0);
    CloseEventMutex(mine);
}

}  // namespace
