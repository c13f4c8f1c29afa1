// The handle API's life cycle: opening a handle (one per process), closing and
// freeing it, its statistics, interrupting its reads, and the version, status
// texts and option defaults of the library.
#include <cstdlib>
#include <initializer_list>

#include "client/handle.h"
#include "client/queue_consumer.h"
#include "platform/atomic.h"
#include "platform/event.h"
#include "platform/poll_descriptor.h"
#include "platform/process.h"

namespace {

// 1 while this process has an open handle: the queue block is per process, so
// a second handle (for any controller) would share the first one's ring.
std::int32_t handleOpen = 0;

// A close waits for the reads inside the handle to leave, in steps of this.
constexpr std::uint32_t CLOSE_READER_STEP_MS = 1;

const char* const STATUS_TEXTS[] = {
    "success",
    "timed out waiting for the server",
    "invalid argument",
    "a system object could not be created or used",
    "nothing to take",
    "no server runs for the controller, or it did not answer",
    "the handle holds no slot with the current server",
    "the server serves the most clients it can",
    "this process already has an open client handle",
    "the wait was interrupted",
    "the server restarted; events in between were lost",
    "the server ended",
    "the handle was closed",
};
constexpr int STATUS_TEXT_COUNT = static_cast<int>(sizeof STATUS_TEXTS / sizeof STATUS_TEXTS[0]);
static_assert(STATUS_TEXT_COUNT == 1 - KQVXI_E_CLOSED, "one text per status, 0 down to the last");

// Ends any wait of a read (it then looks at the handle's flags).
void WakeReaders(kqvxi_client* client) {
    OsSetEvent(client->readerWake);
    if (client->queue != nullptr) {
        OsSetEvent(client->wake);
    }
}

// Releases what open made, in reverse; the handle record itself stays.
void ReleaseHandleObjects(kqvxi_client* client) {
    if (client->queue != nullptr) {
        kqvxi_queue_close(client->queue);
        client->queue = nullptr;
        client->wake = OS_NO_HANDLE;
    }
    LockGate(client->viewGate);
    CloseStatsView(&client->view);
    UnlockGate(client->viewGate);
}

void FreeHandleRecord(kqvxi_client* client) {
    for (OsHandle h : {client->control, client->viewGate, client->readerWake}) {
        if (h != OS_NO_HANDLE) {
            OsCloseHandle(h);
        }
    }
    std::free(client);
}

}  // namespace

void LockGate(OsHandle gate) {
    // Held by a thread of this process for one request at most.
    OsWaitForObject(gate, OS_INFINITE);
}

void UnlockGate(OsHandle gate) {
    OsSetEvent(gate);
}

bool SlotConfirmed(kqvxi_client* client) {
    if (OsAtomicLoad(&client->registered) == 0) {
        return false;
    }
    LockGate(client->viewGate);
    bool confirmed = LiveServerInstance(client->view) == client->instance;
    if (confirmed) {
        StatsSlot copy;
        confirmed = CopyStatsSlot(client->view, client->slot, &copy) && copy.pid == client->pid &&
                    copy.registration == client->registration;
    }
    UnlockGate(client->viewGate);
    return confirmed;
}

int SendRequest(const kqvxi_client* client, std::uint32_t command, std::uint32_t arg1,
                std::uint32_t arg2, std::uint32_t arg3, std::uint32_t* replyArg1) {
    const int status =
        kqvxi_request(client->controller, command, &arg1, &arg2, &arg3, client->timeoutMs);
    if (status == KQVXI_OK && replyArg1 != nullptr) {
        *replyArg1 = arg1;
    }
    return status;
}

extern "C" KQVXI_API const char* kqvxi_version(void) {
    return KQVXI_VERSION_STRING;
}

extern "C" KQVXI_API const char* kqvxi_strerror(int status) {
    if (status >= 0) {
        return STATUS_TEXTS[0];
    }
    return status >= KQVXI_E_CLOSED ? STATUS_TEXTS[-status] : "unknown status";
}

extern "C" KQVXI_API void kqvxi_options_init(kqvxi_options* options) {
    if (options == nullptr) {
        return;
    }
    *options = kqvxi_options{};
    options->size = sizeof(kqvxi_options);
    options->timeout_ms = KQVXI_DEFAULT_TIMEOUT_MS;
}

extern "C" KQVXI_API int kqvxi_client_open(uint16_t controller, const kqvxi_options* options,
                                           kqvxi_client** client) {
    if (client == nullptr) {
        return KQVXI_E_ARG;
    }
    *client = nullptr;
    kqvxi_options o;
    kqvxi_options_init(&o);
    if (options != nullptr) {
        if (options->size != sizeof(kqvxi_options)) {
            return KQVXI_E_ARG;
        }
        o = *options;
    }
    std::int32_t free = 0;
    if (!OsAtomicCompareExchange(&handleOpen, &free, std::int32_t{1})) {
        return KQVXI_E_BUSY;
    }
    auto* c = static_cast<kqvxi_client*>(std::calloc(1, sizeof(kqvxi_client)));
    if (c == nullptr) {
        OsAtomicStore(&handleOpen, std::int32_t{0});
        return KQVXI_E_SYSTEM;
    }
    c->controller = controller;
    c->flags = o.flags;
    c->timeoutMs = o.timeout_ms != 0 ? o.timeout_ms : KQVXI_DEFAULT_TIMEOUT_MS;
    c->coalesceUs = o.coalesce_us;
    c->spinUs = o.spin_us;
    c->pid = OsCurrentProcessId();
    c->descriptor = OS_NO_DESCRIPTOR;
    c->control = OsCreateEvent(nullptr, false, true);
    c->viewGate = OsCreateEvent(nullptr, false, true);
    c->readerWake = OsCreateEvent(nullptr, false, false);
    int status = KQVXI_E_SYSTEM;
    if (c->control != OS_NO_HANDLE && c->viewGate != OS_NO_HANDLE &&
        c->readerWake != OS_NO_HANDLE) {
        c->queue = kqvxi_queue_open();
        if (c->queue != nullptr) {
            c->wake = QueueWakeEvent(c->queue);
            status = RegisterWithServer(c);
        }
    }
    if (status != KQVXI_OK) {
        ReleaseHandleObjects(c);
        FreeHandleRecord(c);
        OsAtomicStore(&handleOpen, std::int32_t{0});
        return status;
    }
    *client = c;
    return KQVXI_OK;
}

extern "C" KQVXI_API int kqvxi_client_close(kqvxi_client* client) {
    if (client == nullptr) {
        return KQVXI_E_ARG;
    }
    if (OsAtomicExchange(&client->closed, std::int32_t{1}) != 0) {
        return KQVXI_OK;
    }
    WakeReaders(client);
    LockGate(client->control);
    // Only to the server that holds our slot: any other would end on a
    // request from a process it does not know.
    if (SlotConfirmed(client)) {
        SendRequest(client, KQVXI_CMD_UNREGISTER, 0, 0, 0);
    }
    OsAtomicStore(&client->registered, std::int32_t{0});
    UnlockGate(client->control);
    // Reads end within one wait step and one lock wait of the ring. Only then
    // does the descriptor go: a read still inside may signal or clear it.
    while (OsAtomicLoadSeqCst(&client->readers) != 0) {
        WakeReaders(client);
        OsSleep(CLOSE_READER_STEP_MS);
    }
    StopDescriptorBridge(client);
    ReleaseHandleObjects(client);
    OsAtomicStore(&handleOpen, std::int32_t{0});
    return KQVXI_OK;
}

extern "C" KQVXI_API void kqvxi_client_free(kqvxi_client* client) {
    if (client == nullptr) {
        return;
    }
    kqvxi_client_close(client);
    FreeHandleRecord(client);
}

extern "C" KQVXI_API int kqvxi_client_interrupt(kqvxi_client* client) {
    if (client == nullptr) {
        return KQVXI_E_ARG;
    }
    // Counted as a reader so that a close does not release the events meanwhile.
    OsAtomicFetchAdd(&client->readers, std::int32_t{1});
    if (OsAtomicLoadSeqCst(&client->closed) == 0) {
        OsAtomicStore(&client->interruptPending, std::int32_t{1});
        WakeReaders(client);
    }
    OsAtomicFetchSub(&client->readers, std::int32_t{1});
    return KQVXI_OK;
}

extern "C" KQVXI_API int kqvxi_client_stats(kqvxi_client* client, kqvxi_stats* stats) {
    if (client == nullptr || stats == nullptr) {
        return KQVXI_E_ARG;
    }
    *stats = kqvxi_stats{};
    if (OsAtomicLoad(&client->closed) != 0) {
        return KQVXI_E_CLOSED;
    }
    stats->received = OsAtomicLoad(&client->received);
    stats->server_restarts = OsAtomicLoad(&client->serverRestarts);
    stats->controller = client->controller;
    LockGate(client->viewGate);
    stats->slot = client->slot;
    stats->server_pid = client->serverPid;
    StatsSlot copy;
    const bool confirmed = OsAtomicLoad(&client->registered) != 0 &&
                           LiveServerInstance(client->view) == client->instance &&
                           CopyStatsSlot(client->view, client->slot, &copy) &&
                           copy.pid == client->pid && copy.registration == client->registration;
    UnlockGate(client->viewGate);
    if (!confirmed) {
        return KQVXI_E_NOT_REGISTERED;
    }
    stats->delivered = copy.delivered;
    stats->dropped_full = copy.droppedFull;
    stats->dropped_ended = copy.droppedEnded;
    stats->dropped_lock_kept = copy.droppedLockKept;
    stats->dropped = copy.droppedFull + copy.droppedEnded + copy.droppedLockKept;
    stats->lock_waits = copy.lockWaits;
    return KQVXI_OK;
}
