// The command's outputs: the library's output routine (<binmat/output.h>) with the command's
// words for its refusals, "-" for standard output, and the signal handlers that only a program
// may install: on SIGINT, SIGTERM, SIGHUP and SIGPIPE the hidden names of unfinished outputs are
// removed and the process ends with 128 + the signal's number; SIGBUS, which a mapped input that
// shrinks raises, ends it with status 1 the same way; SIGXFSZ is ignored, so that a file-size
// limit is a failed write to report.
#pragma once

#include <binmat/output.h>

#include "errors.h"

#include <cstdio>
#include <memory>
#include <span>
#include <string>
#include <system_error>
#include <vector>

namespace cli {

void install_signal_handlers();

// An output of the command: the library's output routine with "-" for standard output, whose
// failures say which output they concern.
class output_file {
  public:
    // Opens `path` ("-" for standard output) for writing; a refusal concerns the output: it is
    // one of `inputs` ("-" for standard input), or cannot be written.
    output_file(const std::string &path, const std::vector<std::string> &inputs, bool sync);

    const std::string &name() const { return name_; }
    bool same_file(const output_file &other) const { return file_->same_file(*other.file_); }

    // Runs `write` on the library's output, whose stream() and descriptor() take the data; a
    // failed write (std::system_error) concerns this output, and anything else what was written.
    template <typename Write> void write(Write &&write) {
        try {
            write(*file_);
        } catch (const concerning &) {
            throw;
        } catch (const std::system_error &) {
            std::throw_with_nested(concerning(name_, concerning::doing::writing_output));
        }
    }

    // Puts the output in place.
    void commit();

  private:
    friend void commit_all(std::span<output_file *const> outputs);
    std::string name_;
    std::unique_ptr<binmat::output_file> file_;
};

// Refuses (a usage error) two outputs of one command that end at one file.
void check_distinct(std::span<output_file *const> outputs);

// Puts every output in place once all are complete.
void commit_all(std::span<output_file *const> outputs);

} // namespace cli
