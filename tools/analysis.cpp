#include "analysis.h"

#include "numbers.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>

namespace {

constexpr double infinity = std::numeric_limits<double>::infinity();
constexpr double not_a_number = std::numeric_limits<double>::quiet_NaN();

} // namespace

Examined examine(Input &in) {
    Examined e;
    e.grid = Grid::read(in.stream());
    in.drain();
    e.length = in.consumed();
    const std::vector<unsigned char> &head = in.head();
    if (head.size() >= 4) {
        e.stored_count = binmat::stored_float(head.data(), binmat::byte_order::little);
    }
    e.layout = binmat::layout_of(e.stored_count, e.length);
    e.other_byte_order = binmat::likely_order(head, e.length) == binmat::byte_order::big;
    if (in.failed()) {
        e.grid.reset();
        e.problem = "read error";
    } else if (!e.grid) {
        e.problem = binmat::explain(e.layout, e.stored_count);
        if (e.problem.empty()) {
            e.problem = "more rows than can be read";
        }
    }
    return e;
}

std::string stray_problem(const binmat::layout &l) {
    if (l.stray == 0) {
        return {};
    }
    return std::to_string(l.stray) + (l.stray == 1 ? " stray byte" : " stray bytes") +
           " after the last row";
}

AxisSummary summarize_axis(const float *titles, int n) {
    AxisSummary a;
    a.first = titles[0];
    a.last = titles[n - 1];
    if (n < 2) {
        return a;
    }
    a.min_step = infinity;
    a.max_step = -infinity;
    bool increasing = true;
    bool decreasing = true;
    for (int i = 0; i + 1 < n; ++i) {
        const double step = static_cast<double>(titles[i + 1]) - static_cast<double>(titles[i]);
        a.min_step = std::min(a.min_step, step);
        a.max_step = std::max(a.max_step, step);
        increasing = increasing && step > 0;
        decreasing = decreasing && step < 0;
    }
    a.monotonic = increasing || decreasing;
    // Coordinates accumulated in single precision wobble by a few units in the last place.
    const double scale = std::max(std::fabs(a.min_step), std::fabs(a.max_step));
    a.uniform = a.monotonic && std::isfinite(scale) && a.max_step - a.min_step <= 1e-4 * scale;
    return a;
}

ValueSummary summarize_values(const Grid &g) {
    ValueSummary s;
    s.min = infinity;
    s.max = -infinity;
    double sum = 0;
    for (int i = 0; i < g.rows(); ++i) {
        const float *row = g.row(i);
        for (int j = 0; j < g.columns(); ++j) {
            const double v = row[j];
            if (std::isnan(v)) {
                ++s.nan;
            } else if (std::isinf(v)) {
                ++s.infinite;
            } else {
                ++s.finite;
                s.min = std::min(s.min, v);
                s.max = std::max(s.max, v);
                sum += v;
            }
        }
    }
    if (s.finite == 0) {
        s.min = s.max = not_a_number;
    }
    s.mean = s.finite == 0 ? not_a_number : sum / static_cast<double>(s.finite);
    return s;
}
