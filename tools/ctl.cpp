// kqvxi-ctl: shows the state of a controller's server (status, read from its
// statistics object without a request), or sends it one request and prints the
// reply (stop, sweep, raw). Requests that would end the server by accident are
// refused unless --force.
#include <CLI/CLI.hpp>

#include <cstdio>

#include "ctl_status.h"
#include "kqvxi/client.h"
#include "kqvxi/kqvxi.h"
#include "parse_args.h"

namespace {

// Exit statuses beyond 0 (done), 1 (no server, or no reply) and 2 (usage).
constexpr int EXIT_REFUSED = 3;

// Commands that make the server exit when the sending process holds no slot
// (enable, disable, unregister, stop-and-unregister): kqvxi-ctl never registers,
// so from it they always would.
bool NeedsSlot(std::uint32_t command) {
    return command == KQVXI_CMD_UNREGISTER || command == KQVXI_CMD_ENABLE ||
           command == KQVXI_CMD_DISABLE || command == KQVXI_CMD_STOP_UNREGISTER;
}

int Status(std::uint16_t controller, bool json) {
    static kqvxi_server_info server;
    static kqvxi_client_info clients[KQVXI_MAX_CLIENTS];
    int n = kqvxi_server_status(controller, &server, clients, KQVXI_MAX_CLIENTS);
    if (n < 0) {
        std::fprintf(stderr, "kqvxi-ctl: no server runs for controller %u (status %d)\n",
                     controller, n);
        return 1;
    }
    int shown = n < KQVXI_MAX_CLIENTS ? n : KQVXI_MAX_CLIENTS;
    if (json) {
        PrintStatusJson(stdout, server, clients, shown);
    } else {
        PrintStatusText(stdout, server, clients, shown);
    }
    return 0;
}

// Whether raw may send command: prints why not and returns false when it would
// end the server. A registration is checked against the client count after a
// sweep (a 51st one ends the server).
bool RawAllowed(std::uint16_t controller, std::uint32_t command, unsigned timeoutMs,
                int* exitCode) {
    if (NeedsSlot(command)) {
        std::fprintf(stderr,
                     "kqvxi-ctl: refused: command %u makes the server exit when the process "
                     "that sends it holds no slot, and kqvxi-ctl never holds one. Nothing was "
                     "sent; add --force to send it all the same.\n",
                     command);
        *exitCode = EXIT_REFUSED;
        return false;
    }
    if (command == KQVXI_CMD_REGISTER) {
        std::uint32_t count = 0, a2 = 0, a3 = 0;
        if (kqvxi_request(controller, KQVXI_CMD_SWEEP, &count, &a2, &a3, timeoutMs) < 0) {
            std::fprintf(stderr, "kqvxi-ctl: no reply from the server of controller %u\n",
                         controller);
            *exitCode = 1;
            return false;
        }
        if (count >= KQVXI_MAX_CLIENTS) {
            std::fprintf(stderr,
                         "kqvxi-ctl: refused: the server serves %u clients, and a registration "
                         "beyond %d makes it exit. Nothing was sent; add --force to send it all "
                         "the same.\n",
                         count, KQVXI_MAX_CLIENTS);
            *exitCode = EXIT_REFUSED;
            return false;
        }
    }
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    CLI::App app{
        "Shows the state of the kqvxi server of a controller, or sends it a request and "
        "prints its reply."};
    RequireOneSubcommand(app);
    app.footer(
        "Examples:\n"
        "  kqvxi-ctl status                    the server, its clients and their selections\n"
        "  kqvxi-ctl status --json             the same as one JSON object\n"
        "  kqvxi-ctl sweep                     frees clients whose processes ended; prints the "
        "client count\n"
        "  kqvxi-ctl -c 1 stop                 stops the server of controller 1\n"
        "  kqvxi-ctl raw 4 0 0 0               any request (here a sweep); prints the reply\n"
        "  kqvxi-ctl raw 2 0xDEAD0007 3 0x7f   refused: an enable from a process without a slot\n"
        "                                      makes the server exit (--force sends it)\n"
        "Exit status: 0 done, 1 no server or no reply (it ended without replying), 2 usage,\n"
        "3 refused (nothing sent).");
    int controller = 0;
    unsigned timeoutMs = 2000;
    app.add_option("-c,--controller", controller, "controller number")->check(CLI::Range(0, 65535));
    app.add_option("-t,--timeout", timeoutMs, "milliseconds to wait for the reply");
    CLI::App* status =
        app.add_subcommand("status", "the server, its clients and their selections (no request)");
    bool json = false;
    status->add_flag("--json", json, "print one JSON object");
    CLI::App* stop = app.add_subcommand("stop", "stop the server (command 13)");
    CLI::App* sweep = app.add_subcommand("sweep", "free clients whose processes ended (command 4)");
    CLI::App* raw = app.add_subcommand("raw", "CMD ARG1 ARG2 ARG3: any request");
    std::uint32_t cmd = 0, a1 = 0, a2 = 0, a3 = 0;
    bool force = false;
    raw->add_flag("--force", force,
                  "send commands 1, 2, 3 and 17, and a registration to a full server, which "
                  "make the server exit");
    raw->add_option("CMD", cmd)->required();
    raw->add_option("ARG1", a1)->required();
    raw->add_option("ARG2", a2)->required();
    raw->add_option("ARG3", a3)->required();
    ParseArgsOrExit(app, "ctl", argc, argv);
    const auto ctl = static_cast<std::uint16_t>(controller);
    if (status->parsed()) {
        return Status(ctl, json);
    }
    if (stop->parsed()) {
        cmd = KQVXI_CMD_STOP;
    } else if (sweep->parsed()) {
        cmd = KQVXI_CMD_SWEEP;
    } else if (!force) {
        int exitCode = 0;
        if (!RawAllowed(ctl, cmd, timeoutMs, &exitCode)) {
            return exitCode;
        }
    }
    int rc = kqvxi_request(ctl, cmd, &a1, &a2, &a3, timeoutMs);
    if (rc < 0) {
        std::fprintf(stderr, "kqvxi-ctl: no reply from the server of controller %d (status %d)\n",
                     controller, rc);
        return 1;
    }
    if (sweep->parsed()) {
        std::printf("clients %d\n", static_cast<std::int32_t>(a1));
    } else if (raw->parsed()) {
        std::printf("reply 0x%08x 0x%08x 0x%08x\n", a1, a2, a3);
    } else {
        std::printf("stopped\n");
    }
    return 0;
}
