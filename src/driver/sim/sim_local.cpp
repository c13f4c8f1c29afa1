// The simulated library's process-local tables: which controllers this process
// opened, the events its waits took off their shared queues, and the items
// handed out by WaitDriverEvent.
#include "driver/sim/sim_local.h"

#include "driver/sim/sim_modes.h"
#include "driver/sim/sim_event_ring.h"
#include "platform/atomic.h"
#include "platform/process.h"

std::mutex openedMutex;
std::mutex itemMutex;

namespace {

inline constexpr int MAX_OPENED = 16;
OpenedController opened[MAX_OPENED];

// Items: events taken off the shared queue by WaitDriverEvent and not yet
// dispatched. The item value carries the slot and a generation, so a stale or
// made-up item never matches.
struct ItemSlot {
    bool used;
    std::uint32_t item;
    SimEvent event;
};
inline constexpr std::uint32_t MAX_ITEMS = 8;
inline constexpr std::uint32_t ITEM_INDEX_MASK = 0xFFu;
inline constexpr std::uint32_t ITEM_GENERATION_MASK = 0x00FFFFFFu;
ItemSlot items[MAX_ITEMS];
std::uint32_t itemGeneration = 0;

}  // namespace

OpenedController* SimFindOpened(std::uint16_t controller) {
    std::lock_guard<std::mutex> lock(openedMutex);
    for (OpenedController& o : opened) {
        if (o.open && o.controller == controller) {
            return &o;
        }
    }
    return nullptr;
}

OpenedController* SimStartOnOpened(SimCall& call, std::uint16_t controller) {
    if (call.FaultHit()) {
        return nullptr;
    }
    OpenedController* o = SimFindOpened(controller);
    if (o == nullptr) {
        call.Return(SIM_STATUS_BAD_INPUT);
    }
    return o;
}

bool SimAnyOpened() {
    std::lock_guard<std::mutex> lock(openedMutex);
    for (const OpenedController& o : opened) {
        if (o.open) {
            return true;
        }
    }
    return false;
}

bool SimMarkOpened(std::uint16_t controller) {
    std::lock_guard<std::mutex> lock(openedMutex);
    OpenedController* slot = nullptr;
    for (OpenedController& o : opened) {
        if (o.open && o.controller == controller) {
            return true;
        }
        if (!o.open && slot == nullptr) {
            slot = &o;
        }
    }
    if (slot == nullptr) {
        return false;
    }
    slot->open = true;
    slot->controller = controller;
    OsAtomicStore(&slot->cancel, false);
    slot->claimWord = 0;
    slot->stall = SimRingStall{};
    return true;
}

void SimMarkClosed(OpenedController* o) {
    std::lock_guard<std::mutex> lock(openedMutex);
    o->open = false;
}

bool SimStillOpened(const OpenedController* o, std::uint16_t controller) {
    std::lock_guard<std::mutex> lock(openedMutex);
    return o->open && o->controller == controller;
}

// The given-back events go in at the front, oldest first, so the controller's
// next server gets them as if they had never been taken. As they still counted
// against the queue's depth, they fit.
void SimGiveBackTaken(OpenedController* o) {
    SimController* c = o->takenIn;
    if (c == nullptr || o->takenCount == 0) {
        return;
    }
    SimRingGiveBack(c, &o->taken[o->takenHead], o->takenCount, OsCurrentProcessId());
    o->takenCount = 0;
}

// Everything queued comes over at once, so the wait looks at the shared queue
// once per burst, not once per event.
bool SimTakeQueued(OpenedController* o, std::uint16_t controller, bool* waiting) {
    *waiting = false;
    if (SimAttach() == nullptr) {
        return false;
    }
    SimGiveBackTaken(o);  // left by a controller this entry served before
    SimController* c = SimFindServed(controller);
    std::uint32_t n = 0;
    if (c != nullptr) {
        n = SimRingTake(c, o->taken, SIM_EVENT_QUEUE_DEPTH, &o->stall, waiting);
    }
    o->takenHead = 0;
    o->takenCount = n;
    o->takenFrom = controller;
    o->takenIn = c;
    return true;
}

bool SimItemRoom() {
    for (const ItemSlot& slot : items) {
        if (!slot.used) {
            return true;
        }
    }
    return false;
}

std::uint32_t SimHandOutItem(OpenedController* o) {
    ItemSlot* slot = items;
    while (slot->used) {
        ++slot;
    }
    slot->event = o->taken[o->takenHead++];
    --o->takenCount;
    OsAtomicFetchSub(&o->takenIn->evTaken, 1u);
    itemGeneration = (itemGeneration + 1) & ITEM_GENERATION_MASK;
    const std::uint32_t index = static_cast<std::uint32_t>(slot - items);
    slot->item = ((itemGeneration + 1) << 8) | index;
    slot->used = true;
    return slot->item;
}

bool SimTakeItem(std::uint32_t item, SimEvent* event) {
    std::lock_guard<std::mutex> lock(itemMutex);
    const std::uint32_t index = item & ITEM_INDEX_MASK;
    if (index >= MAX_ITEMS || !items[index].used || items[index].item != item) {
        return false;
    }
    *event = items[index].event;
    items[index].used = false;
    return true;
}
