// The tools' shared command-line parsing: the --version flag and the exit
// statuses of a command line that cannot be run.
#include "parse_args.h"

#include <cstdio>
#include <cstdlib>
#include <string>

#include "kqvxi/version.h"

void ParseArgsOrExit(CLI::App& app, const char* tool, int argc, char** argv) {
    app.set_version_flag("--version", std::string("kqvxi-") + tool + " " + KQVXI_VERSION_STRING,
                         "print the tool's name and release and exit");
    try {
        app.parse(argc, argv);
    } catch (const CLI::Success& e) {
        std::exit(app.exit(e));  // --help or --version
    } catch (const CLI::ParseError& e) {
        app.exit(e);
        std::exit(2);
    }
}

void RequireOneSubcommand(CLI::App& app) {
    app.require_subcommand(1);
    app.fallthrough();
}

void UsageErrorExit(const char* tool, const std::string& message) {
    std::fprintf(stderr, "kqvxi-%s: %s\nRun with --help for more information.\n", tool,
                 message.c_str());
    std::exit(2);
}
