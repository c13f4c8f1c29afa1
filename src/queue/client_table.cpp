// The client table, the lookup by process id, and the walk guard between the
// dispatch thread's handlers and the main thread's removal of blocks.
#include "queue/client_table.h"

#include <cassert>
#include <chrono>
#include <thread>

#include "platform/atomic.h"

ClientTable clientTable;

namespace {
// Odd while a handler walks the table. Changed only by the dispatch thread.
std::uint32_t walkSequence = 0;
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

void WaitForTableWalkers() {
    std::uint32_t seen = OsAtomicLoadSeqCst(&walkSequence);
    if ((seen & 1u) == 0) {
        return;  // no walk in progress: any later walk reads the cleared entry
    }
    // A walk normally ends within microseconds, but one that waits for clients'
    // locks can last up to the stall budget: after a short spin, sleep instead
    // of taking a processor from the clients meanwhile.
    for (std::uint32_t spins = 0; OsAtomicLoad(&walkSequence) == seen; ++spins) {
        if (spins < 1000) {
            std::this_thread::yield();
        } else {
            std::this_thread::sleep_for(std::chrono::microseconds(200));
        }
    }
}
