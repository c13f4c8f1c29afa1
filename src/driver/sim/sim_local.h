// The simulated library's process-local tables: the controllers this process
// opened (with the events its waits took off their queues) and the items
// WaitDriverEvent handed out and DispatchDriverEvent has not taken back.
#pragma once
#include <cstdint>
#include <mutex>

#include "driver/sim/sim_event_ring.h"
#include "driver/sim/sim_state.h"

// A controller opened by this process.
struct OpenedController {
    bool open;
    std::uint16_t controller;
    bool cancel;              // CancelDriverWait: the pending or next wait returns -8 (atomic)
    std::uint32_t claimWord;  // request word of the request GetClientRequest handed out
    // Events a wait moved off the shared queue of controller takenFrom (slot
    // takenIn) in one turn of the state lock and has not handed out yet, oldest
    // first (guarded by itemMutex). They count in takenIn->evTaken until handed
    // out. Closing the controller gives them back to its queue, and so does a
    // wait for another controller that finds some (left by a wait that raced the
    // close).
    SimEvent taken[SIM_EVENT_QUEUE_DEPTH];
    std::uint32_t takenHead;
    std::uint32_t takenCount;
    std::uint16_t takenFrom;
    SimController* takenIn;
    SimRingStall stall;  // a position of the queue the wait is waiting to see filled
};

// Guards open, controller and claimWord of every OpenedController. Held only
// briefly, never with itemMutex; it may be taken under the state lock.
extern std::mutex openedMutex;
// Guards the item table and the taken events of every OpenedController. Taken
// before the state lock when both are held.
extern std::mutex itemMutex;

// The entry of controller when this process has it open, or null.
OpenedController* SimFindOpened(std::uint16_t controller);
// True when this process has any controller open.
bool SimAnyOpened();
// The start of an operation on a controller this process opened: the entry of
// controller, or null when the call ends here (the fault mode failed it, or the
// controller is not open here), with call.result set.
struct SimCall;
OpenedController* SimStartOnOpened(SimCall& call, std::uint16_t controller);
// Marks controller open in this process (a fresh entry, or the one it has).
// False when the table is full.
bool SimMarkOpened(std::uint16_t controller);
// Marks the entry closed; its taken events stay until given back.
void SimMarkClosed(OpenedController* o);
// True while o is still the open entry of controller.
bool SimStillOpened(const OpenedController* o, std::uint16_t controller);

// Puts the events o took and did not hand out back at the front of their
// controller's queue. Caller holds itemMutex.
void SimGiveBackTaken(OpenedController* o);
// Moves every event queued for controller into o, giving back first what o
// still holds of another controller. *waiting tells that the queue's front is
// claimed by an injector that has not filled it yet (look again soon). Caller
// holds itemMutex. False when the state cannot be had.
bool SimTakeQueued(OpenedController* o, std::uint16_t controller, bool* waiting);

// True when the item table has room for one more item. Caller holds itemMutex.
bool SimItemRoom();
// Hands out o's oldest taken event as a new item. Caller holds itemMutex, and
// checked SimItemRoom and that o holds an event.
std::uint32_t SimHandOutItem(OpenedController* o);
// Takes back the event of item. False when item is stale or made up.
bool SimTakeItem(std::uint32_t item, SimEvent* event);
