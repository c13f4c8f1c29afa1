// The simulated board's machine-wide state (one named mapping guarded by one named
// mutex), its per-controller named objects, and the statuses its operations
// return. Shared by the operations of the simulated library.
#pragma once
#include <cstddef>
#include <cstdint>

#include "driver/kqvxint.h"
#include "platform/types.h"

// Object names of the simulated board. The server's own event name is fixed by
// the request protocol; the others belong to this library alone.
inline constexpr const char* SIM_SERVER_EVENT_NAME = SERVER_WAKE_EVENT_NAME;
inline constexpr const char* SIM_STATE_NAME = "KQVXINT Sim Board State";
inline constexpr const char* SIM_STATE_LOCK_NAME = "KQVXINT Sim Board Lock";

inline constexpr std::uint32_t SIM_MAGIC = 0x4953514Bu;  // "KQSI"
// 3: lock-free event ring and request word, the claimant's pid, slot pins.
inline constexpr std::uint32_t SIM_LAYOUT_VERSION = 3;
inline constexpr int SIM_MAX_CONTROLLERS = 64;
// Events a controller's queue holds, counting those its server took and has not
// dispatched yet. A power of two below 256 (ring entries carry a cell number in
// their low byte, and positions wrap at 2^32).
inline constexpr std::uint32_t SIM_EVENT_QUEUE_DEPTH = 64;
// Cells an injector writes its event into before queuing it: room for a full
// queue and as many injectors again in the middle of an injection (or stopped there).
inline constexpr std::uint32_t SIM_EVENT_CELLS = 2 * SIM_EVENT_QUEUE_DEPTH;
static_assert((SIM_EVENT_QUEUE_DEPTH & (SIM_EVENT_QUEUE_DEPTH - 1)) == 0, "positions wrap evenly");
static_assert(SIM_EVENT_CELLS < 255, "a ring entry holds cell + 1 in one byte");

// Statuses of the simulated board's operations. A cancelled wait returns
// KQ_WAIT_CANCELLED; the fault mode may make any operation return any status.
inline constexpr std::int16_t SIM_STATUS_OK = 0;
// A null or unknown argument, a controller this process has not opened, or a
// reply whose request was withdrawn.
inline constexpr std::int16_t SIM_STATUS_BAD_INPUT = -1;
// DispatchDriverEvent: no handler installed for the event; it is discarded.
inline constexpr std::int16_t SIM_STATUS_NO_HANDLER = -2;
// WaitDriverEvent: too many items handed out and never dispatched.
inline constexpr std::int16_t SIM_STATUS_TOO_MANY = -2;
// The machine-wide state cannot be mapped or holds another layout.
inline constexpr std::int16_t SIM_STATUS_NO_STATE = -3;
// OpenController: no room for another controller, machine-wide or in this process.
inline constexpr std::int16_t SIM_STATUS_TABLE_FULL = -4;
// OpenController: another live process serves the controller.
inline constexpr std::int16_t SIM_STATUS_SERVED_ELSEWHERE = -5;

// Re-checks of a blocked wait on a named event, so a signal lost to a crashed
// peer costs no more than this.
inline constexpr std::uint32_t SIM_RECHECK_MS = 250;
// Longest wait for the state lock. Only opening, closing and first use of a
// controller take it; a process stopped while holding it costs the others this
// much, and their operation then fails.
inline constexpr std::uint32_t SIM_LOCK_WAIT_MS = 500;
// Longest time the server's wait lets an injector take between claiming a queue
// position and filling it. An injector stopped (or preempted) longer loses the
// position: its event is refused, and the events queued behind it go on.
inline constexpr std::uint32_t SIM_PUBLISH_WAIT_MS = 200;

// Request word: state in the low 3 bits, the request's ticket above them, so a
// compare-exchange on it fails for any other request than the one seen.
inline constexpr std::uint32_t SIM_REQ_STATE_MASK = 7;
inline constexpr std::uint32_t SIM_REQ_SEQ_SHIFT = 3;
inline constexpr std::uint32_t SIM_REQ_FREE = 0;
inline constexpr std::uint32_t SIM_REQ_POSTED = 1;   // written by a client, waiting for a server
inline constexpr std::uint32_t SIM_REQ_CLAIMED = 2;  // handed to a server by GetClientRequest
inline constexpr std::uint32_t SIM_REQ_REPLIED = 3;  // reply values written, client not yet back
inline constexpr std::uint32_t SIM_REQ_WRITING = 4;  // a client is writing the request fields
inline std::uint32_t SimReqWord(std::uint32_t seq, std::uint32_t state) {
    return (seq << SIM_REQ_SEQ_SHIFT) | state;
}
inline std::uint32_t SimReqState(std::uint32_t word) {
    return word & SIM_REQ_STATE_MASK;
}

// Ring entries: the lap of the position (position / depth, 24 bits) above a
// byte that is 0 while the position is empty and cell + 1 once it is filled.
inline std::uint32_t SimRingEmpty(std::uint32_t position) {
    return (position / SIM_EVENT_QUEUE_DEPTH) << 8;
}
inline std::uint32_t SimRingFilled(std::uint32_t position, std::uint32_t cell) {
    return SimRingEmpty(position) | (cell + 1);
}

// Kinds of queued driver events.
enum SimEventKind : std::uint32_t {
    SIM_EV_CLASS0 = 0,  // SIM_EV_CLASS0 + n is class n, n = 0..5
    SIM_EV_LEVEL = 6,
    SIM_EV_CHANNEL = 7,
    SIM_EV_SOURCE = 8,  // for the selector -1 handler
    SIM_EV_MARKED = 9,  // for the selector -2 handler
};

// One queued driver event: the handler's arguments a, b, c and, for source events,
// what QueryEventSource reports while the handler runs.
struct SimEvent {
    std::uint32_t kind;
    std::uint32_t a, b, c;
    std::uint32_t queryIndex, queryLevel, querySource, queryKind;
};
static_assert(sizeof(SimEvent) == 32, "eight 32-bit words, no padding");

// A cell an injector owns while it writes its event and until the server has
// read it: owner 0 when free, else the injector's pid.
struct SimEventCell {
    std::uint32_t owner;
    SimEvent event;
};
static_assert(sizeof(SimEventCell) == 36, "nine 32-bit words, no padding");

// One controller's slot. used, controller and serverPid are written under the
// state lock and read anywhere. Everything else is lock-free, so that no process
// stopped or killed in the middle of an operation can hold up another:
//
// Request channel (reqWord, see SimReqWord). A client, holding the controller's
// client mutex, moves reqWord to WRITING with a compare-exchange, writes reqPid,
// reqCommand and reqArg, and stores POSTED. The server reads the fields, stores
// claimPid and moves POSTED to CLAIMED with a compare-exchange (which fails if
// anything changed since it read them), writes replyArg and moves CLAIMED to
// REPLIED. The client takes the reply and moves REPLIED to FREE, or withdraws
// (POSTED or CLAIMED to FREE) on time-out.
//
// Event queue. Positions count up from 0 and wrap at 2^32; position p uses ring
// entry p % depth. An injector takes a free cell (owner 0 -> its pid), writes
// its event there, claims position evTail with a compare-exchange, and fills
// the entry with a compare-exchange from SimRingEmpty(p) to SimRingFilled(p,
// cell). The server alone moves evHead:
//
//   evHead        evTail
//     |  filled  |claimed|           free            |
//     v          v       v
//   [ F  F  F  F  E(p) ... ]  entries of positions evHead .. evTail-1
//
// it reads the cell the entry names, frees it, stores SimRingEmpty(p + depth)
// and advances evHead. An entry still empty SIM_PUBLISH_WAIT_MS after its
// position was claimed is moved to SimRingEmpty(p + depth) by the server; the
// injector's late fill then fails and it refuses its event, freeing its cell (it
// never writes into anything but its own cell, so nothing it does late can harm
// another event).
struct SimController {
    std::uint32_t used;        // 1 when the slot belongs to controller
    std::uint32_t controller;  // controller number (16 bits)
    std::uint32_t serverPid;   // process that opened the controller, 0 when none
    std::uint32_t reqWord;     // SimReqWord(ticket, SIM_REQ_*)
    std::uint32_t claimPid;    // server that claimed the request (valid in CLAIMED)
    std::uint32_t reqPid;
    std::uint32_t reqCommand;
    std::uint32_t reqArg[3];
    std::uint32_t replyArg[3];
    // Processes using the slot without the state lock; SIM_PINS_RECLAIMING while
    // the lock's holder reinitialises the slot for another controller.
    std::uint32_t pins;
    std::uint32_t evHead;  // oldest position not yet taken by the server
    std::uint32_t evTail;  // next position to claim
    // Events the server's wait took off the ring and has not dispatched yet. They
    // still count against the queue's depth (evTail - evHead + evTaken).
    std::uint32_t evTaken;
    std::uint32_t reserved;
    std::uint32_t ring[SIM_EVENT_QUEUE_DEPTH];
    SimEventCell cells[SIM_EVENT_CELLS];
};
inline constexpr std::uint32_t SIM_PINS_RECLAIMING = 0x80000000u;
static_assert(offsetof(SimController, used) == 0, "layout shared by every process");
static_assert(offsetof(SimController, reqWord) == 12, "layout shared by every process");
static_assert(offsetof(SimController, claimPid) == 16, "layout shared by every process");
static_assert(offsetof(SimController, reqArg) == 28, "layout shared by every process");
static_assert(offsetof(SimController, replyArg) == 40, "layout shared by every process");
static_assert(offsetof(SimController, pins) == 52, "layout shared by every process");
static_assert(offsetof(SimController, evHead) == 56, "layout shared by every process");
static_assert(offsetof(SimController, evTail) == 60, "layout shared by every process");
static_assert(offsetof(SimController, evTaken) == 64, "layout shared by every process");
static_assert(offsetof(SimController, ring) == 72, "entries 32-bit aligned");
static_assert(offsetof(SimController, cells) == 72 + 4 * SIM_EVENT_QUEUE_DEPTH,
              "cells 32-bit aligned");
static_assert(sizeof(SimController) ==
                  72 + 4 * SIM_EVENT_QUEUE_DEPTH + sizeof(SimEventCell) * SIM_EVENT_CELLS,
              "no padding");

struct SimShared {
    std::uint32_t magic;    // SIM_MAGIC once initialised
    std::uint32_t version;  // SIM_LAYOUT_VERSION
    std::uint32_t size;     // sizeof(SimShared)
    std::uint32_t nextSeq;  // last request ticket handed out (atomic)
    SimController controllers[SIM_MAX_CONTROLLERS];
};
static_assert(offsetof(SimShared, nextSeq) == 12, "layout shared by every process");
static_assert(offsetof(SimShared, controllers) == 16, "layout shared by every process");
static_assert(sizeof(SimShared) == 16 + SIM_MAX_CONTROLLERS * sizeof(SimController), "no padding");

// Maps the state once per process and checks its layout, initialising a fresh
// one (under the state lock). Null when the state cannot be had or holds
// another layout.
SimShared* SimAttach();

// Maps the state and takes its lock, waiting at most waitMs. Null when the
// state cannot be had or the lock stays held; otherwise SimUnlock must follow.
SimShared* SimLock(std::uint32_t waitMs = SIM_LOCK_WAIT_MS);
void SimUnlock();

// The slot of controller, taking a free (or reclaimable) one when create is set.
// Caller holds the lock. Null when none.
SimController* SimFindController(SimShared* shared, std::uint16_t controller, bool create);

// The slot of controller for use without the lock, pinned so that it is not
// reclaimed for another controller meanwhile; SimUnpinController must follow.
// With create, a missing slot is made under the lock, waited for at most
// lockWaitMs. Null when there is none.
SimController* SimPinController(std::uint16_t controller, bool create,
                                std::uint32_t lockWaitMs = SIM_LOCK_WAIT_MS);
void SimUnpinController(SimController* c);
// The slot of controller without a pin: for the server of the controller,
// whose own liveness keeps the slot from being reclaimed. Null when none.
SimController* SimFindServed(std::uint16_t controller);

// Per-controller named auto-reset events, opened once per process and kept open.
enum SimEventRole : int {
    SIM_OBJ_REQUEST_READY,  // a request for the controller was posted
    SIM_OBJ_REPLY,          // the reply to the controller's request was written
    SIM_OBJ_EVENT_READY,    // a driver event was queued, or the wait was cancelled
    SIM_OBJ_ROLE_COUNT
};
OsHandle SimControllerEvent(std::uint16_t controller, SimEventRole role);
// Per-controller named mutex that serialises the clients of the controller.
OsHandle SimClientMutex(std::uint16_t controller);
// The server wake event (SERVER_WAKE_EVENT_NAME), shared by every controller.
OsHandle SimServerEvent();

// True when no process with pid runs: it cannot be opened, or it has ended. A
// process whose state cannot be read counts as running, so nothing of it is
// taken over while it may still act (callers bound their waits on it).
bool SimProcessEnded(std::uint32_t pid);
