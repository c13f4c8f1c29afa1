// Zero-filling heap allocation with one compaction retry (Win32 global heap).
#pragma once
#include <cstddef>

// Zero-filled block of bytes, or null. compactable false asks for fixed,
// non-compacting memory (GMEM_SHARE|GMEM_ZEROINIT|GMEM_NOCOMPACT); true allows
// compaction (GMEM_SHARE|GMEM_ZEROINIT).
void* OsHeapAllocZeroed(std::size_t bytes, bool compactable);

// Asks the heap to compact so that bytes could be had (GlobalCompact).
void OsHeapCompact(std::size_t bytes);

// Releases a block from OsHeapAllocZeroed. Null does nothing.
void OsHeapFree(void* block);
