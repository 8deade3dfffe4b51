#include <binmat/axis.h>

#include <algorithm>
#include <cmath>
#include <limits>

namespace binmat {

namespace {

constexpr double infinity = std::numeric_limits<double>::infinity();

} // namespace

axis_summary summarize_axis(std::span<const float> c) {
    axis_summary a;
    a.first = c.front();
    a.last = c.back();
    float largest = 0;
    for (float x : c) {
        a.nan += std::isnan(x) ? 1 : 0;
        largest = std::isfinite(x) ? std::max(largest, std::fabs(x)) : largest;
    }
    if (c.size() < 2) {
        return a;
    }
    a.min_step = infinity;
    a.max_step = -infinity;
    bool increasing = true;
    bool decreasing = true;
    for (std::size_t i = 0; i + 1 < c.size(); ++i) {
        const double step = static_cast<double>(c[i + 1]) - static_cast<double>(c[i]);
        a.min_step = std::min(a.min_step, step);
        a.max_step = std::max(a.max_step, step);
        increasing = increasing && step > 0;
        decreasing = decreasing && step < 0;
        a.repeated = a.repeated || step == 0;
    }
    a.monotonic = a.nan == 0 && (increasing || decreasing);
    // Evenly spaced reals stored as floats are each off by up to half a unit in the last place of
    // the largest coordinate, so their steps differ by up to one such unit; accumulation doubles
    // it.
    const double resolution =
        static_cast<double>(std::nextafter(largest, std::numeric_limits<float>::infinity())) -
        static_cast<double>(largest);
    a.uniform = a.monotonic && std::isfinite(a.max_step - a.min_step) &&
                a.max_step - a.min_step <= 2 * resolution;
    a.step = (static_cast<double>(a.last) - static_cast<double>(a.first)) /
             static_cast<double>(c.size() - 1);
    return a;
}

} // namespace binmat
