// Event mutexes: a lock shared by threads of several processes, made of a 32-bit
// lock word (-1 free) and a named auto-reset event touched only under contention;
// the zero-filling allocator behind their name copies; the table-based lock
// section and the named-mutex wrappers.
#pragma once
#include <cstddef>
#include <cstdint>
#include "platform/types.h"

// Lock descriptor as it lies in shared memory: three 4-byte process-local fields.
// name is non-zero exactly while the descriptor is open. Where pointers are wider
// than 32 bits the fields hold process-local encodings, decoded only by the
// process that stored them.
struct EventMutex {
    std::uint32_t name;
    std::uint32_t event;
    std::uint32_t lockWord;
};
static_assert(sizeof(EventMutex) == 12);
static_assert(offsetof(EventMutex, name) == 0);
static_assert(offsetof(EventMutex, event) == 4);
static_assert(offsetof(EventMutex, lockWord) == 8);

// Lock word values: -1 free, 0 held, n > 0 held with n waiters.
inline constexpr std::int32_t LOCK_FREE = -1;

void* SharedAlloc(std::uint32_t size, std::uint32_t count);
void SharedFree(void* block);

// 0, or -1 when the name copy or the event cannot be had (descriptor left closed).
std::int32_t OpenEventMutex(EventMutex* mutex, volatile std::int32_t* lockWord, const char* name);
void CloseEventMutex(EventMutex* mutex);
// True when this process opened the descriptor and it is still open. Values
// another process wrote, or a copy of a descriptor, read as closed.
bool EventMutexIsOpen(const EventMutex* mutex);
// What an acquire read from the descriptor. Given to an acquire, it is filled
// when the lock is taken, and ReleaseHeldEventMutex then gives the lock back
// without reading the descriptor again (the poster's path, where each read
// counts). Left zero for a closed descriptor; valid only while it stays open.
struct EventMutexHold {
    volatile std::int32_t* lockWord;
    OsHandle event;
};

// A closed descriptor (see EventMutexIsOpen) makes both do nothing.
void AcquireEventMutex(EventMutex* mutex, EventMutexHold* hold = nullptr);
void ReleaseEventMutex(EventMutex* mutex);

// Acquire that gives up once the process behind owner has ended: waits in steps
// of pollMs and checks the process between them. 0: the lock is held; -1: the
// owner ended while the lock was not handed over (the caller must not touch the
// protected data, and must not release). The free path is one atomic increment.
// A hand-over that arrives as the owner is found ended is still taken. -1 also
// answers a closed descriptor (hold then stays empty) and an event that cannot
// be waited on. After -1 the lock word keeps counting the caller as a waiter, so
// the lock stays taken for good if the dead owner held it: the block is dead and
// must be removed. An owner handle whose exit code cannot be read counts as
// ended; OS_NO_HANDLE (a process the caller could not open) counts as alive, so
// with it this call waits until the lock comes.
std::int32_t AcquireEventMutexUnlessEnded(EventMutex* mutex, OsHandle owner, std::uint32_t pollMs);

// The same, bounded also while the owner lives: after about limitMs of waiting
// (OS_INFINITE: no bound; 0: one look at the event) it returns
// EVENT_MUTEX_PENDING. No wait step runs past the limit. The caller then stays
// counted as a waiter (a pending acquire): it must not touch the protected data
// nor release, and must not acquire again until CompletePendingEventMutex has
// given 0 or -1. Keeps a process that holds the lock for ever (stopped, or one
// that wrote a held value over the lock word) from stalling the caller for ever,
// whether or not the caller has a handle of it.
inline constexpr std::int32_t EVENT_MUTEX_PENDING = -2;
std::int32_t AcquireEventMutexWithin(EventMutex* mutex, OsHandle owner, std::uint32_t pollMs,
                                     std::uint32_t limitMs, EventMutexHold* hold = nullptr);
// Goes on waiting, as AcquireEventMutexWithin does, for the hand-over owed to a
// pending acquire: the same results, and after EVENT_MUTEX_PENDING the acquire
// is still pending.
std::int32_t WaitPendingEventMutex(EventMutex* mutex, OsHandle owner, std::uint32_t pollMs,
                                   std::uint32_t limitMs, EventMutexHold* hold = nullptr);
// Takes the hand-over for a pending acquire if it has arrived, without waiting:
// 0 the lock is held; EVENT_MUTEX_PENDING not yet; -1 the owner has ended (or
// the descriptor is closed) and the lock never came. An owner of OS_NO_HANDLE
// counts as alive.
std::int32_t CompletePendingEventMutex(EventMutex* mutex, OsHandle owner,
                                       EventMutexHold* hold = nullptr);
// Releases a lock taken by one of the calls above, as ReleaseEventMutex does.
void ReleaseHeldEventMutex(const EventMutexHold& hold);

// The pieces of an acquire, for a caller that decides by itself how long to
// wait and when the holder can no longer hand the lock over (the client
// library, which checks whether a server still maps its block).
// BeginEventMutexAcquire counts the caller in: 0 the lock is held,
// EVENT_MUTEX_PENDING the caller now waits as a pending acquire (see above),
// -1 a closed descriptor. WaitPendingEventMutex waits up to waitMs for a
// pending acquire's hand-over: 0 the lock is held, EVENT_MUTEX_PENDING not
// yet, -1 a closed descriptor or an event that cannot be waited on.
std::int32_t BeginEventMutexAcquire(EventMutex* mutex, EventMutexHold* hold = nullptr);
std::int32_t WaitPendingEventMutex(EventMutex* mutex, std::uint32_t waitMs,
                                   EventMutexHold* hold = nullptr);
// Takes the lock back for a caller with a pending acquire when no other party
// that could hold it or wait for it is alive any more (the caller has made
// sure): a signal left on the event is taken, stale or not, and the lock word
// is set to "held, no waiters", which drops the counts the ended parties left.
// 0, or -1 for a closed descriptor.
std::int32_t ReclaimEventMutex(EventMutex* mutex, EventMutexHold* hold = nullptr);

// Lock section and named mutexes.
inline constexpr std::uint32_t LOCK_TABLE_SIZE = 800;
inline constexpr std::int16_t LOCK_OK = 0;
inline constexpr std::int16_t LOCK_ABANDONED = 1;
inline constexpr std::int16_t LOCK_NULL_OR_FAILED = -1;
inline constexpr std::int16_t LOCK_TIMEOUT = -2;
inline constexpr std::int16_t LOCK_NOT_CREATED = -3;
inline constexpr std::int16_t LOCK_ALREADY_CREATED = -4;
inline constexpr std::int16_t LOCK_PLATFORM_FAILED = -9999;

std::int16_t CreateLockSection();
std::int16_t DestroyLockSection();
EventMutex* AllocEventMutex(const char* name, std::int32_t sectionFlag);
std::int16_t FreeEventMutex(EventMutex* mutex);

OsHandle CreateNamedMutex(const char* name);
std::int16_t WaitNamedMutex(OsHandle mutex, std::uint32_t timeoutMs);
std::int16_t ReleaseNamedMutex(OsHandle mutex);
std::int16_t CloseNamedMutex(OsHandle mutex);
