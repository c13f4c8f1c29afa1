// Latency, flood and paced-rate trials of the end-to-end harness, and the start
// and end of a set of consumer processes.
#include "measure.h"

#include "platform/atomic.h"

#include <dirent.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace e2e {

volatile sig_atomic_t aborted = 0;
std::int64_t deadlineNs = 0;
bool quick = false;

namespace {

constexpr double LOSS_LIMIT = 0.001;  // lossless: at most 0.1 % of records lost
constexpr std::int64_t MS = 1'000'000;
constexpr int MAX_TRIALS = 16;
constexpr int QUICK_MAX_TRIALS = 6;

// The CPU time of every thread of process pid in ns, or -1.
std::int64_t ProcessCpuNs(pid_t pid) {
    char path[64];
    std::snprintf(path, sizeof path, "/proc/%d/task", static_cast<int>(pid));
    DIR* tasks = opendir(path);
    if (tasks == nullptr) {
        return -1;
    }
    std::int64_t sum = 0;
    bool any = false;
    while (const dirent* task = readdir(tasks)) {
        if (task->d_name[0] == '.') {
            continue;
        }
        char file[320];
        std::snprintf(file, sizeof file, "/proc/%d/task/%s/schedstat", static_cast<int>(pid),
                      task->d_name);
        FILE* in = std::fopen(file, "r");
        long long ns = 0;
        if (in != nullptr && std::fscanf(in, "%lld", &ns) == 1) {
            sum += ns;
            any = true;
        }
        if (in != nullptr) {
            std::fclose(in);
        }
    }
    closedir(tasks);
    return any ? sum : -1;
}

// CPU per record between two readings of the consumers' CPU; 0 when unknown.
double CpuPerRecord(std::int64_t before, std::int64_t after, std::uint64_t records) {
    if (before < 0 || after < before || records == 0) {
        return 0.0;
    }
    return static_cast<double>(after - before) / static_cast<double>(records);
}

// Waits until expected records have arrived or nothing arrived for quietMs.
// Returns the time the last record was seen to arrive.
std::int64_t Settle(const Run& run, std::uint64_t expected, int quietMs) {
    std::uint64_t last = Received(run);
    std::int64_t lastChange = NowNs();
    const std::int64_t end = lastChange + 3000 * MS;
    while (last < expected && NowNs() < end && aborted == 0) {
        SleepUs(500);
        const std::uint64_t now = Received(run);
        if (now != last) {
            last = now;
            lastChange = NowNs();
        } else if (NowNs() - lastChange > quietMs * MS) {
            break;
        }
    }
    return lastChange;
}

void PostStamped(Run& run) {
    const std::uint32_t seq = run.nextSeq++;
    OsAtomicStore(&run.control->stampNs[seq % STAMP_SLOTS], NowNs());
    run.peer->post(seq);
}

struct Trial {
    bool pass;
    bool keptPace;
    double lostPct;
    double sourceShare;  // part of the lost records refused by the producer's side
};

// Posts at rate events/s for about a quarter second (a tenth in quick mode);
// passes when at most 0.1 % was lost and the producer kept the pace.
Trial PacedTrial(Run& run, double rate) {
    std::uint64_t count = static_cast<std::uint64_t>(rate * (quick ? 0.1 : 0.25));
    count = count < 100 ? 100 : count > 500000 ? 500000 : count;
    const double gapNs = 1e9 / rate;
    const std::uint64_t before = Received(run);
    const std::int64_t start = NowNs();
    const std::int64_t limit =
        start + static_cast<std::int64_t>(1.5e9 * static_cast<double>(count) / rate) + 5 * MS;
    std::uint64_t sent = 0, refused = 0;
    bool keptPace = true;
    while (sent < count) {
        const std::int64_t now = NowNs();
        if (now > limit || aborted != 0) {
            keptPace = false;
            break;
        }
        const std::int64_t due =
            start + static_cast<std::int64_t>(gapNs * static_cast<double>(sent));
        if (due <= now) {
            refused += static_cast<std::uint64_t>(run.peer->post(run.nextSeq++));
            ++sent;
        } else if (due - now > 80000) {
            SleepUs((due - now) / 1000 - 60);
        }
    }
    const std::uint64_t expected = before + sent * static_cast<std::uint64_t>(run.count);
    Settle(run, expected, 100);
    const double got = static_cast<double>(Received(run) - before);
    const double offered = static_cast<double>(count) * run.count;
    SleepUs(20000);  // late stragglers land before the next trial counts
    Trial t{};
    t.keptPace = keptPace;
    t.pass = keptPace && got >= offered * (1.0 - LOSS_LIMIT);
    const double lost = offered - got;
    t.lostPct = offered > 0 ? 100.0 * lost / offered : 0.0;
    t.sourceShare = lost > 0 ? 100.0 * static_cast<double>(refused) / lost : 0.0;
    return t;
}

// A failed trial is tried once more: on a shared machine one stall of another
// program longer than a queue's worth of events fails a trial by itself.
Trial TrialAtRate(Run& run, double rate) {
    Trial t = PacedTrial(run, rate);
    if (!t.pass && !OutOfTime()) {
        t = PacedTrial(run, rate);
    }
    return t;
}

void NoteFailure(Search* s, double rate, const Trial& t) {
    if (s->hi == 0 || rate <= s->hi) {
        s->failLostPct = t.lostPct;
        s->failSourceShare = t.sourceShare;
        s->failPaced = t.keptPace;
    }
}

}  // namespace

std::uint64_t Received(const Run& run) {
    std::uint64_t sum = 0;
    for (int i = 0; i < run.count; ++i) {
        sum += OsAtomicLoad(&run.control->consumers[i].received);
    }
    return sum;
}

std::int64_t ConsumersCpuNs(const Run& run) {
    std::int64_t sum = 0;
    for (int i = 0; i < run.count; ++i) {
        const std::int64_t ns = ProcessCpuNs(run.consumers[i]);
        if (ns < 0) {
            return -1;
        }
        sum += ns;
    }
    return sum;
}

bool OutOfTime() {
    return aborted != 0 || NowNs() > deadlineNs;
}

bool StartRun(Run* run, const Peer* peer, int count) {
    *run = Run{};
    run->peer = peer;
    run->count = count;
    for (pid_t& p : run->consumers) {
        p = -1;
    }
    run->fd = memfd_create("kq_e2e control", 0);
    if (run->fd < 0 || ftruncate(run->fd, sizeof(Control)) != 0) {
        std::fprintf(stderr, "cannot create the control block\n");
        EndRun(run);
        return false;
    }
    void* mem = mmap(nullptr, sizeof(Control), PROT_READ | PROT_WRITE, MAP_SHARED, run->fd, 0);
    if (mem == MAP_FAILED) {
        EndRun(run);
        return false;
    }
    run->control = static_cast<Control*>(mem);
    char arg[64] = {};
    if (!peer->open(count, arg, sizeof arg)) {
        EndRun(run);
        return false;
    }
    run->opened = true;
    char fdText[16], indexText[16];
    std::snprintf(fdText, sizeof fdText, "%d", run->fd);
    for (int i = 0; i < count; ++i) {
        std::snprintf(indexText, sizeof indexText, "%d", i);
        run->consumers[i] = Spawn(SelfPath(), {"consumer", peer->name, indexText, fdText, arg});
        if (run->consumers[i] < 0) {
            EndRun(run);
            return false;
        }
    }
    const std::int64_t end = NowNs() + 60000 * MS;
    for (int i = 0; i < count; ++i) {
        std::uint32_t ready = 0;
        while ((ready = OsAtomicLoad(&run->control->consumers[i].ready)) == 0 && NowNs() < end &&
               aborted == 0) {
            SleepUs(1000);
        }
        if (ready != 1) {
            std::fprintf(stderr, "%s: consumer %d did not start\n", peer->name, i);
            EndRun(run);
            return false;
        }
    }
    return true;
}

void EndRun(Run* run) {
    if (run->control != nullptr) {
        OsAtomicStore(&run->control->stop, 1u);
    }
    for (int i = 0; i < run->count; ++i) {
        if (run->consumers[i] > 0 && WaitExit(run->consumers[i], 10000) != 0) {
            std::fprintf(stderr, "%s: consumer %d ended badly\n", run->peer->name, i);
        }
        run->consumers[i] = -1;
    }
    if (run->opened) {
        run->peer->close();
        run->opened = false;
    }
    if (run->control != nullptr) {
        munmap(run->control, sizeof(Control));
        run->control = nullptr;
    }
    if (run->fd >= 0) {
        close(run->fd);
        run->fd = -1;
    }
}

void LatencyWarmUp(Run& run) {
    // Without samples: the first records fault pages in.
    std::uint64_t expected = Received(run);
    for (int k = 0; k < 20 && aborted == 0; ++k) {
        PostStamped(run);
        expected += static_cast<std::uint64_t>(run.count);
        Settle(run, expected, 200);
        SleepUs(300);
    }
}

void LatencyRound(Run& run, int events) {
    OsAtomicStore(&run.control->measureLatency, 1u);
    const std::int64_t end = NowNs() + 5000 * MS;
    for (int k = 0; k < events && NowNs() < end && !OutOfTime(); ++k) {
        const std::uint64_t expected = Received(run) + static_cast<std::uint64_t>(run.count);
        const std::int64_t before = NowNs();
        PostStamped(run);
        if (run.posts < MAX_SAMPLES) {
            run.postNs[run.posts++] = static_cast<std::uint32_t>(NowNs() - before);
        }
        const std::int64_t limit = NowNs() + 1000 * MS;
        while (Received(run) < expected && NowNs() < limit) {
            SleepUs(20);
        }
        SleepUs(300);  // every consumer back asleep in its wait
    }
    OsAtomicStore(&run.control->measureLatency, 0u);
}

void LatencyResult(Run& run, Figures* f) {
    std::vector<double> us, wake;
    for (int i = 0; i < run.count; ++i) {
        const ConsumerState& c = run.control->consumers[i];
        const std::uint32_t n = OsAtomicLoad(&c.samples);
        for (std::uint32_t s = 0; s < n; ++s) {
            us.push_back(static_cast<double>(c.latencyNs[s]) / 1000.0);
            wake.push_back(static_cast<double>(c.wakeLatencyNs[s]) / 1000.0);
        }
    }
    // The consumer posted to first (slot or queue 0): at N = 50 it shows whether
    // consumers run while the producer's side is still waking the others.
    std::vector<double> first;
    if (run.count > 0) {
        const ConsumerState& c = run.control->consumers[0];
        const std::uint32_t n = OsAtomicLoad(&c.samples);
        for (std::uint32_t s = 0; s < n; ++s) {
            first.push_back(static_cast<double>(c.latencyNs[s]) / 1000.0);
        }
    }
    f->firstP50Us = Percentile(first, 50);
    f->wakeP50Us = Percentile(wake, 50);
    std::vector<double> post;
    for (int i = 0; i < run.posts; ++i) {
        post.push_back(static_cast<double>(run.postNs[i]) / 1000.0);
    }
    f->postP50Us = Percentile(post, 50);
    f->latSamples = static_cast<int>(us.size());
    f->latP50Us = Percentile(us, 50);
    f->latP99Us = Percentile(us, 99);
}

void MeasureFlood(Run& run, Figures* f) {
    const std::uint64_t before = Received(run);
    const std::int64_t cpuBefore = ConsumersCpuNs(run);
    const std::int64_t start = NowNs();
    const std::int64_t stopAt = start + (quick ? 200 : 1000) * MS;
    std::uint64_t posted = 0, refused = 0;
    while (posted < 2'000'000 && aborted == 0) {
        for (int i = 0; i < 64; ++i) {
            refused += static_cast<std::uint64_t>(run.peer->post(run.nextSeq++));
        }
        posted += 64;
        if (NowNs() > stopAt) {
            break;
        }
    }
    const std::int64_t postedAt = NowNs();
    const std::uint64_t expected = before + posted * static_cast<std::uint64_t>(run.count);
    std::int64_t lastArrival = Settle(run, expected, 100);
    if (lastArrival < postedAt) {
        lastArrival = postedAt;
    }
    const std::uint64_t taken = Received(run) - before;
    f->floodCpuNs = CpuPerRecord(cpuBefore, ConsumersCpuNs(run), taken);
    const double got = static_cast<double>(taken);
    const double offered = static_cast<double>(posted) * run.count;
    f->floodPerS = got / (static_cast<double>(lastArrival - start) / 1e9);
    f->floodDropPct = offered > 0 ? 100.0 * (1.0 - got / offered) : 0.0;
    f->floodSourceDropPct = offered > 0 ? 100.0 * static_cast<double>(refused) / offered : 0.0;
    f->floodPostNs = static_cast<double>(postedAt - start) / static_cast<double>(posted);
    SleepUs(50000);
}

void SearchStep(Run& run, Search* s) {
    if (s->done || OutOfTime()) {
        s->done = true;
        return;
    }
    ++s->trials;
    if (s->hi == 0 || s->lo == 0) {
        // Doubling (or halving) until the first pass and the first failure are known.
        const Trial t = TrialAtRate(run, s->rate);
        if (t.pass) {
            s->lo = s->rate;
            s->done = s->rate >= 4e6;
            s->rate *= 2;
        } else {
            NoteFailure(s, s->rate, t);
            s->hi = s->rate;
            s->done = s->rate < 200;
            s->rate /= 2;
        }
        if (s->lo > 0 && s->hi > 0) {
            s->done = s->hi <= s->lo;
        }
    } else {
        const double mid = (s->lo + s->hi) / 2;
        const Trial t = TrialAtRate(run, mid);
        if (t.pass) {
            s->lo = mid;
        } else {
            NoteFailure(s, mid, t);
            s->hi = mid;
        }
        s->done = ++s->narrowing >= 4;
    }
    if (s->trials >= (quick ? QUICK_MAX_TRIALS : MAX_TRIALS)) {
        s->done = true;
    }
}

}  // namespace e2e
