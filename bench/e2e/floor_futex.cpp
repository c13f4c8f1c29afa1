// The machine's floor for a cross-process wake-up: two processes share a futex
// word; one stamps the time and wakes the other, which notes how long it took
// to run again. The waiter is asleep in the kernel before every wake.
#include <linux/futex.h>
#include <sys/mman.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <vector>

#include "harness.h"

namespace e2e {
namespace {

struct PingPong {
    std::uint32_t ping;  // round the waker started (futex word)
    std::uint32_t pong;  // round the waiter finished (futex word)
    std::uint32_t asleep;
    std::uint32_t pad;
    std::int64_t stampNs;
    std::int64_t latencyNs[1];  // rounds entries follow
};

long Futex(std::uint32_t* word, int op, std::uint32_t value) {
    timespec limit{0, 200000000};
    return syscall(SYS_futex, word, op, value, op == FUTEX_WAIT ? &limit : nullptr, nullptr, 0);
}

void Waiter(PingPong* shared, int rounds) {
    std::uint32_t seen = 0;
    for (int r = 0; r < rounds; ++r) {
        const std::int64_t end = NowNs() + 2'000'000'000;
        while (__atomic_load_n(&shared->ping, __ATOMIC_ACQUIRE) == seen && NowNs() < end) {
            __atomic_store_n(&shared->asleep, 1u, __ATOMIC_RELEASE);
            Futex(&shared->ping, FUTEX_WAIT, seen);
        }
        const std::int64_t woke = NowNs();
        seen = __atomic_load_n(&shared->ping, __ATOMIC_ACQUIRE);
        __atomic_store_n(&shared->asleep, 0u, __ATOMIC_RELEASE);
        shared->latencyNs[r] = woke - __atomic_load_n(&shared->stampNs, __ATOMIC_ACQUIRE);
        __atomic_store_n(&shared->pong, seen, __ATOMIC_RELEASE);
        Futex(&shared->pong, FUTEX_WAKE, 1);
    }
}

}  // namespace

bool FutexWakeFloor(int rounds, double* p50Us, double* p99Us) {
    const std::size_t size =
        sizeof(PingPong) + sizeof(std::int64_t) * static_cast<std::size_t>(rounds);
    void* mem = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
    if (mem == MAP_FAILED) {
        return false;
    }
    auto* shared = static_cast<PingPong*>(mem);
    pid_t child = fork();
    if (child < 0) {
        munmap(mem, size);
        return false;
    }
    if (child == 0) {
        Waiter(shared, rounds);
        _exit(0);
    }
    int done = 0;
    for (int r = 1; r <= rounds; ++r) {
        // Let the waiter reach its sleep: it says so, then a little time for the syscall.
        const std::int64_t end = NowNs() + 1'000'000'000;
        while (__atomic_load_n(&shared->asleep, __ATOMIC_ACQUIRE) == 0 && NowNs() < end) {
            SleepUs(20);
        }
        SleepUs(50);
        __atomic_store_n(&shared->stampNs, NowNs(), __ATOMIC_RELEASE);
        __atomic_store_n(&shared->ping, static_cast<std::uint32_t>(r), __ATOMIC_RELEASE);
        Futex(&shared->ping, FUTEX_WAKE, 1);
        while (__atomic_load_n(&shared->pong, __ATOMIC_ACQUIRE) != static_cast<std::uint32_t>(r) &&
               NowNs() < end) {
            Futex(&shared->pong, FUTEX_WAIT, static_cast<std::uint32_t>(r - 1));
        }
        if (__atomic_load_n(&shared->pong, __ATOMIC_ACQUIRE) != static_cast<std::uint32_t>(r)) {
            break;
        }
        done = r;
    }
    WaitExit(child, 3000);
    std::vector<double> us;
    for (int r = 0; r < done; ++r) {
        us.push_back(static_cast<double>(shared->latencyNs[r]) / 1000.0);
    }
    munmap(mem, size);
    *p50Us = Percentile(us, 50);
    *p99Us = Percentile(us, 99);
    return done > 0;
}

}  // namespace e2e
