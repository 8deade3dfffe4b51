// What the command says as it goes: reports and warnings on standard error, standard output
// checked for failed writes, and a loop over the files of a subcommand that reports on each.
#pragma once

#include "errors.h"

#include <binmat/layout.h>

#include <functional>
#include <string>
#include <vector>

namespace cli {

// "binmat: FILE: REASON" on standard error, for one file of several.
void report(const std::string &file, const std::string &reason);

// "binmat: warning: NAME: TEXT" on standard error.
void warn(const std::string &name, const std::string &text);

// Runs `each` on every file; false from it, or a failure about that file (reported, and handed
// to `refused` with the message), makes the status bad data. A failure of an output ends the
// command.
int for_each_file(
    const std::vector<std::string> &files, const std::function<bool(const std::string &)> &each,
    const std::function<void(const std::string &, const std::string &)> &refused = {});

// The order's name as the options spell it: "little", "big", "auto".
const char *byte_order_name(binmat::byte_order order);

// Writes to standard output; a failed write throws, as a failure of the output "-".
void print(const std::string &text);

// Flushes standard output; "binmat: write error: REASON" and status 1 when anything written to it
// was lost.
int finish_standard_output(int status);

} // namespace cli
