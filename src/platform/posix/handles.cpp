// The process-local handle table, the generic handle operations (close, wait,
// sleep) and the futex and clock helpers every other file of the backend uses.
#include <errno.h>
#include <linux/futex.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <climits>
#include <mutex>

#include "platform/fault.h"
#include "platform/posix/internal.h"

namespace {
// Slot i holds the object of handle i + 1, or null when free. Guarded by tableLock.
std::mutex tableLock;
PxObject* table[PX_MAX_HANDLES];
// Where the search for a free slot starts, so freshly closed handles are not
// reused at once (a stale handle then fails instead of hitting a new object).
std::uint32_t nextSlot = 0;
}  // namespace

OsHandle px_handle_insert(PxObject* obj) {
    std::lock_guard<std::mutex> guard(tableLock);
    for (std::uint32_t n = 0; n < PX_MAX_HANDLES; ++n) {
        std::uint32_t slot = (nextSlot + n) % PX_MAX_HANDLES;
        if (table[slot] == nullptr) {
            table[slot] = obj;
            nextSlot = (slot + 1) % PX_MAX_HANDLES;
            return static_cast<OsHandle>(slot) + 1;
        }
    }
    errno = EMFILE;
    return OS_NO_HANDLE;
}

PxObject* px_handle_get(OsHandle handle, PxKind kind) {
    if (handle == OS_NO_HANDLE || handle > PX_MAX_HANDLES) {
        return nullptr;
    }
    std::lock_guard<std::mutex> guard(tableLock);
    PxObject* obj = table[handle - 1];
    if (obj == nullptr || (kind != PX_KIND_FREE && obj->kind != kind)) {
        return nullptr;
    }
    obj->refs.fetch_add(1);
    return obj;
}

void px_object_put(PxObject* obj) {
    if (obj->refs.fetch_sub(1) != 1) {
        return;
    }
    switch (obj->kind) {
        case PX_KIND_EVENT:
            px_event_destroy(obj);
            break;
        case PX_KIND_MAPPING:
            px_mapping_destroy(obj);
            break;
        case PX_KIND_PROCESS:
            px_process_destroy(obj);
            break;
        case PX_KIND_THREAD:
            px_thread_destroy(obj);
            break;
        case PX_KIND_MUTEX:
            px_mutex_destroy(obj);
            break;
        case PX_KIND_FREE:
            break;
    }
}

bool OsCloseHandle(OsHandle handle) {
    if (OsFaultHit(OS_FAULT_CLOSE_HANDLE)) {
        errno = EIO;
        return false;
    }
    if (handle == OS_NO_HANDLE || handle > PX_MAX_HANDLES) {
        return false;
    }
    PxObject* obj = nullptr;
    {
        std::lock_guard<std::mutex> guard(tableLock);
        obj = table[handle - 1];
        table[handle - 1] = nullptr;
    }
    if (obj == nullptr) {
        return false;
    }
    px_object_put(obj);
    return true;
}

std::uint32_t OsWaitForObject(OsHandle handle, std::uint32_t timeoutMs) {
    PxObject* obj = px_handle_get(handle, PX_KIND_FREE);
    if (obj == nullptr) {
        return OS_WAIT_FAILED;
    }
    std::uint32_t result = OS_WAIT_FAILED;
    switch (obj->kind) {
        case PX_KIND_EVENT:
            result = px_event_wait(obj, timeoutMs);
            break;
        case PX_KIND_PROCESS:
            result = px_process_wait(obj, timeoutMs);
            break;
        case PX_KIND_THREAD:
            result = px_thread_wait(obj, timeoutMs);
            break;
        case PX_KIND_MUTEX:
            result = px_mutex_wait(obj, timeoutMs);
            break;
        case PX_KIND_MAPPING:  // not waitable, as on Win32
        case PX_KIND_FREE:
            break;
    }
    px_object_put(obj);
    return result;
}

void OsSleep(std::uint32_t ms) {
    timespec ts{static_cast<time_t>(ms / 1000), static_cast<long>(ms % 1000) * 1000000L};
    while (nanosleep(&ts, &ts) != 0 && errno == EINTR) {
    }
}

std::uint64_t px_now_ms() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<std::uint64_t>(ts.tv_sec) * 1000u +
           static_cast<std::uint64_t>(ts.tv_nsec) / 1000000u;
}

std::uint32_t px_remaining_ms(std::uint64_t deadline, std::uint32_t timeoutMs) {
    if (timeoutMs == OS_INFINITE) {
        return OS_INFINITE;
    }
    std::uint64_t now = px_now_ms();
    return now >= deadline ? 0 : static_cast<std::uint32_t>(deadline - now);
}

bool px_futex_wait(std::uint32_t* word, std::uint32_t expected, std::uint32_t timeoutMs) {
    timespec ts{};
    timespec* limit = nullptr;
    if (timeoutMs != OS_INFINITE) {
        ts.tv_sec = static_cast<time_t>(timeoutMs / 1000);
        ts.tv_nsec = static_cast<long>(timeoutMs % 1000) * 1000000L;
        limit = &ts;
    }
    // Not FUTEX_PRIVATE_FLAG: the word may live in memory shared with other processes.
    long rc = syscall(SYS_futex, word, FUTEX_WAIT, expected, limit, nullptr, 0);
    return !(rc != 0 && errno == ETIMEDOUT);
}

void px_futex_wake(std::uint32_t* word, int count) {
    syscall(SYS_futex, word, FUTEX_WAKE, count, nullptr, nullptr, 0);
}
