// The naming of a client's objects, the mapping of its named block, and the
// writing of a side's lock descriptor into the block: shared by the server's slot
// lifecycle and the client library's queue.
#include "queue/block_mapping.h"

#include <cassert>
#include <cstdio>
#include <cstring>

#include "platform/atomic.h"
#include "platform/mapping.h"
#include "queue/asyncque.h"

void FormatClientObjectName(char* buf, std::uint32_t pid, const char* suffix) {
    assert(buf != nullptr && suffix != nullptr);
    std::snprintf(buf, CLIENT_OBJECT_NAME_SIZE, "X%lx%s", static_cast<unsigned long>(pid), suffix);
}

AsyncQueueBlock* MapQueueBlock(std::uint32_t pid, OsHandle* mapping, bool* existedOut) {
    if (existedOut != nullptr) {
        *existedOut = false;
    }
    char name[CLIENT_OBJECT_NAME_SIZE];
    FormatClientObjectName(name, pid, BLOCK_NAME_SUFFIX);
    bool existed = false;
    OsHandle handle = OsCreateMapping(name, QUEUE_BLOCK_SIZE, &existed);
    if (handle == OS_NO_HANDLE) {
        return nullptr;
    }
    void* view = OsMapView(handle, QUEUE_BLOCK_SIZE);
    if (view == nullptr) {
        OsCloseHandle(handle);
        return nullptr;
    }
    auto* block = static_cast<AsyncQueueBlock*>(view);
    if (!existed) {
        // Only the creator initialises; an opener keeps whatever the block holds.
        std::memset(view, 0, QUEUE_BLOCK_SIZE);
        block->lockCount = LOCK_FREE;
        block->ownerPid = pid;
        ResetQueue(block);
    }
    *mapping = handle;
    if (existedOut != nullptr) {
        *existedOut = existed;
    }
    return block;
}

void PublishDescriptor(AsyncQueueBlock* block, Side side, const EventMutex& mine) {
    EventMutex* shared = side == SIDE_SERVER ? &block->serverMutex : &block->clientMutex;
    OsVolatileStore(&shared->name, mine.name);
    OsVolatileStore(&shared->event, mine.event);
    OsVolatileStore(&shared->lockWord, mine.lockWord);
}
