// Clients planted straight into the server's client table, as registration puts
// them there, and reads of a slot's record: the one place tests, fuzzers and
// benchmarks spell the table's layout.
#pragma once
#include <cstdint>
#include <vector>

#include "platform/atomic.h"
#include "platform/event.h"
#include "queue/client_table.h"
#include "queue/lifecycle.h"

// The slot's record and its fields.
inline SlotRecord& SlotOf(std::uint32_t slot) {
    return clientTable.slots[slot];
}
inline EventMutex* SlotLock(std::uint32_t slot) {
    return &clientTable.slots[slot].lock;
}
inline AsyncQueueBlock* SlotView(std::uint32_t slot) {
    return clientTable.slots[slot].view;
}
inline OsHandle SlotMapping(std::uint32_t slot) {
    return clientTable.slots[slot].mapping;
}
inline OsHandle SlotProcess(std::uint32_t slot) {
    return OsAtomicLoad(&clientTable.slots[slot].process);
}
inline void SetSlotProcess(std::uint32_t slot, OsHandle process) {
    OsAtomicStore(&clientTable.slots[slot].process, process);
}
// What posts have learnt about the slot's client (SlotRecord::state).
inline bool SlotAbandoned(std::uint32_t slot) {
    return (OsAtomicLoad(&clientTable.slots[slot].state) & SLOT_ABANDONED) != 0;
}
inline bool SlotPending(std::uint32_t slot) {
    return (OsAtomicLoad(&clientTable.slots[slot].state) & SLOT_PENDING) != 0;
}
inline std::vector<OsHandle> AllSlotMappings() {
    std::vector<OsHandle> out;
    for (const SlotRecord& record : clientTable.slots) {
        out.push_back(record.mapping);
    }
    return out;
}
inline std::vector<AsyncQueueBlock*> AllSlotViews() {
    std::vector<AsyncQueueBlock*> out;
    for (const SlotRecord& record : clientTable.slots) {
        out.push_back(record.view);
    }
    return out;
}

// Publishes block in slot for the handlers and PostEvent (atomic store), or
// withdraws it with null.
inline void PublishClientBlock(std::uint32_t slot, AsyncQueueBlock* block) {
    OsAtomicStoreSeqCst(&clientTable.clientBlocks[slot], block);
}
inline void SetSlotWakeEvent(std::uint32_t slot, OsHandle wake) {
    OsAtomicStore(&clientTable.wakeEvents[slot], wake);
}

// The wake event registration would create for pid ("X" pid-hex + suffix).
inline OsHandle CreateClientWakeEvent(std::uint32_t pid) {
    char name[CLIENT_OBJECT_NAME_SIZE];
    FormatClientObjectName(name, pid, CLIENT_WAKE_NAME_SUFFIX);
    return OsCreateEvent(name, false, false);
}

// Opens slot's block for pid with the server side and fills the slot as
// registration does: the process handle (the caller's, may be none) and the wake
// event first, the block pointer last. wake OS_NO_HANDLE: the named event
// registration would create. Null when the block cannot be had (slot left free).
inline AsyncQueueBlock* PlantClient(std::uint32_t slot, std::uint32_t pid,
                                    OsHandle process = OS_NO_HANDLE, OsHandle wake = OS_NO_HANDLE) {
    AsyncQueueBlock* block = OpenQueueBlock(slot, pid, SIDE_SERVER);
    if (block == nullptr) {
        return nullptr;
    }
    SetSlotProcess(slot, process);
    SetSlotWakeEvent(slot, wake != OS_NO_HANDLE ? wake : CreateClientWakeEvent(pid));
    PublishClientBlock(slot, block);
    return block;
}

// Empties a planted slot: withdraws the block, waits for handlers that may hold
// it, closes the block and the wake event, and the process handle when
// closeProcess (otherwise it stays the caller's). CloseQueueBlock's result, or 0
// for a slot without a block open.
inline std::int16_t RemovePlantedClient(std::uint32_t slot, bool closeProcess = false) {
    PublishClientBlock(slot, nullptr);
    WaitForTableWalkers();
    OsHandle wake = OsAtomicExchange(&clientTable.wakeEvents[slot], OS_NO_HANDLE);
    OsHandle process = OsAtomicExchange(&clientTable.slots[slot].process, OS_NO_HANDLE);
    if (wake != OS_NO_HANDLE) {
        OsCloseHandle(wake);
    }
    if (closeProcess && process != OS_NO_HANDLE) {
        OsCloseHandle(process);
    }
    if (SlotView(slot) == nullptr && SlotMapping(slot) == OS_NO_HANDLE) {
        return 0;
    }
    return CloseQueueBlock(slot, SIDE_SERVER);
}
