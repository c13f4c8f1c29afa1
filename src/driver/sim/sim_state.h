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
inline constexpr std::uint32_t SIM_LAYOUT_VERSION = 2;
inline constexpr int SIM_MAX_CONTROLLERS = 64;
inline constexpr std::uint32_t SIM_EVENT_QUEUE_DEPTH = 64;

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

// Request slot states.
inline constexpr std::uint32_t SIM_REQ_FREE = 0;
inline constexpr std::uint32_t SIM_REQ_POSTED = 1;   // written by a client, waiting for a server
inline constexpr std::uint32_t SIM_REQ_CLAIMED = 2;  // handed to a server by GetClientRequest
inline constexpr std::uint32_t SIM_REQ_REPLIED = 3;  // reply values written, client not yet back

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

// One controller's slot. Every field is read and written under the state lock.
// A client writes the request fields and state POSTED; a server claims it
// (CLAIMED, claimSeq remembered in the server process) and writes the reply
// (REPLIED); the client takes the reply and frees the slot, or withdraws its
// request on time-out. Injectors append to the event ring; the server's
// WaitDriverEvent removes from its head.
struct SimController {
    std::uint32_t used;        // 1 when the slot belongs to controller
    std::uint32_t controller;  // controller number (16 bits)
    std::uint32_t serverPid;   // process that opened the controller, 0 when none
    std::uint32_t reqState;    // SIM_REQ_*
    std::uint32_t reqSeq;      // ticket of the request in the slot
    std::uint32_t reqPid;
    std::uint32_t reqCommand;
    std::uint32_t reqArg[3];
    std::uint32_t replyArg[3];
    std::uint32_t evHead;   // index of the oldest queued event
    std::uint32_t evCount;  // events queued
    // Events the server's wait took off the ring and has not dispatched yet. They
    // still count against the queue's depth. The server lowers it without the
    // lock, one atomic decrement per dispatched event; all else happens under it.
    std::uint32_t evTaken;
    SimEvent events[SIM_EVENT_QUEUE_DEPTH];
};
static_assert(offsetof(SimController, used) == 0, "layout shared by every process");
static_assert(offsetof(SimController, reqState) == 12, "layout shared by every process");
static_assert(offsetof(SimController, reqArg) == 28, "layout shared by every process");
static_assert(offsetof(SimController, replyArg) == 40, "layout shared by every process");
static_assert(offsetof(SimController, evHead) == 52, "layout shared by every process");
static_assert(offsetof(SimController, evTaken) == 60, "layout shared by every process");
static_assert(offsetof(SimController, events) == 64, "events start 32-bit aligned");
static_assert(sizeof(SimController) == 64 + 32 * SIM_EVENT_QUEUE_DEPTH, "no padding");

struct SimShared {
    std::uint32_t magic;    // SIM_MAGIC once initialised
    std::uint32_t version;  // SIM_LAYOUT_VERSION
    std::uint32_t size;     // sizeof(SimShared)
    std::uint32_t nextSeq;  // last request ticket handed out
    SimController controllers[SIM_MAX_CONTROLLERS];
};
static_assert(offsetof(SimShared, nextSeq) == 12, "layout shared by every process");
static_assert(offsetof(SimShared, controllers) == 16, "layout shared by every process");
static_assert(sizeof(SimShared) == 16 + SIM_MAX_CONTROLLERS * sizeof(SimController), "no padding");

// Maps the state (once per process) and takes its lock. Null when the state
// cannot be had; otherwise SimUnlock must follow.
SimShared* SimLock();
void SimUnlock();

// The slot of controller, taking a free (or reclaimable) one when create is set.
// Caller holds the lock. Null when none.
SimController* SimFindController(SimShared* shared, std::uint16_t controller, bool create);

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
