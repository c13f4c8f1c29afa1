// Across processes: this process posts a long numbered stream of records to a
// child process that takes them through the client library; the child must see
// every record once, in order. The producer never meets a full ring: it waits
// for room before each post (only the client frees records, so room seen stays
// room), which makes every loss or duplicate a fault of the ring or the lock.
// A post may still drop its record when the child keeps its lock past the
// server's bounded wait (a child not run in time); every such drop must be
// counted, and the producer then posts the same record again.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>

#include "kqvxi/client.h"
#include "platform/atomic.h"
#include "queue/client_table.h"
#include "support/child.h"
#include "queue_test_util.h"

namespace {

constexpr std::uint32_t kRecords = 1000000;
constexpr std::uint32_t kCode = 0xDEAD0008u;
constexpr std::uint32_t kSlot = 17;
constexpr std::int64_t kLimitMs = 400000;

std::uint32_t Check(std::uint32_t seq) {
    return seq * 2654435761u;
}

// Exit codes: 0 all received; 10+ setup; 20 a wrong record; 21 too slow.
KQ_CHILD_ROLE(numbered_consumer) {
    if (args.size() != 1) {
        return 10;
    }
    kqvxi_queue* queue = kqvxi_queue_open();
    if (queue == nullptr) {
        return 11;
    }
    OsHandle ready = OsCreateEvent(args[0].c_str(), true, false);
    if (ready == OS_NO_HANDLE) {
        return 12;
    }
    OsSetEvent(ready);
    std::uint32_t expected = 0;
    int status = 0;
    Clock::time_point start = Clock::now();
    kqvxi_record records[128];
    while (expected < kRecords && status == 0) {
        if (MsSince(start) > kLimitMs) {
            status = 21;
            break;
        }
        if (kqvxi_queue_wait(queue, 100) < 0) {
            status = 13;
            break;
        }
        int n = kqvxi_queue_drain(queue, records, 128);
        for (int i = 0; i < n; ++i) {
            const kqvxi_record& r = records[i];
            if (r.code != kCode || r.arg1 != expected || r.arg2 != ~expected ||
                r.arg3 != Check(expected)) {
                std::fprintf(stderr, "record %u: code %x arg1 %u\n", expected, r.code, r.arg1);
                status = 20;
                break;
            }
            ++expected;
        }
    }
    kqvxi_queue_close(queue);
    OsCloseHandle(ready);
    return status;
}

TEST(QueueDelivery, MillionRecordsReachAChildProcessInOrder) {
    std::string readyName = UniqueName("consumer ready");
    OsHandle ready = OsCreateEvent(readyName.c_str(), true, false);
    ASSERT_NE(ready, OS_NO_HANDLE);
    std::uint32_t childPid = 0;
    OsHandle child = SpawnChild("numbered_consumer", {readyName}, &childPid);
    ASSERT_NE(child, OS_NO_HANDLE);
    ASSERT_EQ(OsWaitForObject(ready, 30000), OS_WAIT_OBJECT_0);

    OsHandle process = OsOpenProcess(childPid);
    AsyncQueueBlock* block = PlantClient(kSlot, childPid, process);
    ASSERT_NE(block, nullptr);
    ASSERT_EQ(block->ownerPid, childPid);  // the child created it

    Clock::time_point start = Clock::now();
    std::uint32_t fullWaits = 0;
    std::uint32_t sent = 0;
    std::uint32_t drops = 0;
    const volatile std::uint32_t* readIndex = &block->readIndex;
    const volatile std::uint32_t* writeIndex = &block->writeIndex;
    while (sent < kRecords && MsSince(start) < kLimitMs) {
        if ((*writeIndex + 1) % QUEUE_DEPTH == *readIndex) {
            ++fullWaits;
            std::this_thread::yield();
            continue;
        }
        const SlotPostCounts& counts = clientTable.slots[kSlot].counts;
        const std::uint64_t delivered = OsAtomicLoad(&counts.delivered);
        const std::uint64_t dropped = OsAtomicLoad(&counts.droppedLockKept);
        if (PostEvent(childPid, kSlot, kCode, sent, ~sent, Check(sent)) != 0) {
            ADD_FAILURE() << "post " << sent << " refused";
            break;
        }
        if (OsAtomicLoad(&counts.delivered) == delivered + 1) {
            ++sent;
            continue;
        }
        // Not delivered: it must have been counted as a lock not handed over in time.
        ASSERT_EQ(OsAtomicLoad(&counts.droppedLockKept), dropped + 1) << "post " << sent;
        ++drops;
        std::this_thread::yield();
    }
    std::int64_t elapsed = MsSince(start);
    EXPECT_EQ(sent, kRecords);
    EXPECT_EQ(WaitChild(child, 60000), 0);
    std::printf(
        "%u records in %lld ms (%.0f per second), %u waits for room, %u posts dropped "
        "(child kept its lock past the bounded wait) and posted again\n",
        sent, static_cast<long long>(elapsed),
        elapsed > 0 ? 1000.0 * sent / static_cast<double>(elapsed) : 0.0, fullWaits, drops);
    EXPECT_EQ(RemovePlantedClient(kSlot), 0);
    if (process != OS_NO_HANDLE) {
        OsCloseHandle(process);
    }
    OsCloseHandle(ready);
}

}  // namespace
