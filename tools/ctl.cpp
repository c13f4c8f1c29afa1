// kqvxi-ctl: sends one request to the server of a controller and prints the reply.
#include <CLI/CLI.hpp>

#include <cstdio>

#include "kqvxi/client.h"
#include "parse_args.h"

int main(int argc, char** argv) {
    CLI::App app{"Sends a request to the kqvxi server of a controller and prints its reply."};
    RequireOneSubcommand(app);
    app.footer(
        "Examples:\n"
        "  kqvxi-ctl sweep                     frees clients whose processes ended; prints the "
        "client count\n"
        "  kqvxi-ctl -c 1 stop                 stops the server of controller 1\n"
        "  kqvxi-ctl raw 2 0xDEAD0007 3 0x7f   enable levels 1-7 at index 3 for this process\n"
        "Exit status: 0 replied, 1 no reply (no server, or it ended without replying), 2 usage.");
    int controller = 0;
    unsigned timeoutMs = 2000;
    app.add_option("-c,--controller", controller, "controller number")->check(CLI::Range(0, 65535));
    app.add_option("-t,--timeout", timeoutMs, "milliseconds to wait for the reply");
    CLI::App* stop = app.add_subcommand("stop", "stop the server (command 13)");
    CLI::App* sweep = app.add_subcommand("sweep", "free clients whose processes ended (command 4)");
    CLI::App* raw = app.add_subcommand("raw", "CMD ARG1 ARG2 ARG3: any request");
    std::uint32_t cmd = 0, a1 = 0, a2 = 0, a3 = 0;
    raw->add_option("CMD", cmd)->required();
    raw->add_option("ARG1", a1)->required();
    raw->add_option("ARG2", a2)->required();
    raw->add_option("ARG3", a3)->required();
    ParseArgsOrExit(app, "ctl", argc, argv);
    if (stop->parsed()) {
        cmd = KQVXI_CMD_STOP;
    } else if (sweep->parsed()) {
        cmd = KQVXI_CMD_SWEEP;
    }
    int rc = kqvxi_request(static_cast<std::uint16_t>(controller), cmd, &a1, &a2, &a3, timeoutMs);
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
