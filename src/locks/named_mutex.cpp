// Thin wrappers over the platform's named mutexes, with the lock module's status values.
#include "locks/mutex.h"
#include "platform/named_mutex.h"

OsHandle CreateNamedMutex(const char* name) {
    return OsCreateMutex(name);
}

std::int16_t WaitNamedMutex(OsHandle mutex, std::uint32_t timeoutMs) {
    switch (OsWaitForObject(mutex, timeoutMs)) {
        case OS_WAIT_OBJECT_0:
            return LOCK_OK;
        case OS_WAIT_ABANDONED:
            return LOCK_ABANDONED;
        case OS_WAIT_TIMEOUT:
            return LOCK_TIMEOUT;
        default:
            return LOCK_PLATFORM_FAILED;
    }
}

std::int16_t ReleaseNamedMutex(OsHandle mutex) {
    return OsReleaseMutex(mutex) ? LOCK_OK : LOCK_NULL_OR_FAILED;
}

std::int16_t CloseNamedMutex(OsHandle mutex) {
    return OsCloseHandle(mutex) ? LOCK_OK : LOCK_NULL_OR_FAILED;
}
