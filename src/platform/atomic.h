// 32-bit atomic increment and decrement with full ordering, on memory that may be
// mapped by several processes (Win32 InterlockedIncrement / InterlockedDecrement).
#pragma once
#include <cstdint>

// Both return the new value.
inline std::int32_t OsInterlockedIncrement(volatile std::int32_t* word) {
    return __atomic_add_fetch(word, 1, __ATOMIC_SEQ_CST);
}
inline std::int32_t OsInterlockedDecrement(volatile std::int32_t* word) {
    return __atomic_sub_fetch(word, 1, __ATOMIC_SEQ_CST);
}

// Plain atomic load and store of an aligned 32-bit word or pointer-sized value,
// for fields that one thread writes and another reads without a lock.
template <typename T>
inline T OsAtomicLoad(const volatile T* p) {
    return __atomic_load_n(p, __ATOMIC_ACQUIRE);
}
// Sequentially consistent load, for a load that must not pass an earlier
// sequentially consistent store or read-modify-write of the same thread.
template <typename T>
inline T OsAtomicLoadSeqCst(const volatile T* p) {
    return __atomic_load_n(p, __ATOMIC_SEQ_CST);
}
template <typename T>
inline void OsAtomicStore(volatile T* p, T v) {
    __atomic_store_n(p, v, __ATOMIC_RELEASE);
}
