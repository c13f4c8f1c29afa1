// kqvxi_server_status: a controller's server and its clients as the server's
// statistics object shows them, for status tools. Reads only: no request is
// sent, no object is created, and nothing the object holds is trusted beyond a
// consistent copy of one slot.
#include <chrono>
#include <cstdint>
#include <cstring>

#include "client/stats_view.h"
#include "kqvxi/kqvxi.h"
#include "platform/process.h"

namespace {

// Tries at reading one server's view whole; a server that restarts while it is
// read makes the try start over, and one that keeps restarting is reported as
// no server rather than as a mix of two.
constexpr int STATUS_TRIES = 3;

static_assert(KQVXI_MAX_CLIENTS == MAX_CLIENTS && KQVXI_LEVEL_INDEXES == LEVEL_MASK_ENTRIES &&
                  KQVXI_SOURCE_INDEXES == SOURCE_MASK_ENTRIES &&
                  KQVXI_CHANNEL_INDEXES == CHANNEL_MASK_ENTRIES,
              "the public tables are the server's tables");

std::uint64_t NowUnixMs() {
    using namespace std::chrono;
    return static_cast<std::uint64_t>(
        duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count());
}

// 1 while pid runs. A process that cannot be opened any more has ended (the
// clients of a server run as its user, so access is not what fails); one whose
// exit code cannot be read counts as running, as the server's sweep counts it.
std::uint32_t ProcessAlive(std::uint32_t pid) {
    OsHandle process = OsOpenProcess(pid);
    if (process == OS_NO_HANDLE) {
        return 0;
    }
    OsProcessState state = OsQueryProcessState(process);
    OsCloseHandle(process);
    return state == OsProcessState::Ended ? 0 : 1;
}

void FillClientInfo(std::uint32_t slot, const StatsSlot& copy, kqvxi_client_info* info) {
    std::memset(info, 0, sizeof *info);
    info->slot = slot;
    info->pid = copy.pid;
    info->alive = ProcessAlive(copy.pid);
    info->flag_classes = copy.selections.flagClasses;
    info->delivered = copy.delivered;
    info->dropped_full = copy.droppedFull;
    info->dropped_ended = copy.droppedEnded;
    info->dropped_lock_kept = copy.droppedLockKept;
    info->lock_waits = copy.lockWaits;
    static_assert(sizeof info->level_masks == sizeof copy.selections.levelMask &&
                      sizeof info->source_level_masks == sizeof copy.selections.sourceMask &&
                      sizeof info->channel_masks == sizeof copy.selections.channelMask,
                  "the tables are copied whole");
    std::memcpy(info->level_masks, copy.selections.levelMask, sizeof info->level_masks);
    std::memcpy(info->source_level_masks, copy.selections.sourceMask,
                sizeof info->source_level_masks);
    std::memcpy(info->channel_masks, copy.selections.channelMask, sizeof info->channel_masks);
}

// One pass over the view: the number of held slots, the first maxClients of
// them in clients. 0 in *instance when no server publishes, or it changed.
int ReadOnce(const StatsView& view, std::uint16_t controller, kqvxi_server_info* server,
             kqvxi_client_info* clients, int maxClients, std::uint32_t* instance) {
    *instance = LiveServerInstance(view);
    if (*instance == 0) {
        return 0;
    }
    int held = 0;
    for (std::uint32_t slot = 0; slot < MAX_CLIENTS; ++slot) {
        StatsSlot copy;
        if (!CopyStatsSlot(view, slot, &copy)) {
            continue;
        }
        if (held < maxClients) {
            FillClientInfo(slot, copy, &clients[held]);
        }
        ++held;
    }
    const std::uint64_t started = StatsStartedAtUnixMs(view);
    const std::uint64_t now = NowUnixMs();
    std::memset(server, 0, sizeof *server);
    server->controller = controller;
    server->pid = StatsServerPid(view);
    server->instance = *instance;
    server->clients = static_cast<std::uint32_t>(held);
    server->uptime_ms = now > started ? now - started : 0;  // a clock set back reads as 0
    if (LiveServerInstance(view) != *instance) {
        *instance = 0;
    }
    return held;
}

}  // namespace

extern "C" int kqvxi_server_status(uint16_t controller, kqvxi_server_info* server,
                                   kqvxi_client_info* clients, int max_clients) {
    if (server == nullptr || max_clients < 0 || (clients == nullptr && max_clients > 0)) {
        return KQVXI_E_ARG;
    }
    StatsView view;
    if (!OpenStatsView(controller, &view)) {
        return KQVXI_E_NO_SERVER;
    }
    int result = KQVXI_E_NO_SERVER;
    for (int attempt = 0; attempt < STATUS_TRIES; ++attempt) {
        std::uint32_t instance = 0;
        int held = ReadOnce(view, controller, server, clients, max_clients, &instance);
        if (instance != 0) {
            result = held;
            break;
        }
        if (LiveServerInstance(view) == 0) {
            break;  // no server publishes: nothing to try again for
        }
    }
    CloseStatsView(&view);
    if (result < 0) {
        std::memset(server, 0, sizeof *server);
    }
    return result;
}
