// Clocks, the consumers' record bookkeeping, process start and stop, and
// percentiles for the end-to-end harness.
#include "harness.h"
#include "platform/atomic.h"

#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

extern char** environ;

namespace e2e {

namespace {

struct PeerTable {
    const Peer* peers[MAX_PEERS];
    int ranks[MAX_PEERS];
    int count;
};

PeerTable& Peers() {
    static PeerTable table{};
    return table;
}

}  // namespace

PeerRegistrar::PeerRegistrar(const Peer* peer, int rank) {
    PeerTable& t = Peers();
    if (t.count == MAX_PEERS) {
        return;
    }
    int at = t.count;
    while (at > 0 && t.ranks[at - 1] > rank) {
        t.peers[at] = t.peers[at - 1];
        t.ranks[at] = t.ranks[at - 1];
        --at;
    }
    t.peers[at] = peer;
    t.ranks[at] = rank;
    ++t.count;
}

int PeerCount() {
    return Peers().count;
}

const Peer* PeerAt(int index) {
    return index >= 0 && index < Peers().count ? Peers().peers[index] : nullptr;
}

std::int64_t NowNs() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<std::int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

void SleepUs(std::int64_t us) {
    timespec ts{};
    ts.tv_sec = us / 1000000;
    ts.tv_nsec = (us % 1000000) * 1000;
    while (nanosleep(&ts, &ts) != 0 && errno == EINTR) {
    }
}

namespace {

std::uint32_t Clamp(std::int64_t ns) {
    return ns < 0 ? 0 : ns > 0xFFFFFFFF ? 0xFFFFFFFFu : static_cast<std::uint32_t>(ns);
}

}  // namespace

void NoteRecords(Control* control, ConsumerState* self, const std::uint32_t* seqs, int count,
                 std::int64_t wokeNs) {
    if (count <= 0) {
        return;
    }
    if (OsAtomicLoad(&control->measureLatency) != 0) {
        const std::int64_t now = NowNs();
        const std::int64_t woke = wokeNs != 0 ? wokeNs : now;
        for (int i = 0; i < count; ++i) {
            std::uint32_t n = OsAtomicLoadRelaxed(&self->samples);
            if (n >= static_cast<std::uint32_t>(MAX_SAMPLES)) {
                break;
            }
            const std::int64_t stamp =
                OsAtomicLoad(&control->stampNs[seqs[i] % static_cast<std::uint32_t>(STAMP_SLOTS)]);
            self->latencyNs[n] = Clamp(now - stamp);
            self->wakeLatencyNs[n] = Clamp(woke - stamp);
            OsAtomicStore(&self->samples, n + 1);
        }
    }
    OsAtomicFetchAdd(&self->received, static_cast<std::uint64_t>(count));
}

namespace {

constexpr int MAX_SPAWNED = 1024;
pid_t spawned[MAX_SPAWNED];
int spawnedCount = 0;

}  // namespace

int SpawnedCount() {
    return spawnedCount;
}

pid_t SpawnedAt(int index) {
    return index >= 0 && index < spawnedCount ? spawned[index] : -1;
}

pid_t Spawn(const char* path, const std::vector<const char*>& args) {
    std::vector<char*> argv;
    argv.push_back(const_cast<char*>(path));
    for (const char* a : args) {
        argv.push_back(const_cast<char*>(a));
    }
    argv.push_back(nullptr);
    pid_t pid = 0;
    if (posix_spawn(&pid, path, nullptr, nullptr, argv.data(), environ) != 0) {
        return -1;
    }
    if (spawnedCount < MAX_SPAWNED) {
        spawned[spawnedCount++] = pid;
    }
    return pid;
}

int WaitExit(pid_t pid, int timeoutMs) {
    if (pid <= 0) {
        return -1;
    }
    const std::int64_t end = NowNs() + static_cast<std::int64_t>(timeoutMs) * 1000000;
    for (;;) {
        int status = 0;
        pid_t r = waitpid(pid, &status, WNOHANG);
        if (r == pid) {
            return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        }
        if (r < 0 && errno != EINTR) {
            return -1;
        }
        if (NowNs() > end) {
            kill(pid, SIGKILL);
            waitpid(pid, &status, 0);
            return -1;
        }
        SleepUs(2000);
    }
}

const char* SelfPath() {
    static char path[4096];
    if (path[0] == 0) {
        ssize_t n = readlink("/proc/self/exe", path, sizeof path - 1);
        path[n > 0 ? n : 0] = 0;
    }
    return path;
}

const char* ProgramDir() {
    static char dir[4096];
    if (dir[0] == 0) {
        std::snprintf(dir, sizeof dir, "%s", SelfPath());
        char* slash = std::strrchr(dir, '/');
        if (slash != nullptr) {
            *slash = 0;
        }
    }
    return dir;
}

double Percentile(std::vector<double>& values, double p) {
    if (values.empty()) {
        return 0.0;
    }
    std::sort(values.begin(), values.end());
    std::size_t i = static_cast<std::size_t>(p / 100.0 * static_cast<double>(values.size() - 1));
    return values[std::min(i, values.size() - 1)];
}

}  // namespace e2e
