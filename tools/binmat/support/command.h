// The command line that every subcommand shares: how a subcommand is declared, and the options
// that mean the same everywhere.
#pragma once

#include "report.h"

#include <binmat/layout.h>

#include <CLI/CLI.hpp>

#include <functional>
#include <string>
#include <vector>

namespace cli {

// A subcommand as the command line knows it, and what runs it once parsed.
struct subcommand {
    CLI::App *app;
    std::function<int()> run;
};

// The options of a subcommand that reports on each of many files: FILE... and --json, and the
// byte order for those that read grids.
struct file_list {
    std::vector<std::string> files;
    bool json = false;
    binmat::byte_order order = binmat::byte_order::little;
};
void add_file_list(CLI::App &app, file_list &o, const std::string &files_help);

// --byte-order little|big|auto (auto only when reading).
void add_byte_order(CLI::App &app, binmat::byte_order &order, bool reading);

// --no-sync, for the subcommands that write files.
void add_no_sync(CLI::App &app, bool &no_sync);

} // namespace cli
