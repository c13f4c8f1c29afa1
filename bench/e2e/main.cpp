// kq_e2e: one producer and N consumer processes (N = 1, 8, 50) on the same
// fan-out job for our server (also through the client handle with wake
// coalescing or spinning on), POSIX message queues and, when built in,
// Boost.Interprocess message queues, ZeroMQ PUB/SUB and iceoryx: latency with
// the consumer asleep, a flood, and the highest paced rate with at most 0.1 %
// loss. kqvxi's path makes two hops (board queue, dispatch thread, client);
// POSIX mq and ZeroMQ also run in two hops through a relay process, the others
// in one. Beside them the machine's floor for one and for two cross-process
// wake-ups in series. Prints a table and one "e2e:" line of key=value figures
// for bench/run.
//
//   kq_e2e [--peers kqvxi,posix-mq,...] [--counts 1,8,50]
//          [--phases latency,flood,lossless] [--limit-s seconds]
//          [--searches 1..3] [--coalesce-us us] [--spin-us us] [--quick]
//   kq_e2e list    (the peers built in, comma-separated)
//   kq_e2e consumer <peer> <index> <control fd> <peer arg>   (started by itself)
//   kq_e2e relay <peer> <ready fd> <relay arg>               (started by itself)
//   kq_e2e sweep   (after a run: removes names its ended processes left behind)
#include <fcntl.h>
#include <signal.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "harness.h"
#include "platform/atomic.h"
#include "kq_server.h"
#include "measure.h"
#include "relay.h"
#include "kqvxi/client.h"

namespace e2e {
namespace {

constexpr int COUNTS[] = {1, 8, 50};
constexpr int COUNT_KINDS = 3;
constexpr int LATENCY_ROUNDS = 5;  // the peers take turns this many times
// Searches for the lossless rate per peer and count; the figure is their median,
// since one stall of the machine can move a single search by a factor of two.
constexpr int LOSSLESS_SEARCHES = 3;
// Where each search's rate is kept.
constexpr double Figures::*LOSSLESS_EACH[LOSSLESS_SEARCHES] = {
    &Figures::losslessFirst, &Figures::losslessSecond, &Figures::losslessThird};

std::string phases = "latency,flood,lossless";
std::string counts = "1,8,50";
int searchCount = LOSSLESS_SEARCHES;  // --searches: fewer for a shorter run

int FindPeer(const char* name) {
    for (int p = 0; p < PeerCount(); ++p) {
        if (std::strcmp(PeerAt(p)->name, name) == 0) {
            return p;
        }
    }
    return -1;
}

bool Wanted(const std::string& list, const std::string& item) {
    return ("," + list + ",").find("," + item + ",") != std::string::npos;
}

// The finished search whose rate is the median of those that finished (a search
// cut short by the time limit does not count); the first one when none did.
const Search& MedianSearch(const Search* searches, int n) {
    // At most LOSSLESS_SEARCHES searches are kept; finished ones in rising order of
    // their rate (an insertion sort: there are three).
    int done[LOSSLESS_SEARCHES];
    int count = 0;
    for (int r = 0; r < n && r < LOSSLESS_SEARCHES; ++r) {
        if (!searches[r].done || searches[r].trials <= 0) {
            continue;
        }
        int at = count++;
        while (at > 0 && searches[done[at - 1]].lo > searches[r].lo) {
            done[at] = done[at - 1];
            --at;
        }
        done[at] = r;
    }
    if (count == 0) {
        return searches[0];
    }
    return searches[done[(count - 1) / 2]];
}

// Every wanted peer with count consumers at once; the measurements take turns
// between the peers so that each sees the same load of this machine.
void RunCount(const std::string& peers, int c, Figures (*figures)[COUNT_KINDS]) {
    const int count = COUNTS[c];
    Run runs[MAX_PEERS];
    bool live[MAX_PEERS] = {};
    for (int p = 0; p < PeerCount(); ++p) {
        if (Wanted(peers, PeerAt(p)->name) && !OutOfTime()) {
            std::fprintf(stderr, "e2e: %s N=%d\n", PeerAt(p)->name, count);
            live[p] = StartRun(&runs[p], PeerAt(p), count);
            figures[p][c].ran = live[p];
        }
    }
    // Every peer delivers a few events before anything counts (pages fault in,
    // subscriptions reach their publisher).
    for (int p = 0; p < PeerCount(); ++p) {
        if (live[p]) {
            LatencyWarmUp(runs[p]);
        }
    }
    if (count != 8 && phases.find("latency") != std::string::npos) {
        const int events = (count == 1 ? 1500 : 200) / (quick ? 10 : 1);
        for (int round = 0; round < LATENCY_ROUNDS && !OutOfTime(); ++round) {
            for (int p = 0; p < PeerCount(); ++p) {
                if (live[p]) {
                    LatencyRound(runs[p], events / LATENCY_ROUNDS);
                }
            }
        }
        for (int p = 0; p < PeerCount(); ++p) {
            if (live[p]) {
                LatencyResult(runs[p], &figures[p][c]);
            }
        }
    }
    if (phases.find("flood") != std::string::npos) {
        for (int p = 0; p < PeerCount(); ++p) {
            if (live[p] && !OutOfTime()) {
                MeasureFlood(runs[p], &figures[p][c]);
            }
        }
    }
    if (phases.find("lossless") != std::string::npos) {
        Search searches[MAX_PEERS][LOSSLESS_SEARCHES];
        for (int r = searchCount; r < LOSSLESS_SEARCHES; ++r) {
            for (int p = 0; p < PeerCount(); ++p) {
                searches[p][r].done = true;  // not made: trials 0, rate 0
            }
        }
        std::int64_t cpuBefore[MAX_PEERS];
        std::uint64_t receivedBefore[MAX_PEERS];
        for (int p = 0; p < PeerCount(); ++p) {
            cpuBefore[p] = live[p] ? ConsumersCpuNs(runs[p]) : -1;
            receivedBefore[p] = live[p] ? Received(runs[p]) : 0;
        }
        for (int r = 0; r < searchCount && !OutOfTime(); ++r) {
            bool searching = true;
            while (searching && !OutOfTime()) {
                searching = false;
                for (int p = 0; p < PeerCount(); ++p) {
                    if (live[p] && !searches[p][r].done) {
                        SearchStep(runs[p], &searches[p][r]);
                        searching = true;
                    }
                }
            }
        }
        for (int p = 0; p < PeerCount(); ++p) {
            const Search& s = MedianSearch(searches[p], LOSSLESS_SEARCHES);
            Figures& f = figures[p][c];
            if (live[p]) {
                const std::int64_t cpu = ConsumersCpuNs(runs[p]);
                const std::uint64_t taken = Received(runs[p]) - receivedBefore[p];
                if (cpuBefore[p] >= 0 && cpu >= cpuBefore[p] && taken > 0) {
                    f.pacedCpuNs =
                        static_cast<double>(cpu - cpuBefore[p]) / static_cast<double>(taken);
                }
            }
            f.lossless = s.lo;
            f.failLostPct = s.failLostPct;
            f.failSourceShare = s.failSourceShare;
            for (int r = 0; r < LOSSLESS_SEARCHES; ++r) {
                f.trials += searches[p][r].trials;
                f.*LOSSLESS_EACH[r] = searches[p][r].lo;
            }
        }
    }
    for (int p = 0; p < PeerCount(); ++p) {
        if (live[p]) {
            EndRun(&runs[p]);
        }
    }
}

// Raises the system's limit on messages per queue to what the job needs when
// running as root; gives back the value to restore, or 0.
long RaiseMqLimit() {
    const char* path = "/proc/sys/fs/mqueue/msg_max";
    FILE* in = std::fopen(path, "r");
    long old = 0;
    if (in == nullptr || std::fscanf(in, "%ld", &old) != 1) {
        if (in != nullptr) {
            std::fclose(in);
        }
        return 0;
    }
    std::fclose(in);
    if (old >= QUEUE_RECORDS) {
        return 0;
    }
    FILE* out = std::fopen(path, "w");
    if (out == nullptr) {
        std::printf("note: cannot raise %s from %ld (not root?); posix-mq may not start\n", path,
                    old);
        return 0;
    }
    std::fprintf(out, "%d\n", QUEUE_RECORDS);
    std::fclose(out);
    return old;
}

void RestoreMqLimit(long old) {
    if (old > 0) {
        FILE* out = std::fopen("/proc/sys/fs/mqueue/msg_max", "w");
        if (out != nullptr) {
            std::fprintf(out, "%ld\n", old);
            std::fclose(out);
        }
    }
}

void OnSignal(int) {
    aborted = 1;
}

std::string Cell(const Figures& f, double value, const char* format) {
    if (!f.ran) {
        return "-";
    }
    char text[32];
    std::snprintf(text, sizeof text, format, value);
    return text;
}

int Main(int argc, char** argv) {
    std::string peers;
    for (int p = 0; p < PeerCount(); ++p) {
        peers += std::string(p > 0 ? "," : "") + PeerAt(p)->name;
    }
    double limitS = 200;
    for (int i = 1; i < argc; i += 2) {
        if (std::strcmp(argv[i], "--quick") == 0) {
            quick = true;
            --i;  // a flag: no value follows
            continue;
        }
        if (i + 1 >= argc) {
            std::fprintf(stderr, "kq_e2e: %s needs a value\n", argv[i]);
            return 2;
        }
        if (std::strcmp(argv[i], "--peers") == 0) {
            peers = argv[i + 1];
        } else if (std::strcmp(argv[i], "--phases") == 0) {
            phases = argv[i + 1];
        } else if (std::strcmp(argv[i], "--counts") == 0) {
            counts = argv[i + 1];
        } else if (std::strcmp(argv[i], "--limit-s") == 0) {
            limitS = std::atof(argv[i + 1]);
        } else if (std::strcmp(argv[i], "--searches") == 0) {
            searchCount = std::clamp(std::atoi(argv[i + 1]), 1, LOSSLESS_SEARCHES);
        } else if (std::strcmp(argv[i], "--coalesce-us") == 0) {
            handleCoalesceUs = static_cast<std::uint32_t>(std::strtoul(argv[i + 1], nullptr, 10));
        } else if (std::strcmp(argv[i], "--spin-us") == 0) {
            handleSpinUs = static_cast<std::uint32_t>(std::strtoul(argv[i + 1], nullptr, 10));
        } else {
            std::fprintf(stderr, "kq_e2e: unknown option %s\n", argv[i]);
            return 2;
        }
    }
    deadlineNs = NowNs() + static_cast<std::int64_t>(limitS * 1e9);
    signal(SIGINT, OnSignal);
    signal(SIGTERM, OnSignal);

    double futexP50 = 0, futexP99 = 0, futex2P50 = 0, futex2P99 = 0;
    const int floorRounds = quick ? 200 : 2000;
    FutexWakeFloor(1, floorRounds, &futexP50, &futexP99);
    FutexWakeFloor(2, floorRounds, &futex2P50, &futex2P99);
    const long oldMsgMax = RaiseMqLimit();
    const double mqSendNs = MqSendCostNs(300);

    Figures figures[MAX_PEERS][COUNT_KINDS];
    for (int c = 0; c < COUNT_KINDS && !OutOfTime(); ++c) {
        if (Wanted(counts, std::to_string(COUNTS[c]))) {
            RunCount(peers, c, figures);
        }
    }
    RestoreMqLimit(oldMsgMax);

    std::printf(
        "\nEnd to end: one producer, N consumer processes, 99 records of %d bytes per "
        "consumer queue\n",
        RECORD_BYTES);
    std::printf(
        "(kqvxi: level events raised on the simulated board go through its event queue\n"
        " and the server's dispatch thread to each client's ring: the product's path, two\n"
        " hops; kqvxi-coalesce: the client handle with coalesce_us=%u; kqvxi-spin: with\n"
        " spin_us=%u; *-relay: two hops through a relay process; the others one hop)\n",
        handleCoalesceUs, handleSpinUs);
    if (RelaySchedulingNote()[0] != 0) {
        std::printf("(relays: %s)\n", RelaySchedulingNote());
    }
    std::printf("%-36s %3s", "metric", "N");
    for (int p = 0; p < PeerCount(); ++p) {
        std::printf(" %12s", PeerAt(p)->name);
    }
    std::printf("\n");
    struct Row {
        const char* name;
        double Figures::*field;
        const char* format;
        bool latency;
    };
    const Row rows[] = {
        {"latency p50, consumer asleep (us)", &Figures::latP50Us, "%.1f", true},
        {"latency p99, consumer asleep (us)", &Figures::latP99Us, "%.1f", true},
        {"  of which until the wait returns, p50", &Figures::wakeP50Us, "%.1f", true},
        {"  consumer posted to first, p50", &Figures::firstP50Us, "%.1f", true},
        {"  producer's call for the event, p50", &Figures::postP50Us, "%.1f", true},
        {"flood: records delivered/s", &Figures::floodPerS, "%.0f", false},
        {"flood: records dropped (%)", &Figures::floodDropPct, "%.2f", false},
        {"flood: refused by producer side (%)", &Figures::floodSourceDropPct, "%.2f", false},
        {"flood: producer ns per event", &Figures::floodPostNs, "%.0f", false},
        {"flood: consumer CPU ns per record", &Figures::floodCpuNs, "%.0f", false},
        {"lossless events/s (<=0.1% loss)", &Figures::lossless, "%.0f", false},
        {"  search 1 of 3", &Figures::losslessFirst, "%.0f", false},
        {"  search 2 of 3", &Figures::losslessSecond, "%.0f", false},
        {"  search 3 of 3", &Figures::losslessThird, "%.0f", false},
        {"  lowest failing rate: lost (%)", &Figures::failLostPct, "%.2f", false},
        {"  of those, refused by producer (%)", &Figures::failSourceShare, "%.0f", false},
        {"paced: consumer CPU ns per record", &Figures::pacedCpuNs, "%.0f", false},
    };
    for (const Row& row : rows) {
        for (int c = 0; c < COUNT_KINDS; ++c) {
            if (row.latency && COUNTS[c] == 8) {
                continue;
            }
            std::printf("%-36s %3d", row.name, COUNTS[c]);
            for (int p = 0; p < PeerCount(); ++p) {
                std::printf(" %12s",
                            Cell(figures[p][c], figures[p][c].*row.field, row.format).c_str());
            }
            std::printf("\n");
        }
    }
    std::printf("%-36s %3s %12s %12.0f\n", "mq_send of 20 bytes, room (ns)", "-", "-", mqSendNs);
    std::printf("%-36s %3s %12.1f\n", "floor: 2 futex wakes in series p50", "-", futex2P50);
    std::printf("%-36s %3s %12.1f\n", "floor: 2 futex wakes in series p99", "-", futex2P99);
    std::printf("%-36s %3s %12.1f\n", "floor: futex wake p50 (us)", "-", futexP50);
    std::printf("%-36s %3s %12.1f\n", "floor: futex wake p99 (us)", "-", futexP99);
    // Key figures for bench/run: ours and POSIX mq's, and every peer's lossless rates.
    const Figures none[COUNT_KINDS];
    const int ours = FindPeer("kqvxi"), mq = FindPeer("posix-mq");
    const Figures* k = ours >= 0 ? figures[ours] : none;
    const Figures* m = mq >= 0 ? figures[mq] : none;
    std::printf(
        "e2e: mq_send_ns=%.0f futex_wake_p50_us=%.1f lat_p50_n1_us=%.1f mq_lat_p50_n1_us=%.1f "
        "lat_p50_n50_us=%.1f mq_lat_p50_n50_us=%.1f lossless_n1=%.0f mq_lossless_n1=%.0f "
        "lossless_n8=%.0f mq_lossless_n8=%.0f lossless_n50=%.0f mq_lossless_n50=%.0f",
        mqSendNs, futexP50, k[0].latP50Us, m[0].latP50Us, k[2].latP50Us, m[2].latP50Us,
        k[0].lossless, m[0].lossless, k[1].lossless, m[1].lossless, k[2].lossless, m[2].lossless);
    std::printf(" futex2_wake_p50_us=%.1f coalesce_us=%u spin_us=%u relay_realtime=%d", futex2P50,
                handleCoalesceUs, handleSpinUs,
                std::strncmp(RelaySchedulingNote(), "SCHED_FIFO", 10) == 0 ? 1 : 0);
    // Each peer's median lossless rate, and each search's, for ratios taken search
    // by search: the peers' i-th searches took turns trial by trial, so they saw
    // the same machine. Beside them each peer's latency, flood and consumer CPU.
    for (int p = 0; p < PeerCount(); ++p) {
        for (int c = 0; c < COUNT_KINDS; ++c) {
            const Figures& f = figures[p][c];
            if (f.ran) {
                const char* name = PeerAt(p)->name;
                if (f.latSamples > 0) {
                    std::printf(" peer_lat_p50_%s_n%d=%.1f peer_lat_p99_%s_n%d=%.1f", name,
                                COUNTS[c], f.latP50Us, name, COUNTS[c], f.latP99Us);
                }
                std::printf(" peer_flood_%s_n%d=%.0f peer_flood_cpu_%s_n%d=%.0f", name, COUNTS[c],
                            f.floodPerS, name, COUNTS[c], f.floodCpuNs);
                std::printf(" peer_paced_cpu_%s_n%d=%.0f", name, COUNTS[c], f.pacedCpuNs);
                std::printf(" peer_lossless_%s_n%d=%.0f", PeerAt(p)->name, COUNTS[c], f.lossless);
                for (int r = 0; r < LOSSLESS_SEARCHES; ++r) {
                    std::printf(" peer_lossless_%s_n%d_s%d=%.0f", PeerAt(p)->name, COUNTS[c], r + 1,
                                f.*LOSSLESS_EACH[r]);
                }
            }
        }
    }
    std::printf("\n");
    // The processes of this run, for bench/run's check for leftover names.
    std::printf("e2e-pids: %x", static_cast<unsigned>(getpid()));
    for (int i = 0; i < SpawnedCount(); ++i) {
        std::printf(" %x", static_cast<unsigned>(SpawnedAt(i)));
    }
    std::printf("\n");
    return aborted != 0 ? 2 : 0;
}

int Consumer(int argc, char** argv) {
    if (argc != 6) {
        return 2;
    }
    const Peer* peer = PeerAt(FindPeer(argv[2]));
    const int index = std::atoi(argv[3]);
    const int fd = std::atoi(argv[4]);
    if (peer == nullptr || index < 0 || index >= MAX_CONSUMERS) {
        return 2;
    }
    auto* control = static_cast<Control*>(
        mmap(nullptr, sizeof(Control), PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0));
    if (control == MAP_FAILED) {
        return 2;
    }
    close(fd);
    // The producer's stop flag ends the loop; a signal must not kill the
    // consumer before it has let go of what it holds.
    // A producer that died without saying stop still ends its consumers.
    signal(SIGINT, SIG_IGN);
    const pid_t parent = getppid();
    std::atomic<bool> done{false};
    std::thread watchdog([control, parent, &done] {
        while (!done.load() && OsAtomicLoad(&control->stop) == 0) {
            if (getppid() != parent) {
                OsAtomicStore(&control->stop, 1u);
            }
            SleepUs(200000);
        }
    });
    const int status = peer->consume(index, control, argv[5]);
    done.store(true);
    watchdog.join();
    return status;
}

}  // namespace
}  // namespace e2e

int main(int argc, char** argv) {
    if (argc > 1 && std::strcmp(argv[1], "list") == 0) {
        for (int p = 0; p < e2e::PeerCount(); ++p) {
            std::printf("%s%s", p > 0 ? "," : "", e2e::PeerAt(p)->name);
        }
        std::printf("\n");
        return 0;
    }
    if (argc > 1 && std::strcmp(argv[1], "sweep") == 0) {
        // A fresh process's first named object removes the names that ended
        // processes left behind; this one is closed again at once.
        kqvxi_queue* queue = kqvxi_queue_open();
        if (queue != nullptr) {
            kqvxi_queue_close(queue);
        }
        return queue != nullptr ? 0 : 1;
    }
    if (argc > 1 && std::strcmp(argv[1], "consumer") == 0) {
        return e2e::Consumer(argc, argv);
    }
    if (argc == 5 && std::strcmp(argv[1], "relay") == 0) {
        const e2e::Peer* peer = e2e::PeerAt(e2e::FindPeer(argv[2]));
        if (peer == nullptr || peer->relay == nullptr) {
            return 2;
        }
        return peer->relay(std::atoi(argv[3]), argv[4]);
    }
    return e2e::Main(argc, argv);
}
