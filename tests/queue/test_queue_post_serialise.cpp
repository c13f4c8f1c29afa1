// Posts of one slot from the server's two threads: a forced interleaving of the
// two at the pending check and at the release (a client's take must complete),
// the lock word balanced after a million mixed posts while a client drains, and
// a lock descriptor that reads closed (the record is dropped and counted, never
// appended without the lock).
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <thread>

#include "locks/mutex.h"
#include "platform/atomic.h"
#include "platform/event.h"
#include "platform/process.h"
#include "queue/asyncque.h"
#include "queue_test_util.h"

namespace {

// Roles of the forced interleaving: the hook stalls the thread marked B at the
// pending check and the thread marked A just before its release.
thread_local int postRole = 0;
constexpr int ROLE_A = 1;
constexpr int ROLE_B = 2;
std::atomic<bool> bAtPendingCheck{false};
std::atomic<bool> goB{false};
std::atomic<bool> aHolding{false};
std::atomic<bool> goA{false};

void StallHook(std::uint32_t, PostPoint point) {
    if (postRole == ROLE_B && point == PostPoint::PendingSeen) {
        bAtPendingCheck = true;
        WaitFlag(goB, 10000);
    }
    if (postRole == ROLE_A && point == PostPoint::BeforeRelease) {
        aHolding = true;
        WaitFlag(goA, 10000);
    }
}

class QueuePostSerialise : public testing::Test {
  protected:
    void SetUp() override { RefillPostingStallBudget(); }
    void TearDown() override { postingHook = nullptr; }
};

// Both threads find the same pending acquire. Unserialised, the one that looks
// second takes the hand-over that the first one's release owed to the client,
// whose take then waits for ever on a lock that reads free. Serialised, the
// second thread's post runs only after the first one's, and the take completes.
TEST_F(QueuePostSerialise, TheTwoThreadsAtThePendingCheckLeaveTheClientsTakeToIt) {
    LocalClient client;
    ASSERT_TRUE(client.Open(30, 0x7E000000u | (OsCurrentProcessId() & 0xFFFFFu)));
    char eventName[CLIENT_OBJECT_NAME_SIZE];
    FormatClientObjectName(eventName, client.pid, BLOCK_LOCK_NAME_SUFFIX);
    OsHandle handOver = OsCreateEvent(eventName, false, false);  // the lock's event
    ASSERT_NE(handOver, OS_NO_HANDLE);

    // The client keeps its lock: a post leaves its acquire pending.
    AcquireEventMutex(&client.lock);
    EXPECT_EQ(PostEvent(client.pid, client.slot, 0xDEAD0010u, 0, 0, 0), 0);
    ASSERT_TRUE(SlotPending(client.slot));
    ASSERT_EQ(client.Word(), 1);  // the client, and the pending post

    bAtPendingCheck = false;
    goB = false;
    aHolding = false;
    goA = false;
    postingHook = StallHook;
    std::thread b([&] {
        postRole = ROLE_B;
        PostEvent(client.pid, client.slot, 0xDEAD0011u, 0, 0, 0);
    });
    ASSERT_TRUE(WaitFlag(bAtPendingCheck, 10000));
    ReleaseEventMutex(&client.lock);  // the hand-over owed to the pending post
    std::thread a([&] {
        postRole = ROLE_A;
        PostEvent(client.pid, client.slot, 0xDEAD0012u, 0, 0, 0);
    });
    // Unserialised, A takes the hand-over now and stops before its release.
    const bool aGotIn = WaitFlag(aHolding, 300);
    // The client's take, split so that it is counted before A releases: the
    // increment now, the wait for the hand-over below.
    const bool mustWait = OsInterlockedIncrement(&client.block->lockCount) != 0;
    goA = true;
    if (aGotIn) {
        // Let A release (its hand-over now owed to the client) before B looks.
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    goB = true;
    b.join();
    a.join();
    postingHook = nullptr;

    const bool took = !mustWait || OsWaitForObject(handOver, 2000) == OS_WAIT_OBJECT_0;
    EXPECT_TRUE(took) << "the client's take waits on a lock word of " << client.Word()
                      << (aGotIn ? " (the other thread got in during the pending check)" : "");
    EXPECT_FALSE(aGotIn) << "the second thread's post ran while the first one's was inside";
    if (took) {
        std::uint32_t code = 0, a1 = 0, a2 = 0, a3 = 0;
        std::uint32_t taken = 0;
        while (TakeRecord(client.block, &code, &a1, &a2, &a3) == QUEUE_OK) {
            ++taken;
        }
        EXPECT_EQ(taken, 2u);  // B's and A's records; the first post's was dropped
        ReleaseEventMutex(&client.lock);
    }
    // Balanced: free, or one count for an acquire still marked pending.
    EXPECT_EQ(client.Word(), SlotPending(client.slot) ? 0 : LOCK_FREE);
    EXPECT_EQ(PostEvent(client.pid, client.slot, 0xDEAD0013u, 0, 0, 0), 0);
    EXPECT_EQ(client.Word(), LOCK_FREE);
    EXPECT_FALSE(SlotPending(client.slot));
    if (!took) {
        // Unstick the lock for the clean-up: nobody will hand it over.
        OsSetEvent(handOver);
    }
    OsCloseHandle(handOver);
    client.Close();
}

// The server's two threads post to one slot (one through PostEvent, as the main
// thread does, one through PostEventToBlock, as the handlers do) while the client
// drains: every post is delivered or counted as a drop, each thread's records
// arrive in order, and the lock word ends balanced.
TEST_F(QueuePostSerialise, TheLockWordStaysBalancedOverAMillionMixedPosts) {
    constexpr std::uint32_t POSTS_PER_THREAD = 500000;
    LocalClient client;
    ASSERT_TRUE(client.Open(31, 0x7D000000u | (OsCurrentProcessId() & 0xFFFFFu)));
    const SlotPostCounts before = client.Counts();

    std::atomic<int> posting{2};
    auto poster = [&](std::uint32_t id) {
        for (std::uint32_t seq = 0; seq < POSTS_PER_THREAD; ++seq) {
            if (id == 1) {
                PostEvent(client.pid, client.slot, 0xDEAD0020u, id, seq, 0);
            } else {
                PostEventToBlock(client.block, client.slot, 0xDEAD0020u, id, seq, 0);
            }
        }
        posting.fetch_sub(1);
    };
    std::uint64_t taken = 0;
    std::uint32_t outOfOrder = 0;
    std::int64_t next[3] = {0, 0, 0};
    std::thread drainer([&] {
        for (;;) {
            const bool last = posting.load() == 0;
            AcquireEventMutex(&client.lock);
            std::uint32_t code = 0, id = 0, seq = 0, unused = 0;
            while (TakeRecord(client.block, &code, &id, &seq, &unused) == QUEUE_OK) {
                ++taken;
                if (code != 0xDEAD0020u || (id != 1 && id != 2) || seq < next[id]) {
                    ++outOfOrder;
                } else {
                    next[id] = static_cast<std::int64_t>(seq) + 1;
                }
            }
            ReleaseEventMutex(&client.lock);
            if (last) {
                break;
            }
            std::this_thread::yield();
        }
    });
    const Clock::time_point start = Clock::now();
    std::thread t1(poster, 1u);
    std::thread t2(poster, 2u);
    t1.join();
    t2.join();
    drainer.join();
    const std::int64_t elapsed = MsSince(start);

    const SlotPostCounts& after = client.Counts();
    const std::uint64_t delivered = after.delivered - before.delivered;
    const std::uint64_t full = after.droppedFull - before.droppedFull;
    const std::uint64_t kept = after.droppedLockKept - before.droppedLockKept;
    const std::uint64_t ended = after.droppedEnded - before.droppedEnded;
    std::printf(
        "%u posts in %lld ms: %llu delivered, %llu dropped on a full ring, %llu "
        "dropped with the lock not handed over in time\n",
        2 * POSTS_PER_THREAD, static_cast<long long>(elapsed),
        static_cast<unsigned long long>(delivered), static_cast<unsigned long long>(full),
        static_cast<unsigned long long>(kept));
    EXPECT_EQ(delivered + full + kept, 2ull * POSTS_PER_THREAD);
    EXPECT_EQ(ended, 0u);
    EXPECT_EQ(taken, delivered);
    EXPECT_EQ(outOfOrder, 0u);
    EXPECT_EQ(client.Word(), SlotPending(client.slot) ? 0 : LOCK_FREE);
    // One more post completes an acquire left pending; then the lock is free.
    PostEvent(client.pid, client.slot, 0xDEAD0021u, 0, 0, 0);
    EXPECT_EQ(client.Word(), LOCK_FREE);
    EXPECT_FALSE(SlotPending(client.slot));
    client.Close();
}

// A descriptor that reads closed holds no lock: the post must not append.
TEST_F(QueuePostSerialise, ALockDescriptorThatReadsClosedDropsTheRecord) {
    if (sizeof(void*) <= 4) {
        GTEST_SKIP() << "descriptor fields hold raw values here and are not checked";
    }
    LocalClient client;
    ASSERT_TRUE(client.Open(32, 0x7C000000u | (OsCurrentProcessId() & 0xFFFFFu)));
    SetSlotProcess(client.slot, OS_NO_HANDLE);  // a process the server could not open
    EventMutex& lock = clientTable.slots[client.slot].lock;
    const EventMutex saved = lock;
    OsAtomicStore(&lock.event, 0xFFFFFFFFu);  // name still set, the fields disagree
    const std::uint64_t ended = client.Counts().droppedEnded;

    EXPECT_EQ(PostEvent(client.pid, client.slot, 0xDEAD0030u, 0, 0, 0), 0);
    EXPECT_EQ(client.block->writeIndex, 0u) << "appended without the lock";
    EXPECT_EQ(client.Counts().droppedEnded, ended + 1);
    EXPECT_EQ(client.Word(), LOCK_FREE);

    OsAtomicStore(&lock.event, saved.event);
    client.Close();
}

}  // namespace
