// The client commands (register, unregister, enable, disable, sweep) and the
// removal of the remaining clients at shutdown. Runs on the main thread only.
//
// The dispatch thread's handlers read clientTable and the blocks' flags and masks
// while these commands change them, so every entry and field a handler may read
// is written with a single atomic store. A slot is published last (its block
// pointer after the wake event and process handle exist) and withdrawn first:
// the pointer is cleared, the walkers that may still hold it are waited for, and
// only then are the block, the wake event and the process handle closed.
//
// The statistics object follows the table: a slot's entry is published just
// before its block (so no post counts into the previous client's values) and
// withdrawn just after it (so no post writes into a withdrawn entry), and what
// an enable or disable applied is mirrored once the block holds it.
#include "server/commands.h"

#include "delivery/rthndlr.h"
#include "platform/atomic.h"
#include "platform/event.h"
#include "platform/process.h"
#include "queue/asyncque.h"
#include "queue/block.h"
#include "queue/client_table.h"
#include "queue/lifecycle.h"
#include "queue/server_stats.h"
#include "server/entry.h"

namespace {

constexpr CommandOutcome CARRY_ON{0, false, false};
constexpr CommandOutcome COMMAND_FAILED{EXIT_COMMAND_FAILED, true, false};
constexpr CommandOutcome NO_WAKE_EVENT{EXIT_STARTUP_FAILED, true, true};

// Withdraws the slot's block from the dispatch thread. Sequentially consistent so
// that the store is ordered before the walk-guard check in WaitForTableWalkers;
// when that returns, no handler still holds the old pointer, and the slot's
// statistics entry is withdrawn too.
void WithdrawBlock(std::uint32_t slot) {
    OsAtomicStoreSeqCst<AsyncQueueBlock*>(&clientTable.clientBlocks[slot], nullptr);
    WaitForTableWalkers();
    WithdrawSlot(slot);
}

// The block's copy of the process handle is informational; the table's own handle
// is the one that is used and closed.
void CloseProcessHandle(std::uint32_t slot, AsyncQueueBlock* block) {
    if (block != nullptr) {
        block->processHandle = 0;
    }
    CloseAndClear(&clientTable.slots[slot].process);
}

// Frees a slot whose client has ended (the sweep, and a reused pid at register).
// The result of closing the block is ignored: the client is gone either way.
void FreeEndedClient(std::uint32_t slot) {
    AsyncQueueBlock* block = clientTable.clientBlocks[slot];
    WithdrawBlock(slot);
    CloseProcessHandle(slot, block);
    CloseQueueBlock(slot, SIDE_SERVER);
    CloseAndClear(&clientTable.wakeEvents[slot]);
    clientTable.clientCount -= 1;
}

// True when the slot's process is known to have ended. A slot without a process
// handle, or whose exit code cannot be read, counts as still running.
bool ClientHasEnded(std::uint32_t slot) {
    return OsQueryProcessState(clientTable.slots[slot].process) == OsProcessState::Ended;
}

CommandOutcome Register(std::uint32_t pid) {
    // One block must never be reachable from two slots. A pid that holds a slot
    // is either the same running client asking again (answered as it is, no
    // second slot) or a new process that got the id of one that ended unswept.
    std::uint32_t held = 0;
    if (FindClientSlot(pid, &held) == 0) {
        if (!ClientHasEnded(held)) {
            return CARRY_ON;
        }
        FreeEndedClient(held);
    }

    clientTable.clientCount += 1;
    std::uint32_t slot = 0;
    while (slot < MAX_CLIENTS && clientTable.clientBlocks[slot] != nullptr) {
        ++slot;
    }
    if (slot == MAX_CLIENTS) {
        return COMMAND_FAILED;
    }
    bool existed = false;
    AsyncQueueBlock* block = OpenQueueBlock(slot, pid, SIDE_SERVER, &existed);
    if (block == nullptr) {
        return COMMAND_FAILED;
    }

    OsHandle process = OsOpenProcess(pid);
    // This is a new client (the same live client asking again was answered
    // above). A block that was already there was opened first by this client
    // or kept by an earlier process with the same pid (whose slot was freed
    // above, or which another server still serves): what it holds may be that
    // process's records, selections and lock, never the new client's.
    if (existed) {
        RefreshQueueBlock(slot, process);
    }
    block->slot = slot;
    OsAtomicStore<OsHandle>(&clientTable.slots[slot].process, process);
    // The block keeps a 32-bit copy for its layout; nothing reads it back.
    block->processHandle = static_cast<std::uint32_t>(process);

    char name[CLIENT_OBJECT_NAME_SIZE];
    FormatClientObjectName(name, pid, CLIENT_WAKE_NAME_SUFFIX);
    OsHandle wake = OsCreateEvent(name, false, false);
    OsAtomicStore<OsHandle>(&clientTable.wakeEvents[slot], wake);
    // The counts and the statistics entry of the new registration start before
    // any post can reach the slot.
    ResetPostCounts(slot);
    PublishSlot(slot, pid);
    // Published only now, so the dispatch thread finds the wake event in place
    // with the block. On failure the block is still published, for shutdown to
    // remove it.
    OsAtomicStore<AsyncQueueBlock*>(&clientTable.clientBlocks[slot], block);
    if (wake == OS_NO_HANDLE) {
        return NO_WAKE_EVENT;
    }
    return CARRY_ON;
}

CommandOutcome Unregister(std::uint32_t pid) {
    std::uint32_t slot = 0;
    if (FindClientSlot(pid, &slot) != 0) {
        return COMMAND_FAILED;
    }
    PostEvent(pid, slot, CODE_UNREGISTERED, 0, 0, 0);

    AsyncQueueBlock* block = clientTable.clientBlocks[slot];
    WithdrawBlock(slot);
    CloseProcessHandle(slot, block);
    if (CloseQueueBlock(slot, SIDE_SERVER) < 0) {
        // The wake event stays open until shutdown, and the client stays counted.
        return COMMAND_FAILED;
    }
    CloseAndClear(&clientTable.wakeEvents[slot]);
    clientTable.clientCount -= 1;
    return CARRY_ON;
}

// One 16-bit mask entry of classes 7 to 9. Only the main thread writes masks, so
// the read-modify-write needs no lock; the store is atomic for the handlers.
void StoreMask(std::uint16_t* entry, std::uint32_t value) {
    OsAtomicStore<std::uint16_t>(entry, static_cast<std::uint16_t>(value));
}

void StoreFlag(std::uint32_t* flag, std::uint32_t value) {
    OsAtomicStore<std::uint32_t>(flag, value);
}

CommandOutcome SetClass(std::uint32_t pid, bool enable, std::uint32_t arg1, std::uint32_t arg2,
                        std::uint32_t* arg3) {
    std::uint32_t slot = 0;
    if (FindClientSlot(pid, &slot) != 0) {
        return COMMAND_FAILED;
    }
    AsyncQueueBlock* block = clientTable.clientBlocks[slot];
    const std::uint32_t eventClass = arg1 - EVENT_CODE_BASE;
    const std::uint32_t v = enable ? 1u : 0u;
    if (eventClass >= CLASS_COUNT) {
        return CARRY_ON;
    }
    // A mask index outside its table changes nothing and the request is answered
    // as received; only the table itself may ever be written.
    if ((eventClass == CLASS_LEVEL && arg2 >= LEVEL_MASK_ENTRIES) ||
        (eventClass == CLASS_SOURCE_LEVEL && arg2 >= SOURCE_MASK_ENTRIES) ||
        (eventClass == CLASS_CHANNEL && arg2 >= CHANNEL_MASK_ENTRIES)) {
        return CARRY_ON;
    }

    if (eventClass < FLAG_CLASS_COUNT) {
        // Class 1 has no flag: every registered client receives it.
        std::uint32_t AsyncQueueBlock::*flag = CLASS_FLAGS[eventClass];
        if (flag != nullptr) {
            StoreFlag(&(block->*flag), v);
            PublishFlagClass(slot, eventClass, enable);
        }
    } else if (eventClass == CLASS_CHANNEL) {
        // The reply carries the number the channel counts as (50 -> 14, 60 -> 15).
        const std::uint32_t bit = ChannelBit(*arg3);
        *arg3 = ChannelNumber(*arg3);
        std::uint16_t* entry = &block->channelMask[arg2];
        const std::uint32_t old = *entry;
        const std::uint32_t applied = enable ? (old | bit) : (old & ~bit);
        StoreMask(entry, applied);
        PublishMaskEntry(slot, eventClass, arg2, static_cast<std::uint16_t>(applied));
    } else {
        // A disable keeps only bits 0 to 6 (levels 1 to 7) of what it leaves.
        std::uint16_t* entry =
            eventClass == CLASS_LEVEL ? &block->levelMask[arg2] : &block->sourceMask[arg2];
        const std::uint32_t old = *entry;
        const std::uint32_t applied = enable ? (old | (*arg3 & 0xFFFFu)) : (old & ~*arg3 & 0x7Fu);
        StoreMask(entry, applied);
        PublishMaskEntry(slot, eventClass, arg2, static_cast<std::uint16_t>(applied));
    }
    return CARRY_ON;
}

void Sweep(std::uint32_t* arg1) {
    for (std::uint32_t slot = 0; slot < MAX_CLIENTS; ++slot) {
        if (clientTable.clientBlocks[slot] != nullptr && ClientHasEnded(slot)) {
            FreeEndedClient(slot);
        }
    }
    *arg1 = static_cast<std::uint32_t>(clientTable.clientCount);
}

}  // namespace

CommandOutcome RunClientCommand(std::uint32_t pid, std::uint32_t command, std::uint32_t* arg1,
                                std::uint32_t* arg2, std::uint32_t* arg3) {
    switch (command) {
        case CMD_REGISTER:
            return Register(pid);
        case CMD_UNREGISTER:
        case CMD_STOP_UNREGISTER:
            return Unregister(pid);
        case CMD_ENABLE:
        case CMD_DISABLE:
            return SetClass(pid, command == CMD_ENABLE, *arg1, *arg2, arg3);
        case CMD_SWEEP:
            Sweep(arg1);
            return CARRY_ON;
        default:
            return CARRY_ON;
    }
}

void RemoveAllClients() {
    for (std::uint32_t slot = 0; slot < MAX_CLIENTS; ++slot) {
        AsyncQueueBlock* block = clientTable.clientBlocks[slot];
        if (block != nullptr) {
            WithdrawBlock(slot);
            CloseQueueBlock(slot, SIDE_SERVER);
        }
        CloseAndClear(&clientTable.wakeEvents[slot]);
        CloseAndClear(&clientTable.slots[slot].process);
    }
}

void CloseAndClear(OsHandle* handle) {
    if (*handle != OS_NO_HANDLE) {
        OsCloseHandle(*handle);
        OsAtomicStore<OsHandle>(handle, OS_NO_HANDLE);
    }
}
