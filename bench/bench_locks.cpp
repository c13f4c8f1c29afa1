// Cost of an uncontended event-mutex acquire+release on a word in a named
// mapping, beside a bare atomic increment+decrement of the same word.
#include <benchmark/benchmark.h>

#include <cstdio>

#include "locks/mutex.h"
#include "platform/atomic.h"
#include "platform/mapping.h"
#include "platform/process.h"

namespace {

struct SharedWord {
    OsHandle mapping = OS_NO_HANDLE;
    volatile std::int32_t* word = nullptr;
    char name[64];
    SharedWord() {
        std::snprintf(name, sizeof name, "kqbench locks %u", OsCurrentProcessId());
        bool existed = false;
        mapping = OsCreateMapping(name, 4096, &existed);
        if (mapping != OS_NO_HANDLE) {
            word = static_cast<volatile std::int32_t*>(OsMapView(mapping, 4096));
        }
        if (word != nullptr) {
            *word = LOCK_FREE;
        }
    }
    ~SharedWord() {
        if (word != nullptr) {
            OsUnmapView(const_cast<std::int32_t*>(word));
        }
        OsCloseHandle(mapping);
    }
};

void BM_EventMutexAcquireRelease(benchmark::State& state) {
    SharedWord shared;
    EventMutex mutex{};
    if (shared.word == nullptr || OpenEventMutex(&mutex, shared.word, shared.name) != 0) {
        state.SkipWithError("cannot open the lock");
        return;
    }
    for (auto _ : state) {
        AcquireEventMutex(&mutex);
        ReleaseEventMutex(&mutex);
    }
    CloseEventMutex(&mutex);
}
BENCHMARK(BM_EventMutexAcquireRelease);

void BM_BareInterlockedIncDec(benchmark::State& state) {
    SharedWord shared;
    if (shared.word == nullptr) {
        state.SkipWithError("cannot map the word");
        return;
    }
    for (auto _ : state) {
        OsInterlockedIncrement(shared.word);
        OsInterlockedDecrement(shared.word);
    }
}
BENCHMARK(BM_BareInterlockedIncDec);

}  // namespace

BENCHMARK_MAIN();
