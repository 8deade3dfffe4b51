// What the command says about a file: whether it reads, why not and what it most likely is, and
// what its axes and values hold.
#pragma once

#include "input.h"

#include <binmat/axis.h>
#include <binmat/binmat.h>
#include <binmat/mapped.h>

#include <cstdint>
#include <limits>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace cli {

// A file as the command sees it: whether it reads and what it holds, or why not. A regular file
// is mapped and its values used where they lie; a stream is read into memory. Either way its rows
// come out in file order, in native floats.
struct examined {
    bool ok = false;                                       // the file reads
    binmat::byte_order order = binmat::byte_order::little; // the order it was read in
    float stored_count = 0;                                // its first float, in that order
    std::uint64_t length = 0; // bytes in the file, or read of a stream refused at once
    binmat::layout layout;
    std::string problem; // why the file does not read, with what it looks like; empty if it reads
    std::string problem_name;         // the defect's name, or "read_error"
    std::uint64_t offset = 0;         // where the file stops making sense
    bool other_byte_order = false;    // the bytes make much more sense in the other order
    std::vector<unsigned char> stray; // the bytes after the last row

    // When the file reads:
    std::vector<float> row_coordinates;
    std::vector<float> column_coordinates;
    std::size_t rows() const { return row_coordinates.size(); }
    std::size_t columns() const { return column_coordinates.size(); }
    // The values, row by row, native: where the map holds them, or read into memory.
    binmat::strided_values values;
    std::shared_ptr<const void> holder; // what values point into, the map or the grid
};

// Reads the input in `order` (detect: the order that makes sense of it) and measures it; a stream
// that is no grid from its first four bytes is not read further.
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

// The summary of values taken a row at a time, in one pass that the processor does four values at
// a time. Whatever reads a file feeds it the same rows in the same order, so the same file gets
// the same summary, to the last bit of its mean, however it was read.
class value_tally {
  public:
    void add(std::span<const float> row);
    // Takes in what another tally saw of later rows.
    value_tally &operator+=(const value_tally &other);
    value_summary summary() const;

  private:
    float min_ = std::numeric_limits<float>::infinity();
    float max_ = -std::numeric_limits<float>::infinity();
    double sum_ = 0;
    std::uint64_t nan_ = 0;
    std::uint64_t infinite_ = 0;
    std::uint64_t finite_ = 0;
};

value_summary summarize_values(const binmat::strided_values &values);

} // namespace cli
