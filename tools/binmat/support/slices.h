// Which rows or columns to keep: Python's slices over indices (negative from the end, a step
// allowed) and inclusive ranges of coordinates.
#pragma once

#include <cstdint>
#include <limits>
#include <optional>
#include <string>

namespace cli {

// START:STOP:STEP with every part optional, or a single index.
struct index_slice {
    std::optional<std::int64_t> start;
    std::optional<std::int64_t> stop;
    std::int64_t step = 1;

    // Whether the kept indices depend on how many there are.
    bool needs_length() const { return step < 0 || start.value_or(0) < 0 || stop.value_or(0) < 0; }
};

// False with the reason in `error` for text that is not a slice or has a step of 0.
bool parse_index_slice(const std::string &text, index_slice &s, std::string &error);

// The first index kept, the step and how many, as Python's slice.indices gives them.
struct slice_span {
    std::int64_t first = 0;
    std::int64_t step = 1;
    std::int64_t count = 0;

    std::int64_t at(std::int64_t k) const { return first + k * step; }
};
slice_span resolve(const index_slice &s, std::int64_t length);

// MIN:MAX, both inclusive and either left out; false with the reason for text that is not one or
// a MIN above MAX.
struct coordinate_range {
    float low = -std::numeric_limits<float>::infinity();
    float high = std::numeric_limits<float>::infinity();

    bool contains(float v) const { return v >= low && v <= high; } // never a NaN
};
bool parse_coordinate_range(const std::string &text, coordinate_range &r, std::string &error);

} // namespace cli
