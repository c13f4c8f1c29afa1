// Atomic access to words that another thread, or another process that maps the
// same memory, reads or writes at the same time. Every atomic access in the tree
// goes through these: no other folder uses compiler builtins, std::atomic or
// volatile casts for it. Win32's InterlockedIncrement / InterlockedDecrement are
// the first two; the rest are the loads, stores and read-modify-writes the core
// needs, each named for the ordering it gives.
#pragma once
#include <cstdint>

// True when T's atomic operations never take a hidden lock (a lock in another
// process's memory would not exclude anything). Every shared word asserts it.
template <typename T>
inline constexpr bool OS_ATOMIC_LOCK_FREE = __atomic_always_lock_free(sizeof(T), 0);

// Full-ordering increment and decrement of a 32-bit word; both return the new value.
inline std::int32_t OsInterlockedIncrement(volatile std::int32_t* word) {
    return __atomic_add_fetch(word, 1, __ATOMIC_SEQ_CST);
}
inline std::int32_t OsInterlockedDecrement(volatile std::int32_t* word) {
    return __atomic_sub_fetch(word, 1, __ATOMIC_SEQ_CST);
}

// Loads. Acquire is the default: what the writer stored before its release store
// is visible afterwards.
template <typename T>
inline T OsAtomicLoad(const volatile T* p) {
    return __atomic_load_n(p, __ATOMIC_ACQUIRE);
}
template <typename T>
inline T OsAtomicLoadRelaxed(const volatile T* p) {
    return __atomic_load_n(p, __ATOMIC_RELAXED);
}
// Sequentially consistent load, for a load that must not pass an earlier
// sequentially consistent store or read-modify-write of the same thread.
template <typename T>
inline T OsAtomicLoadSeqCst(const volatile T* p) {
    return __atomic_load_n(p, __ATOMIC_SEQ_CST);
}

// Stores. Release is the default.
template <typename T>
inline void OsAtomicStore(volatile T* p, T v) {
    __atomic_store_n(p, v, __ATOMIC_RELEASE);
}
template <typename T>
inline void OsAtomicStoreRelaxed(volatile T* p, T v) {
    __atomic_store_n(p, v, __ATOMIC_RELAXED);
}
template <typename T>
inline void OsAtomicStoreSeqCst(volatile T* p, T v) {
    __atomic_store_n(p, v, __ATOMIC_SEQ_CST);
}

// Read-modify-writes with full ordering. The Fetch* ones return the old value.
template <typename T>
inline T OsAtomicExchange(volatile T* p, T v) {
    return __atomic_exchange_n(p, v, __ATOMIC_SEQ_CST);
}
// Stores desired when *p equals *expected and returns true; otherwise loads *p
// into *expected and returns false.
template <typename T>
inline bool OsAtomicCompareExchange(volatile T* p, T* expected, T desired) {
    return __atomic_compare_exchange_n(p, expected, desired, false, __ATOMIC_SEQ_CST,
                                       __ATOMIC_SEQ_CST);
}
template <typename T>
inline T OsAtomicFetchAdd(volatile T* p, T v) {
    return __atomic_fetch_add(p, v, __ATOMIC_SEQ_CST);
}
template <typename T>
inline T OsAtomicFetchSub(volatile T* p, T v) {
    return __atomic_fetch_sub(p, v, __ATOMIC_SEQ_CST);
}
template <typename T>
inline T OsAtomicFetchOr(volatile T* p, T v) {
    return __atomic_fetch_or(p, v, __ATOMIC_SEQ_CST);
}
template <typename T>
inline T OsAtomicFetchAnd(volatile T* p, T v) {
    return __atomic_fetch_and(p, v, __ATOMIC_SEQ_CST);
}

// Keeps the compiler from moving memory accesses of this thread across it, in
// either direction, without a processor fence: for code whose processor-side
// ordering comes from elsewhere (a barrier another thread forces on this one).
inline void OsSignalFence() {
    __atomic_signal_fence(__ATOMIC_SEQ_CST);
}

// A field of shared memory that another process may rewrite at any moment, read
// or written exactly once where the code says so (the compiler may neither
// repeat nor drop the access). No ordering: for values that are checked before
// use and never trusted, such as what a client wrote into its own block.
template <typename T>
inline T OsVolatileLoad(const T* p) {
    return *static_cast<const volatile T*>(p);
}
template <typename T>
inline void OsVolatileStore(T* p, T v) {
    *static_cast<volatile T*>(p) = v;
}
