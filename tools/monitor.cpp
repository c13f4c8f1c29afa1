// kqvxi-monitor: registers with the server of a controller, enables the event
// selections its options name, and prints one line per record it receives.
#include <CLI/CLI.hpp>

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "event_names.h"
#include "kqvxi/client.h"

namespace {

constexpr int kBatch = 128;
volatile std::sig_atomic_t stopRequested = 0;
extern "C" void OnStopSignal(int) {
    stopRequested = 1;
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

}  // namespace

int main(int argc, char** argv) {
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
    int controller = 0;
    std::vector<std::string> classOpts, levelOpts, sourceOpts, channelOpts;
    bool json = false;
    long long count = 0;
    double timeoutSeconds = 0;
    unsigned requestMs = 2000;
    app.add_option("-c,--controller", controller, "controller number")->check(CLI::Range(0, 65535));
    app.add_option("--class", classOpts, "classes to enable: numbers, names, ranges, or all")
        ->delimiter(',');
    app.add_option("--level", levelOpts, "class 7: INDEX:MASK (index 0-254, bit n = level n+1)");
    app.add_option("--source", sourceOpts, "class 8: INDEX:MASK (index 0-254, bit n = level n+1)");
    app.add_option("--channel", channelOpts, "class 9: INDEX:CHANNEL (index 0-255)");
    app.add_flag("--json", json, "print JSON lines");
    app.add_option("--count", count, "stop after this many records")->check(CLI::NonNegativeNumber);
    app.add_option("--timeout", timeoutSeconds, "stop after this many seconds")
        ->check(CLI::NonNegativeNumber);
    app.add_option("--request-timeout", requestMs, "milliseconds to wait for each reply");
    try {
        app.parse(argc, argv);
    } catch (const CLI::CallForHelp& e) {
        return app.exit(e);
    } catch (const CLI::ParseError& e) {
        app.exit(e);
        return 2;
    }

    std::vector<Selection> selections;
    for (const std::string& opt : classOpts) {
        std::vector<int> classes;
        if (opt == "all") {
            for (int c : {0, 2, 3, 4, 5, 6}) {
                classes.push_back(c);
            }
        } else if (!ParseClassList(opt, &classes)) {
            std::fprintf(stderr,
                         "kqvxi-monitor: bad class '%s'\nRun with --help for more information.\n",
                         opt.c_str());
            return 2;
        }
        for (int c : classes) {
            if (c >= 7) {
                std::fprintf(
                    stderr,
                    "kqvxi-monitor: class %d is selected with --level, --source or --channel\n", c);
                return 2;
            }
            selections.push_back(Selection{KQVXI_EVENT_CODE(c), 0, 0});
        }
    }
    struct Indexed {
        std::vector<std::string>* opts;
        int cls;
        std::uint32_t maxIndex;
        const char* name;
    } indexed[] = {{&levelOpts, 7, 254, "--level"},
                   {&sourceOpts, 8, 254, "--source"},
                   {&channelOpts, 9, 255, "--channel"}};
    for (const Indexed& kind : indexed) {
        for (const std::string& opt : *kind.opts) {
            Selection s{};
            if (!ParseIndexed(opt, kind.cls, kind.maxIndex, &s)) {
                std::fprintf(stderr,
                             "kqvxi-monitor: bad %s '%s' (INDEX:VALUE)\nRun with --help for more "
                             "information.\n",
                             kind.name, opt.c_str());
                return 2;
            }
            selections.push_back(s);
        }
    }

    auto ctl = static_cast<std::uint16_t>(controller);
    if (Request(ctl, KQVXI_CMD_REGISTER, 0, 0, 0, requestMs) < 0) {
        std::fprintf(stderr, "kqvxi-monitor: no reply from the server of controller %u\n",
                     controller);
        return 1;
    }
    kqvxi_queue* queue = kqvxi_queue_open();
    if (queue == nullptr) {
        std::fprintf(stderr, "kqvxi-monitor: cannot open this client's event queue\n");
        Request(ctl, KQVXI_CMD_UNREGISTER, 0, 0, 0, requestMs);
        return 1;
    }
    for (const Selection& s : selections) {
        if (Request(ctl, KQVXI_CMD_ENABLE, s.code, s.index, s.bits, requestMs) < 0) {
            std::fprintf(stderr, "kqvxi-monitor: enable request got no reply\n");
        }
    }
    std::signal(SIGINT, OnStopSignal);
    std::signal(SIGTERM, OnStopSignal);
    std::fprintf(stderr, "kqvxi-monitor: registered with controller %u, %zu selections\n",
                 controller, selections.size());
    std::fflush(stderr);

    const auto start = std::chrono::steady_clock::now();
    long long perClass[KQVXI_CLASS_COUNT + 2] = {};
    long long received = 0;
    bool unregisteredSeen = false;
    bool unregisterSent = false;
    kqvxi_record batch[kBatch];
    for (;;) {
        bool stopNow = stopRequested != 0 || (count > 0 && received >= count);
        double elapsed =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        if (timeoutSeconds > 0 && elapsed >= timeoutSeconds) {
            stopNow = true;
        }
        if (stopNow && !unregisterSent) {
            // The server posts the closing record before it replies, so one more
            // drain after the reply finds it (when the ring had room).
            Request(ctl, KQVXI_CMD_UNREGISTER, 0, 0, 0, requestMs);
            unregisterSent = true;
        }
        if (!unregisterSent && kqvxi_queue_wait(queue, 100) < 0) {
            break;
        }
        int n;
        while ((n = kqvxi_queue_drain(queue, batch, kBatch)) > 0) {
            double t =
                std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
            for (int i = 0; i < n; ++i) {
                const kqvxi_record& r = batch[i];
                if (count > 0 && received >= count && r.code != KQVXI_CODE_UNREGISTERED) {
                    continue;  // past --count: taken from the ring, not shown
                }
                int cls = ClassOfCode(r.code);
                perClass[cls < 0 ? KQVXI_CLASS_COUNT + 1 : cls]++;
                if (cls == KQVXI_CLASS_COUNT) {
                    unregisteredSeen = true;
                }
                const char* name = cls < 0                    ? "unknown"
                                   : cls == KQVXI_CLASS_COUNT ? "unregistered"
                                                              : kClassNames[cls];
                if (json) {
                    std::string fields = DescribeRecordJson(r);
                    std::printf(
                        "{\"t\":%.6f,\"class\":%d,\"name\":\"%s\",\"code\":\"0x%08x\"%s%s}\n", t,
                        cls, name, r.code, fields.empty() ? "" : ",", fields.c_str());
                } else {
                    std::printf("%12.6f  %-13s %s\n", t, name, DescribeRecord(r).c_str());
                }
                if (cls != KQVXI_CLASS_COUNT) {
                    ++received;
                }
            }
            std::fflush(stdout);
        }
        if (unregisterSent) {
            break;
        }
    }
    kqvxi_queue_close(queue);

    std::fprintf(stderr, "kqvxi-monitor: %lld records", received);
    for (int c = 0; c < KQVXI_CLASS_COUNT; ++c) {
        if (perClass[c] > 0) {
            std::fprintf(stderr, ", %s %lld", kClassNames[c], perClass[c]);
        }
    }
    if (perClass[KQVXI_CLASS_COUNT + 1] > 0) {
        std::fprintf(stderr, ", unknown %lld", perClass[KQVXI_CLASS_COUNT + 1]);
    }
    std::fprintf(stderr, "; %s\n",
                 unregisteredSeen ? "ended by the unregistered record" : "no unregistered record");
    return 0;
}
