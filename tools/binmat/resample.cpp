#include "resample.h"

#include "command.h"
#include "examine.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <numeric>

namespace cli {

namespace {

bool finite_bits(float v) {
    std::uint32_t bits = 0;
    std::memcpy(&bits, &v, sizeof bits);
    return (bits & 0x7f800000U) != 0x7f800000U;
}

// Whether a row holds only finite values; written without an early exit so that it vectorises.
bool all_finite(const float *row, std::size_t n) {
    bool any_other = false;
    for (std::size_t j = 0; j < n; ++j) {
        any_other |= !finite_bits(row[j]);
    }
    return !any_other;
}

} // namespace

axis_cells place_cells(std::span<const float> coordinates, const std::string &axis) {
    const std::size_t n = coordinates.size();
    if (n == 0 || n > std::numeric_limits<std::uint32_t>::max()) {
        throw failure(status_bad_data,
                      "cannot draw " + count_of(n, "cell", "cells") + " along " + axis);
    }
    for (std::size_t i = 0; i < n; ++i) {
        if (!std::isfinite(coordinates[i])) {
            throw failure(status_bad_data, "cannot place the cells along " + axis +
                                               ": coordinate " + std::to_string(i) + " is " +
                                               text_of(coordinates[i]));
        }
    }
    axis_cells a;
    a.index.resize(n);
    std::iota(a.index.begin(), a.index.end(), std::uint32_t{0});
    const auto before = [&](std::uint32_t i, std::uint32_t j) {
        return coordinates[i] < coordinates[j];
    };
    if (std::is_sorted(coordinates.rbegin(), coordinates.rend())) {
        std::reverse(a.index.begin(), a.index.end());
    } else if (!std::is_sorted(coordinates.begin(), coordinates.end())) {
        std::stable_sort(a.index.begin(), a.index.end(), before);
    }
    for (std::size_t s = 0; s + 1 < n; ++s) {
        const std::uint32_t i = a.index[s];
        const std::uint32_t j = a.index[s + 1];
        if (coordinates[i] == coordinates[j]) {
            throw failure(status_bad_data, "cannot place the cells along " + axis +
                                               ": coordinates " + std::to_string(std::min(i, j)) +
                                               " and " + std::to_string(std::max(i, j)) +
                                               " are both " + text_of(coordinates[i]));
        }
    }
    a.edges.resize(n + 1);
    const auto at = [&](std::size_t s) { return static_cast<double>(coordinates[a.index[s]]); };
    for (std::size_t s = 1; s < n; ++s) {
        a.edges[s] = (at(s - 1) + at(s)) / 2;
    }
    if (n == 1) {
        const double half = std::max(0.5, std::abs(at(0)) * 1e-6);
        a.edges[0] = at(0) - half;
        a.edges[1] = at(0) + half;
    } else {
        a.edges[0] = at(0) - (a.edges[1] - at(0));
        a.edges[n] = at(n - 1) + (at(n - 1) - a.edges[n - 1]);
    }
    return a;
}

pixel_weights spread(const axis_cells &cells, std::size_t pixels, bool reversed) {
    const std::vector<double> &edge = cells.edges;
    const std::size_t n = cells.index.size();
    const double low = cells.low();
    const double step = (cells.high() - low) / static_cast<double>(pixels);
    pixel_weights w;
    w.start.reserve(pixels + 1);
    w.start.push_back(0);
    // The place among the cells of the first edge above `at`, ignoring the outer edges.
    const auto place_of = [&](double at) {
        return static_cast<std::size_t>(std::upper_bound(edge.begin() + 1, edge.end() - 1, at) -
                                        (edge.begin() + 1));
    };
    for (std::size_t p = 0; p < pixels; ++p) {
        const std::size_t q = reversed ? pixels - 1 - p : p;
        const double from = low + static_cast<double>(q) * step;
        const double to = q + 1 == pixels ? cells.high() : from + step;
        if (pixels >= n) {
            // Pixels finer than cells: each shows one cell, so cell edges stay sharp.
            w.cell.push_back(cells.index[place_of((from + to) / 2)]);
            w.weight.push_back(1);
        } else {
            for (std::size_t s = place_of(from); s < n && edge[s] < to; ++s) {
                const double overlap = std::min(to, edge[s + 1]) - std::max(from, edge[s]);
                if (overlap > 0) {
                    w.cell.push_back(cells.index[s]);
                    w.weight.push_back(static_cast<float>(overlap / (to - from)));
                }
            }
        }
        w.start.push_back(w.cell.size());
    }
    return w;
}

std::vector<float> resample(std::span<const float> values, std::size_t columns,
                            const pixel_weights &down, const pixel_weights &across) {
    const std::size_t height = down.start.size() - 1;
    const std::size_t width = across.start.size() - 1;
    std::vector<float> picture(height * width);
    // Per grid column, for the picture row at hand: the weighted sum of its finite values, and
    // the weights of the values left out of it (only for rows that have such values).
    std::vector<float> sum(columns);
    std::vector<float> lost(columns);
    std::vector<float> positive(columns);
    std::vector<float> negative(columns);
    for (std::size_t r = 0; r < height; ++r) {
        std::fill(sum.begin(), sum.end(), 0.0F);
        float total = 0;
        bool others = false;
        for (std::size_t k = down.start[r]; k < down.start[r + 1]; ++k) {
            const float *row = values.data() + std::size_t{down.cell[k]} * columns;
            const float w = down.weight[k];
            total += w;
            if (all_finite(row, columns)) {
                for (std::size_t j = 0; j < columns; ++j) {
                    sum[j] += w * row[j];
                }
                continue;
            }
            if (!others) {
                std::fill(lost.begin(), lost.end(), 0.0F);
                std::fill(positive.begin(), positive.end(), 0.0F);
                std::fill(negative.begin(), negative.end(), 0.0F);
                others = true;
            }
            for (std::size_t j = 0; j < columns; ++j) {
                const float v = row[j];
                if (finite_bits(v)) {
                    sum[j] += w * v;
                } else {
                    lost[j] += w;
                    positive[j] += v > 0 ? w : 0.0F;
                    negative[j] += v < 0 ? w : 0.0F;
                }
            }
        }
        float *out = picture.data() + r * width;
        for (std::size_t c = 0; c < width; ++c) {
            double s = 0;
            double kept = 0;
            double pos = 0;
            double neg = 0;
            for (std::size_t k = across.start[c]; k < across.start[c + 1]; ++k) {
                const std::uint32_t j = across.cell[k];
                const double w = across.weight[k];
                s += w * sum[j];
                if (others) {
                    kept += w * (total - lost[j]);
                    pos += w * positive[j];
                    neg += w * negative[j];
                } else {
                    kept += w * total;
                }
            }
            float v = std::numeric_limits<float>::quiet_NaN();
            if (pos > 0 || neg > 0) {
                if (pos != neg) {
                    v = pos > neg ? std::numeric_limits<float>::infinity()
                                  : -std::numeric_limits<float>::infinity();
                }
            } else if (kept > 0) {
                // An average of values near the float limit may round beyond it.
                v = static_cast<float>(std::clamp(s / kept,
                                                  -double{std::numeric_limits<float>::max()},
                                                  double{std::numeric_limits<float>::max()}));
            }
            out[c] = v;
        }
    }
    return picture;
}

value_range range_of(std::span<const float> values) {
    value_range r;
    float low = std::numeric_limits<float>::infinity();
    float high = -std::numeric_limits<float>::infinity();
    bool others = false;
    for (const float v : values) {
        const bool finite = finite_bits(v);
        low = finite && v < low ? v : low;
        high = finite && v > high ? v : high;
        others |= !finite;
    }
    r.finite = low <= high;
    r.min = low;
    r.max = high;
    if (others) {
        for (const float v : values) {
            r.nan |= std::isnan(v);
            r.positive_infinity |= v == std::numeric_limits<float>::infinity();
            r.negative_infinity |= v == -std::numeric_limits<float>::infinity();
        }
    }
    return r;
}

} // namespace cli
