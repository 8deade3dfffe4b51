#include "resample.h"

#include <binmat/formats/number_text.h>

#include "picture_error.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>
#include <functional>
#include <future>
#include <limits>
#include <mutex>
#include <numeric>
#include <thread>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace plot {

namespace {

std::int32_t bits_of(float v) {
    std::int32_t bits = 0;
    std::memcpy(&bits, &v, sizeof bits);
    return bits;
}

bool finite_bits(float v) { return (bits_of(v) & 0x7f800000) != 0x7f800000; }

// Whether work of `size` is worth two threads: enough of it, and a second core to take half.
bool worth_two_threads(std::size_t size) {
    return size >= (std::size_t{1} << 20) && std::thread::hardware_concurrency() >= 2;
}

// The least and greatest finite values (+inf and -inf when there are none), and whether any value
// is not finite.
struct extremes {
    float low = std::numeric_limits<float>::infinity();
    float high = -std::numeric_limits<float>::infinity();
    bool others = false;
};

// The exact way, values that are not finite standing in as the infinity that changes nothing,
// which the compiler would not work out for itself under float's NaN rules.
extremes extremes_masked(const float *p, std::size_t n) {
    extremes e;
    std::size_t j = 0;
#if defined(__SSE2__)
    const __m128i exponent = _mm_set1_epi32(0x7f800000);
    const __m128 up = _mm_set1_ps(e.low);
    const __m128 down = _mm_set1_ps(e.high);
    __m128 low = up;
    __m128 high = down;
    __m128i others = _mm_setzero_si128();
    for (; j + 4 <= n; j += 4) {
        const __m128 v = _mm_loadu_ps(p + j);
        const __m128i other =
            _mm_cmpeq_epi32(_mm_and_si128(_mm_castps_si128(v), exponent), exponent);
        const __m128 mask = _mm_castsi128_ps(other);
        low = _mm_min_ps(low, _mm_or_ps(_mm_andnot_ps(mask, v), _mm_and_ps(mask, up)));
        high = _mm_max_ps(high, _mm_or_ps(_mm_andnot_ps(mask, v), _mm_and_ps(mask, down)));
        others = _mm_or_si128(others, other);
    }
    std::array<float, 4> lows{};
    std::array<float, 4> highs{};
    _mm_storeu_ps(lows.data(), low);
    _mm_storeu_ps(highs.data(), high);
    e.low = *std::min_element(lows.begin(), lows.end());
    e.high = *std::max_element(highs.begin(), highs.end());
    e.others = _mm_movemask_epi8(others) != 0;
#endif
    for (; j < n; ++j) {
        const float v = p[j];
        if (finite_bits(v)) {
            e.low = std::min(e.low, v);
            e.high = std::max(e.high, v);
        } else {
            e.others = true;
        }
    }
    return e;
}

// A row's extremes. Most rows hold nothing but finite values, for which a plain minimum and
// maximum is enough: it leaves NaN out by itself (the instruction keeps its second operand), and
// an infinity shows as an end that is infinite. Only a row that shows either is done the exact way.
extremes extremes_of(const float *p, std::size_t n) {
#if defined(__SSE2__)
    const __m128 infinity = _mm_set1_ps(std::numeric_limits<float>::infinity());
    __m128 low = infinity;
    __m128 high = _mm_sub_ps(_mm_setzero_ps(), infinity);
    __m128 nan = _mm_setzero_ps();
    std::size_t j = 0;
    for (; j + 4 <= n; j += 4) {
        const __m128 v = _mm_loadu_ps(p + j);
        low = _mm_min_ps(v, low);
        high = _mm_max_ps(v, high);
        nan = _mm_or_ps(nan, _mm_cmpunord_ps(v, v));
    }
    std::array<float, 4> lows{};
    std::array<float, 4> highs{};
    _mm_storeu_ps(lows.data(), low);
    _mm_storeu_ps(highs.data(), high);
    extremes e;
    e.low = *std::min_element(lows.begin(), lows.end());
    e.high = *std::max_element(highs.begin(), highs.end());
    bool tail_finite = true;
    for (; j < n; ++j) {
        tail_finite = tail_finite && finite_bits(p[j]);
        e.low = std::min(e.low, p[j]);
        e.high = std::max(e.high, p[j]);
    }
    if (n > 0 && tail_finite && _mm_movemask_ps(nan) == 0 && std::isfinite(e.low) &&
        std::isfinite(e.high)) {
        return e;
    }
#endif
    return extremes_masked(p, n);
}

} // namespace

axis_cells place_cells(std::span<const float> coordinates, const std::string &axis) {
    const std::size_t n = coordinates.size();
    if (n == 0 || n > std::numeric_limits<std::uint32_t>::max()) {
        throw picture_error("cannot draw " + std::to_string(n) + (n == 1 ? " cell" : " cells") +
                            " along " + axis);
    }
    for (std::size_t i = 0; i < n; ++i) {
        if (!std::isfinite(coordinates[i])) {
            throw picture_error("cannot place the cells along " + axis + ": coordinate " +
                                std::to_string(i) + " is " + binmat::float_text(coordinates[i]));
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
            throw picture_error("cannot place the cells along " + axis + ": coordinates " +
                                std::to_string(std::min(i, j)) + " and " +
                                std::to_string(std::max(i, j)) + " are both " +
                                binmat::float_text(coordinates[i]));
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
        double total = 0;
        for (std::size_t k = w.start.back(); k < w.cell.size(); ++k) {
            total += w.weight[k];
        }
        w.total.push_back(total);
        w.start.push_back(w.cell.size());
    }
    return w;
}

namespace {

// What gathering one band of the picture's rows saw of the grid.
struct band_seen {
    extremes values;
    std::vector<char> rows; // each grid row it took
};

// Gathers picture rows [first, last) into g, whose sum and total are in place; the arrays for
// values that are not finite are made when the first such value turns up, once for all bands.
band_seen gather_band(const binmat::strided_values &values, const pixel_weights &down,
                      std::size_t first, std::size_t last, gathered_rows &g,
                      std::once_flag &others_made) {
    const std::size_t columns = g.columns;
    const std::size_t height = g.total.size();
    band_seen seen;
    seen.rows.resize(values.rows);
    for (std::size_t r = first; r < last; ++r) {
        float *sum = g.sum.data() + r * columns;
        for (std::size_t k = down.start[r]; k < down.start[r + 1]; ++k) {
            const std::uint32_t i = down.cell[k];
            const float *row = values.row(i).data();
            const float w = down.weight[k];
            g.total[r] += w;
            seen.rows[i] = 1;
            // The row's extremes while it passes through the cache anyway: the range costs no
            // pass of its own over the grid.
            const extremes e = extremes_of(row, columns);
            seen.values.low = std::min(seen.values.low, e.low);
            seen.values.high = std::max(seen.values.high, e.high);
            seen.values.others |= e.others;
            if (!e.others) {
                for (std::size_t j = 0; j < columns; ++j) {
                    sum[j] += w * row[j];
                }
                continue;
            }
            std::call_once(others_made, [&g, height, columns] {
                g.lost.assign(height * columns, 0.0F);
                g.positive.assign(height * columns, 0.0F);
                g.negative.assign(height * columns, 0.0F);
            });
            for (std::size_t j = 0; j < columns; ++j) {
                const float v = row[j];
                if (finite_bits(v)) {
                    sum[j] += w * v;
                } else {
                    const std::size_t at = r * columns + j;
                    g.lost[at] += w;
                    g.positive[at] += v > 0 ? w : 0.0F;
                    g.negative[at] += v < 0 ? w : 0.0F;
                }
            }
        }
    }
    return seen;
}

} // namespace

gathered_rows gather_rows(const binmat::strided_values &values, const pixel_weights &down) {
    const std::size_t height = down.start.size() - 1;
    const std::size_t rows = values.rows;
    const std::size_t columns = values.columns;
    gathered_rows g;
    g.columns = columns;
    if (height >= rows) {
        // Pixels finer than rows: each picture row is one grid row, taken as it is.
        g.whole = down.cell;
        g.range = range_of(values);
        return g;
    }
    g.sum.assign(height * columns, 0.0F);
    g.total.assign(height, 0.0F);
    std::once_flag others_made;
    // A large grid is gathered in two bands at once: the pass is bound by memory, which two
    // cores read faster than one.
    const bool split = height >= 2 && worth_two_threads(rows * columns);
    const std::size_t half = split ? height / 2 : 0;
    std::future<band_seen> top;
    if (split) {
        top = std::async(std::launch::async, gather_band, std::cref(values), std::cref(down), 0,
                         half, std::ref(g), std::ref(others_made));
    }
    band_seen seen = gather_band(values, down, half, height, g, others_made);
    if (split) {
        const band_seen other = top.get();
        seen.values.low = std::min(seen.values.low, other.values.low);
        seen.values.high = std::max(seen.values.high, other.values.high);
        seen.values.others |= other.values.others;
        for (std::size_t i = 0; i < rows; ++i) {
            seen.rows[i] = static_cast<char>(seen.rows[i] | other.rows[i]);
        }
    }
    const bool every_row =
        std::all_of(seen.rows.begin(), seen.rows.end(), [](char c) { return c != 0; });
    if (!every_row || seen.values.others) {
        g.range = range_of(values); // rows too thin for any pixel, or values to tell apart
    } else {
        g.range.finite = true;
        g.range.min = seen.values.low;
        g.range.max = seen.values.high;
    }
    return g;
}

namespace {

// The picture's row r from the gathered rows.
void resample_row(const binmat::strided_values &values, const gathered_rows &rows,
                  const pixel_weights &across, std::size_t r, float *out) {
    const std::size_t width = across.start.size() - 1;
    const std::size_t columns = rows.columns;
    const bool whole = !rows.whole.empty();
    const bool others = !whole && !rows.lost.empty();
    const float *sum = whole ? values.row(rows.whole[r]).data() : rows.sum.data() + r * columns;
    const float total = whole ? 1.0F : rows.total[r];
    const std::size_t at = r * columns;
    for (std::size_t c = 0; c < width; ++c) {
        double s = 0;
        double kept = 0;
        double pos = 0;
        double neg = 0;
        const std::size_t first = across.start[c];
        const std::size_t last = across.start[c + 1];
        if (whole) {
            for (std::size_t k = first; k < last; ++k) {
                const double w = across.weight[k];
                const float v = sum[across.cell[k]];
                if (finite_bits(v)) {
                    s += w * v;
                    kept += w;
                } else {
                    pos += v > 0 ? w : 0.0;
                    neg += v < 0 ? w : 0.0;
                }
            }
        } else if (others) {
            for (std::size_t k = first; k < last; ++k) {
                const std::uint32_t j = across.cell[k];
                const double w = across.weight[k];
                s += w * sum[j];
                kept += w * (total - rows.lost[at + j]);
                pos += w * rows.positive[at + j];
                neg += w * rows.negative[at + j];
            }
        } else {
            // Every value finite, the common case: the weights' sum is known per pixel.
            for (std::size_t k = first; k < last; ++k) {
                s += double{across.weight[k]} * sum[across.cell[k]];
            }
            kept = across.total[c] * total;
        }
        float v = std::numeric_limits<float>::quiet_NaN();
        if (pos > 0 || neg > 0) {
            if (pos != neg) {
                v = pos > neg ? std::numeric_limits<float>::infinity()
                              : -std::numeric_limits<float>::infinity();
            }
        } else if (kept > 0) {
            // An average of values near the float limit may round beyond it.
            v = static_cast<float>(std::clamp(s / kept, -double{std::numeric_limits<float>::max()},
                                              double{std::numeric_limits<float>::max()}));
        }
        out[c] = v;
    }
}

} // namespace

big_vector<float> resample(const binmat::strided_values &values, const gathered_rows &rows,
                           const pixel_weights &across) {
    const std::size_t height = rows.whole.empty() ? rows.total.size() : rows.whole.size();
    const std::size_t width = across.start.size() - 1;
    big_vector<float> picture(height * width);
    const auto band = [&](std::size_t first, std::size_t last) {
        for (std::size_t r = first; r < last; ++r) {
            resample_row(values, rows, across, r, picture.data() + r * width);
        }
    };
    if (height >= 2 && worth_two_threads(height * across.cell.size())) {
        auto top = std::async(std::launch::async, band, 0, height / 2);
        band(height / 2, height);
        top.get();
    } else {
        band(0, height);
    }
    return picture;
}

value_range range_of(const binmat::strided_values &values) {
    extremes all;
    for (std::size_t i = 0; i < values.rows; ++i) {
        const extremes e = extremes_of(values.row(i).data(), values.columns);
        all.low = std::min(all.low, e.low);
        all.high = std::max(all.high, e.high);
        all.others |= e.others;
    }
    value_range r;
    r.finite = all.low <= all.high;
    if (r.finite) {
        r.min = all.low;
        r.max = all.high;
    }
    if (all.others) {
        for (std::size_t i = 0; i < values.rows; ++i) {
            for (const float v : values.row(i)) {
                r.nan |= std::isnan(v);
                r.positive_infinity |= v == std::numeric_limits<float>::infinity();
                r.negative_infinity |= v == -std::numeric_limits<float>::infinity();
            }
        }
    }
    return r;
}

} // namespace plot
