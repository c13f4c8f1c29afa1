// Event mutexes and their allocator: the descriptor's field encoding, open and
// close, the one-atomic free path and the event hand-over under contention.
#include "locks/mutex.h"

#include <cstring>

#include "platform/atomic.h"
#include "platform/event.h"
#include "platform/heap.h"
#include "platform/process.h"

// ---------------------------------------------------------------------------
// Descriptor fields.
//
// A descriptor lies in shared memory, so its three 4-byte fields can be read by
// any process that maps the block, and written by any of them. Only the process
// that opened a descriptor may give its fields a meaning.
//
// Where pointers and handles fit in 32 bits, the fields are the name pointer,
// the event handle and the lock-word pointer themselves. The 12 bytes leave no
// room for anything to check them by, so there they are taken as they stand.
//
// Where they are wider, each field holds a tag byte and a slot number (index+1)
// into this process's descriptor registry, which keeps the real values together
// with the address of the descriptor the slot was opened for:
//
//     name     = 'N' << 24 | slot      event = 'E' << 24 | slot
//     lockWord = 'L' << 24 | slot      slot  = registry index + 1
//
// A value is believed only when its slot is in range, the slot is in use, the
// slot was opened for this very descriptor address and all three fields agree.
// Anything else, such as values another process wrote or a stale copy, reads as
// a closed descriptor, so no foreign value is ever dereferenced.
// ---------------------------------------------------------------------------
namespace {

constexpr bool FIELDS_HOLD_RAW_VALUES = sizeof(void*) <= 4 && sizeof(OsHandle) <= 4;

// Open descriptors per process: the lock section's two tables (1600) plus the
// queue blocks of a server or client, with room to spare.
constexpr std::uint32_t REGISTRY_SLOTS = 4096;
constexpr std::uint32_t SLOT_MASK = 0x00FFFFFFu;
constexpr std::uint32_t TAG_NAME = 0x4Eu;
constexpr std::uint32_t TAG_EVENT = 0x45u;
constexpr std::uint32_t TAG_LOCK_WORD = 0x4Cu;

// One registry slot. owner is null while the slot is free; the open that claims
// it fills the other fields before it publishes the descriptor's fields.
// Each field is touched only through platform/atomic.h: another thread of this
// process may open or close a descriptor meanwhile.
struct RegistrySlot {
    const EventMutex* owner;
    char* name;
    OsHandle event;
    volatile std::int32_t* lockWord;
};
static_assert(OS_ATOMIC_LOCK_FREE<const EventMutex*> && OS_ATOMIC_LOCK_FREE<OsHandle>,
              "a registry slot is claimed and read without a lock");

RegistrySlot registry[REGISTRY_SLOTS];  // unused where the fields hold raw values
// One past the highest slot ever claimed; slots are claimed lowest first, so
// searches by owner stop here instead of walking the whole registry.
std::uint32_t slotsEverUsed = 0;

// What an open descriptor stands for in this process.
struct OpenFields {
    char* name;
    OsHandle event;
    volatile std::int32_t* lockWord;
};

constexpr std::uint32_t Code(std::uint32_t tag, std::uint32_t slot) {
    return (tag << 24) | slot;
}

std::uint32_t LoadField(const std::uint32_t* field) {
    return OsAtomicLoad(field);
}

void StoreField(std::uint32_t* field, std::uint32_t value) {
    OsAtomicStore(field, value);
}

void ClearFields(EventMutex* mutex) {
    StoreField(&mutex->name, 0);
    StoreField(&mutex->event, 0);
    StoreField(&mutex->lockWord, 0);
}

// Registry index of a wide-mode descriptor that this process opened, or -1.
std::int32_t SlotOf(const EventMutex* mutex) {
    std::uint32_t name = LoadField(&mutex->name);
    std::uint32_t slot = name & SLOT_MASK;
    if ((name >> 24) != TAG_NAME || slot == 0 || slot > REGISTRY_SLOTS) {
        return -1;
    }
    if (LoadField(&mutex->event) != Code(TAG_EVENT, slot) ||
        LoadField(&mutex->lockWord) != Code(TAG_LOCK_WORD, slot)) {
        return -1;
    }
    std::uint32_t index = slot - 1;
    if (OsAtomicLoad(&registry[index].owner) != mutex) {
        return -1;
    }
    return static_cast<std::int32_t>(index);
}

// Reads the descriptor. False when it is closed, or holds values this process
// did not store there.
bool Decode(const EventMutex* mutex, OpenFields* out) {
    if (mutex == nullptr) {
        return false;
    }
    if constexpr (FIELDS_HOLD_RAW_VALUES) {
        out->name = reinterpret_cast<char*>(static_cast<std::uintptr_t>(LoadField(&mutex->name)));
        out->event = static_cast<OsHandle>(LoadField(&mutex->event));
        out->lockWord = reinterpret_cast<volatile std::int32_t*>(
            static_cast<std::uintptr_t>(LoadField(&mutex->lockWord)));
    } else {
        std::int32_t index = SlotOf(mutex);
        if (index < 0) {
            return false;
        }
        const RegistrySlot& slot = registry[index];
        out->name = OsAtomicLoadRelaxed(&slot.name);
        out->event = OsAtomicLoadRelaxed(&slot.event);
        out->lockWord = OsAtomicLoadRelaxed(&slot.lockWord);
    }
    return out->name != nullptr && out->event != OS_NO_HANDLE && out->lockWord != nullptr;
}

// Writes an open descriptor's fields. False (descriptor untouched) when the
// registry has no free slot.
bool Encode(EventMutex* mutex, const OpenFields& fields) {
    if constexpr (FIELDS_HOLD_RAW_VALUES) {
        StoreField(&mutex->lockWord,
                   static_cast<std::uint32_t>(reinterpret_cast<std::uintptr_t>(fields.lockWord)));
        StoreField(&mutex->event, static_cast<std::uint32_t>(fields.event));
        StoreField(&mutex->name,
                   static_cast<std::uint32_t>(reinterpret_cast<std::uintptr_t>(fields.name)));
        return true;
    } else {
        for (std::uint32_t index = 0; index < REGISTRY_SLOTS; ++index) {
            RegistrySlot& slot = registry[index];
            const EventMutex* expected = nullptr;
            if (OsAtomicLoadRelaxed(&slot.owner) != nullptr ||
                !OsAtomicCompareExchange(&slot.owner, &expected,
                                         static_cast<const EventMutex*>(mutex))) {
                continue;
            }
            std::uint32_t used = OsAtomicLoadRelaxed(&slotsEverUsed);
            while (used < index + 1 && !OsAtomicCompareExchange(&slotsEverUsed, &used, index + 1)) {
            }
            OsAtomicStoreRelaxed(&slot.name, fields.name);
            OsAtomicStoreRelaxed(&slot.event, fields.event);
            OsAtomicStoreRelaxed(&slot.lockWord, fields.lockWord);
            // name last: it is what marks the descriptor open.
            StoreField(&mutex->lockWord, Code(TAG_LOCK_WORD, index + 1));
            StoreField(&mutex->event, Code(TAG_EVENT, index + 1));
            StoreField(&mutex->name, Code(TAG_NAME, index + 1));
            return true;
        }
        return false;
    }
}

void FreeSlot(RegistrySlot& slot) {
    SharedFree(OsAtomicLoadRelaxed(&slot.name));
    OsCloseHandle(OsAtomicLoadRelaxed(&slot.event));
    OsAtomicStoreRelaxed<char*>(&slot.name, nullptr);
    OsAtomicStoreRelaxed(&slot.event, OS_NO_HANDLE);
    OsAtomicStoreRelaxed<volatile std::int32_t*>(&slot.lockWord, nullptr);
    OsAtomicStore<const EventMutex*>(&slot.owner, nullptr);
}

// Clears the descriptor and frees what this process opened for it: its name
// copy, its event handle and its registry slot. A slot whose descriptor's
// fields were overwritten (another process can write them) is found by the
// descriptor's address, so tampering cannot make this process leak it.
void Release(EventMutex* mutex) {
    if constexpr (FIELDS_HOLD_RAW_VALUES) {
        OpenFields fields;
        bool open = Decode(mutex, &fields);
        ClearFields(mutex);
        if (open) {
            SharedFree(fields.name);
            OsCloseHandle(fields.event);
        }
    } else {
        std::int32_t index = SlotOf(mutex);
        ClearFields(mutex);
        if (index >= 0) {
            FreeSlot(registry[index]);
            return;
        }
        std::uint32_t used = OsAtomicLoadRelaxed(&slotsEverUsed);
        for (std::uint32_t i = 0; i < used; ++i) {
            if (OsAtomicLoad(&registry[i].owner) == mutex) {
                FreeSlot(registry[i]);
            }
        }
    }
}

// The hand-over reaches a waiter through the event, which a backend may build
// from primitives the language's memory model does not see. An acquire load of
// the lock word pairs with the releaser's decrement, so the previous holder's
// writes are visible to the new holder whatever the event is made of.
void TakeHandOver(volatile std::int32_t* lockWord) {
    (void)OsAtomicLoad(lockWord);
}

void NoteHold(EventMutexHold* hold, const OpenFields& fields) {
    if (hold != nullptr) {
        *hold = EventMutexHold{fields.lockWord, fields.event};
    }
}

}  // namespace

void* SharedAlloc(std::uint32_t size, std::uint32_t count) {
    // The product is computed wide: a 32-bit product that wraps would hand out
    // a block smaller than the caller asked for.
    std::uint64_t bytes = static_cast<std::uint64_t>(size) * count;
    if (bytes > static_cast<std::uint64_t>(SIZE_MAX) || bytes > 0xFFFFFFFFu) {
        return nullptr;
    }
    std::size_t n = static_cast<std::size_t>(bytes);
    void* block = OsHeapAllocZeroed(n, false);
    if (block == nullptr) {
        OsHeapCompact(n);
        block = OsHeapAllocZeroed(n, true);
    }
    return block;
}

void SharedFree(void* block) {
    if (block != nullptr) {
        OsHeapFree(block);
    }
}

bool EventMutexIsOpen(const EventMutex* mutex) {
    OpenFields fields;
    return Decode(mutex, &fields);
}

std::int32_t OpenEventMutex(EventMutex* mutex, volatile std::int32_t* lockWord, const char* name) {
    if (mutex == nullptr || lockWord == nullptr || name == nullptr) {
        return -1;
    }
    // Opening an open descriptor again would lose its name copy, its event
    // handle and its registry slot.
    if (EventMutexIsOpen(mutex)) {
        return -1;
    }
    Release(mutex);  // what an overwritten earlier open of it left behind
    std::size_t length = std::strlen(name);
    if (length >= 0xFFFFFFFFu) {
        return -1;
    }
    char* copy = static_cast<char*>(SharedAlloc(static_cast<std::uint32_t>(length + 1), 1));
    if (copy == nullptr) {
        return -1;
    }
    std::memcpy(copy, name, length + 1);
    // Auto-reset and unsignalled; an existing event of that name is opened as it
    // is, so a hand-over pending on it survives this open.
    OsHandle event = OsCreateEvent(copy, false, false);
    if (event == OS_NO_HANDLE) {
        SharedFree(copy);
        return -1;
    }
    if (!Encode(mutex, OpenFields{copy, event, lockWord})) {
        OsCloseHandle(event);
        SharedFree(copy);
        return -1;
    }
    return 0;
}

void CloseEventMutex(EventMutex* mutex) {
    if (mutex == nullptr) {
        return;
    }
    Release(mutex);
}

void AcquireEventMutex(EventMutex* mutex, EventMutexHold* hold) {
    OpenFields fields;
    if (!Decode(mutex, &fields)) {
        return;  // closed: there is no lock to take
    }
    NoteHold(hold, fields);
    if (OsInterlockedIncrement(fields.lockWord) == 0) {
        return;
    }
    OsWaitForObject(fields.event, OS_INFINITE);
    TakeHandOver(fields.lockWord);
}

void ReleaseEventMutex(EventMutex* mutex) {
    OpenFields fields;
    if (!Decode(mutex, &fields)) {
        return;
    }
    ReleaseHeldEventMutex(EventMutexHold{fields.lockWord, fields.event});
}

void ReleaseHeldEventMutex(const EventMutexHold& hold) {
    if (OsInterlockedDecrement(hold.lockWord) < 0) {
        return;
    }
    OsSetEvent(hold.event);
}

// Giving up leaves this caller counted in the lock word: taking the count back
// would race with a releaser that has already counted it and is about to set
// the event. From then on the word reads one higher than the real state. The
// owner has ended, so the lock's data belongs to nobody any more:
//  - if the dead owner held the lock, every later acquirer waits too (and,
//    through this call, gives up again after one poll step); the block is
//    dead and only its removal ends that;
//  - if another party held it and hands it over later, the event stays set
//    for the next acquirer, who then passes; the lock keeps excluding, every
//    later acquire just goes through the event.
std::int32_t AcquireEventMutexUnlessEnded(EventMutex* mutex, OsHandle owner, std::uint32_t pollMs) {
    return AcquireEventMutexWithin(mutex, owner, pollMs, OS_INFINITE);
}

std::int32_t AcquireEventMutexWithin(EventMutex* mutex, OsHandle owner, std::uint32_t pollMs,
                                     std::uint32_t limitMs, EventMutexHold* hold) {
    OpenFields fields;
    if (!Decode(mutex, &fields)) {
        return -1;
    }
    NoteHold(hold, fields);
    if (OsInterlockedIncrement(fields.lockWord) == 0) {
        return 0;
    }
    return WaitPendingEventMutex(mutex, owner, pollMs, limitMs, hold);
}

std::int32_t WaitPendingEventMutex(EventMutex* mutex, OsHandle owner, std::uint32_t pollMs,
                                   std::uint32_t limitMs, EventMutexHold* hold) {
    OpenFields fields;
    if (!Decode(mutex, &fields)) {
        return -1;
    }
    NoteHold(hold, fields);
    const std::uint32_t step = pollMs == 0 ? 1 : pollMs;
    std::uint32_t waited = 0;
    for (;;) {
        // No step runs past the limit; a limit of 0 still looks once.
        std::uint32_t wait = step;
        if (limitMs != OS_INFINITE && limitMs - waited < wait) {
            wait = limitMs - waited;
        }
        std::uint32_t result = OsWaitForObject(fields.event, wait);
        if (result == OS_WAIT_OBJECT_0) {
            TakeHandOver(fields.lockWord);
            return 0;
        }
        if (result != OS_WAIT_TIMEOUT) {
            return -1;  // the event cannot be waited on: the lock can never come
        }
        // No handle (a process this one cannot open): counted as alive, so only
        // the limit ends the wait. A handle whose state cannot be read: ended.
        bool ownerAlive =
            owner == OS_NO_HANDLE || OsQueryProcessState(owner) == OsProcessState::Running;
        if (!ownerAlive) {
            // A hand-over may have arrived between the time-out and the check.
            if (OsWaitForObject(fields.event, 0) == OS_WAIT_OBJECT_0) {
                TakeHandOver(fields.lockWord);
                return 0;
            }
            return -1;
        }
        waited += wait;
        if (limitMs != OS_INFINITE && waited >= limitMs) {
            return EVENT_MUTEX_PENDING;
        }
    }
}

std::int32_t CompletePendingEventMutex(EventMutex* mutex, OsHandle owner, EventMutexHold* hold) {
    OpenFields fields;
    if (!Decode(mutex, &fields)) {
        return -1;
    }
    NoteHold(hold, fields);
    if (OsWaitForObject(fields.event, 0) == OS_WAIT_OBJECT_0) {
        TakeHandOver(fields.lockWord);
        return 0;
    }
    // No handle: counted as alive; a handle whose state cannot be read: as ended.
    if (owner != OS_NO_HANDLE && OsQueryProcessState(owner) != OsProcessState::Running) {
        return -1;
    }
    return EVENT_MUTEX_PENDING;
}

std::int32_t BeginEventMutexAcquire(EventMutex* mutex, EventMutexHold* hold) {
    OpenFields fields;
    if (!Decode(mutex, &fields)) {
        return -1;
    }
    NoteHold(hold, fields);
    return OsInterlockedIncrement(fields.lockWord) == 0 ? 0 : EVENT_MUTEX_PENDING;
}

std::int32_t WaitPendingEventMutex(EventMutex* mutex, std::uint32_t waitMs, EventMutexHold* hold) {
    OpenFields fields;
    if (!Decode(mutex, &fields)) {
        return -1;
    }
    NoteHold(hold, fields);
    switch (OsWaitForObject(fields.event, waitMs)) {
        case OS_WAIT_OBJECT_0:
            TakeHandOver(fields.lockWord);
            return 0;
        case OS_WAIT_TIMEOUT:
            return EVENT_MUTEX_PENDING;
        default:
            return -1;
    }
}

std::int32_t ReclaimEventMutex(EventMutex* mutex, EventMutexHold* hold) {
    OpenFields fields;
    if (!Decode(mutex, &fields)) {
        return -1;
    }
    NoteHold(hold, fields);
    // Nobody else is left to hand the lock over or to wait for it, so a signal
    // on the event can only be stale; taken now, it cannot let a later waiter
    // in while the lock is held.
    (void)OsWaitForObject(fields.event, 0);
    OsAtomicStore(fields.lockWord, std::int32_t{0});
    return 0;
}
