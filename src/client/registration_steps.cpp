// Registering a handle with a controller's server, and telling when that server
// has gone: the sweep and count check, the register request, and the search
// for this process's slot in the server's statistics object, all under a
// machine-wide named mutex per controller, so that two handle-API clients that
// register at once never both pass the count check into a 51st registration.
#include <cstdio>

#include "client/handle.h"
#include "platform/atomic.h"
#include "platform/named_mutex.h"
#include "platform/process.h"

namespace {

// "KQVXI Client Registration <controller>".
constexpr std::uint32_t REGISTRATION_LOCK_NAME_SIZE = 48;
// Steps of the wait for the registration to show in the statistics object.
constexpr std::uint32_t SLOT_SEARCH_STEP_MS = 2;

// Waits up to limitMs for the server publishing in view (instance) to show pid
// in a slot. True with *slot and *registration filled.
bool AwaitOwnSlot(const StatsView& view, std::uint32_t instance, std::uint32_t pid,
                  std::uint32_t limitMs, std::uint32_t* slot, std::uint32_t* registration) {
    for (std::uint32_t waited = 0;; waited += SLOT_SEARCH_STEP_MS) {
        if (LiveServerInstance(view) != instance) {
            return false;
        }
        if (FindStatsSlot(view, pid, slot, registration)) {
            return true;
        }
        if (waited >= limitMs) {
            return false;
        }
        OsSleep(SLOT_SEARCH_STEP_MS);
    }
}

// The steps under the registration lock. The view is opened afresh, so a
// restarted server's new object is found whatever became of the old one.
int RegisterLocked(kqvxi_client* client) {
    std::uint32_t count = 0;
    if (SendRequest(client, KQVXI_CMD_SWEEP, 0, 0, 0, &count) != KQVXI_OK) {
        return KQVXI_E_NO_SERVER;
    }
    if (count >= KQVXI_MAX_CLIENTS) {
        return KQVXI_E_FULL;
    }
    StatsView view{};
    if (!OpenStatsView(client->controller, &view)) {
        return KQVXI_E_NO_SERVER;
    }
    const std::uint32_t instance = LiveServerInstance(view);
    if (instance == 0) {
        CloseStatsView(&view);
        return KQVXI_E_NO_SERVER;
    }
    if (SendRequest(client, KQVXI_CMD_REGISTER, 0, 0, 0) != KQVXI_OK) {
        CloseStatsView(&view);
        return KQVXI_E_NO_SERVER;
    }
    std::uint32_t slot = 0;
    std::uint32_t registration = 0;
    if (!AwaitOwnSlot(view, instance, client->pid, client->timeoutMs, &slot, &registration)) {
        // A server that registered us without saying so (or that was replaced
        // meanwhile): take back what it may hold, so nothing stays registered.
        if (LiveServerInstance(view) == instance) {
            SendRequest(client, KQVXI_CMD_UNREGISTER, 0, 0, 0);
        }
        CloseStatsView(&view);
        return KQVXI_E_NO_SERVER;
    }
    LockGate(client->viewGate);
    StatsView old = client->view;
    client->view = view;
    client->instance = instance;
    client->slot = slot;
    client->registration = registration;
    client->serverPid = StatsServerPid(view);
    OsAtomicStore(&client->registered, std::int32_t{1});
    OsAtomicStore(&client->serverGone, std::int32_t{0});
    UnlockGate(client->viewGate);
    CloseStatsView(&old);
    return KQVXI_OK;
}

}  // namespace

int RegisterWithServer(kqvxi_client* client) {
    char name[REGISTRATION_LOCK_NAME_SIZE];
    std::snprintf(name, sizeof name, "KQVXI Client Registration %u",
                  static_cast<unsigned>(client->controller));
    OsHandle lock = OsCreateMutex(name);
    if (lock == OS_NO_HANDLE) {
        return KQVXI_E_SYSTEM;
    }
    // Bounded: a holder that is stopped must not hold this open for ever. An
    // abandoned lock (its holder ended inside) is ours like a released one.
    const std::uint32_t got = OsWaitForObject(lock, client->timeoutMs);
    if (got != OS_WAIT_OBJECT_0 && got != OS_WAIT_ABANDONED) {
        OsCloseHandle(lock);
        return got == OS_WAIT_TIMEOUT ? KQVXI_E_TIMEOUT : KQVXI_E_SYSTEM;
    }
    const int status = RegisterLocked(client);
    OsReleaseMutex(lock);
    OsCloseHandle(lock);
    return status;
}

bool ServerReplaced(kqvxi_client* client) {
    if (OsAtomicLoad(&client->registered) == 0) {
        return true;
    }
    LockGate(client->viewGate);
    const bool replaced = LiveServerInstance(client->view) != client->instance;
    UnlockGate(client->viewGate);
    return replaced;
}

int Reregister(kqvxi_client* client) {
    LockGate(client->control);
    if (OsAtomicLoad(&client->closed) != 0) {
        UnlockGate(client->control);
        return KQVXI_E_CLOSED;
    }
    // Another reading thread may have re-registered while this one waited.
    if (!ServerReplaced(client)) {
        UnlockGate(client->control);
        return REREGISTERED_BEFORE;
    }
    OsAtomicStore(&client->registered, std::int32_t{0});
    // Only a look, no request, while no new server publishes: a read that
    // waits for one must not spend a request timeout per step.
    StatsView probe{};
    bool running = false;
    if (OpenStatsView(client->controller, &probe)) {
        const std::uint32_t live = LiveServerInstance(probe);
        running = live != 0 && live != client->instance;
        CloseStatsView(&probe);
    }
    int status = KQVXI_E_NO_SERVER;
    if (running) {
        status = RegisterWithServer(client);
        if (status == KQVXI_OK) {
            ReapplySelections(client);
            OsAtomicFetchAdd(&client->serverRestarts, std::uint32_t{1});
        } else if (status != KQVXI_E_FULL) {
            status = KQVXI_E_NO_SERVER;
        }
    }
    UnlockGate(client->control);
    return status;
}
