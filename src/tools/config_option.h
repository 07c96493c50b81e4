#pragma once
// --config FILE for the long-running programs: every long option can be set in a
// TOML/INI file (key = value, lists as key = ["a", "b"]); the command line wins.
// Without --config nothing is read, so a run depends on its command line alone.
#include <CLI/CLI.hpp>

#include <string>

namespace quorvel::tools {

// Adds --config FILE and --print-config (writes a file with every option
// commented out, each under its help line, and ends). Call it after the other
// options are added, before parsing.
void AddConfigOption(CLI::App& app);

// What a parse error means for the user: prints it on standard error, naming the
// config file, the line and the key when the fault is in the file, and returns
// the exit status (0 for --help, --version and --print-config, else 2).
int ReportParseError(const CLI::App& app, const CLI::ParseError& error, const std::string& program, int argc,
                     const char* const* argv);

// The commented-out config file of an app's options (what --print-config writes).
std::string ConfigTemplate(const CLI::App& app);

}  // namespace quorvel::tools
