// The machine's floor for cross-process wake-ups: a chain of processes shares
// futex words; the first stamps the time and wakes the second, each one wakes
// the next, and the last notes how long after the stamp it runs again. Every
// waiter of the chain is asleep in the kernel before each round. One hop is the
// floor of a one-hop transport, two hops in series the floor of kqvxi's path.
#include <linux/futex.h>
#include <sys/mman.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <vector>

#include "harness.h"
#include "platform/atomic.h"

namespace e2e {
namespace {

constexpr int MAX_HOPS = 2;

struct Chain {
    std::uint32_t word[MAX_HOPS + 1];    // word[k]: round handed to process k (futex)
    std::uint32_t asleep[MAX_HOPS + 1];  // process k is in (or about to enter) its wait
    std::uint32_t pong;                  // round the last process finished (futex word)
    std::uint32_t pad;
    std::int64_t stampNs;
    std::int64_t latencyNs[1];  // rounds entries follow
};

long Futex(std::uint32_t* word, int op, std::uint32_t value) {
    timespec limit{0, 200000000};
    return syscall(SYS_futex, word, op, value, op == FUTEX_WAIT ? &limit : nullptr, nullptr, 0);
}

// Process k of the chain (1..hops): waits for its word to move, then hands the
// round on, or, as the last, notes the latency and answers the first.
void Link(Chain* shared, int k, int hops, int rounds) {
    std::uint32_t seen = 0;
    for (int r = 0; r < rounds; ++r) {
        const std::int64_t end = NowNs() + 2'000'000'000;
        while (OsAtomicLoad(&shared->word[k]) == seen && NowNs() < end) {
            OsAtomicStore(&shared->asleep[k], 1u);
            Futex(&shared->word[k], FUTEX_WAIT, seen);
        }
        const std::int64_t woke = NowNs();
        seen = OsAtomicLoad(&shared->word[k]);
        OsAtomicStore(&shared->asleep[k], 0u);
        if (k < hops) {
            OsAtomicStore(&shared->word[k + 1], seen);
            Futex(&shared->word[k + 1], FUTEX_WAKE, 1);
            continue;
        }
        shared->latencyNs[r] = woke - OsAtomicLoad(&shared->stampNs);
        OsAtomicStore(&shared->pong, seen);
        Futex(&shared->pong, FUTEX_WAKE, 1);
    }
}

bool AllAsleep(const Chain* shared, int hops) {
    for (int k = 1; k <= hops; ++k) {
        if (OsAtomicLoad(&shared->asleep[k]) == 0) {
            return false;
        }
    }
    return true;
}

}  // namespace

bool FutexWakeFloor(int hops, int rounds, double* p50Us, double* p99Us) {
    *p50Us = 0;
    *p99Us = 0;
    if (hops < 1 || hops > MAX_HOPS || rounds <= 0) {
        return false;
    }
    const std::size_t size =
        sizeof(Chain) + sizeof(std::int64_t) * static_cast<std::size_t>(rounds);
    void* mem = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
    if (mem == MAP_FAILED) {
        return false;
    }
    auto* shared = static_cast<Chain*>(mem);
    pid_t children[MAX_HOPS] = {};
    int started = 0;
    for (int k = 1; k <= hops; ++k) {
        const pid_t child = fork();
        if (child == 0) {
            Link(shared, k, hops, rounds);
            _exit(0);
        }
        if (child < 0) {
            break;
        }
        children[started++] = child;
    }
    int done = 0;
    for (int r = 1; r <= rounds && started == hops; ++r) {
        // Let every waiter reach its sleep: each says so, then a little time for
        // the system call.
        const std::int64_t end = NowNs() + 1'000'000'000;
        while (!AllAsleep(shared, hops) && NowNs() < end) {
            SleepUs(20);
        }
        SleepUs(50);
        OsAtomicStore(&shared->stampNs, NowNs());
        OsAtomicStore(&shared->word[1], static_cast<std::uint32_t>(r));
        Futex(&shared->word[1], FUTEX_WAKE, 1);
        while (OsAtomicLoad(&shared->pong) != static_cast<std::uint32_t>(r) && NowNs() < end) {
            Futex(&shared->pong, FUTEX_WAIT, static_cast<std::uint32_t>(r - 1));
        }
        if (OsAtomicLoad(&shared->pong) != static_cast<std::uint32_t>(r)) {
            break;
        }
        done = r;
    }
    // A chain cut short leaves its links waiting for rounds that never come:
    // WaitExit ends them after its time limit.
    for (int i = 0; i < started; ++i) {
        WaitExit(children[i], done == rounds ? 3000 : 0);
    }
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
