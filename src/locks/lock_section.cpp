// The lock section: this process's two tables of 800 event mutexes, one over the
// words of the named section every process shares, one over private words.
#include <cstring>

#include "locks/mutex.h"
#include "platform/atomic.h"
#include "platform/mapping.h"

namespace {

constexpr const char* SECTION_NAME = "Mutex Shared Memory Section";
// Held across "create or open, then free the words", so that a process opening
// the section never sees the zero-filled words of a creator that has not yet
// freed them (0 reads as held, and such a lock would never come free).
constexpr const char* SECTION_GUARD_NAME = "Mutex Shared Memory Section Guard";
constexpr std::uint32_t SECTION_BYTES = LOCK_TABLE_SIZE * sizeof(std::int32_t);
static_assert(SECTION_BYTES == 3200, "the named section holds exactly 800 lock words");

// Owned by whichever thread the caller keeps the section operations on; there
// is no lock of its own. sectionHandle alone says whether the section is created.
struct LockSection {
    OsHandle sectionHandle;
    volatile std::int32_t* sectionWords;  // view of the named section
    volatile std::int32_t* privateWords;  // SharedAlloc block of 800 words
    EventMutex sharedTable[LOCK_TABLE_SIZE];
    EventMutex privateTable[LOCK_TABLE_SIZE];
};

LockSection section;

bool Created() {
    return section.sectionHandle != OS_NO_HANDLE && section.sectionWords != nullptr;
}

// Creates or opens the section, maps it and frees the words of a new one; the
// caller holds the guard.
std::int16_t CreateSectionGuarded() {
    bool existed = false;
    OsHandle handle = OsCreateMapping(SECTION_NAME, SECTION_BYTES, &existed);
    if (handle == OS_NO_HANDLE) {
        return LOCK_PLATFORM_FAILED;
    }
    void* view = OsMapView(handle, SECTION_BYTES);
    if (view == nullptr) {
        OsCloseHandle(handle);
        return LOCK_PLATFORM_FAILED;
    }
    auto* words = static_cast<volatile std::int32_t*>(view);
    for (EventMutex& entry : section.sharedTable) {
        entry = EventMutex{0, 0, 0};
    }
    // Only the creator frees the words: a process that opens an existing
    // section takes them as they are, so locks other processes hold stay held.
    if (!existed) {
        for (std::uint32_t i = 0; i < LOCK_TABLE_SIZE; ++i) {
            OsAtomicStore(&words[i], LOCK_FREE);
        }
    }
    auto* privateWords = static_cast<volatile std::int32_t*>(SharedAlloc(SECTION_BYTES, 1));
    if (privateWords == nullptr) {
        OsUnmapView(view);
        OsCloseHandle(handle);
        return LOCK_PLATFORM_FAILED;
    }
    for (std::uint32_t i = 0; i < LOCK_TABLE_SIZE; ++i) {
        OsAtomicStore(&privateWords[i], LOCK_FREE);
    }
    section.sectionHandle = handle;
    section.sectionWords = words;
    section.privateWords = privateWords;
    return LOCK_OK;
}

}  // namespace

std::int16_t CreateLockSection() {
    if (section.sectionHandle != OS_NO_HANDLE) {
        return LOCK_ALREADY_CREATED;
    }
    OsHandle guard = CreateNamedMutex(SECTION_GUARD_NAME);
    if (guard == OS_NO_HANDLE) {
        return LOCK_PLATFORM_FAILED;
    }
    // An abandoned guard still serialises: its owner died before or while
    // freeing the words, and the section is opened as it stands.
    std::int16_t waited = WaitNamedMutex(guard, OS_INFINITE);
    if (waited != LOCK_OK && waited != LOCK_ABANDONED) {
        CloseNamedMutex(guard);
        return LOCK_PLATFORM_FAILED;
    }
    std::int16_t status = CreateSectionGuarded();
    ReleaseNamedMutex(guard);
    CloseNamedMutex(guard);
    return status;
}

std::int16_t DestroyLockSection() {
    if (!Created()) {
        return LOCK_NOT_CREATED;
    }
    for (std::uint32_t i = 0; i < LOCK_TABLE_SIZE; ++i) {
        CloseEventMutex(&section.sharedTable[i]);
        CloseEventMutex(&section.privateTable[i]);
    }
    if (!OsUnmapView(const_cast<std::int32_t*>(section.sectionWords))) {
        return LOCK_PLATFORM_FAILED;  // still created, every descriptor closed
    }
    // Once the view is gone the section must not count as created any more,
    // whatever closing the handle says: its words are no longer mapped.
    bool closed = OsCloseHandle(section.sectionHandle);
    SharedFree(const_cast<std::int32_t*>(section.privateWords));
    section.sectionHandle = OS_NO_HANDLE;
    section.sectionWords = nullptr;
    section.privateWords = nullptr;
    return closed ? LOCK_OK : LOCK_PLATFORM_FAILED;
}

EventMutex* AllocEventMutex(const char* name, std::int32_t sectionFlag) {
    if (name == nullptr || !Created()) {
        return nullptr;
    }
    EventMutex* table = sectionFlag != 0 ? section.sharedTable : section.privateTable;
    volatile std::int32_t* words = sectionFlag != 0 ? section.sectionWords : section.privateWords;
    for (std::uint32_t i = 0; i < LOCK_TABLE_SIZE; ++i) {
        if (table[i].name != 0) {
            continue;
        }
        // The index alone picks the word; on failure the entry stays free.
        return OpenEventMutex(&table[i], &words[i], name) == 0 ? &table[i] : nullptr;
    }
    return nullptr;
}

std::int16_t FreeEventMutex(EventMutex* mutex) {
    if (mutex == nullptr) {
        return LOCK_NULL_OR_FAILED;
    }
    if (!Created()) {
        return LOCK_NOT_CREATED;
    }
    CloseEventMutex(mutex);
    return LOCK_OK;
}
