// Cost of one driver event fanned out by its handler to 1, 8 and 50 registered
// clients that all select it: one pass over the table and one post per client.
// Rings are emptied outside the timed region before they fill. Beside it, the
// same records as 50 separate posts, and what page-aligned blocks cost the
// processor's cache against staggered ones. Also the time
// from queueing a driver event to the wake-up of a client thread that waits on
// its wake event, through the dispatch thread (median and 99th percentile).
#include <benchmark/benchmark.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <thread>
#include <vector>

#include "delivery/dispatch.h"
#include "delivery/rthndlr.h"
#include "locks/mutex.h"
#include "platform/atomic.h"
#include "platform/event.h"
#include "platform/process.h"
#include "queue/asyncque.h"
#include "queue/lifecycle.h"
#include "support/client_slots.h"
#include "support/fake_driver.h"

namespace {

enum Kind : int { KIND_CLASS0, KIND_CLASS1, KIND_LEVEL, KIND_CHANNEL, KIND_SOURCE, KIND_MARKED };
const char* const KIND_NAMES[] = {"class0", "class1", "level", "channel", "source", "marked"};

std::uint32_t registered = 0;

// Registers clients in slots 0..count-1, every one selecting every event.
bool RegisterClients(std::uint32_t count) {
    for (std::uint32_t slot = 0; slot < count; ++slot) {
        const std::uint32_t pid = 0x80000000u | ((OsCurrentProcessId() & 0x3FFFFFu) << 9) | slot;
        // As registration leaves it: the client's process is known (this one).
        AsyncQueueBlock* block = PlantClient(slot, pid, OsOpenProcess(OsCurrentProcessId()),
                                             OsCreateEvent(nullptr, false, false));
        if (block == nullptr) {
            return false;
        }
        registered = slot + 1;
        block->enableClass0 = 1;
        block->enableClass6 = 1;
        block->levelMask[3] = 0xFFFF;
        block->sourceMask[3] = 0xFFFF;
        block->channelMask[4] = 0xFFFF;
    }
    return true;
}

void UnregisterClients() {
    for (std::uint32_t slot = 0; slot < registered; ++slot) {
        RemovePlantedClient(slot, true);
    }
    registered = 0;
}

// Nobody else uses the blocks here, so emptying a ring is resetting its indexes.
void EmptyRings() {
    for (std::uint32_t slot = 0; slot < registered; ++slot) {
        ResetQueue(clientTable.clientBlocks[slot]);
    }
}

void BM_Fanout(benchmark::State& state) {
    const auto kind = static_cast<Kind>(state.range(0));
    const auto clients = static_cast<std::uint32_t>(state.range(1));
    state.SetLabel(KIND_NAMES[kind]);
    FakeDriverReset();
    if (InstallHandlers(0, 0) < 0 || !RegisterClients(clients)) {
        state.SkipWithError("set-up failed");
        UnregisterClients();
        return;
    }
    // The source handlers learn their event from QueryEventSource, which the
    // test double answers only while it runs the handler itself.
    FakeEvent sourceEvent;
    sourceEvent.kind = kind == KIND_MARKED ? "marked" : "source";
    sourceEvent.a = 5;
    sourceEvent.querySource = 5;
    sourceEvent.queryIndex = 3;
    sourceEvent.queryLevel = 2;
    sourceEvent.queryKind = 0;

    // Posts as the dispatch thread makes them, as the fast poster where the
    // system allows one.
    (void)ClaimFastPosting();
    std::uint32_t sinceEmptied = 0;
    for (auto _ : state) {
        switch (kind) {
            case KIND_CLASS0:
                HandleClass0(-1);
                break;
            case KIND_CLASS1:
                HandleClass1();
                break;
            case KIND_LEVEL:
                HandleLevel(3, 2, 0x10000);
                break;
            case KIND_CHANNEL:
                HandleChannel(4, 50, 7);
                break;
            case KIND_SOURCE:
            case KIND_MARKED:
                FakeDriverRunHandler(sourceEvent);
                break;
        }
        if (++sinceEmptied == QUEUE_DEPTH - 1) {
            state.PauseTiming();
            EmptyRings();
            sinceEmptied = 0;
            state.ResumeTiming();
        }
    }
    // Seconds per record posted (shown with an SI prefix, e.g. 40n).
    state.counters["per_post"] =
        benchmark::Counter(static_cast<double>(state.iterations()) * clients,
                           benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
    ReleaseFastPosting();
    UnregisterClients();
    FakeDriverReset();
}

BENCHMARK(BM_Fanout)
    ->ArgNames({"kind", "clients"})
    ->ArgsProduct({{KIND_CLASS0, KIND_CLASS1, KIND_LEVEL, KIND_CHANNEL, KIND_SOURCE, KIND_MARKED},
                   {1, 8, 50}});

// The same 50 records as a class-1 event to 50 clients, as 50 separate PostEvent
// calls, one to each client: what the handler's pass costs beyond the posts.
void BM_PostToEachOf50(benchmark::State& state) {
    constexpr std::uint32_t CLIENTS = 50;
    if (!RegisterClients(CLIENTS)) {
        state.SkipWithError("set-up failed");
        UnregisterClients();
        return;
    }
    std::uint32_t pids[CLIENTS];
    for (std::uint32_t slot = 0; slot < CLIENTS; ++slot) {
        pids[slot] = clientTable.clientBlocks[slot]->ownerPid;
    }
    if (!ClaimFastPosting()) {
        state.SetLabel("slow poster");
    }
    std::uint32_t sinceEmptied = 0;
    for (auto _ : state) {
        for (std::uint32_t slot = 0; slot < CLIENTS; ++slot) {
            benchmark::DoNotOptimize(PostEvent(pids[slot], slot, EVENT_CODE_BASE + 1, 0, 0, 0));
        }
        if (++sinceEmptied == QUEUE_DEPTH - 1) {
            state.PauseTiming();
            EmptyRings();
            sinceEmptied = 0;
            state.ResumeTiming();
        }
    }
    ReleaseFastPosting();
    UnregisterClients();
}
BENCHMARK(BM_PostToEachOf50);

// Why 50 clients cost more per post than one: every client's block is a mapping
// of its own and starts on a page boundary, so the lock words, the ring indexes
// and (as every client gets the same records) the ring slots of all blocks fall
// into the same few sets of the processor's first-level cache, which hold 12
// lines each. The same lock, append and unlock on 50 private blocks, page-aligned
// (aligned:1) or each 320 bytes further into its page (aligned:0).
void BM_FiftyBlocks(benchmark::State& state) {
    constexpr int BLOCKS = 50;
    constexpr std::size_t PAGE = 4096;
    const bool aligned = state.range(0) != 0;
    std::vector<unsigned char> memory(PAGE * (BLOCKS + 1));
    unsigned char* base =
        memory.data() + (PAGE - reinterpret_cast<std::uintptr_t>(memory.data()) % PAGE);
    AsyncQueueBlock* blocks[BLOCKS];
    std::int32_t* locks[BLOCKS];
    for (int i = 0; i < BLOCKS; ++i) {
        const std::size_t shift = aligned ? 0 : (static_cast<std::size_t>(i) * 320) % 448;
        blocks[i] = reinterpret_cast<AsyncQueueBlock*>(base + PAGE * i + shift);
        ResetQueue(blocks[i]);
        locks[i] = &blocks[i]->lockCount;
    }
    std::uint32_t sinceEmptied = 0;
    for (auto _ : state) {
        for (int i = 0; i < BLOCKS; ++i) {
            OsInterlockedIncrement(locks[i]);
            benchmark::DoNotOptimize(AppendRecord(blocks[i], EVENT_CODE_BASE + 1, 0, 0, 0));
            OsInterlockedDecrement(locks[i]);
        }
        if (++sinceEmptied == QUEUE_DEPTH - 1) {
            for (AsyncQueueBlock* block : blocks) {
                ResetQueue(block);
            }
            sinceEmptied = 0;
        }
    }
}
BENCHMARK(BM_FiftyBlocks)->ArgName("aligned")->Arg(1)->Arg(0);

std::int64_t NowNs() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

// One class-1 event per iteration: queued to the test double, taken by the
// dispatch thread's wait, posted by the handler; a consumer thread that waits on
// the client's wake event notes when it woke and took the record.
void BM_QueueToWake(benchmark::State& state) {
    FakeDriverReset();
    if (InstallHandlers(0, 0) < 0 || !RegisterClients(1) || StartDispatchThread(0) < 0) {
        state.SkipWithError("set-up failed");
        UnregisterClients();
        return;
    }
    std::atomic<bool> stop{false};
    std::atomic<std::uint32_t> received{0};
    std::atomic<std::int64_t> wokeAt{0};
    std::thread consumer([&] {
        AsyncQueueBlock* block = clientTable.clientBlocks[0];
        EventMutex* lock = SlotLock(0);
        while (!stop.load()) {
            if (OsWaitForObject(clientTable.wakeEvents[0], 50) != OS_WAIT_OBJECT_0) {
                continue;
            }
            const std::int64_t woke = NowNs();
            std::uint32_t taken = 0;
            std::uint32_t code, a1, a2, a3;
            AcquireEventMutex(lock);
            while (TakeRecord(block, &code, &a1, &a2, &a3) == QUEUE_OK) {
                ++taken;
            }
            ReleaseEventMutex(lock);
            wokeAt.store(woke);
            received.fetch_add(taken);
        }
    });
    FakeEvent event;
    event.kind = "class1";
    std::vector<double> samplesUs;
    samplesUs.reserve(static_cast<std::size_t>(state.max_iterations));
    for (auto _ : state) {
        const std::uint32_t before = received.load();
        const std::int64_t queued = NowNs();
        FakeDriverQueueEvent(event);
        const std::int64_t deadline = queued + 5'000'000'000;
        while (received.load() == before && NowNs() < deadline) {
            std::this_thread::yield();
        }
        samplesUs.push_back(static_cast<double>(wokeAt.load() - queued) / 1000.0);
    }
    stop = true;
    consumer.join();
    StopDispatchThread(0);
    OsWaitForObject(dispatchThread, 5000);
    OsCloseHandle(dispatchThread);
    dispatchThread = OS_NO_HANDLE;
    UnregisterClients();
    FakeDriverReset();
    if (!samplesUs.empty()) {
        std::sort(samplesUs.begin(), samplesUs.end());
        state.counters["median_us"] = samplesUs[samplesUs.size() / 2];
        state.counters["p99_us"] = samplesUs[samplesUs.size() * 99 / 100];
    }
}

BENCHMARK(BM_QueueToWake)->Iterations(5000)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
