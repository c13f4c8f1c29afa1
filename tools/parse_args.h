// The tools' command lines: every tool parses its arguments with CLI11 through
// ParseArgsOrExit, so usage errors, --help and --version behave alike in all of them.
#pragma once
#include <CLI/CLI.hpp>

// Adds --version ("kqvxi-<tool> <release>") to app and parses argv. Returns only
// when the arguments are good; otherwise exits: 0 after --help or --version, 2
// after a usage error (CLI11 prints what is wrong and a hint to run --help).
void ParseArgsOrExit(CLI::App& app, const char* tool, int argc, char** argv);

// Makes app take exactly one subcommand, with the app's own options accepted
// after it as well as before.
void RequireOneSubcommand(CLI::App& app);

// For a usage error found after parsing: prints "kqvxi-<tool>: <message>" and the
// hint to run --help on stderr and exits with status 2.
[[noreturn]] void UsageErrorExit(const char* tool, const std::string& message);
