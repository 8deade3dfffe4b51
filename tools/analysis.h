// What the tools say about a file: whether it reads, why not, and what it holds.
#pragma once

#include "grid.h"
#include "io.h"
#include <binmat/layout.h>

#include <cstdint>
#include <optional>
#include <string>

struct Examined {
    std::optional<Grid> grid; // when fread_matrix accepts the file
    float stored_count = 0;   // the first float, when there is one
    std::uint64_t length = 0; // bytes in the file
    binmat::layout layout;
    std::string problem;           // why the file does not read; empty when it does
    bool other_byte_order = false; // the bytes make much more sense swapped
};

// Reads the whole input with the library's reader and measures it against the layout.
Examined examine(Input &in);

// "3 stray bytes after the last row", or empty when there are none.
std::string stray_problem(const binmat::layout &l);

struct AxisSummary {
    float first = 0;
    float last = 0;
    bool uniform = true;
    bool monotonic = true;
    double min_step = 0;
    double max_step = 0;
};

AxisSummary summarize_axis(const float *titles, int n);

struct ValueSummary {
    double min = 0;
    double max = 0;
    double mean = 0;
    std::uint64_t nan = 0;
    std::uint64_t infinite = 0;
    std::uint64_t finite = 0;
};

ValueSummary summarize_values(const Grid &g);
