// The client table, the lookup by process id, and the walk guard between the
// dispatch thread's handlers and the main thread's removal of blocks.
#include "queue/client_table.h"

#include <cassert>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <thread>

#include "platform/atomic.h"

ClientTable clientTable;

namespace {
// Odd while a handler walks the table. Changed only by the dispatch thread.
std::uint32_t walkSequence = 0;
// Counts the slots a walk has finished with. Changed only by the dispatch thread.
std::uint32_t walkProgress = 0;

// Longest time a removal waits for a walk that makes no progress. Every wait of
// a walk is bounded (a post waits at most 5 ms for a client's lock, and behind
// the other thread's post of the same slot), so a walk that finishes no slot for
// this long is stuck where no bound holds, or is not being run at all.
constexpr std::int64_t WALK_STALL_LIMIT_MS = 2000;
}  // namespace

std::int16_t FindClientSlot(std::uint32_t pid, std::uint32_t* slot) {
    assert(slot != nullptr);
    for (std::uint32_t i = 0; i < MAX_CLIENTS; ++i) {
        // The pid the slot was opened for, as this process keeps it: the block's
        // ownerPid is writable by its client, which could otherwise take over
        // another client's requests or keep a pid from registering.
        if (clientTable.clientBlocks[i] != nullptr && clientTable.slots[i].openPid == pid) {
            *slot = i;
            return 0;
        }
    }
    return SLOT_NOT_FOUND;
}

// The guard is a store-then-load handshake on each side:
//   main thread:     clear clientBlocks[slot] (seq_cst)  ; read walkSequence (seq_cst)
//   dispatch thread: make walkSequence odd (seq_cst RMW) ; read clientBlocks
// Either the main thread sees the walk running and waits for its end, or the
// walk reads the cleared entry. The walk reads clientBlocks with seq_cst loads,
// which keeps them after its update on any target (on x86 they are plain loads).
// No fences: ThreadSanitizer does not model them.
void BeginTableWalk() {
    OsAtomicFetchAdd(&walkSequence, 1u);
}

void EndTableWalk() {
    OsAtomicFetchAdd(&walkSequence, 1u);
}

void NoteTableWalkProgress() {
    OsAtomicFetchAdd(&walkProgress, 1u);
}

void WaitForTableWalkers() {
    std::uint32_t seen = OsAtomicLoadSeqCst(&walkSequence);
    if ((seen & 1u) == 0) {
        return;  // no walk in progress: any later walk reads the cleared entry
    }
    // A walk normally ends within microseconds, but one that waits for clients'
    // locks can last up to the stall budget: after a short spin, sleep instead
    // of taking a processor from the clients meanwhile.
    using Clock = std::chrono::steady_clock;
    std::uint32_t progress = OsAtomicLoad(&walkProgress);
    Clock::time_point lastProgress = Clock::now();
    for (std::uint32_t spins = 0; OsAtomicLoad(&walkSequence) == seen; ++spins) {
        if (spins < 1000) {
            std::this_thread::yield();
            continue;
        }
        std::this_thread::sleep_for(std::chrono::microseconds(200));
        const std::uint32_t now = OsAtomicLoad(&walkProgress);
        if (now != progress) {
            progress = now;
            lastProgress = Clock::now();
        } else if (Clock::now() - lastProgress > std::chrono::milliseconds(WALK_STALL_LIMIT_MS)) {
            // The walk may still use the block this removal would close, and it
            // cannot be told to stop: ending the server is the only safe way on.
            std::fprintf(stderr,
                         "kqvxi-server: the event handlers made no progress for %lld ms; "
                         "ending the server\n",
                         static_cast<long long>(WALK_STALL_LIMIT_MS));
            std::fflush(stderr);
            std::_Exit(EXIT_WALK_STALLED);
        }
    }
}
