// kqvxi-monitor: registers with the server of a controller through the client
// library's handle, makes the selections its options name, prints one line per
// record it receives, and reports records the server had to drop for it.
#include <CLI/CLI.hpp>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "event_names.h"
#include "kqvxi/kqvxi.h"
#include "parse_args.h"
#include "platform/atomic.h"

namespace {

inline constexpr int BATCH_RECORDS = 128;           // records taken from the ring per read
inline constexpr std::uint32_t READ_WAIT_MS = 100;  // each read's wait, so stops are seen soon
inline constexpr double STATS_EVERY_SECONDS = 0.2;  // how often the drop counts are looked at

// Exit statuses.
inline constexpr int EXIT_DONE = 0;       // --count reached, or stopped by a signal
inline constexpr int EXIT_SERVER = 1;     // server not reachable, or it went away
inline constexpr int EXIT_USAGE = 2;      // bad command line
inline constexpr int EXIT_TIMED_OUT = 3;  // --timeout passed first (see the help text)

// Set by SIGINT or SIGTERM: the receive loop unregisters and ends. A lock-free
// atomic word, so the handler may write it. Every wait of the loop ends within
// a bound (a read's wait 100 ms, its lock wait 500 ms, the unregister request
// its reply time), so the flag is seen soon; a second signal ends the program at
// once (the default action is back in place).
int stopRequested = 0;
extern "C" void OnStopSignal(int signalNumber) {
    OsAtomicStore(&stopRequested, 1);
    std::signal(signalNumber, SIG_DFL);
}

// One selection: the class, the table index and the level mask or channel.
struct Selection {
    int cls;
    std::uint32_t index;
    std::uint32_t bits;
};

bool ParseNumber(const std::string& text, std::uint32_t* out) {
    if (text.empty()) {
        return false;
    }
    char* end = nullptr;
    unsigned long v = std::strtoul(text.c_str(), &end, 0);
    if (*end != '\0' || v > 0xFFFFFFFFul) {
        return false;
    }
    *out = static_cast<std::uint32_t>(v);
    return true;
}

// "0,2-6,level" -> class numbers.
bool ParseClassList(const std::string& text, std::vector<int>* classes) {
    std::size_t start = 0;
    while (start <= text.size()) {
        std::size_t comma = text.find(',', start);
        std::string item =
            text.substr(start, comma == std::string::npos ? std::string::npos : comma - start);
        std::size_t dash = item.find('-', 1);
        if (dash != std::string::npos && ClassFromName(item) < 0) {
            int lo = ClassFromName(item.substr(0, dash));
            int hi = ClassFromName(item.substr(dash + 1));
            if (lo < 0 || hi < lo) {
                return false;
            }
            for (int c = lo; c <= hi; ++c) {
                classes->push_back(c);
            }
        } else {
            int c = ClassFromName(item);
            if (c < 0) {
                return false;
            }
            classes->push_back(c);
        }
        if (comma == std::string::npos) {
            break;
        }
        start = comma + 1;
    }
    return true;
}

// "INDEX:BITS" -> selection of class cls.
bool ParseIndexed(const std::string& text, int cls, std::uint32_t maxIndex, Selection* s) {
    std::size_t colon = text.find(':');
    std::uint32_t index = 0;
    std::uint32_t bits = 0;
    if (colon == std::string::npos || !ParseNumber(text.substr(0, colon), &index) ||
        !ParseNumber(text.substr(colon + 1), &bits) || index > maxIndex) {
        return false;
    }
    *s = Selection{cls, index, bits};
    return true;
}

// What the command line asks for.
struct MonitorOptions {
    std::uint16_t controller = 0;
    std::vector<Selection> selections;
    bool json = false;
    bool quiet = false;
    bool reregister = false;
    long long count = 0;                            // stop after this many records; 0: no limit
    double timeoutSeconds = 0;                      // stop after this long; 0: no limit
    unsigned requestMs = KQVXI_DEFAULT_TIMEOUT_MS;  // wait for each reply
};

// --class options -> selections of classes 0 to 6 (class 1 needs none but is
// accepted). Exits with status 2 on a bad class.
void AddClassSelections(const std::vector<std::string>& classOpts,
                        std::vector<Selection>* selections) {
    for (const std::string& opt : classOpts) {
        std::vector<int> classes;
        if (opt == "all") {
            classes = {0, 2, 3, 4, 5, 6};
        } else if (!ParseClassList(opt, &classes)) {
            UsageErrorExit("monitor", "bad class '" + opt + "'");
        }
        for (int c : classes) {
            if (c >= KQVXI_CLASS_LEVEL) {
                UsageErrorExit("monitor", "class " + std::to_string(c) +
                                              " is selected with --level, --source or --channel");
            }
            selections->push_back(Selection{c, 0, 0});
        }
    }
}

// Whether the server would select exactly this: level masks name levels 1 to 7
// (bits 0 to 6); channels are 0 to 15, 50 and 60 (others would alias another
// channel or select nothing).
bool SelectsWhatItSays(const Selection& s, std::string* why) {
    if (s.cls == KQVXI_CLASS_CHANNEL) {
        if (s.bits <= 15 || s.bits == 50 || s.bits == 60) {
            return true;
        }
        *why = "channel " + std::to_string(s.bits) + ": only 0-15, 50 and 60 can be selected";
        return false;
    }
    if (s.bits == 0 || (s.bits & ~KQVXI_ALL_LEVELS) != 0) {
        char text[96];
        std::snprintf(text, sizeof text, "level mask 0x%x: bits 0x01-0x40 name levels 1-7", s.bits);
        *why = text;
        return false;
    }
    return true;
}

// --level, --source and --channel options (INDEX:VALUE) -> selections of
// classes 7 to 9. Exits with status 2 on a bad one.
void AddIndexedSelections(const std::vector<std::string>& opts, int cls, std::uint32_t maxIndex,
                          const char* optionName, std::vector<Selection>* selections) {
    for (const std::string& opt : opts) {
        Selection s{};
        std::string why;
        if (!ParseIndexed(opt, cls, maxIndex, &s)) {
            UsageErrorExit("monitor",
                           std::string("bad ") + optionName + " '" + opt + "' (INDEX:VALUE)");
        }
        if (!SelectsWhatItSays(s, &why)) {
            UsageErrorExit("monitor", std::string("bad ") + optionName + " '" + opt + "': " + why);
        }
        selections->push_back(s);
    }
}

// Phase 1: the command line. Exits with status 2 on a usage error.
MonitorOptions ParseOptions(int argc, char** argv) {
    CLI::App app{"Prints the interrupt events that the kqvxi server delivers to this client."};
    app.footer(
        "Examples:\n"
        "  kqvxi-monitor --class all                 every flag class and class 1\n"
        "  kqvxi-monitor -c 1 --class 0,2-6          classes 0 and 2 to 6 on controller 1\n"
        "  kqvxi-monitor --level 3:0x7f --json       levels 1-7 at index 3, JSON lines\n"
        "  kqvxi-monitor --channel 0:50 --count 10   channel 50 at index 0, stop after 10\n"
        "  kqvxi-monitor -q --level 3:0x1 --timeout 60   count for a minute, print the summary\n"
        "Class names: class0..class5, source, level, source-level, channel (or 0..9).\n"
        "Class 1 reaches every registered client without selection. Level masks: bit n-1\n"
        "is level n (0x01-0x7f). Channels: 0-15, 50, 60 (50 shares a bit with 14, 60 with 15).\n"
        "Records the server dropped for this client (full ring) are reported on stderr\n"
        "(and as a JSON object with --json) as they happen, and in the summary.\n"
        "Exit status: 0 --count reached or stopped by a signal (or --timeout passed\n"
        "without --count after records arrived), 1 server not reachable or gone, 2 usage,\n"
        "3 --timeout passed before --count records (without --count: with no record).");
    MonitorOptions o;
    int controller = 0;
    std::vector<std::string> classOpts, levelOpts, sourceOpts, channelOpts;
    app.add_option("-c,--controller", controller, "controller number")->check(CLI::Range(0, 65535));
    app.add_option("--class", classOpts, "classes to enable: numbers, names, ranges, or all")
        ->delimiter(',');
    app.add_option("--level", levelOpts, "class 7: INDEX:MASK (index 0-254, bit n = level n+1)");
    app.add_option("--source", sourceOpts, "class 8: INDEX:MASK (index 0-254, bit n = level n+1)");
    app.add_option("--channel", channelOpts, "class 9: INDEX:CHANNEL (index 0-255)");
    app.add_flag("--json", o.json, "print JSON lines");
    app.add_flag("-q,--quiet", o.quiet, "print no records: only drop warnings and the summary");
    app.add_flag("--reregister", o.reregister,
                 "stay through server restarts (register again; the gap is reported)");
    app.add_option("--count", o.count, "stop after this many records")
        ->check(CLI::NonNegativeNumber);
    app.add_option("--timeout", o.timeoutSeconds, "stop after this many seconds")
        ->check(CLI::NonNegativeNumber);
    app.add_option("--request-timeout", o.requestMs, "milliseconds to wait for each reply");
    ParseArgsOrExit(app, "monitor", argc, argv);

    o.controller = static_cast<std::uint16_t>(controller);
    AddClassSelections(classOpts, &o.selections);
    AddIndexedSelections(levelOpts, KQVXI_CLASS_LEVEL, KQVXI_LEVEL_INDEXES - 1, "--level",
                         &o.selections);
    AddIndexedSelections(sourceOpts, KQVXI_CLASS_SOURCE_LEVEL, KQVXI_SOURCE_INDEXES - 1, "--source",
                         &o.selections);
    AddIndexedSelections(channelOpts, KQVXI_CLASS_CHANNEL, KQVXI_CHANNEL_INDEXES - 1, "--channel",
                         &o.selections);
    return o;
}

int Select(kqvxi_client* client, const Selection& s) {
    switch (s.cls) {
        case KQVXI_CLASS_LEVEL:
            return kqvxi_select_levels(client, s.index, s.bits, 1);
        case KQVXI_CLASS_SOURCE_LEVEL:
            return kqvxi_select_source_levels(client, s.index, s.bits, 1);
        case KQVXI_CLASS_CHANNEL:
            return kqvxi_select_channel(client, s.index, s.bits, 1);
        default:
            return kqvxi_select_class(client, s.cls, 1);
    }
}

// Phase 2: registers with the server and makes the selections. Null (after a
// message) when the server cannot be reached or refuses this client.
kqvxi_client* RegisterAndSelect(const MonitorOptions& o) {
    kqvxi_options options;
    kqvxi_options_init(&options);
    options.timeout_ms = o.requestMs;
    options.flags = o.reregister ? KQVXI_OPEN_REREGISTER : 0u;
    kqvxi_client* client = nullptr;
    int rc = kqvxi_client_open(o.controller, &options, &client);
    if (rc < 0) {
        std::fprintf(stderr,
                     "kqvxi-monitor: cannot register with the server of controller %u: %s\n",
                     o.controller, kqvxi_strerror(rc));
        return nullptr;
    }
    for (const Selection& s : o.selections) {
        rc = Select(client, s);
        if (rc < 0) {
            std::fprintf(stderr, "kqvxi-monitor: selection of class %d failed: %s\n", s.cls,
                         kqvxi_strerror(rc));
            kqvxi_client_free(client);
            return nullptr;
        }
    }
    return client;
}

// What the receive loop saw.
struct Tally {
    long long perClass[KQVXI_CLASS_COUNT + 2] = {};  // classes, unregistered, unknown codes
    long long received = 0;                          // records taken, not counting unregistered
    kqvxi_stats stats{};                             // the latest counts from the server
    std::uint64_t droppedReported = 0;               // drops already warned about
    std::uint32_t restarts = 0;
    bool serverGone = false;
    bool timedOut = false;
};

// Prints one record, t seconds after the start, and counts it.
void ShowRecord(const kqvxi_event& e, double t, const MonitorOptions& o, Tally* tally) {
    const int cls = e.cls;
    tally->perClass[cls < 0 ? KQVXI_CLASS_COUNT + 1 : cls]++;
    if (cls != KQVXI_CLASS_UNREGISTERED) {
        ++tally->received;
    }
    if (o.quiet) {
        return;
    }
    const char* name = cls < 0                           ? "unknown"
                       : cls == KQVXI_CLASS_UNREGISTERED ? "unregistered"
                                                         : CLASS_NAMES[cls];
    if (o.json) {
        std::string fields = DescribeRecordJson(e.raw);
        std::printf("{\"t\":%.6f,\"class\":%d,\"name\":\"%s\",\"code\":\"0x%08x\"%s%s}\n", t, cls,
                    name, e.raw.code, fields.empty() ? "" : ",", fields.c_str());
    } else {
        std::printf("%12.6f  %-13s %s\n", t, name, DescribeRecord(e.raw).c_str());
    }
}

// Looks at the server's counts for this client and warns when its drops rose.
void CheckDrops(kqvxi_client* client, double t, const MonitorOptions& o, Tally* tally) {
    kqvxi_stats now{};
    if (kqvxi_client_stats(client, &now) != KQVXI_OK) {
        return;
    }
    tally->stats = now;
    if (now.dropped <= tally->droppedReported) {
        tally->droppedReported = now.dropped;  // a new registration starts again from 0
        return;
    }
    const std::uint64_t rise = now.dropped - tally->droppedReported;
    tally->droppedReported = now.dropped;
    std::fprintf(stderr,
                 "kqvxi-monitor: warning: %llu records dropped (%llu in all: ring full %llu, "
                 "client judged ended %llu, lock kept %llu)\n",
                 static_cast<unsigned long long>(rise),
                 static_cast<unsigned long long>(now.dropped),
                 static_cast<unsigned long long>(now.dropped_full),
                 static_cast<unsigned long long>(now.dropped_ended),
                 static_cast<unsigned long long>(now.dropped_lock_kept));
    if (o.json) {
        std::printf(
            "{\"t\":%.6f,\"warning\":\"dropped\",\"dropped\":%llu,\"dropped_total\":%llu,"
            "\"dropped_full\":%llu,\"dropped_ended\":%llu,\"dropped_lock_kept\":%llu}\n",
            t, static_cast<unsigned long long>(rise), static_cast<unsigned long long>(now.dropped),
            static_cast<unsigned long long>(now.dropped_full),
            static_cast<unsigned long long>(now.dropped_ended),
            static_cast<unsigned long long>(now.dropped_lock_kept));
    }
}

// Phase 3: shows the records as they arrive until a signal, --count, --timeout
// or the server's end; the caller then unregisters.
Tally ReceiveLoop(const MonitorOptions& o, kqvxi_client* client) {
    using Clock = std::chrono::steady_clock;
    const auto start = Clock::now();
    auto seconds = [start] { return std::chrono::duration<double>(Clock::now() - start).count(); };
    Tally tally;
    double statsDue = 0;
    kqvxi_event batch[BATCH_RECORDS];
    for (;;) {
        if (OsAtomicLoad(&stopRequested) != 0 || (o.count > 0 && tally.received >= o.count)) {
            break;
        }
        if (o.timeoutSeconds > 0 && seconds() >= o.timeoutSeconds) {
            tally.timedOut = true;
            break;
        }
        const int n = kqvxi_client_read(client, batch, BATCH_RECORDS, READ_WAIT_MS);
        const double t = seconds();
        if (n == KQVXI_E_SERVER_GONE) {
            tally.serverGone = true;
            break;
        }
        if (n == KQVXI_E_RESTARTED) {
            ++tally.restarts;
            std::fprintf(stderr,
                         "kqvxi-monitor: warning: the server restarted; registered again, "
                         "records in between are lost\n");
            if (o.json) {
                std::printf("{\"t\":%.6f,\"warning\":\"restarted\"}\n", t);
            }
        } else if (n < 0 && n != KQVXI_E_INTERRUPTED && n != KQVXI_E_TIMEOUT) {
            std::fprintf(stderr, "kqvxi-monitor: read failed: %s\n", kqvxi_strerror(n));
            tally.serverGone = true;
            break;
        }
        for (int i = 0; i < n; ++i) {
            if (o.count > 0 && tally.received >= o.count &&
                batch[i].cls != KQVXI_CLASS_UNREGISTERED) {
                continue;  // past --count: taken from the ring, not shown
            }
            ShowRecord(batch[i], t, o, &tally);
        }
        if (n > 0 && !o.quiet) {
            std::fflush(stdout);
        }
        if (t >= statsDue) {
            CheckDrops(client, t, o, &tally);
            statsDue = t + STATS_EVERY_SECONDS;
            std::fflush(stdout);
        }
    }
    CheckDrops(client, seconds(), o, &tally);
    std::fflush(stdout);
    return tally;
}

// Phase 4: the summary line on stderr.
void PrintSummary(const Tally& tally) {
    std::fprintf(stderr, "kqvxi-monitor: %lld records", tally.received);
    for (int c = 0; c < KQVXI_CLASS_COUNT; ++c) {
        if (tally.perClass[c] > 0) {
            std::fprintf(stderr, ", %s %lld", CLASS_NAMES[c], tally.perClass[c]);
        }
    }
    if (tally.perClass[KQVXI_CLASS_COUNT + 1] > 0) {
        std::fprintf(stderr, ", unknown %lld", tally.perClass[KQVXI_CLASS_COUNT + 1]);
    }
    const kqvxi_stats& s = tally.stats;
    std::fprintf(stderr,
                 "; delivered %llu, dropped %llu (ring full %llu, client judged ended %llu, "
                 "lock kept %llu)",
                 static_cast<unsigned long long>(s.delivered),
                 static_cast<unsigned long long>(s.dropped),
                 static_cast<unsigned long long>(s.dropped_full),
                 static_cast<unsigned long long>(s.dropped_ended),
                 static_cast<unsigned long long>(s.dropped_lock_kept));
    if (tally.restarts > 0) {
        std::fprintf(stderr, "; server restarts %u", tally.restarts);
    }
    std::fprintf(stderr, "\n");
}

}  // namespace

int main(int argc, char** argv) {
    const MonitorOptions options = ParseOptions(argc, argv);
    kqvxi_client* client = RegisterAndSelect(options);
    if (client == nullptr) {
        return EXIT_SERVER;
    }
    std::signal(SIGINT, OnStopSignal);
    std::signal(SIGTERM, OnStopSignal);
    if (!options.quiet) {
        std::fprintf(stderr, "kqvxi-monitor: registered with controller %u, %zu selections\n",
                     options.controller, options.selections.size());
    }
    std::fflush(stderr);
    const Tally tally = ReceiveLoop(options, client);
    kqvxi_client_free(client);
    PrintSummary(tally);
    if (tally.serverGone) {
        std::fprintf(stderr, "kqvxi-monitor: the server of controller %u has gone away\n",
                     options.controller);
        return EXIT_SERVER;
    }
    if (tally.timedOut && ((options.count > 0 && tally.received < options.count) ||
                           (options.count == 0 && tally.received == 0))) {
        return EXIT_TIMED_OUT;
    }
    return EXIT_DONE;
}
