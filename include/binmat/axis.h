// What the coordinates of one axis are like: their range, NaNs, repeats, order, and whether they
// are evenly spaced within the resolution of a float at their magnitude. One judgement, shared by
// every face that says whether a grid is regular (binmat info, the GDAL driver).
#pragma once

#include <cstdint>
#include <span>

namespace binmat {

struct axis_summary {
    float first = 0;
    float last = 0;
    std::uint64_t nan = 0; // NaN coordinates
    bool repeated = false; // two neighbours equal
    bool monotonic = true; // strictly, one way
    bool uniform = true;   // monotonic, and every step the same within float resolution
    double step = 0;       // (last - first) / (count - 1)
    double min_step = 0;
    double max_step = 0;
};

// The summary of at least one coordinate.
axis_summary summarize_axis(std::span<const float> coordinates);

} // namespace binmat
