// Named mutexes with Win32 semantics over a robust, recursive, process-shared
// pthread mutex in a PX_SHM_MUTEX object: recursion for the owner thread, and
// "abandoned" for the next owner when the owner thread ended holding it.
#include <errno.h>
#include <pthread.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <cstring>
#include <mutex>

#include "platform/atomic.h"
#include "platform/fault.h"
#include "platform/named_mutex.h"
#include "platform/posix/internal.h"

namespace {

// The shared record, initialised once by the creator under the creation lock.
struct PxMutexRecord {
    pthread_mutex_t mutex;
    std::uint32_t magic;
};
constexpr std::uint32_t MUTEX_MAGIC = 0x4b514d58u;  // "KQMX"

// One mutex object as this process sees it. Every handle to the same name in
// this process shares one entry and so one mapping: glibc links a robust mutex
// into its owner thread's list at the address it was locked through, so the
// mutex must be locked and unlocked through one address, and that address must
// stay mapped while a thread of ours owns it. ownerTid and levels are written
// only by the thread that owns the mutex; handles is guarded by registryLock.
struct PxMutexShared {
    PxShm* shm;
    PxMutexRecord* rec;
    std::int32_t handles;
    std::uint32_t ownerTid;  // thread of this process that owns it, 0 if none
    std::uint32_t levels;    // its recursion depth
};

struct PxMutex {
    PxObject header;
    PxMutexShared* shared;
};

constexpr std::size_t MAX_NAMED_MUTEXES = 1024;
std::mutex registryLock;
PxMutexShared* registry[MAX_NAMED_MUTEXES];

void InitRecord(void* base, void*) {
    PxMutexRecord* rec = static_cast<PxMutexRecord*>(base);
    pthread_mutexattr_t attr;
    pthread_mutexattr_init(&attr);
    pthread_mutexattr_setpshared(&attr, PTHREAD_PROCESS_SHARED);
    pthread_mutexattr_setrobust(&attr, PTHREAD_MUTEX_ROBUST);
    pthread_mutexattr_settype(&attr, PTHREAD_MUTEX_RECURSIVE);
    // A holder of normal priority that a time-critical waiter is waiting for runs
    // at the waiter's priority until it lets go; otherwise any busy thread of
    // middle priority could keep the time-critical one waiting.
    pthread_mutexattr_setprotocol(&attr, PTHREAD_PRIO_INHERIT);
    pthread_mutex_init(&rec->mutex, &attr);
    pthread_mutexattr_destroy(&attr);
    rec->magic = MUTEX_MAGIC;
}

void Store(std::uint32_t* field, std::uint32_t value) {
    OsAtomicStoreRelaxed(field, value);
}

std::uint32_t Load(const std::uint32_t* field) {
    return OsAtomicLoadRelaxed(field);
}

void DestroyMutex(PxObject* obj) {
    PxMutex* m = reinterpret_cast<PxMutex*>(obj);
    PxMutexShared* s = m->shared;
    delete m;
    {
        std::lock_guard<std::mutex> guard(registryLock);
        if (--s->handles > 0) {
            return;
        }
        for (PxMutexShared*& entry : registry) {
            if (entry == s) {
                entry = nullptr;
            }
        }
    }
    if (Load(&s->levels) != 0) {
        // Closed while a thread of ours still owns it: leave the page mapped so
        // that thread's robust list stays valid; the kernel abandons the mutex
        // when the thread ends.
        s->shm->base = nullptr;
    }
    px_shm_put(s->shm);
    delete s;
}

std::uint32_t WaitMutex(PxObject* obj, std::uint32_t timeoutMs) {
    PxMutexShared* s = reinterpret_cast<PxMutex*>(obj)->shared;
    pthread_mutex_t* mx = &s->rec->mutex;
    // A poll first: it also takes over a mutex whose owner is already gone, which
    // is the usual abandoned case (and the one thread checkers follow best).
    int rc = pthread_mutex_trylock(mx);
    if (rc == EBUSY && timeoutMs == OS_INFINITE) {
        rc = pthread_mutex_lock(mx);
    } else if (rc == EBUSY && timeoutMs != 0) {
        timespec at{};
        clock_gettime(CLOCK_REALTIME, &at);
        at.tv_sec += static_cast<time_t>(timeoutMs / 1000);
        at.tv_nsec += static_cast<long>(timeoutMs % 1000) * 1000000L;
        if (at.tv_nsec >= 1000000000L) {
            at.tv_sec += 1;
            at.tv_nsec -= 1000000000L;
        }
        rc = pthread_mutex_timedlock(mx, &at);
    }
    switch (rc) {
        case 0:
            Store(&s->ownerTid, px_self_tid());
            Store(&s->levels, Load(&s->levels) + 1);
            return OS_WAIT_OBJECT_0;
        case EOWNERDEAD:
            // The owner ended holding it: we own it now, with one level, as Win32's
            // WAIT_ABANDONED does; mark it usable again.
            pthread_mutex_consistent(mx);
            Store(&s->ownerTid, px_self_tid());
            Store(&s->levels, 1);
            return OS_WAIT_ABANDONED;
        case EBUSY:
        case ETIMEDOUT:
            return OS_WAIT_TIMEOUT;
        default:
            return OS_WAIT_FAILED;
    }
}

constexpr PxKindOps MUTEX_OPS{PX_KIND_MUTEX, DestroyMutex, WaitMutex};

}  // namespace

OsHandle OsCreateMutex(const char* name) {
    if (OsFaultHit(OS_FAULT_CREATE_MUTEX)) {
        errno = ENOMEM;
        return OS_NO_HANDLE;
    }
    char posixName[256];
    if (name != nullptr && !px_shm_name(PX_SHM_MUTEX, name, posixName, sizeof posixName)) {
        errno = ENAMETOOLONG;
        return OS_NO_HANDLE;
    }
    PxMutexShared* s = nullptr;
    {
        std::lock_guard<std::mutex> guard(registryLock);
        if (name != nullptr) {
            for (PxMutexShared* entry : registry) {
                if (entry != nullptr && std::strcmp(entry->shm->posixName, posixName) == 0) {
                    s = entry;
                    ++s->handles;
                    break;
                }
            }
        }
        if (s == nullptr) {
            PxMutexShared** slot = nullptr;
            for (PxMutexShared*& entry : registry) {
                if (entry == nullptr) {
                    slot = &entry;
                    break;
                }
            }
            if (slot == nullptr) {
                errno = EMFILE;
                return OS_NO_HANDLE;
            }
            PxShm* shm = px_shm_open(PX_SHM_MUTEX, name, sizeof(PxMutexRecord), true, InitRecord,
                                     nullptr, nullptr);
            if (shm == nullptr) {
                return OS_NO_HANDLE;
            }
            PxMutexRecord* rec = static_cast<PxMutexRecord*>(shm->base);
            if (rec->magic != MUTEX_MAGIC) {
                px_shm_put(shm);
                errno = EINVAL;
                return OS_NO_HANDLE;
            }
            s = new PxMutexShared{shm, rec, 1, 0, 0};
            *slot = s;
        }
    }
    PxMutex* m = new PxMutex{};
    px_object_init(&m->header, &MUTEX_OPS, 1);
    m->shared = s;
    OsHandle h = px_handle_insert(&m->header);
    if (h == OS_NO_HANDLE) {
        DestroyMutex(&m->header);
    }
    return h;
}

bool OsReleaseMutex(OsHandle mutex) {
    PxMutex* m = reinterpret_cast<PxMutex*>(px_handle_get(mutex, PX_KIND_MUTEX));
    if (m == nullptr) {
        return false;
    }
    PxMutexShared* s = m->shared;
    bool ok = false;
    std::uint32_t self = px_self_tid();
    const std::uint32_t levels = Load(&s->levels);
    if (Load(&s->ownerTid) == self && levels > 0) {
        Store(&s->levels, levels - 1);
        if (levels == 1) {
            Store(&s->ownerTid, 0);
        }
        ok = pthread_mutex_unlock(&s->rec->mutex) == 0;
        if (!ok) {
            Store(&s->levels, levels);
            Store(&s->ownerTid, self);
        }
    } else {
        errno = EPERM;
    }
    px_object_put(&m->header);
    return ok;
}
