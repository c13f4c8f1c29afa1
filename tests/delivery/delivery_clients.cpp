// Registration of test clients straight into the client table (see delivery_clients.h).
#include "delivery_clients.h"

#include <gtest/gtest.h>
#include <iomanip>

#include "locks/mutex.h"
#include "platform/event.h"
#include "platform/process.h"
#include "queue/asyncque.h"
#include "queue/lifecycle.h"
#include "support/client_slots.h"

namespace {

// Test process ids lie above every real one (bit 31 set) and carry this
// process's id, so parallel test processes never share a block name; the
// counter keeps a re-registered slot from finding an old block.
std::uint32_t NextTestPid() {
    static std::uint32_t counter = 0;
    counter = (counter + 1) & 0x1FFu;
    return 0x80000000u | ((OsCurrentProcessId() & 0x3FFFFFu) << 9) | counter;
}

}  // namespace

std::ostream& operator<<(std::ostream& out, const TestRecord& r) {
    return out << std::hex << "{0x" << r.code << ", 0x" << r.arg1 << ", 0x" << r.arg2 << ", 0x"
               << r.arg3 << "}" << std::dec;
}

AsyncQueueBlock* RegisterTestClient(std::uint32_t slot) {
    OsHandle wake = OsCreateEvent(nullptr, false, false);
    EXPECT_NE(wake, OS_NO_HANDLE);
    AsyncQueueBlock* block = PlantClient(slot, NextTestPid(), OS_NO_HANDLE, wake);
    EXPECT_NE(block, nullptr) << "slot " << slot;
    if (block == nullptr) {
        OsCloseHandle(wake);
    }
    return block;
}

void UnregisterTestClient(std::uint32_t slot) {
    if (clientTable.clientBlocks[slot] == nullptr) {
        return;
    }
    RemovePlantedClient(slot, true);
}

void UnregisterAllTestClients() {
    for (std::uint32_t slot = 0; slot < MAX_CLIENTS; ++slot) {
        UnregisterTestClient(slot);
    }
}

std::vector<TestRecord> TakeAll(std::uint32_t slot) {
    std::vector<TestRecord> records;
    AsyncQueueBlock* block = SlotView(slot);
    if (block == nullptr) {
        return records;
    }
    EventMutex* lock = SlotLock(slot);
    AcquireEventMutex(lock);
    TestRecord r{};
    while (TakeRecord(block, &r.code, &r.arg1, &r.arg2, &r.arg3) == QUEUE_OK) {
        records.push_back(r);
    }
    ReleaseEventMutex(lock);
    return records;
}

bool TakeWake(std::uint32_t slot) {
    return OsWaitForObject(clientTable.wakeEvents[slot], 0) == OS_WAIT_OBJECT_0;
}

void SelectEverything(AsyncQueueBlock* block) {
    block->enableClass0 = 1;
    block->enableClass2 = 1;
    block->enableClass3 = 1;
    block->enableClass4 = 1;
    block->enableClass5 = 1;
    block->enableClass6 = 1;
    for (std::uint16_t& entry : block->levelMask) {
        entry = 0xFFFF;
    }
    for (std::uint16_t& entry : block->sourceMask) {
        entry = 0xFFFF;
    }
    for (std::uint16_t& entry : block->channelMask) {
        entry = 0xFFFF;
    }
}
