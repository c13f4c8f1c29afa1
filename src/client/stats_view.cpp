// The client's read-only view of a server statistics object (see stats_view.h).
// Every value is read with one atomic load; a slot's copy is taken between two
// reads of its registration serial, which the server clears first and sets last.
#include "client/stats_view.h"

#include "platform/atomic.h"
#include "platform/mapping.h"
#include "platform/process.h"

namespace {

template <typename T>
void CopyWords(const T* from, T* to, std::uint32_t count) {
    for (std::uint32_t i = 0; i < count; ++i) {
        to[i] = OsAtomicLoadRelaxed(&from[i]);
    }
}

}  // namespace

bool OpenStatsView(std::uint16_t controller, StatsView* view) {
    *view = StatsView{};
    char name[SERVER_STATS_NAME_SIZE];
    FormatServerStatsName(name, controller);
    OsHandle mapping = OsOpenMapping(name, sizeof(ServerStats));
    if (mapping == OS_NO_HANDLE) {
        return false;
    }
    const void* base = OsMapViewReadOnly(mapping, sizeof(ServerStats));
    if (base == nullptr) {
        OsCloseHandle(mapping);
        return false;
    }
    view->mapping = mapping;
    view->stats = static_cast<const ServerStats*>(base);
    return true;
}

void CloseStatsView(StatsView* view) {
    if (view->stats != nullptr) {
        OsUnmapView(const_cast<ServerStats*>(view->stats));
    }
    if (view->mapping != OS_NO_HANDLE) {
        OsCloseHandle(view->mapping);
    }
    *view = StatsView{};
}

std::uint32_t LiveServerInstance(const StatsView& view) {
    const ServerStats* s = view.stats;
    if (s == nullptr || OsAtomicLoad(&s->magic) != SERVER_STATS_MAGIC ||
        OsAtomicLoad(&s->version) != SERVER_STATS_VERSION) {
        return 0;
    }
    const std::uint32_t instance = OsAtomicLoad(&s->instance);
    if (instance == 0) {
        return 0;
    }
    // A server killed outright never clears its instance: ask whether the
    // process it names still runs. A process that cannot be opened has ended
    // (or never was); one whose state cannot be read counts as running.
    OsHandle process = OsOpenProcess(OsAtomicLoad(&s->serverPid));
    if (process == OS_NO_HANDLE) {
        return 0;
    }
    const bool ended = OsQueryProcessState(process) == OsProcessState::Ended;
    OsCloseHandle(process);
    if (ended || OsAtomicLoad(&s->instance) != instance) {
        return 0;
    }
    return instance;
}

std::uint32_t StatsServerPid(const StatsView& view) {
    return view.stats == nullptr ? 0 : OsAtomicLoad(&view.stats->serverPid);
}

std::uint64_t StatsStartedAtUnixMs(const StatsView& view) {
    return view.stats == nullptr ? 0 : OsAtomicLoad(&view.stats->startedAtUnixMs);
}

bool CopyStatsSlot(const StatsView& view, std::uint32_t slot, StatsSlot* out) {
    *out = StatsSlot{};
    if (view.stats == nullptr || slot >= MAX_CLIENTS) {
        return false;
    }
    const StatsSlot& from = view.stats->slots[slot];
    const std::uint32_t before = OsAtomicLoad(&from.registration);
    if (before == 0) {
        return false;
    }
    StatsSlot copy{};
    copy.registration = before;
    copy.pid = OsAtomicLoadRelaxed(&from.pid);
    copy.delivered = OsAtomicLoadRelaxed(&from.delivered);
    copy.droppedFull = OsAtomicLoadRelaxed(&from.droppedFull);
    copy.droppedEnded = OsAtomicLoadRelaxed(&from.droppedEnded);
    copy.droppedLockKept = OsAtomicLoadRelaxed(&from.droppedLockKept);
    copy.lockWaits = OsAtomicLoadRelaxed(&from.lockWaits);
    copy.selections.flagClasses = OsAtomicLoadRelaxed(&from.selections.flagClasses);
    CopyWords(from.selections.levelMask, copy.selections.levelMask, LEVEL_MASK_ENTRIES);
    CopyWords(from.selections.sourceMask, copy.selections.sourceMask, SOURCE_MASK_ENTRIES);
    CopyWords(from.selections.channelMask, copy.selections.channelMask, CHANNEL_MASK_ENTRIES);
    // The second read of the serial comes after the loads above (x86 and the
    // compilers keep loads in order around a sequentially consistent load).
    if (OsAtomicLoadSeqCst(&from.registration) != before || copy.pid == 0) {
        return false;
    }
    *out = copy;
    return true;
}

bool FindStatsSlot(const StatsView& view, std::uint32_t pid, std::uint32_t* slot,
                   std::uint32_t* registration) {
    if (view.stats == nullptr || pid == 0) {
        return false;
    }
    for (std::uint32_t i = 0; i < MAX_CLIENTS; ++i) {
        const StatsSlot& s = view.stats->slots[i];
        const std::uint32_t before = OsAtomicLoad(&s.registration);
        if (before != 0 && OsAtomicLoadRelaxed(&s.pid) == pid &&
            OsAtomicLoadSeqCst(&s.registration) == before) {
            *slot = i;
            *registration = before;
            return true;
        }
    }
    return false;
}
