// Ticks at round numbers along an axis, and their labels.
#pragma once

#include <string>
#include <vector>

namespace plot {

struct tick {
    double at;
    std::string label;
};

// Ticks at multiples of 1, 2 or 5 times a power of ten within [low, high], at most `most` of
// them but at least one when the range allows; labels carry as many decimals as the step needs
// and a true minus sign.
std::vector<tick> round_ticks(double low, double high, int most);

// Ticks for a logarithmic scale over [low, high], both above zero: at powers of ten (every
// second or more when more than `most` would show), or at 1, 2 and 5 times them when the range
// holds fewer than two powers, or round ticks when it holds fewer than two of those either.
std::vector<tick> log_ticks(double low, double high, int most);

} // namespace plot
