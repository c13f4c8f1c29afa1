// kqvxi-inject: raises driver events on a controller of the simulated board, one
// at a time or as a paced storm.
#include <CLI/CLI.hpp>

#include <chrono>
#include <cstdio>
#include <thread>

#include "kqvxi/inject.h"
#include "parse_args.h"
#include "platform/console.h"

namespace {

struct Event {
    std::string kind;  // class, level, channel, source
    std::vector<std::uint32_t> fields;
    bool marked = false;
};

int InjectOnce(std::uint16_t controller, const Event& e, std::uint32_t sequence, bool addSequence) {
    const std::vector<std::uint32_t>& f = e.fields;
    if (e.kind == "class") {
        std::uint32_t value = addSequence ? f[1] + sequence : f[1];
        return kqvxi_inject_class(controller, static_cast<int>(f[0]),
                                  static_cast<std::uint16_t>(value));
    }
    if (e.kind == "level") {
        std::uint32_t value = addSequence ? f[2] + sequence : f[2];
        return kqvxi_inject_level(controller, static_cast<std::int16_t>(f[0]),
                                  static_cast<std::uint16_t>(f[1]), value);
    }
    if (e.kind == "channel") {
        std::uint32_t value = addSequence ? f[2] + sequence : f[2];
        return kqvxi_inject_channel(controller, static_cast<std::int16_t>(f[0]),
                                    static_cast<std::uint16_t>(f[1]),
                                    static_cast<std::uint16_t>(value));
    }
    // source SOURCE INDEX LEVEL KIND [REPORTED]
    std::uint32_t reported = f.size() > 4 ? f[4] : f[0];
    return kqvxi_inject_source(controller, e.marked ? 1 : 0, static_cast<std::uint16_t>(f[0]),
                               static_cast<std::uint16_t>(f[1]), static_cast<std::uint16_t>(f[2]),
                               static_cast<std::uint16_t>(reported),
                               static_cast<std::uint16_t>(f[3]));
}

void DrawProgress(std::uint64_t done, std::uint64_t total, std::uint64_t refused) {
    const int width = 40;
    int filled = total == 0 ? width : static_cast<int>(done * width / total);
    std::fprintf(stderr, "\r[%.*s%*s] %llu/%llu refused %llu", filled,
                 "########################################", width - filled, "",
                 static_cast<unsigned long long>(done), static_cast<unsigned long long>(total),
                 static_cast<unsigned long long>(refused));
    std::fflush(stderr);
}

// The event subcommands and the values CLI11 fills in for them.
struct EventArgs {
    CLI::App* cls = nullptr;
    CLI::App* lvl = nullptr;
    CLI::App* chn = nullptr;
    CLI::App* src = nullptr;
    std::int64_t clsNum = 0, clsValue = 0;
    std::int64_t lIndex = 0, lLevel = 0, lValue = 0;
    std::int64_t cIndex = 0, cChannel = 0, cValue = 0;
    std::int64_t sSource = 0, sIndex = 0, sLevel = 0, sKind = 0, sReported = -1;
    bool marked = false;
};

void AddEventSubcommands(CLI::App& app, EventArgs* a) {
    a->cls = app.add_subcommand("class", "CLASS VALUE: classes 0 to 5 (1 and 2 ignore the value)");
    a->cls->add_option("CLASS", a->clsNum)->required()->check(CLI::Range(0, 5));
    a->cls->add_option("VALUE", a->clsValue)->required()->check(CLI::Range(-32768, 65535));
    a->lvl = app.add_subcommand("level", "INDEX LEVEL VALUE: a level event");
    a->lvl->add_option("INDEX", a->lIndex)->required()->check(CLI::Range(-32768, 32767));
    a->lvl->add_option("LEVEL", a->lLevel)->required()->check(CLI::Range(0, 65535));
    a->lvl->add_option("VALUE", a->lValue)
        ->required()
        ->check(CLI::Range(-2147483648LL, 4294967295LL));
    a->chn = app.add_subcommand("channel", "INDEX CHANNEL VALUE: a channel event");
    a->chn->add_option("INDEX", a->cIndex)->required()->check(CLI::Range(-32768, 32767));
    a->chn->add_option("CHANNEL", a->cChannel)->required()->check(CLI::Range(0, 65535));
    a->chn->add_option("VALUE", a->cValue)->required()->check(CLI::Range(0, 65535));
    a->src = app.add_subcommand("source", "SOURCE INDEX LEVEL KIND [REPORTED]: a source event");
    a->src->add_flag("--marked", a->marked, "through the marked-source handler (selector -2)");
    a->src->add_option("SOURCE", a->sSource)->required()->check(CLI::Range(0, 65535));
    a->src->add_option("INDEX", a->sIndex)->required()->check(CLI::Range(0, 65535));
    a->src->add_option("LEVEL", a->sLevel)->required()->check(CLI::Range(0, 65535));
    a->src->add_option("KIND", a->sKind)->required()->check(CLI::Range(0, 65535));
    a->src->add_option("REPORTED", a->sReported, "source the board reports (default SOURCE)")
        ->check(CLI::Range(0, 65535));
}

// The event of the subcommand that was given.
Event EventOf(const EventArgs& a) {
    auto u = [](std::int64_t v) { return static_cast<std::uint32_t>(v); };
    Event ev;
    ev.marked = a.marked;
    if (a.cls->parsed()) {
        ev.kind = "class";
        ev.fields = {u(a.clsNum), u(a.clsValue)};
    } else if (a.lvl->parsed()) {
        ev.kind = "level";
        ev.fields = {u(a.lIndex), u(a.lLevel), u(a.lValue)};
    } else if (a.chn->parsed()) {
        ev.kind = "channel";
        ev.fields = {u(a.cIndex), u(a.cChannel), u(a.cValue)};
    } else {
        ev.kind = "source";
        ev.fields = {u(a.sSource), u(a.sIndex), u(a.sLevel), u(a.sKind)};
        if (a.sReported >= 0) {
            ev.fields.push_back(u(a.sReported));
        }
    }
    return ev;
}

// What the command line asks for.
struct InjectOptions {
    std::uint16_t controller = 0;
    std::uint64_t repeat = 1;
    double rate = 0;  // events per second; 0: as fast as possible
    bool sequence = false;
    bool quiet = false;
    Event event;
};

// The command line. Exits with status 2 on a usage error.
InjectOptions ParseOptions(int argc, char** argv) {
    CLI::App app{"Raises driver events on a controller of the simulated kqvxi board."};
    RequireOneSubcommand(app);
    app.footer(
        "Examples:\n"
        "  kqvxi-inject class 0 -5                  class 0 with value -5\n"
        "  kqvxi-inject level 3 2 0x10              level event: index 3, level 2, value 0x10\n"
        "  kqvxi-inject channel 0 50 7              channel event: index 0, channel 50, value 7\n"
        "  kqvxi-inject source 5 3 2 0              source 5 reporting index 3, level 2, kind 0\n"
        "  kqvxi-inject source --marked 5 0 0 1     the same through the marked handler, kind 1\n"
        "  kqvxi-inject --repeat 100000 --rate 20000 --sequence level 0 1 0\n"
        "                                           a storm with the sequence number added to the "
        "value\n"
        "Exit status: 0 all accepted, 1 some refused (queue full) or the board unreachable, 2 "
        "usage.");
    InjectOptions o;
    int controller = 0;
    app.add_option("-c,--controller", controller, "controller number")->check(CLI::Range(0, 65535));
    app.add_option("--repeat", o.repeat, "how many times to raise the event")
        ->check(CLI::PositiveNumber);
    app.add_option("--rate", o.rate, "events per second (0: as fast as possible)")
        ->check(CLI::NonNegativeNumber);
    app.add_flag("--sequence", o.sequence,
                 "add the event's sequence number (0, 1, ...) to its value");
    app.add_flag("-q,--quiet", o.quiet, "no progress bar");
    EventArgs eventArgs;
    AddEventSubcommands(app, &eventArgs);
    ParseArgsOrExit(app, "inject", argc, argv);
    o.controller = static_cast<std::uint16_t>(controller);
    o.event = EventOf(eventArgs);
    return o;
}

// What a storm (or a single event) came to.
struct StormTally {
    std::uint64_t accepted = 0;
    std::uint64_t refused = 0;
    int lastError = KQVXI_INJECT_OK;
    double seconds = 0;
};

// Raises the event repeat times at the paced rate, with a progress bar on a
// terminal for long storms. Stops at the first error that every further try
// would repeat.
StormTally RunStorm(const InjectOptions& o) {
    const bool progress = !o.quiet && o.repeat >= 1000 && OsIsTerminal(2);
    const auto start = std::chrono::steady_clock::now();
    StormTally tally;
    for (std::uint64_t i = 0; i < o.repeat; ++i) {
        if (o.rate > 0) {
            auto due = start + std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                                   std::chrono::duration<double>(static_cast<double>(i) / o.rate));
            std::this_thread::sleep_until(due);
        }
        int rc = InjectOnce(o.controller, o.event, static_cast<std::uint32_t>(i), o.sequence);
        if (rc == KQVXI_INJECT_OK) {
            ++tally.accepted;
        } else {
            ++tally.refused;
            tally.lastError = rc;
            if (rc == KQVXI_INJECT_SYSTEM || rc == KQVXI_INJECT_ARG) {
                break;  // no board state or a bad event: every further try fails the same way
            }
        }
        if (progress && (i % 1000 == 0 || i + 1 == o.repeat)) {
            DrawProgress(i + 1, o.repeat, tally.refused);
        }
    }
    if (progress) {
        std::fputc('\n', stderr);
    }
    tally.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    return tally;
}

}  // namespace

int main(int argc, char** argv) {
    const InjectOptions options = ParseOptions(argc, argv);
    const StormTally tally = RunStorm(options);
    std::printf("accepted %llu refused %llu in %.3f s\n",
                static_cast<unsigned long long>(tally.accepted),
                static_cast<unsigned long long>(tally.refused), tally.seconds);
    if (tally.lastError == KQVXI_INJECT_SYSTEM) {
        std::fprintf(stderr, "kqvxi-inject: the simulated board's shared state cannot be opened\n");
    } else if (tally.lastError == KQVXI_INJECT_ARG) {
        std::fprintf(stderr, "kqvxi-inject: the board refused the event's fields\n");
    }
    return tally.refused == 0 ? 0 : 1;
}
