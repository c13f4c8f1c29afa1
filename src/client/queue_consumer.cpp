// The client side of the event queue: this process's own block (opened with the
// client's descriptor, created and initialised when the client comes first), its
// wake event, and the taking of records under the block's lock.
#include <cstdlib>

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
};

namespace {

// Queues this process has open. The block's clientMutex shows the latest opened
// queue's descriptor and is cleared when the last one closes, so its name is
// non-zero exactly while the client side is open.
std::int32_t openQueues = 0;

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

extern "C" kqvxi_queue* kqvxi_queue_open(void) {
    auto* queue = static_cast<kqvxi_queue*>(std::calloc(1, sizeof(kqvxi_queue)));
    if (queue == nullptr) {
        return nullptr;
    }
    std::uint32_t pid = OsCurrentProcessId();
    queue->block = MapQueueBlock(pid, &queue->mapping);
    if (queue->block == nullptr) {
        ReleaseQueue(queue);
        return nullptr;
    }
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
    AcquireEventMutex(&queue->lock);
    std::uint32_t result =
        TakeRecord(queue->block, &record->code, &record->arg1, &record->arg2, &record->arg3);
    ReleaseEventMutex(&queue->lock);
    return result == QUEUE_OK ? KQVXI_OK : KQVXI_E_EMPTY;
}

extern "C" int kqvxi_queue_drain(kqvxi_queue* queue, kqvxi_record* records, int max) {
    if (queue == nullptr || records == nullptr || max < 0) {
        return KQVXI_E_ARG;
    }
    int taken = 0;
    AcquireEventMutex(&queue->lock);
    while (taken < max) {
        kqvxi_record* r = &records[taken];
        if (TakeRecord(queue->block, &r->code, &r->arg1, &r->arg2, &r->arg3) != QUEUE_OK) {
            break;
        }
        ++taken;
    }
    ReleaseEventMutex(&queue->lock);
    return taken;
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
