// The client table, the lookup by process id, and the walk guard between the
// dispatch thread's handlers and the main thread's removal of blocks.
#include "server/client_table.h"

#include <thread>

#include "platform/atomic.h"

ClientTable clientTable;

namespace {
// Odd while a handler walks the table. Changed only by the dispatch thread.
std::uint32_t walkSequence = 0;
}  // namespace

std::int16_t FindClientSlot(std::uint32_t pid, std::uint32_t* slot) {
    for (std::uint32_t i = 0; i < MAX_CLIENTS; ++i) {
        AsyncQueueBlock* block = clientTable.clientBlocks[i];
        if (block != nullptr && block->ownerPid == pid) {
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
    __atomic_add_fetch(&walkSequence, 1u, __ATOMIC_SEQ_CST);
}

void EndTableWalk() {
    __atomic_add_fetch(&walkSequence, 1u, __ATOMIC_RELEASE);
}

void WaitForTableWalkers() {
    std::uint32_t seen = __atomic_load_n(&walkSequence, __ATOMIC_SEQ_CST);
    if ((seen & 1u) == 0) {
        return;  // no walk in progress: any later walk reads the cleared entry
    }
    while (__atomic_load_n(&walkSequence, __ATOMIC_ACQUIRE) == seen) {
        std::this_thread::yield();
    }
}
