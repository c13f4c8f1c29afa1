// Zero-filling heap allocation over the C heap.
#include <malloc.h>

#include <cstdlib>

#include "platform/fault.h"
#include "platform/heap.h"

void* OsHeapAllocZeroed(std::size_t bytes, bool compactable) {
    (void)compactable;  // the C heap never moves blocks, so both kinds are fixed
    if (OsFaultHit(OS_FAULT_HEAP_ALLOC)) {
        return nullptr;
    }
    return std::calloc(bytes == 0 ? 1 : bytes, 1);
}

void OsHeapCompact(std::size_t bytes) {
    (void)bytes;
    malloc_trim(0);  // hands free memory back, the nearest thing to compaction here
}

void OsHeapFree(void* block) {
    std::free(block);
}
