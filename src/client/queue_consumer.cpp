// The client side of the event queue: this process's own block (opened with the
// client's descriptor, created and initialised when the client comes first), its
// wake event, and the taking of records under the block's lock.
//
// The lock wait is bounded and never trusts a holder that is gone. Only this
// process and the servers that map its block ever take the block's lock, and
// this process lets one thread at a time in (takeGate). While waiting, each
// CLIENT_LOCK_STEP_MS it asks the platform whether any other open of the block
// still exists: when none does, no server maps it any more (a server killed
// while it held the lock leaves it held for good), nobody alive can hand the
// lock over, and the lock is taken back. A server that lives but keeps the lock
// (a stopped one) costs a take at most CLIENT_LOCK_LIMIT_MS: the take then
// answers KQVXI_E_TIMEOUT, still counted as a waiter, and the next take goes on
// waiting for that hand-over instead of counting in again. Where the platform
// cannot tell (Win32), only that bound applies.
//
// A block that was already there when this process first opened its queue,
// with the client side left open by another process, belongs to an earlier
// process with the same pid: its ring, selections and lock are that process's.
// Takes find such a ring empty, without touching its lock, until a
// registration of this process was answered: the server gives the block of a
// new client the state of a new one at registration.
#include <cstdlib>

#include "client/queue_consumer.h"
#include "client/registration.h"
#include "kqvxi/client.h"
#include "locks/mutex.h"
#include "platform/atomic.h"
#include "platform/event.h"
#include "platform/mapping.h"
#include "platform/process.h"
#include "queue/asyncque.h"
#include "queue/block_mapping.h"

struct kqvxi_queue {
    OsHandle mapping;
    AsyncQueueBlock* block;
    EventMutex lock;  // this process's descriptor; the block's clientMutex is a copy
    OsHandle wake;
    // The block was left by an earlier process with this pid (see above).
    bool inherited;
};

namespace {

// Queues this process has open. The block's clientMutex shows the latest opened
// queue's descriptor and is cleared when the last one closes, so its name is
// non-zero exactly while the client side is open.
std::int32_t openQueues = 0;

// Steps and bound of a take's wait for the block's lock.
constexpr std::uint32_t CLIENT_LOCK_STEP_MS = 10;
constexpr std::uint32_t CLIENT_LOCK_LIMIT_MS = 500;

// An unnamed auto-reset event used as this process's lock around the block's
// lock: set while no thread of this process holds the block's lock or waits
// for it. Created by the first open, kept for the life of the process.
OsHandle takeGate = OS_NO_HANDLE;
// A take that timed out is still counted as a waiter in the lock word; the
// next take completes that acquire. Read and written under takeGate only (and
// atomically, since the gate is an event that race checkers do not see through).
std::int32_t acquirePending = 0;
// Non-zero once a registration request of this process was answered.
std::int32_t registrationAnswered = 0;

bool CreateTakeGate() {
    if (OsAtomicLoad(&takeGate) != OS_NO_HANDLE) {
        return true;
    }
    OsHandle gate = OsCreateEvent(nullptr, false, true);
    if (gate == OS_NO_HANDLE) {
        return false;
    }
    OsHandle expected = OS_NO_HANDLE;
    if (!OsAtomicCompareExchange(&takeGate, &expected, gate)) {
        OsCloseHandle(gate);  // another thread's open created it first
    }
    return true;
}

bool RingTrusted(const kqvxi_queue* queue) {
    return !queue->inherited || OsAtomicLoad(&registrationAnswered) != 0;
}

// Takes the block's lock; the caller holds takeGate. KQVXI_OK with *hold
// filled, KQVXI_E_TIMEOUT (a live holder kept it past the bound; the acquire
// stays pending), or KQVXI_E_SYSTEM (a closed descriptor or an event that
// cannot be waited on).
int LockBlock(kqvxi_queue* queue, EventMutexHold* hold) {
    std::int32_t got = OsAtomicLoad(&acquirePending) != 0
                           ? EVENT_MUTEX_PENDING
                           : BeginEventMutexAcquire(&queue->lock, hold);
    std::uint32_t waited = 0;
    while (got == EVENT_MUTEX_PENDING) {
        OsAtomicStore(&acquirePending, std::int32_t{1});
        got = WaitPendingEventMutex(&queue->lock, CLIENT_LOCK_STEP_MS, hold);
        if (got != EVENT_MUTEX_PENDING) {
            break;
        }
        if (OsQueryMappingSharing(queue->mapping) == OsMappingSharing::Alone) {
            got = ReclaimEventMutex(&queue->lock, hold);
            break;
        }
        waited += CLIENT_LOCK_STEP_MS;
        if (waited >= CLIENT_LOCK_LIMIT_MS) {
            return KQVXI_E_TIMEOUT;
        }
    }
    if (got == 0) {
        OsAtomicStore(&acquirePending, std::int32_t{0});
        return KQVXI_OK;
    }
    return KQVXI_E_SYSTEM;
}

void ReleaseQueue(kqvxi_queue* queue) {
    CloseEventMutex(&queue->lock);
    if (queue->wake != OS_NO_HANDLE) {
        OsCloseHandle(queue->wake);
    }
    if (queue->block != nullptr) {
        OsUnmapView(queue->block);
    }
    if (queue->mapping != OS_NO_HANDLE) {
        OsCloseHandle(queue->mapping);
    }
    std::free(queue);
}

}  // namespace

void NoteRegistrationAnswered() {
    OsAtomicStore(&registrationAnswered, std::int32_t{1});
}

OsHandle QueueWakeEvent(const kqvxi_queue* queue) {
    return queue->wake;
}

bool QueueMayHoldRecords(const kqvxi_queue* queue) {
    if (!RingTrusted(queue)) {
        return false;
    }
    return OsVolatileLoad(&queue->block->readIndex) != OsVolatileLoad(&queue->block->writeIndex);
}

extern "C" kqvxi_queue* kqvxi_queue_open(void) {
    auto* queue = static_cast<kqvxi_queue*>(std::calloc(1, sizeof(kqvxi_queue)));
    if (queue == nullptr) {
        return nullptr;
    }
    if (!CreateTakeGate()) {
        std::free(queue);
        return nullptr;
    }
    std::uint32_t pid = OsCurrentProcessId();
    bool existed = false;
    queue->block = MapQueueBlock(pid, &queue->mapping, &existed);
    if (queue->block == nullptr) {
        ReleaseQueue(queue);
        return nullptr;
    }
    // Read before this open publishes its own descriptor.
    queue->inherited = existed && OsAtomicLoad(&openQueues) == 0 &&
                       OsVolatileLoad(&queue->block->clientMutex.name) != 0;
    char name[CLIENT_OBJECT_NAME_SIZE];
    FormatClientObjectName(name, pid, BLOCK_LOCK_NAME_SUFFIX);
    if (OpenEventMutex(&queue->lock, &queue->block->lockCount, name) != 0) {
        ReleaseQueue(queue);
        return nullptr;
    }
    // The same auto-reset event that the server creates when this client registers.
    FormatClientObjectName(name, pid, CLIENT_WAKE_NAME_SUFFIX);
    queue->wake = OsCreateEvent(name, false, false);
    if (queue->wake == OS_NO_HANDLE) {
        ReleaseQueue(queue);
        return nullptr;
    }
    OsInterlockedIncrement(&openQueues);
    PublishDescriptor(queue->block, SIDE_CLIENT, queue->lock);
    return queue;
}

extern "C" int kqvxi_queue_wait(kqvxi_queue* queue, uint32_t timeoutMs) {
    if (queue == nullptr) {
        return KQVXI_E_ARG;
    }
    switch (OsWaitForObject(queue->wake, timeoutMs)) {
        case OS_WAIT_OBJECT_0:
            return 1;
        case OS_WAIT_TIMEOUT:
            return 0;
        default:
            return KQVXI_E_SYSTEM;
    }
}

extern "C" int kqvxi_queue_take(kqvxi_queue* queue, kqvxi_record* record) {
    if (queue == nullptr || record == nullptr) {
        return KQVXI_E_ARG;
    }
    if (!RingTrusted(queue)) {
        return KQVXI_E_EMPTY;
    }
    OsWaitForObject(takeGate, OS_INFINITE);  // other threads of this process: bounded
    EventMutexHold hold{};
    int status = LockBlock(queue, &hold);
    if (status == KQVXI_OK) {
        if (TakeRecord(queue->block, &record->code, &record->arg1, &record->arg2, &record->arg3) !=
            QUEUE_OK) {
            status = KQVXI_E_EMPTY;
        }
        ReleaseHeldEventMutex(hold);
    }
    OsSetEvent(takeGate);
    return status;
}

extern "C" int kqvxi_queue_drain(kqvxi_queue* queue, kqvxi_record* records, int max) {
    if (queue == nullptr || records == nullptr || max < 0) {
        return KQVXI_E_ARG;
    }
    if (!RingTrusted(queue)) {
        return 0;
    }
    OsWaitForObject(takeGate, OS_INFINITE);  // other threads of this process: bounded
    EventMutexHold hold{};
    int status = LockBlock(queue, &hold);
    int taken = 0;
    if (status == KQVXI_OK) {
        while (taken < max) {
            kqvxi_record* r = &records[taken];
            if (TakeRecord(queue->block, &r->code, &r->arg1, &r->arg2, &r->arg3) != QUEUE_OK) {
                break;
            }
            ++taken;
        }
        ReleaseHeldEventMutex(hold);
    }
    OsSetEvent(takeGate);
    return status == KQVXI_OK ? taken : status;
}

extern "C" void kqvxi_queue_close(kqvxi_queue* queue) {
    if (queue == nullptr) {
        return;
    }
    if (OsInterlockedDecrement(&openQueues) == 0) {
        const EventMutex closed = {0, 0, 0};
        PublishDescriptor(queue->block, SIDE_CLIENT, closed);
    }
    ReleaseQueue(queue);
}
