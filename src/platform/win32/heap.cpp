// Win32 backend: zero-filled blocks of the global heap.
#include <windows.h>

#include <algorithm>
#include <cstdint>

#include "platform/fault.h"
#include "platform/heap.h"

void* OsHeapAllocZeroed(std::size_t bytes, bool compactable) {
    if (OsFaultHit(OS_FAULT_HEAP_ALLOC)) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    // GMEM_SHARE | GMEM_ZEROINIT, and GMEM_NOCOMPACT unless compaction is allowed.
    UINT flags = compactable ? 0x2040u : 0x2050u;
    HGLOBAL h = GlobalAlloc(flags, bytes);
    if (h == nullptr) {
        return nullptr;
    }
    void* p = GlobalLock(h);
    if (p == nullptr) {
        GlobalFree(h);
    }
    return p;
}

void OsHeapCompact(std::size_t bytes) {
    GlobalCompact(static_cast<DWORD>(std::min<std::uint64_t>(bytes, MAXDWORD)));
}

void OsHeapFree(void* block) {
    if (block == nullptr) {
        return;
    }
    GlobalUnlock(GlobalHandle(block));
    GlobalFree(GlobalHandle(block));
}
