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

}  // namespace

int main(int argc, char** argv) {
    CLI::App app{"Raises driver events on a controller of the simulated kqvxi board."};
    app.require_subcommand(1);
    app.fallthrough();
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
    int controller = 0;
    std::uint64_t repeat = 1;
    double rate = 0;
    bool sequence = false;
    bool quiet = false;
    app.add_option("-c,--controller", controller, "controller number")->check(CLI::Range(0, 65535));
    app.add_option("--repeat", repeat, "how many times to raise the event")
        ->check(CLI::PositiveNumber);
    app.add_option("--rate", rate, "events per second (0: as fast as possible)")
        ->check(CLI::NonNegativeNumber);
    app.add_flag("--sequence", sequence,
                 "add the event's sequence number (0, 1, ...) to its value");
    app.add_flag("-q,--quiet", quiet, "no progress bar");

    Event ev;
    CLI::App* cls =
        app.add_subcommand("class", "CLASS VALUE: classes 0 to 5 (1 and 2 ignore the value)");
    std::int64_t clsNum = 0, clsValue = 0;
    cls->add_option("CLASS", clsNum)->required()->check(CLI::Range(0, 5));
    cls->add_option("VALUE", clsValue)->required()->check(CLI::Range(-32768, 65535));
    CLI::App* lvl = app.add_subcommand("level", "INDEX LEVEL VALUE: a level event");
    std::int64_t lIndex = 0, lLevel = 0, lValue = 0;
    lvl->add_option("INDEX", lIndex)->required()->check(CLI::Range(-32768, 32767));
    lvl->add_option("LEVEL", lLevel)->required()->check(CLI::Range(0, 65535));
    lvl->add_option("VALUE", lValue)->required()->check(CLI::Range(-2147483648LL, 4294967295LL));
    CLI::App* chn = app.add_subcommand("channel", "INDEX CHANNEL VALUE: a channel event");
    std::int64_t cIndex = 0, cChannel = 0, cValue = 0;
    chn->add_option("INDEX", cIndex)->required()->check(CLI::Range(-32768, 32767));
    chn->add_option("CHANNEL", cChannel)->required()->check(CLI::Range(0, 65535));
    chn->add_option("VALUE", cValue)->required()->check(CLI::Range(0, 65535));
    CLI::App* src =
        app.add_subcommand("source", "SOURCE INDEX LEVEL KIND [REPORTED]: a source event");
    std::int64_t sSource = 0, sIndex = 0, sLevel = 0, sKind = 0, sReported = -1;
    src->add_flag("--marked", ev.marked, "through the marked-source handler (selector -2)");
    src->add_option("SOURCE", sSource)->required()->check(CLI::Range(0, 65535));
    src->add_option("INDEX", sIndex)->required()->check(CLI::Range(0, 65535));
    src->add_option("LEVEL", sLevel)->required()->check(CLI::Range(0, 65535));
    src->add_option("KIND", sKind)->required()->check(CLI::Range(0, 65535));
    src->add_option("REPORTED", sReported, "source the board reports (default SOURCE)")
        ->check(CLI::Range(0, 65535));
    ParseArgsOrExit(app, "inject", argc, argv);
    auto u = [](std::int64_t v) { return static_cast<std::uint32_t>(v); };
    if (cls->parsed()) {
        ev.kind = "class";
        ev.fields = {u(clsNum), u(clsValue)};
    } else if (lvl->parsed()) {
        ev.kind = "level";
        ev.fields = {u(lIndex), u(lLevel), u(lValue)};
    } else if (chn->parsed()) {
        ev.kind = "channel";
        ev.fields = {u(cIndex), u(cChannel), u(cValue)};
    } else {
        ev.kind = "source";
        ev.fields = {u(sSource), u(sIndex), u(sLevel), u(sKind)};
        if (sReported >= 0) {
            ev.fields.push_back(u(sReported));
        }
    }

    const bool progress = !quiet && repeat >= 1000 && OsIsTerminal(2);
    const auto start = std::chrono::steady_clock::now();
    std::uint64_t accepted = 0, refused = 0;
    int lastError = 0;
    for (std::uint64_t i = 0; i < repeat; ++i) {
        if (rate > 0) {
            auto due = start + std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                                   std::chrono::duration<double>(static_cast<double>(i) / rate));
            std::this_thread::sleep_until(due);
        }
        int rc = InjectOnce(static_cast<std::uint16_t>(controller), ev,
                            static_cast<std::uint32_t>(i), sequence);
        if (rc == KQVXI_INJECT_OK) {
            ++accepted;
        } else {
            ++refused;
            lastError = rc;
            if (rc == KQVXI_INJECT_SYSTEM || rc == KQVXI_INJECT_ARG) {
                break;  // no board state or a bad event: every further try fails the same way
            }
        }
        if (progress && (i % 1000 == 0 || i + 1 == repeat)) {
            DrawProgress(i + 1, repeat, refused);
        }
    }
    if (progress) {
        std::fputc('\n', stderr);
    }
    double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    std::printf("accepted %llu refused %llu in %.3f s\n", static_cast<unsigned long long>(accepted),
                static_cast<unsigned long long>(refused), seconds);
    if (lastError == KQVXI_INJECT_SYSTEM) {
        std::fprintf(stderr, "kqvxi-inject: the simulated board's shared state cannot be opened\n");
    } else if (lastError == KQVXI_INJECT_ARG) {
        std::fprintf(stderr, "kqvxi-inject: the board refused the event's fields\n");
    }
    return refused == 0 ? 0 : 1;
}
