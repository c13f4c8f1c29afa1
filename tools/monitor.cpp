// kqvxi-monitor: registers with the server of a controller, enables the event
// selections its options name, and prints one line per record it receives.
#include <CLI/CLI.hpp>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "event_names.h"
#include "kqvxi/client.h"
#include "parse_args.h"
#include "platform/atomic.h"

namespace {

inline constexpr int BATCH_RECORDS = 128;  // records taken from the ring per drain

// Set by SIGINT or SIGTERM: the receive loop unregisters and ends. A lock-free
// atomic word, so the handler may write it. Every wait of the loop ends within
// a bound (the wake wait 100 ms, a drain's lock wait 500 ms, the unregister
// request its reply time), so the flag is seen soon; a second signal ends the
// program at once (the default action is back in place).
int stopRequested = 0;
extern "C" void OnStopSignal(int signalNumber) {
    OsAtomicStore(&stopRequested, 1);
    std::signal(signalNumber, SIG_DFL);
}

// One enable request: the class's code, the mask index and the mask or channel.
struct Selection {
    std::uint32_t code;
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
    *s = Selection{KQVXI_EVENT_CODE(cls), index, bits};
    return true;
}

int Request(std::uint16_t controller, std::uint32_t command, std::uint32_t a1, std::uint32_t a2,
            std::uint32_t a3, std::uint32_t timeoutMs) {
    return kqvxi_request(controller, command, &a1, &a2, &a3, timeoutMs);
}

// What the command line asks for.
struct MonitorOptions {
    std::uint16_t controller = 0;
    std::vector<Selection> selections;
    bool json = false;
    long long count = 0;        // stop after this many records; 0: no limit
    double timeoutSeconds = 0;  // stop after this long; 0: no limit
    unsigned requestMs = 2000;  // wait for each reply
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
            if (c >= 7) {
                UsageErrorExit("monitor", "class " + std::to_string(c) +
                                              " is selected with --level, --source or --channel");
            }
            selections->push_back(Selection{KQVXI_EVENT_CODE(c), 0, 0});
        }
    }
}

// --level, --source and --channel options (INDEX:VALUE) -> selections of
// classes 7 to 9. Exits with status 2 on a bad one.
void AddIndexedSelections(const std::vector<std::string>& opts, int cls, std::uint32_t maxIndex,
                          const char* optionName, std::vector<Selection>* selections) {
    for (const std::string& opt : opts) {
        Selection s{};
        if (!ParseIndexed(opt, cls, maxIndex, &s)) {
            UsageErrorExit("monitor",
                           std::string("bad ") + optionName + " '" + opt + "' (INDEX:VALUE)");
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
        "Class names: class0..class5, source, level, source-level, channel (or 0..9).\n"
        "Class 1 reaches every registered client without selection.\n"
        "Exit status: 0 done (signal, --count, --timeout), 1 server not reachable, 2 usage.");
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
    app.add_option("--count", o.count, "stop after this many records")
        ->check(CLI::NonNegativeNumber);
    app.add_option("--timeout", o.timeoutSeconds, "stop after this many seconds")
        ->check(CLI::NonNegativeNumber);
    app.add_option("--request-timeout", o.requestMs, "milliseconds to wait for each reply");
    ParseArgsOrExit(app, "monitor", argc, argv);

    o.controller = static_cast<std::uint16_t>(controller);
    AddClassSelections(classOpts, &o.selections);
    AddIndexedSelections(levelOpts, 7, 254, "--level", &o.selections);
    AddIndexedSelections(sourceOpts, 8, 254, "--source", &o.selections);
    AddIndexedSelections(channelOpts, 9, 255, "--channel", &o.selections);
    return o;
}

// Phase 2: registers with the server, opens this client's queue and enables
// the selections. Null (after a message) when the server or the queue cannot be
// reached, also when an enable goes unanswered.
kqvxi_queue* RegisterAndSelect(const MonitorOptions& o) {
    if (Request(o.controller, KQVXI_CMD_REGISTER, 0, 0, 0, o.requestMs) < 0) {
        std::fprintf(stderr, "kqvxi-monitor: no reply from the server of controller %u\n",
                     o.controller);
        return nullptr;
    }
    kqvxi_queue* queue = kqvxi_queue_open();
    if (queue == nullptr) {
        std::fprintf(stderr, "kqvxi-monitor: cannot open this client's event queue\n");
        Request(o.controller, KQVXI_CMD_UNREGISTER, 0, 0, 0, o.requestMs);
        return nullptr;
    }
    for (const Selection& s : o.selections) {
        if (Request(o.controller, KQVXI_CMD_ENABLE, s.code, s.index, s.bits, o.requestMs) < 0) {
            // The server is gone or does not answer: nothing selected would
            // arrive, so this is no monitoring run to report as done.
            std::fprintf(stderr, "kqvxi-monitor: enable request got no reply\n");
            kqvxi_queue_close(queue);
            return nullptr;
        }
    }
    return queue;
}

// What the receive loop saw.
struct Tally {
    long long perClass[KQVXI_CLASS_COUNT + 2] = {};  // classes, unregistered, unknown codes
    long long received = 0;                          // records shown, not counting unregistered
    bool unregisteredSeen = false;
};

// Prints one record, t seconds after the start, and counts it.
void ShowRecord(const kqvxi_record& r, double t, bool json, Tally* tally) {
    const int cls = ClassOfCode(r.code);
    tally->perClass[cls < 0 ? KQVXI_CLASS_COUNT + 1 : cls]++;
    if (cls == KQVXI_CLASS_COUNT) {
        tally->unregisteredSeen = true;
    }
    const char* name = cls < 0                    ? "unknown"
                       : cls == KQVXI_CLASS_COUNT ? "unregistered"
                                                  : CLASS_NAMES[cls];
    if (json) {
        std::string fields = DescribeRecordJson(r);
        std::printf("{\"t\":%.6f,\"class\":%d,\"name\":\"%s\",\"code\":\"0x%08x\"%s%s}\n", t, cls,
                    name, r.code, fields.empty() ? "" : ",", fields.c_str());
    } else {
        std::printf("%12.6f  %-13s %s\n", t, name, DescribeRecord(r).c_str());
    }
    if (cls != KQVXI_CLASS_COUNT) {
        ++tally->received;
    }
}

// Phase 3: shows the records as they arrive until a signal, --count or
// --timeout, then unregisters and shows what the ring still holds (the
// server posts the closing record before it replies, so that drain finds it
// when the ring had room).
Tally ReceiveLoop(const MonitorOptions& o, kqvxi_queue* queue) {
    using Clock = std::chrono::steady_clock;
    const auto start = Clock::now();
    auto seconds = [start] { return std::chrono::duration<double>(Clock::now() - start).count(); };
    Tally tally;
    bool unregisterSent = false;
    kqvxi_record batch[BATCH_RECORDS];
    for (;;) {
        const bool stopNow = OsAtomicLoad(&stopRequested) != 0 ||
                             (o.count > 0 && tally.received >= o.count) ||
                             (o.timeoutSeconds > 0 && seconds() >= o.timeoutSeconds);
        if (stopNow && !unregisterSent) {
            Request(o.controller, KQVXI_CMD_UNREGISTER, 0, 0, 0, o.requestMs);
            unregisterSent = true;
        }
        if (!unregisterSent && kqvxi_queue_wait(queue, 100) < 0) {
            break;
        }
        int n;
        while ((n = kqvxi_queue_drain(queue, batch, BATCH_RECORDS)) > 0) {
            const double t = seconds();
            for (int i = 0; i < n; ++i) {
                if (o.count > 0 && tally.received >= o.count &&
                    batch[i].code != KQVXI_CODE_UNREGISTERED) {
                    continue;  // past --count: taken from the ring, not shown
                }
                ShowRecord(batch[i], t, o.json, &tally);
            }
            std::fflush(stdout);
        }
        if (unregisterSent) {
            break;
        }
    }
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
    std::fprintf(
        stderr, "; %s\n",
        tally.unregisteredSeen ? "ended by the unregistered record" : "no unregistered record");
}

}  // namespace

int main(int argc, char** argv) {
    const MonitorOptions options = ParseOptions(argc, argv);
    kqvxi_queue* queue = RegisterAndSelect(options);
    if (queue == nullptr) {
        return 1;
    }
    std::signal(SIGINT, OnStopSignal);
    std::signal(SIGTERM, OnStopSignal);
    std::fprintf(stderr, "kqvxi-monitor: registered with controller %u, %zu selections\n",
                 options.controller, options.selections.size());
    std::fflush(stderr);
    const Tally tally = ReceiveLoop(options, queue);
    kqvxi_queue_close(queue);
    PrintSummary(tally);
    return 0;
}
