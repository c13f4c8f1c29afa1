// The post lock's two sides: the fast poster (the dispatch thread's claim) and
// the slow posters (every other thread). The claim is one thread's at a time;
// each side waits while the other holds a slot's post lock; and the fast poster
// and two slow posters posting to the same slots while clients drain lose
// nothing that is not counted, keep each poster's order, never tear a record,
// and never run two posts of one slot at once.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <thread>

#include "locks/mutex.h"
#include "platform/atomic.h"
#include "platform/barrier.h"
#include "platform/event.h"
#include "platform/process.h"
#include "queue/asyncque.h"
#include "queue_test_util.h"

namespace {

// Runs fn on a thread that holds the fast claim for its run.
template <typename Fn>
std::thread FastPosterThread(std::atomic<bool>* claimed, Fn fn) {
    return std::thread([claimed, fn] {
        claimed->store(ClaimFastPosting());
        fn();
        ReleaseFastPosting();
    });
}

class QueueFastPoster : public testing::Test {
  protected:
    void SetUp() override {
        if (!OsProcessBarrierAvailable()) {
            GTEST_SKIP() << "no process-wide barrier here: every thread posts as a slow poster";
        }
        RefillPostingStallBudget();
    }
    void TearDown() override { postingHook = nullptr; }
};

TEST_F(QueueFastPoster, TheClaimIsOneThreadsAtATime) {
    ASSERT_TRUE(ClaimFastPosting());
    EXPECT_TRUE(ClaimFastPosting()) << "the holder asking again still holds it";
    bool otherGot = true;
    std::thread([&] { otherGot = ClaimFastPosting(); }).join();
    EXPECT_FALSE(otherGot) << "a second thread claimed while the first held it";
    ReleaseFastPosting();

    std::atomic<bool> held{false};
    std::atomic<bool> tried{false};
    std::atomic<bool> letGo{false};
    std::thread other([&] {
        held = ClaimFastPosting();
        tried = true;
        WaitFlag(letGo, 10000);
        ReleaseFastPosting();
    });
    EXPECT_TRUE(WaitFlag(tried, 10000));
    EXPECT_TRUE(held.load()) << "a released claim could not be taken by another thread";
    EXPECT_FALSE(ClaimFastPosting()) << "claimed while the other thread held it";
    letGo = true;
    other.join();
    EXPECT_TRUE(ClaimFastPosting()) << "the claim was not given back when its thread let go";
    ReleaseFastPosting();
    ReleaseFastPosting();  // without a claim: nothing
}

// Stalls the post of the thread marked holder just before its release, so that
// the other side's post must wait for it.
thread_local bool stallHere = false;
std::atomic<bool> holding{false};
std::atomic<bool> letHolderGo{false};
std::atomic<int> postsReleased{0};

void HolderHook(std::uint32_t, PostPoint point) {
    if (point != PostPoint::BeforeRelease) {
        return;
    }
    if (stallHere) {
        holding = true;
        WaitFlag(letHolderGo, 10000);
    }
    postsReleased.fetch_add(1);
}

// One side holds the slot's post lock (stalled before its release); the other
// side's post to the same slot must not get inside until it lets go.
void ExpectTheOtherSideWaits(std::uint32_t slot, bool fastHolds) {
    LocalClient client;
    ASSERT_TRUE(client.Open(slot, FakeClientPid(0x40 + slot)));
    holding = false;
    letHolderGo = false;
    postsReleased = 0;
    postingHook = HolderHook;
    std::atomic<bool> fastClaimed{false};
    auto fastPost = [&] {
        stallHere = fastHolds;
        PostEventToBlock(client.block, client.slot, 0xDEAD0040u, 1, 0, 0);
    };
    auto slowPost = [&] {
        stallHere = !fastHolds;
        PostEvent(client.pid, client.slot, 0xDEAD0040u, 2, 0, 0);
    };
    std::thread holder =
        fastHolds ? FastPosterThread(&fastClaimed, fastPost) : std::thread(slowPost);
    ASSERT_TRUE(WaitFlag(holding, 10000));
    std::thread other =
        fastHolds ? std::thread(slowPost) : FastPosterThread(&fastClaimed, fastPost);
    // However the machine runs the other thread, its post does not finish
    // while the holder is inside.
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_EQ(postsReleased.load(), 0) << "the other side's post ran while the holder's was inside";
    letHolderGo = true;
    holder.join();
    other.join();
    postingHook = nullptr;
    EXPECT_TRUE(fastClaimed.load());
    EXPECT_EQ(postsReleased.load(), 2);
    EXPECT_EQ(client.Counts().delivered, 2u);
    EXPECT_EQ(client.Word(), LOCK_FREE);
    client.Close();
}

TEST_F(QueueFastPoster, ASlowPostWaitsWhileTheFastPosterIsInside) {
    ExpectTheOtherSideWaits(36, true);
}

TEST_F(QueueFastPoster, TheFastPosterWaitsWhileASlowPostIsInside) {
    ExpectTheOtherSideWaits(37, false);
}

// Per slot of the stress test, touched only inside the post lock, with plain
// (non-atomic) accesses: two posts of one slot at once lose an increment, or
// find the other one inside, and a race detector reports the race.
constexpr std::uint32_t STRESS_SLOTS = 2;
constexpr std::uint32_t FIRST_STRESS_SLOT = 40;
struct InsideCheck {
    std::uint64_t calls;
    std::uint32_t inside;
    std::uint32_t overlaps;
};
InsideCheck insideChecks[STRESS_SLOTS];

void ExclusionHook(std::uint32_t slot, PostPoint point) {
    if (point != PostPoint::Entered || slot < FIRST_STRESS_SLOT ||
        slot >= FIRST_STRESS_SLOT + STRESS_SLOTS) {
        return;
    }
    InsideCheck& check = insideChecks[slot - FIRST_STRESS_SLOT];
    if (check.inside != 0) {
        ++check.overlaps;
    }
    check.inside = 1;
    const std::uint64_t calls = check.calls;
    OsSignalFence();  // the load above and the store below stay apart
    if ((calls & 63u) == 0) {
        std::this_thread::yield();  // now and then a wide window
    }
    check.calls = calls + 1;
    OsSignalFence();
    check.inside = 0;
}

// The check word of a record: what its poster and sequence number make it.
std::uint32_t CheckWord(std::uint32_t poster, std::uint32_t seq) {
    return (seq * 2654435761u) ^ (poster << 28) ^ 0x5A5A5A5Au;
}

// The fast poster and two slow posters post to both slots for about a second
// while a client drains each: every post is delivered or counted as a drop,
// every record arrives whole and in its poster's order, and the posts of one
// slot ran one at a time (the in-lock counter equals the posts).
TEST_F(QueueFastPoster, FastAndSlowPostersShareSlotsWithoutLossOrOverlap) {
    constexpr std::int64_t RUN_MS = 1000;
    constexpr std::uint32_t POSTERS = 3;  // 0 the fast poster, 1 and 2 slow
    LocalClient clients[STRESS_SLOTS];
    SlotPostCounts before[STRESS_SLOTS];
    for (std::uint32_t i = 0; i < STRESS_SLOTS; ++i) {
        ASSERT_TRUE(clients[i].Open(FIRST_STRESS_SLOT + i, FakeClientPid(0x50 + i)));
        before[i] = clients[i].Counts();
        insideChecks[i] = InsideCheck{};
    }
    postingHook = ExclusionHook;

    std::uint64_t posted[POSTERS][STRESS_SLOTS] = {};
    std::atomic<int> posting{static_cast<int>(POSTERS)};
    std::atomic<bool> fastClaimed{false};
    const Clock::time_point start = Clock::now();
    auto poster = [&](std::uint32_t id) {
        std::uint32_t seq = 0;
        do {
            for (std::uint32_t i = 0; i < STRESS_SLOTS; ++i) {
                const LocalClient& c = clients[i];
                if (id == 0) {
                    PostEventToBlock(c.block, c.slot, 0xDEAD0050u, id, seq, CheckWord(id, seq));
                } else {
                    PostEvent(c.pid, c.slot, 0xDEAD0050u, id, seq, CheckWord(id, seq));
                }
                ++posted[id][i];
            }
            ++seq;
        } while (MsSince(start) < RUN_MS);
        posting.fetch_sub(1);
    };

    struct Drained {
        std::uint64_t taken = 0;
        std::uint64_t torn = 0;
        std::uint64_t outOfOrder = 0;
        std::int64_t next[POSTERS] = {};
    };
    Drained drained[STRESS_SLOTS];
    auto drainer = [&](std::uint32_t i) {
        LocalClient& c = clients[i];
        Drained& d = drained[i];
        for (;;) {
            const bool last = posting.load() == 0;
            AcquireEventMutex(&c.lock);
            std::uint32_t code = 0, id = 0, seq = 0, check = 0;
            while (TakeRecord(c.block, &code, &id, &seq, &check) == QUEUE_OK) {
                ++d.taken;
                if (code != 0xDEAD0050u || id >= POSTERS || check != CheckWord(id, seq)) {
                    ++d.torn;
                } else if (seq < d.next[id]) {
                    ++d.outOfOrder;
                } else {
                    d.next[id] = static_cast<std::int64_t>(seq) + 1;
                }
            }
            ReleaseEventMutex(&c.lock);
            if (last) {
                break;
            }
            std::this_thread::yield();
        }
    };

    std::thread drainers[STRESS_SLOTS];
    for (std::uint32_t i = 0; i < STRESS_SLOTS; ++i) {
        drainers[i] = std::thread(drainer, i);
    }
    std::thread fast = FastPosterThread(&fastClaimed, [&] { poster(0); });
    std::thread slow1(poster, 1u);
    std::thread slow2(poster, 2u);
    fast.join();
    slow1.join();
    slow2.join();
    for (std::thread& t : drainers) {
        t.join();
    }
    postingHook = nullptr;
    EXPECT_TRUE(fastClaimed.load());

    for (std::uint32_t i = 0; i < STRESS_SLOTS; ++i) {
        const SlotPostCounts after = clients[i].Counts();
        const std::uint64_t delivered = after.delivered - before[i].delivered;
        const std::uint64_t full = after.droppedFull - before[i].droppedFull;
        const std::uint64_t kept = after.droppedLockKept - before[i].droppedLockKept;
        const std::uint64_t ended = after.droppedEnded - before[i].droppedEnded;
        const std::uint64_t posts = posted[0][i] + posted[1][i] + posted[2][i];
        std::printf(
            "slot %u: %llu posts (fast %llu, slow %llu + %llu): %llu delivered, %llu dropped "
            "on a full ring, %llu with the lock not handed over in time\n",
            clients[i].slot, static_cast<unsigned long long>(posts),
            static_cast<unsigned long long>(posted[0][i]),
            static_cast<unsigned long long>(posted[1][i]),
            static_cast<unsigned long long>(posted[2][i]),
            static_cast<unsigned long long>(delivered), static_cast<unsigned long long>(full),
            static_cast<unsigned long long>(kept));
        EXPECT_EQ(delivered + full + kept, posts) << "slot " << clients[i].slot;
        EXPECT_EQ(ended, 0u);
        EXPECT_EQ(drained[i].taken, delivered);
        EXPECT_EQ(drained[i].torn, 0u);
        EXPECT_EQ(drained[i].outOfOrder, 0u);
        // Every post passed the hook once, one at a time.
        EXPECT_EQ(insideChecks[i].calls, posts);
        EXPECT_EQ(insideChecks[i].overlaps, 0u);
        // One more post completes an acquire left pending; then the lock is free.
        PostEvent(clients[i].pid, clients[i].slot, 0xDEAD0051u, 0, 0, 0);
        EXPECT_EQ(clients[i].Word(), LOCK_FREE);
        EXPECT_FALSE(SlotPending(clients[i].slot));
        clients[i].Close();
    }
}

}  // namespace
