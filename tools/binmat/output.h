// The command's output files. A regular file is written under a temporary name beside the file it
// replaces (after following symbolic links), flushed, given the old file's mode and owner, and
// renamed over it only when complete; a device, a FIFO or a file with other hard links is written
// in place; "-" is standard output. An output that is one of the inputs is refused before anything
// is written. Until committed, a temporary file is removed on failure and on SIGINT, SIGTERM and
// SIGHUP, and the process then ends with 128 + the signal's number.
#pragma once

#include <cstdio>
#include <string>
#include <vector>

namespace cli {

// Installs the handlers that remove an uncommitted temporary file on a termination signal.
void remove_temporary_files_on_signals();

class output_file {
  public:
    // Opens `path` for writing; throws cli::failure (status 2 for an output that is an input, 1
    // otherwise) with the reason.
    output_file(const std::string &path, const std::vector<std::string> &inputs);
    ~output_file();
    output_file(const output_file &) = delete;
    output_file &operator=(const output_file &) = delete;

    FILE *stream() const { return file_; }
    // The file being written under its temporary name, for libraries that write by name and not
    // through a stream; empty when the output is written in place or is standard output.
    const std::string &temporary() const { return temporary_; }
    const std::string &name() const { return path_; }

    // Flushes and closes, then renames the temporary file into place; throws cli::failure.
    void commit();

  private:
    std::string path_;   // as the user gave it
    std::string target_; // the file it ends at
    std::string temporary_;
    FILE *file_ = nullptr;
    bool committed_ = false;
};

} // namespace cli
