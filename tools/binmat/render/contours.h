// Isolines: where the values of a picture cross given levels, traced between pixel centres.
#pragma once

#include <cstddef>
#include <span>
#include <vector>

namespace plot {

// A piece of an isoline, in pixels of the values' image: (0.5, 0.5) is the first pixel's centre.
struct segment {
    double x0, y0, x1, y1;
};

// The pieces of the isolines of `values` (`width` x `height`, row by row) at each level, by
// marching squares; a square with a corner that is not finite is left out.
std::vector<segment> isolines(std::span<const float> values, std::size_t width, std::size_t height,
                              std::span<const double> levels);

} // namespace plot
