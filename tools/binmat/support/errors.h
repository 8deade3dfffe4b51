// How the command fails: the one place that decides what a failure says and the exit status it
// ends with. Subcommands throw usage_error for a command line that asks for the impossible, and
// let the library's own errors through, wrapped (with std::throw_with_nested) in `concerning`
// to say which file they are about.
#pragma once

#include <exception>
#include <stdexcept>
#include <string>
#include <utility>

namespace cli {

constexpr int status_ok = 0;
constexpr int status_bad_data = 1;
constexpr int status_usage = 2;

// A command line that asks for something that cannot be done: status 2.
class usage_error : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

// The file a failure is about, and what the command was doing with it. A failure of an output
// ends the command, however many files are left.
class concerning : public std::exception {
  public:
    enum class doing { reading, opening_output, writing_output };
    concerning(std::string file, doing what) : file_(std::move(file)), what_(what) {}
    const std::string &file() const noexcept { return file_; }
    doing what_with() const noexcept { return what_; }
    bool output() const noexcept { return what_ != doing::reading; }
    const char *what() const noexcept override { return file_.c_str(); }

  private:
    std::string file_;
    doing what_;
};

// Runs `work` on behalf of `file`; a failure it throws is wrapped to say so, unless it already
// says which file it is about.
template <typename Work>
decltype(auto) about(const std::string &file, concerning::doing what, Work &&work) {
    try {
        return work();
    } catch (const concerning &) {
        throw;
    } catch (...) {
        std::throw_with_nested(concerning(file, what));
    }
}

template <typename Work> decltype(auto) reading(const std::string &file, Work &&work) {
    return about(file, concerning::doing::reading, std::forward<Work>(work));
}

// Refuses `file` in the command's own words: "FILE: REASON", status 1.
[[noreturn]] void refuse(const std::string &file, const std::string &reason);

// What a failure says ("FILE: REASON") and the status it ends with.
struct verdict {
    std::string message;
    int status = status_bad_data;
    bool output = false; // it concerns an output, or standard output
};

// The verdict on the exception being handled.
verdict judge_current();

// Says the verdict on standard error ("binmat: MESSAGE") and returns its status.
int report_current();

// Whether a failure to write standard output has been reported already.
bool standard_output_failed_already();

} // namespace cli
