// Running the project's programs as a user runs them, in a scratch directory.
#pragma once

#include <filesystem>
#include <string>

namespace process {

struct Outcome {
    int status; // the exit status, or -1 when the command did not exit normally
    std::string out;
    std::string err;
};

// A new, empty directory under the temporary directory; an empty path when none can be made.
std::filesystem::path fresh_directory();

// Runs a shell command line in dir and returns what it printed and its status.
Outcome shell(const std::filesystem::path &dir, const std::string &line);

} // namespace process
