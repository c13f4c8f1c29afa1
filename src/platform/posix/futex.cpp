// Futex waits and wakes on words that may live in memory shared with other
// processes, and the monotonic clock that bounds every wait of the backend.
#include <errno.h>
#include <linux/futex.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include "platform/posix/internal.h"

std::uint64_t px_now_ms() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<std::uint64_t>(ts.tv_sec) * 1000u +
           static_cast<std::uint64_t>(ts.tv_nsec) / 1000000u;
}

std::uint32_t px_remaining_ms(std::uint64_t deadline, std::uint32_t timeoutMs) {
    if (timeoutMs == OS_INFINITE) {
        return OS_INFINITE;
    }
    std::uint64_t now = px_now_ms();
    return now >= deadline ? 0 : static_cast<std::uint32_t>(deadline - now);
}

int px_futex_wait_signalled(std::uint32_t* word, std::uint32_t expected, std::uint32_t timeoutMs) {
    timespec ts{};
    timespec* limit = nullptr;
    if (timeoutMs != OS_INFINITE) {
        ts.tv_sec = static_cast<time_t>(timeoutMs / 1000);
        ts.tv_nsec = static_cast<long>(timeoutMs % 1000) * 1000000L;
        limit = &ts;
    }
    // Not FUTEX_PRIVATE_FLAG: the word may live in memory shared with other processes.
    long rc = syscall(SYS_futex, word, FUTEX_WAIT, expected, limit, nullptr, 0);
    if (rc != 0 && errno == ETIMEDOUT) {
        return 0;
    }
    return rc != 0 && errno == EINTR ? -1 : 1;
}

bool px_futex_wait(std::uint32_t* word, std::uint32_t expected, std::uint32_t timeoutMs) {
    return px_futex_wait_signalled(word, expected, timeoutMs) != 0;
}

void px_futex_wake(std::uint32_t* word, int count) {
    syscall(SYS_futex, word, FUTEX_WAKE, count, nullptr, nullptr, 0);
}
