// post_syscalls: a million PostEvent calls into a ring with room while the
// client is not waiting, between two marker lines on stderr, so that a system
// call tracer can count the calls made in between (bench/run: strace -f). The
// ring is emptied every 98 posts by this process on the client's side, the way
// a client takes its records (under the block's lock), without waiting.
//
//   post_syscalls [posts]
#include <chrono>
#include <cstdio>
#include <cstdlib>

#include "locks/mutex.h"
#include "platform/atomic.h"
#include "platform/event.h"
#include "platform/process.h"
#include "queue/asyncque.h"
#include "queue/lifecycle.h"
#include "support/client_slots.h"

namespace {

constexpr std::uint32_t SLOT = 0;

void Drain(AsyncQueueBlock* block, OsHandle wake) {
    std::uint32_t code, a1, a2, a3;
    AcquireEventMutex(SlotLock(SLOT));
    while (TakeRecord(block, &code, &a1, &a2, &a3) == QUEUE_OK) {
    }
    ReleaseEventMutex(SlotLock(SLOT));
    OsWaitForObject(wake, 0);  // takes the wake-up, as a client would, without sleeping
}

}  // namespace

int main(int argc, char** argv) {
    const long posts = argc > 1 ? std::atol(argv[1]) : 1000000;
    const std::uint32_t pid = 0x80000000u | OsCurrentProcessId();
    OsHandle wake = OsCreateEvent(nullptr, false, false);
    OsHandle process = OsOpenProcess(OsCurrentProcessId());
    AsyncQueueBlock* block = wake != OS_NO_HANDLE && process != OS_NO_HANDLE
                                 ? PlantClient(SLOT, pid, process, wake)
                                 : nullptr;
    if (block == nullptr) {
        std::fprintf(stderr, "post_syscalls: set-up failed\n");
        return 1;
    }
    // Warm-up outside the counted window: the first posts fault the pages in.
    for (int i = 0; i < 1000; ++i) {
        PostEvent(pid, SLOT, 0xDEAD0007u, 3, 1, static_cast<std::uint32_t>(i));
        if (i % 98 == 97) {
            Drain(block, wake);
        }
    }
    Drain(block, wake);

    std::fputs("post_syscalls: begin\n", stderr);
    const auto start = std::chrono::steady_clock::now();
    long failed = 0;
    for (long i = 0; i < posts; ++i) {
        failed += PostEvent(pid, SLOT, 0xDEAD0007u, 3, 1, static_cast<std::uint32_t>(i)) != 0;
        if (i % 98 == 97) {
            Drain(block, wake);
        }
    }
    const auto end = std::chrono::steady_clock::now();
    std::fputs("post_syscalls: end\n", stderr);

    RemovePlantedClient(SLOT, true);  // closes the wake event and the process handle
    const double ns = static_cast<double>(
        std::chrono::duration_cast<std::chrono::nanoseconds>(end - start).count());
    std::printf("posts=%ld failed=%ld ns_per_post_with_drains=%.1f\n", posts, failed,
                ns / static_cast<double>(posts));
    return failed == 0 ? 0 : 1;
}
