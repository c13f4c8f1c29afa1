// The event handlers: each turns one driver event into one record for every
// registered client whose selections ask for it, in slot order, through PostEvent.
// They run on the dispatch thread only, one at a time, allocate nothing and block
// nowhere but in a block's lock inside PostEvent, for at most the stall budget's
// grant (5 ms per post, 25 ms in any second in all).
#include "delivery/rthndlr.h"

#include <cstdint>

#include "driver/kqvxint.h"
#include "platform/atomic.h"
#include "queue/asyncque.h"
#include "queue/block.h"
#include "queue/client_table.h"
#include "queue/wake_relay.h"

namespace {

constexpr std::uint32_t CODE_CLASS0 = KQVXI_EVENT_CODE(0);
constexpr std::uint32_t CODE_CLASS1 = KQVXI_EVENT_CODE(1);
constexpr std::uint32_t CODE_CLASS2 = KQVXI_EVENT_CODE(2);
constexpr std::uint32_t CODE_CLASS3 = KQVXI_EVENT_CODE(3);
constexpr std::uint32_t CODE_CLASS4 = KQVXI_EVENT_CODE(4);
constexpr std::uint32_t CODE_CLASS5 = KQVXI_EVENT_CODE(5);
constexpr std::uint32_t CODE_SOURCE = KQVXI_EVENT_CODE(6);
constexpr std::uint32_t CODE_LEVEL = KQVXI_EVENT_CODE(CLASS_LEVEL);
constexpr std::uint32_t CODE_SOURCE_LEVEL = KQVXI_EVENT_CODE(CLASS_SOURCE_LEVEL);
constexpr std::uint32_t CODE_CHANNEL = KQVXI_EVENT_CODE(CLASS_CHANNEL);

// Kind that QueryEventSource reports for an event no handler should deliver.
constexpr std::uint16_t SOURCE_KIND_NONE = 0xFFFF;

// What a client must have selected to receive a record. The flags and mask
// entries are written by the main thread while handlers read them, one aligned
// store each, so every read here is one atomic load.
enum class GateKind { Always, Flag, LevelEntry, SourceEntry, ChannelEntry };

struct Gate {
    GateKind kind;
    std::uint32_t AsyncQueueBlock::*flag;  // Flag: which enable flag
    std::uint32_t index;                   // entry kinds: index, checked against its table
    std::uint16_t bit;                     // entry kinds: the bit the entry must have
};

// The gate of a flag class: its flag in CLASS_FLAGS, or none (class 1).
Gate ClassGate(std::uint32_t eventClass) {
    std::uint32_t AsyncQueueBlock::*flag = CLASS_FLAGS[eventClass];
    return Gate{flag != nullptr ? GateKind::Flag : GateKind::Always, flag, 0, 0};
}

Gate EntryGate(GateKind table, std::uint32_t index, std::uint16_t bit) {
    return Gate{table, nullptr, index, bit};
}

bool GateOpen(const AsyncQueueBlock* block, const Gate& gate) {
    switch (gate.kind) {
        case GateKind::Always:
            return true;
        case GateKind::Flag:
            return OsAtomicLoad(&(block->*gate.flag)) != 0;
        case GateKind::LevelEntry:
            return (OsAtomicLoad(&block->levelMask[gate.index]) & gate.bit) != 0;
        case GateKind::SourceEntry:
            return (OsAtomicLoad(&block->sourceMask[gate.index]) & gate.bit) != 0;
        case GateKind::ChannelEntry:
            return (OsAtomicLoad(&block->channelMask[gate.index]) & gate.bit) != 0;
    }
    return false;
}

// The posting loop: one pass over slots 0 to 49, at most one record per client.
// Each slot's block pointer is read once and used for both the gate and ownerPid;
// the walk guard keeps the main thread from closing a block this pass may still
// use (it clears the slot first and waits for the walk to end).
void PostToSelected(std::uint32_t code, const Gate& gate, std::uint32_t arg1, std::uint32_t arg2,
                    std::uint32_t arg3) {
    BeginTableWalk();
    BeginWakeBatch();
    for (std::uint32_t slot = 0; slot < MAX_CLIENTS; ++slot) {
        // Ordered after BeginTableWalk's update (see the walk guard).
        AsyncQueueBlock* block = OsAtomicLoadSeqCst(&clientTable.clientBlocks[slot]);
        if (block == nullptr || !GateOpen(block, gate)) {
            continue;
        }
        // PostEvent with the owner taken from this very block: its checks would
        // only read the same two values again. A dropped record is counted in the
        // slot's record, not reported.
        (void)PostEventToBlock(block, slot, code, arg1, arg2, arg3);
    }
    EndWakeBatch();
    EndTableWalk();
}

std::uint32_t SignExtend(std::int16_t value) {
    return static_cast<std::uint32_t>(static_cast<std::int32_t>(value));
}
std::uint32_t ZeroExtend(std::uint16_t value) {
    return value;
}

// Both source handlers: they differ only in the marker in arg1's high half.
void HandleSource(std::uint16_t source, bool marked) {
    // Preset the out-values so that a library that reports success without
    // filling them in delivers nothing.
    std::uint32_t index = 0;
    std::uint32_t level = 0;
    std::uint32_t reportedSource = 0;
    std::uint32_t kind = SOURCE_KIND_NONE;
    if (QueryEventSource(&index, &level, &reportedSource, &kind) < 0) {
        return;
    }
    const std::uint16_t kind16 = static_cast<std::uint16_t>(kind);
    const std::uint16_t index16 = static_cast<std::uint16_t>(index);
    const std::uint16_t level16 = static_cast<std::uint16_t>(level);
    if (kind16 == SOURCE_KIND_NONE || static_cast<std::uint16_t>(reportedSource) != source) {
        return;
    }
    const std::uint32_t arg1 = ZeroExtend(source) | (marked ? SOURCE_MARKER : 0u);
    if (kind16 != 0) {
        PostToSelected(CODE_SOURCE, ClassGate(6), arg1, 0, 0);
        return;
    }
    // An index outside the table, or a level without a bit, selects no entry:
    // no client receives the event and nothing outside the table is read.
    const std::uint16_t bit = LevelBit(level16);
    if (bit == 0 || index16 >= SOURCE_MASK_ENTRIES) {
        return;
    }
    PostToSelected(CODE_SOURCE_LEVEL, EntryGate(GateKind::SourceEntry, index16, bit), arg1,
                   ZeroExtend(index16), ZeroExtend(level16));
}

}  // namespace

void KQ_STDCALL HandleClass0(std::int16_t value) {
    PostToSelected(CODE_CLASS0, ClassGate(0), SignExtend(value), 0, 0);
}

void KQ_STDCALL HandleClass1() {
    // Class 1 has no enable flag: every registered client receives it.
    PostToSelected(CODE_CLASS1, ClassGate(1), 0, 0, 0);
}

void KQ_STDCALL HandleClass2() {
    PostToSelected(CODE_CLASS2, ClassGate(2), 0, 0, 0);
}

void KQ_STDCALL HandleClass3(std::int16_t value) {
    PostToSelected(CODE_CLASS3, ClassGate(3), SignExtend(value), 0, 0);
}

void KQ_STDCALL HandleClass4(std::int16_t value) {
    PostToSelected(CODE_CLASS4, ClassGate(4), SignExtend(value), 0, 0);
}

void KQ_STDCALL HandleClass5(std::uint16_t value) {
    PostToSelected(CODE_CLASS5, ClassGate(5), ZeroExtend(value), 0, 0);
}

// The level and channel handlers index their tables with a signed index; one
// outside the table reaches no client (see HandleSource).
void KQ_STDCALL HandleLevel(std::int16_t index, std::uint16_t level, std::uint32_t value) {
    const std::uint16_t bit = LevelBit(level);
    if (bit == 0 || index < 0 || static_cast<std::uint32_t>(index) >= LEVEL_MASK_ENTRIES) {
        return;
    }
    PostToSelected(CODE_LEVEL,
                   EntryGate(GateKind::LevelEntry, static_cast<std::uint32_t>(index), bit),
                   SignExtend(index), ZeroExtend(level), value);
}

void KQ_STDCALL HandleChannel(std::int16_t index, std::uint16_t channel, std::uint16_t value) {
    const std::uint16_t bit = ChannelBit(channel);
    if (bit == 0 || index < 0 || static_cast<std::uint32_t>(index) >= CHANNEL_MASK_ENTRIES) {
        return;
    }
    // arg2 is the channel as received (50 stays 50), not its bit.
    PostToSelected(CODE_CHANNEL,
                   EntryGate(GateKind::ChannelEntry, static_cast<std::uint32_t>(index), bit),
                   SignExtend(index), ZeroExtend(channel), ZeroExtend(value));
}

void KQ_STDCALL HandleSourceEvent(std::uint16_t source) {
    HandleSource(source, false);
}

void KQ_STDCALL HandleMarkedSourceEvent(std::uint16_t source) {
    HandleSource(source, true);
}
