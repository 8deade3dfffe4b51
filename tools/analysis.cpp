#include "analysis.h"

#include "numbers.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>

namespace {

constexpr double infinity = std::numeric_limits<double>::infinity();
constexpr double not_a_number = std::numeric_limits<double>::quiet_NaN();

float float_at(const std::vector<unsigned char> &bytes, std::size_t offset, bool swapped) {
    unsigned char raw[4];
    std::memcpy(raw, bytes.data() + offset, 4);
    if (swapped) {
        std::swap(raw[0], raw[3]);
        std::swap(raw[1], raw[2]);
    }
    float f = 0;
    std::memcpy(&f, raw, sizeof f);
    return f;
}

// Share of the sampled floats that look like data: zero, or finite of a plausible magnitude.
double plausible_share(const std::vector<unsigned char> &head, bool swapped) {
    const std::size_t n = head.size() / 4;
    if (n == 0) {
        return 0;
    }
    std::size_t plausible = 0;
    for (std::size_t k = 0; k < n; ++k) {
        const float f = std::fabs(float_at(head, 4 * k, swapped));
        plausible += f == 0 || (std::isfinite(f) && f > 1e-20F && f < 1e20F) ? 1 : 0;
    }
    return static_cast<double>(plausible) / static_cast<double>(n);
}

bool fits(const std::vector<unsigned char> &head, std::uint64_t length, bool swapped) {
    if (head.size() < 4) {
        return false;
    }
    const binmat::layout l = binmat::layout_of(float_at(head, 0, swapped), length);
    return l.problem == binmat::defect::none && l.stray == 0;
}

bool other_byte_order(const std::vector<unsigned char> &head, std::uint64_t length) {
    const bool native = fits(head, length, false);
    const bool swapped = fits(head, length, true);
    if (native != swapped) {
        return swapped;
    }
    return plausible_share(head, true) > 0.9 && plausible_share(head, false) < 0.5;
}

std::string describe(const binmat::layout &l, float stored) {
    char count[float_text_max + 1] = {};
    format_float(count, stored);
    switch (l.problem) {
    case binmat::defect::none:
        return {};
    case binmat::defect::no_column_count:
        return "too short to hold a column count";
    case binmat::defect::bad_column_count:
        return std::string("column count ") + count + " is not a positive whole number";
    case binmat::defect::titles_cut_short:
        return "column titles cut short (" + std::to_string(l.titles) + " of " +
               std::to_string(l.columns) + ")";
    case binmat::defect::no_complete_row:
        return "no complete row";
    case binmat::defect::row_cut_short:
        return "a row cut short at byte offset " + std::to_string(l.cut_at);
    }
    return {};
}

} // namespace

Examined examine(Input &in) {
    Examined e;
    e.grid = Grid::read(in.stream());
    in.drain();
    e.length = in.consumed();
    const std::vector<unsigned char> &head = in.head();
    if (head.size() >= 4) {
        e.stored_count = float_at(head, 0, false);
    }
    e.layout = binmat::layout_of(e.stored_count, e.length);
    e.other_byte_order = other_byte_order(head, e.length);
    if (in.failed()) {
        e.grid.reset();
        e.problem = "read error";
    } else if (!e.grid) {
        e.problem = describe(e.layout, e.stored_count);
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
