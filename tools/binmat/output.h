// The command's outputs: the library's output routine (<binmat/output.h>) with the command's
// words for its refusals, "-" for standard output, and the signal handlers that only a program
// may install: on SIGINT, SIGTERM, SIGHUP and SIGPIPE the hidden names of unfinished outputs are
// removed and the process ends with 128 + the signal's number; SIGBUS, which a mapped input that
// shrinks raises, ends it with status 1 the same way; SIGXFSZ is ignored, so that a file-size
// limit is a failed write to report.
#pragma once

#include <binmat/output.h>

#include <CLI/CLI.hpp>

#include <cstdio>
#include <memory>
#include <span>
#include <string>
#include <system_error>
#include <vector>

namespace cli {

void install_signal_handlers();

// --no-sync, for the subcommands that write files.
void add_no_sync(CLI::App &app, bool &no_sync);

class output_file {
  public:
    // Opens `path` ("-" for standard output) for writing; throws cli::failure: status 2 for an
    // output that is one of `inputs` ("-" for standard input), 1 otherwise, with the reason.
    output_file(const std::string &path, const std::vector<std::string> &inputs, bool sync);

    const std::string &name() const { return name_; }
    FILE *stream();
    // The descriptor the data go to, and the name by which a library that writes only by name
    // opens it (see binmat::output_file); throws cli::output_error.
    int descriptor() const { return file_->descriptor(); }
    std::string name_for_library();
    void library_opened() { file_->library_opened(); }
    bool same_file(const output_file &other) const { return file_->same_file(*other.file_); }

    // Puts the output in place; throws cli::output_error.
    void commit();

  private:
    friend void commit_all(std::span<output_file *const> outputs);
    std::string name_;
    std::unique_ptr<binmat::output_file> file_;
};

// Refuses (status 2) two outputs of one command that end at one file.
void check_distinct(std::span<output_file *const> outputs);

// Puts every output in place once all are complete; throws cli::output_error.
void commit_all(std::span<output_file *const> outputs);

// The command's words for a failure to write `name`: "NAME: write error: REASON", or
// "write error: REASON" for standard output.
[[noreturn]] void write_failed(const std::string &name, int error);

// Runs `write`, which writes to `out`: a write that fails (std::system_error) becomes the
// command's output_error naming `out`.
template <typename Write> void writing(const output_file &out, Write &&write) {
    try {
        write();
    } catch (const std::system_error &e) {
        write_failed(out.name(), e.code().value());
    }
}

} // namespace cli
