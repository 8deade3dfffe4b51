// The colour maps a picture can use, and the colours that stand for NaN and the infinities in each.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace plot {

using rgb = std::array<std::uint8_t, 3>;

struct colour_map {
    std::string_view name;
    const std::array<std::uint32_t, 256> *table; // 0xRRGGBB from the low end up; null for gray
    bool diverging;                              // its middle is zero when data take both signs
    rgb nan;
    rgb positive_infinity;
    rgb negative_infinity;
    bool reversed = false; // "_r": the same colours from the high end down

    // The colour of t in [0, 1]; t outside is clamped to the nearer end.
    rgb at(double t) const { return colour(step_of(t)); }

    // The step of 256 that holds t, and the colour of a step.
    static std::uint8_t step_of(double t) {
        // The steps divide [0, 1] evenly; the last one takes 1 itself, and NaN the first.
        const double scaled = t * 256;
        return scaled >= 255 ? 255 : scaled > 0 ? static_cast<std::uint8_t>(scaled) : 0;
    }
    rgb colour(std::uint8_t step) const;
};

// The map called `name`, or null.
const colour_map *find_colour_map(std::string_view name);

// Every map's name, the default first.
std::vector<std::string> colour_map_names();

} // namespace plot
