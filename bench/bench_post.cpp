// Cost of PostEvent on the server's time-critical path: into a ring with room
// while the client is not waiting (the ring is emptied outside the timing), into
// a full ring (the record is dropped), and the bare lock taken and given back
// for comparison.
#include <benchmark/benchmark.h>

#include <cstdio>

#include "locks/mutex.h"
#include "platform/atomic.h"
#include "platform/event.h"
#include "platform/process.h"
#include "queue/asyncque.h"
#include "queue/lifecycle.h"
#include "server/client_table.h"

namespace {

constexpr std::uint32_t kSlot = 0;

// A client slot as registration leaves it, with this process as the client's
// process (alive, so posts take the lock the way they do for a real client).
struct BenchClient {
    std::uint32_t pid = 0;
    AsyncQueueBlock* block = nullptr;
    OsHandle wake = OS_NO_HANDLE;
    OsHandle process = OS_NO_HANDLE;

    bool Open() {
        pid = 0x80000000u | OsCurrentProcessId();
        block = OpenQueueBlock(kSlot, pid, SIDE_SERVER);
        if (block == nullptr) {
            return false;
        }
        wake = OsCreateEvent(nullptr, false, false);
        process = OsOpenProcess(OsCurrentProcessId());
        OsAtomicStore(&clientTable.processes[kSlot], process);
        OsAtomicStore(&clientTable.wakeEvents[kSlot], wake);
        OsAtomicStore(&clientTable.clientBlocks[kSlot], block);
        return wake != OS_NO_HANDLE && process != OS_NO_HANDLE;
    }

    void Close() {
        OsAtomicStore(&clientTable.clientBlocks[kSlot], static_cast<AsyncQueueBlock*>(nullptr));
        OsAtomicStore(&clientTable.wakeEvents[kSlot], OS_NO_HANDLE);
        OsAtomicStore(&clientTable.processes[kSlot], OS_NO_HANDLE);
        CloseQueueBlock(kSlot, SIDE_SERVER);
        OsCloseHandle(wake);
        OsCloseHandle(process);
    }

    // What the client does: take everything, and the wake-up with it.
    void Drain() {
        std::uint32_t code, a1, a2, a3;
        AcquireEventMutex(QueueBlockLock(kSlot));
        while (TakeRecord(block, &code, &a1, &a2, &a3) == QUEUE_OK) {
        }
        ReleaseEventMutex(QueueBlockLock(kSlot));
        OsWaitForObject(wake, 0);
    }
};

void BM_PostIntoRingWithRoom(benchmark::State& state) {
    BenchClient client;
    if (!client.Open()) {
        state.SkipWithError("cannot open a client block");
        return;
    }
    std::uint32_t inRing = 0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(PostEvent(client.pid, kSlot, 0xDEAD0007u, inRing, 2, 3));
        if (++inRing == QUEUE_DEPTH - 1) {
            state.PauseTiming();
            client.Drain();
            inRing = 0;
            state.ResumeTiming();
        }
    }
    client.Close();
}
BENCHMARK(BM_PostIntoRingWithRoom);

void BM_PostIntoFullRing(benchmark::State& state) {
    BenchClient client;
    if (!client.Open()) {
        state.SkipWithError("cannot open a client block");
        return;
    }
    for (std::uint32_t i = 0; i < QUEUE_DEPTH - 1; ++i) {
        PostEvent(client.pid, kSlot, 0xDEAD0007u, i, 2, 3);
    }
    for (auto _ : state) {
        benchmark::DoNotOptimize(PostEvent(client.pid, kSlot, 0xDEAD0007u, 1, 2, 3));
    }
    client.Close();
}
BENCHMARK(BM_PostIntoFullRing);

void BM_PostForeignOwner(benchmark::State& state) {
    BenchClient client;
    if (!client.Open()) {
        state.SkipWithError("cannot open a client block");
        return;
    }
    for (auto _ : state) {
        benchmark::DoNotOptimize(PostEvent(client.pid + 1, kSlot, 0xDEAD0007u, 1, 2, 3));
    }
    client.Close();
}
BENCHMARK(BM_PostForeignOwner);

void BM_BareLockAcquireRelease(benchmark::State& state) {
    BenchClient client;
    if (!client.Open()) {
        state.SkipWithError("cannot open a client block");
        return;
    }
    EventMutex* lock = QueueBlockLock(kSlot);
    for (auto _ : state) {
        AcquireEventMutex(lock);
        ReleaseEventMutex(lock);
    }
    client.Close();
}
BENCHMARK(BM_BareLockAcquireRelease);

void BM_SetEventNobodyWaits(benchmark::State& state) {
    OsHandle event = OsCreateEvent(nullptr, false, false);
    for (auto _ : state) {
        OsSetEvent(event);
    }
    OsCloseHandle(event);
}
BENCHMARK(BM_SetEventNobodyWaits);

}  // namespace

BENCHMARK_MAIN();
