// What every subcommand shares: exit statuses, errors that end a subcommand, reports on standard
// error, standard output checked for failed writes, and the options that mean the same everywhere.
#pragma once

#include <binmat/layout.h>

#include <CLI/CLI.hpp>

#include <functional>
#include <stdexcept>
#include <string>

namespace cli {

constexpr int status_ok = 0;
constexpr int status_bad_data = 1;
constexpr int status_usage = 2;

// Ends a subcommand with `status`, after "binmat: MESSAGE" on standard error.
class failure : public std::runtime_error {
  public:
    failure(int status, const std::string &message)
        : std::runtime_error(message), status_(status) {}
    int status() const { return status_; }

  private:
    int status_;
};

// A write to standard output or to an output file that failed: it ends the command.
class output_error : public failure {
  public:
    explicit output_error(const std::string &message) : failure(1, message) {}
};

// "binmat: FILE: REASON" on standard error, for one file of several.
void report(const std::string &file, const std::string &reason);

// Runs `each` on every file; false from it, or a file that cannot be opened (reported, and handed
// to `refused` with the reason), makes the status bad data.
int for_each_file(
    const std::vector<std::string> &files, const std::function<bool(const std::string &)> &each,
    const std::function<void(const std::string &, const std::string &)> &refused = {});

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
// The order's name as the options spell it: "little", "big", "auto".
const char *byte_order_name(binmat::byte_order order);

// Writes to standard output; a failed write throws, with the system's reason.
void print(const std::string &text);

// Throws the output_error for a failed write to standard output, which is then not reported again
// when the command ends.
[[noreturn]] void standard_output_failed(int error);

// Flushes standard output; "binmat: write error: REASON" and status 1 when anything written to it
// was lost.
int finish_standard_output(int status);

} // namespace cli
