// The lock-free event queue of one controller of the simulated board: cells the
// injectors write their events into, and the ring of positions that orders them
// for the server (protocol above SimController in sim_state.h).
#include "driver/sim/sim_event_ring.h"

#include <chrono>

#include "platform/atomic.h"

namespace {

inline constexpr std::uint32_t CELL_BYTE = 0xFFu;

std::uint64_t NowMs() {
    return static_cast<std::uint64_t>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                          std::chrono::steady_clock::now().time_since_epoch())
                                          .count());
}

// A free cell now owned by self, or -1.
int TakeCell(SimController* c, std::uint32_t self) {
    for (std::uint32_t i = 0; i < SIM_EVENT_CELLS; ++i) {
        std::uint32_t free = 0;
        if (OsAtomicLoadRelaxed(&c->cells[i].owner) == 0 &&
            OsAtomicCompareExchange(&c->cells[i].owner, &free, self)) {
            return static_cast<int>(i);
        }
    }
    return -1;
}

void FreeCell(SimController* c, int cell, std::uint32_t owner) {
    OsAtomicCompareExchange(&c->cells[cell].owner, &owner, 0u);
}

// True when a filled ring entry names cell.
bool CellQueued(const SimController* c, std::uint32_t cell) {
    for (const std::uint32_t& entry : c->ring) {
        if ((OsAtomicLoad(&entry) & CELL_BYTE) == cell + 1) {
            return true;
        }
    }
    return false;
}

// Frees the cells of injectors that ended before queuing what they wrote. A
// cell a filled entry names is left for the server, which frees it once read.
void FreeCellsOfEnded(SimController* c) {
    for (std::uint32_t i = 0; i < SIM_EVENT_CELLS; ++i) {
        std::uint32_t owner = OsAtomicLoad(&c->cells[i].owner);
        if (owner != 0 && SimProcessEnded(owner) && !CellQueued(c, i)) {
            OsAtomicCompareExchange(&c->cells[i].owner, &owner, 0u);
        }
    }
}

}  // namespace

SimRingPushResult SimRingPush(SimController* c, const SimEvent& event, std::uint32_t self) {
    int cell = TakeCell(c, self);
    if (cell < 0) {
        FreeCellsOfEnded(c);
        cell = TakeCell(c, self);
        if (cell < 0) {
            return SimRingPushResult::Full;
        }
    }
    c->cells[cell].event = event;  // the cell is this process's alone until queued
    for (;;) {
        // Head before tail, so that the difference never goes negative, and before
        // the taken count, which the server raises before it advances the head.
        const std::uint32_t head = OsAtomicLoad(&c->evHead);
        std::uint32_t tail = OsAtomicLoad(&c->evTail);
        const std::uint32_t taken = OsAtomicLoad(&c->evTaken);
        const std::uint32_t queued = tail - head;
        if (queued >= SIM_EVENT_QUEUE_DEPTH || queued + taken >= SIM_EVENT_QUEUE_DEPTH) {
            FreeCell(c, cell, self);
            return SimRingPushResult::Full;
        }
        std::uint32_t* entry = &c->ring[tail % SIM_EVENT_QUEUE_DEPTH];
        if (OsAtomicLoad(entry) != SimRingEmpty(tail)) {
            if (OsAtomicLoad(&c->evTail) != tail) {
                continue;  // another injector moved on meanwhile
            }
            FreeCell(c, cell, self);  // the entry is not free: a queue given back fills it
            return SimRingPushResult::Full;
        }
        if (!OsAtomicCompareExchange(&c->evTail, &tail, tail + 1)) {
            continue;
        }
        std::uint32_t empty = SimRingEmpty(tail);
        if (OsAtomicCompareExchange(entry, &empty,
                                    SimRingFilled(tail, static_cast<std::uint32_t>(cell)))) {
            return SimRingPushResult::Queued;
        }
        FreeCell(c, cell, self);  // the server gave up waiting for this position
        return SimRingPushResult::Dropped;
    }
}

std::uint32_t SimRingTake(SimController* c, SimEvent* out, std::uint32_t max, SimRingStall* stall,
                          bool* waiting) {
    *waiting = false;
    std::uint32_t n = 0;
    while (n < max) {
        const std::uint32_t head = OsAtomicLoad(&c->evHead);
        const std::uint32_t tail = OsAtomicLoad(&c->evTail);
        if (head == tail || tail - head > SIM_EVENT_QUEUE_DEPTH) {
            break;  // empty (or a tail no injector could have written)
        }
        std::uint32_t* entry = &c->ring[head % SIM_EVENT_QUEUE_DEPTH];
        std::uint32_t value = OsAtomicLoad(entry);
        const std::uint32_t next = SimRingEmpty(head + SIM_EVENT_QUEUE_DEPTH);
        if (value == SimRingEmpty(head)) {
            // Claimed, not filled yet: the events behind it wait, for a bound.
            const std::uint64_t now = NowMs();
            if (!stall->active || stall->position != head) {
                *stall = SimRingStall{true, head, now};
            }
            if (now - stall->sinceMs < SIM_PUBLISH_WAIT_MS) {
                *waiting = true;
                break;
            }
            if (!OsAtomicCompareExchange(entry, &value, next)) {
                continue;  // filled at the last moment
            }
            stall->active = false;
            OsAtomicStore(&c->evHead, head + 1);
            continue;
        }
        stall->active = false;
        const std::uint32_t cellPlusOne = value & CELL_BYTE;
        const bool good = (value & ~CELL_BYTE) == SimRingEmpty(head) && cellPlusOne >= 1 &&
                          cellPlusOne <= SIM_EVENT_CELLS;
        if (good) {
            SimEventCell* cell = &c->cells[cellPlusOne - 1];
            out[n++] = cell->event;
            std::uint32_t owner = OsAtomicLoad(&cell->owner);
            OsAtomicCompareExchange(&cell->owner, &owner, 0u);
            OsAtomicFetchAdd(&c->evTaken, 1u);
        }
        // A damaged entry is passed over: its position carries no event.
        OsAtomicStore(entry, next);
        OsAtomicStore(&c->evHead, head + 1);
    }
    return n;
}

std::uint32_t SimRingGiveBack(SimController* c, const SimEvent* events, std::uint32_t n,
                              std::uint32_t self) {
    // The taken events still count in evTaken, so no injector can claim the
    // position in front of the head meanwhile (see SimRingPush's room check).
    std::uint32_t back = 0;
    for (std::uint32_t i = n; i-- > 0;) {
        const int cell = TakeCell(c, self);
        if (cell < 0) {
            break;
        }
        c->cells[cell].event = events[i];
        const std::uint32_t position = OsAtomicLoad(&c->evHead) - 1;
        OsAtomicStore(&c->ring[position % SIM_EVENT_QUEUE_DEPTH],
                      SimRingFilled(position, static_cast<std::uint32_t>(cell)));
        OsAtomicStore(&c->evHead, position);
        ++back;
    }
    OsAtomicFetchSub(&c->evTaken, n);
    return back;
}
