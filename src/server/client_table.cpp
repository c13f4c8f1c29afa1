// The client table, the lookup by process id, and the walk guard between the
// dispatch thread's handlers and the main thread's removal of blocks.
#include "server/client_table.h"

#include <thread>

#include "platform/atomic.h"

ClientTable clientTable;

namespace {
// Odd while a handler walks the table. Written only by the dispatch thread.
volatile std::uint32_t walkSequence = 0;
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

void BeginTableWalk() {
    // Sequentially consistent, so that this store is ordered before the walk's
    // reads of clientBlocks, against the main thread's clear-then-check.
    __atomic_store_n(&walkSequence, walkSequence + 1, __ATOMIC_SEQ_CST);
}

void EndTableWalk() {
    __atomic_store_n(&walkSequence, walkSequence + 1, __ATOMIC_RELEASE);
}

void WaitForTableWalkers() {
    __atomic_thread_fence(__ATOMIC_SEQ_CST);
    std::uint32_t seen = __atomic_load_n(&walkSequence, __ATOMIC_SEQ_CST);
    if ((seen & 1u) == 0) {
        return;  // no walk in progress: any later walk reads the cleared entry
    }
    while (__atomic_load_n(&walkSequence, __ATOMIC_ACQUIRE) == seen) {
        std::this_thread::yield();
    }
}
