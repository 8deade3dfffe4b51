// What the command says about a file: whether it reads, why not and what it most likely is, and
// what its axes and values hold.
#pragma once

#include "input.h"

#include <binmat/axis.h>
#include <binmat/binmat.h>

#include <cstdint>
#include <optional>
#include <span>
#include <string>

namespace cli {

struct examined {
    std::optional<binmat::grid> grid;                      // when the file reads
    binmat::byte_order order = binmat::byte_order::little; // the order it was read in
    float stored_count = 0;                                // its first float, in that order
    std::uint64_t length = 0; // bytes in the file, or read of a stream refused at once
    binmat::layout layout;
    std::string problem; // why the file does not read, with what it looks like; empty if it reads
    std::string problem_name;      // the defect's name, or "read_error"
    std::uint64_t offset = 0;      // where the file stops making sense
    bool other_byte_order = false; // the bytes make much more sense in the other order
};

// Reads the whole input in `order` (detect: the order that makes sense of it) and measures it; a
// stream that is no grid from its first four bytes is not read further.
examined examine(input_file &in, binmat::byte_order order);

// What a file that does not read most likely is, when that is recognisable: "a .npy array", ...
std::string looks_like(std::span<const unsigned char> head, std::optional<std::uint64_t> length,
                       binmat::byte_order order);

// "3 stray bytes after the last row", or empty when there are none.
std::string stray_problem(const binmat::layout &l);

// "1 row", "2 rows".
std::string count_of(std::uint64_t n, const char *singular, const char *plural);

// "-3 to 3.0000007, uniform, step 0.2", "... not monotonic", "... 2 NaN coordinates".
std::string describe_axis(const binmat::axis_summary &a);

struct value_summary {
    double min = 0;
    double max = 0;
    double mean = 0;
    std::uint64_t nan = 0;
    std::uint64_t infinite = 0;
    std::uint64_t finite = 0;
};

value_summary summarize_values(std::span<const float> values);

} // namespace cli
