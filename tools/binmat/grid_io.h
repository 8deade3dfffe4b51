// Whole grids in and out of binary matrix files for the subcommands that change them, with the
// library's refusals turned into the command's.
#pragma once

#include "input.h"

#include <binmat/binmat.h>

#include <functional>
#include <string>

namespace cli {

// Reads the whole grid of `in`; throws cli::failure naming the file.
binmat::grid read_grid(const input_file &in, binmat::byte_order order);

// Runs `work` (which reads the file named `name`), turning the library's format, argument and
// system errors into cli::failure naming the file.
void naming_errors(const std::string &name, const std::function<void()> &work);

// "binmat: warning: NAME: TEXT" on standard error.
void warn(const std::string &name, const std::string &text);

} // namespace cli
