#include "examine.h"

#include "report.h"

#include <binmat/formats/number_text.h>

#include <algorithm>
#include <bit>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <limits>
#include <system_error>
#include <thread>

#include <emmintrin.h>

namespace cli {

namespace {

constexpr double not_a_number = std::numeric_limits<double>::quiet_NaN();

binmat::byte_order other(binmat::byte_order order) {
    return order == binmat::byte_order::big ? binmat::byte_order::little : binmat::byte_order::big;
}

// Whether the bytes read as a whole file in `order`; without the length, whether that order is
// the one their first bytes make sense in.
bool whole_in(std::span<const unsigned char> head, std::optional<std::uint64_t> length,
              binmat::byte_order order) {
    if (head.size() < 4) {
        return false;
    }
    if (!length) {
        return binmat::column_count(binmat::stored_float(head.data(), order)) > 0 &&
               binmat::likely_order(head, std::nullopt) == order;
    }
    const binmat::layout l = binmat::layout_of(binmat::stored_float(head.data(), order), *length);
    return l.problem == binmat::defect::none;
}

// A grid whose count and cells are `width` bytes: the count whole and the length a multiple of a
// row, with at least one row. Without the length, nothing can be told.
bool fits_cells(std::uint64_t count, std::uint64_t width, std::optional<std::uint64_t> length) {
    if (!length || count < 1 || count >= (std::uint64_t{1} << 29)) {
        return false;
    }
    const std::uint64_t row = width * (count + 1);
    return *length % row == 0 && *length / row >= 2;
}

bool mostly_text(std::span<const unsigned char> head) {
    if (head.empty()) {
        return false;
    }
    std::size_t odd = 0;
    for (unsigned char c : head) {
        if (c == 0) {
            return false;
        }
        odd += c < 0x20 && c != '\n' && c != '\r' && c != '\t' ? 1 : 0;
    }
    return odd * 10 < head.size();
}

} // namespace

std::string looks_like(std::span<const unsigned char> head, std::optional<std::uint64_t> length,
                       binmat::byte_order order) {
    if (head.size() >= 6 && std::memcmp(head.data(), "\x93NUMPY", 6) == 0) {
        return "a .npy array (numpy's format), not a binary matrix file";
    }
    if (whole_in(head, length, other(order))) {
        return std::string("this format written ") + byte_order_name(other(order)) +
               "-endian: try --byte-order " + byte_order_name(other(order));
    }
    if (head.size() >= 8) {
        std::int32_t count32 = 0;
        std::memcpy(&count32, head.data(), 4);
        if (count32 > 0 && fits_cells(static_cast<std::uint64_t>(count32), 4, length)) {
            return "its column count is stored as a 32-bit integer, not as a float";
        }
        double count64 = 0;
        std::memcpy(&count64, head.data(), 8);
        if (count64 >= 1 && count64 < 536870912.0 && count64 == std::floor(count64) &&
            fits_cells(static_cast<std::uint64_t>(count64), 8, length)) {
            return "a grid of 8-byte doubles, not of single-precision floats";
        }
    }
    if (mostly_text(head)) {
        return "text (binmat pack turns a text grid into a binary matrix file)";
    }
    return {};
}

namespace {

// Why a file that does not read is refused, with what it looks like.
void refuse(examined &e, std::span<const unsigned char> head, std::optional<std::uint64_t> length) {
    e.problem = binmat::explain(e.layout, e.stored_count);
    const std::string like = looks_like(head, length, e.order);
    if (!like.empty()) {
        e.problem += "; it looks like " + like;
    }
}

// A regular file, through a map: nothing is copied but the coordinates, and values in the other
// byte order.
examined examine_mapped(int descriptor, const std::string &name, binmat::byte_order order) {
    examined e;
    binmat::mapped_file file(descriptor, name);
    const std::span<const unsigned char> bytes = file.bytes();
    const std::span<const unsigned char> head =
        bytes.first(std::min(bytes.size(), input_file::head_limit));
    e.length = bytes.size();
    e.order = order == binmat::byte_order::detect ? binmat::likely_order(head, e.length) : order;
    e.stored_count = bytes.size() >= 4 ? binmat::stored_float(bytes.data(), e.order) : 0;
    e.layout = binmat::layout_of(e.stored_count, e.length);
    e.other_byte_order = binmat::likely_order(head, e.length) != e.order;
    if (e.layout.problem != binmat::defect::none) {
        e.problem_name = binmat::name_of(e.layout.problem);
        e.offset = e.layout.offset;
        refuse(e, head, e.length);
        return e;
    }
    e.ok = true;
    e.stray.assign(bytes.end() - static_cast<std::ptrdiff_t>(e.layout.stray), bytes.end());
    auto grid =
        std::make_shared<const binmat::mapped_grid>(std::move(file), binmat::read_options{e.order});
    e.column_coordinates = grid->header().column_coordinates;
    e.row_coordinates = grid->row_coordinates();
    if (const std::optional<binmat::strided_values> in_place = grid->values_in_place()) {
        e.values = *in_place;
        e.holder = std::move(grid);
        return e;
    }
    auto decoded = std::make_shared<binmat::grid>();
    try {
        decoded->values.resize(e.rows() * e.columns());
    } catch (const std::bad_alloc &) {
        e.ok = false;
        e.problem_name = "out_of_memory";
        e.problem = binmat::memory_error(e.rows(), e.columns()).what();
        return e;
    }
    std::vector<float> coordinates(e.rows());
    grid->copy_rows(0, e.rows(), coordinates.data(), decoded->values.data());
    decoded->column_coordinates = e.column_coordinates;
    decoded->row_coordinates = std::move(coordinates);
    e.values = binmat::values_of(*decoded);
    e.holder = std::move(decoded);
    return e;
}

} // namespace

examined examine(input_file &in, binmat::byte_order order) {
    if (in.size() && *in.size() > 0) {
        try {
            return examine_mapped(fileno(in.raw()), in.name(), order);
        } catch (const std::filesystem::filesystem_error &e) {
            // No room in the address space for the map: read as a stream is.
            if (e.code().value() != ENOMEM) {
                throw;
            }
        }
    }
    examined e;
    binmat::byte_order asked = order;
    std::shared_ptr<binmat::grid> grid;
    try {
        grid = std::make_shared<binmat::grid>(binmat::read(in.stream(), {asked}));
        e.order = grid->order;
    } catch (const binmat::format_error &error) {
        e.problem_name = binmat::name_of(error.problem());
        e.offset = error.offset();
    } catch (const std::system_error &error) {
        e.problem_name = "read_error";
        e.problem = std::string("read error: ") + error.code().message();
    } catch (const binmat::memory_error &error) {
        e.problem_name = "out_of_memory";
        e.problem = error.what();
    }
    // A stream whose first bytes are not a column count is not read on: it may never end
    // (/dev/zero). Any other refusal comes at the end of the data.
    const bool refused_at_once =
        e.problem_name == binmat::name_of(binmat::defect::bad_column_count);
    if (!refused_at_once) {
        in.drain();
    }
    const std::optional<std::uint64_t> length =
        refused_at_once ? std::nullopt : std::optional(in.consumed());
    e.length = in.consumed();
    const std::vector<unsigned char> &head = in.head();
    if (!grid) {
        e.order = asked == binmat::byte_order::detect ? binmat::likely_order(head, length) : asked;
    }
    if (head.size() >= 4) {
        e.stored_count = binmat::stored_float(head.data(), e.order);
    }
    e.layout = binmat::layout_of(e.stored_count, e.length);
    e.other_byte_order = binmat::likely_order(head, length) != e.order;
    if (in.failed()) {
        grid.reset();
        e.problem_name = "read_error";
        e.problem = std::string("read error: ") +
                    std::make_error_code(static_cast<std::errc>(in.error())).message();
    } else if (!grid && e.problem.empty()) {
        refuse(e, head, length);
    }
    if (grid) {
        e.ok = true;
        e.stray = in.tail(static_cast<std::size_t>(e.layout.stray));
        e.row_coordinates = grid->row_coordinates;
        e.column_coordinates = grid->column_coordinates;
        e.values = binmat::values_of(*grid);
        e.holder = std::move(grid);
    }
    return e;
}

std::string stray_problem(const binmat::layout &l) {
    if (l.stray == 0) {
        return {};
    }
    return count_of(l.stray, "stray byte", "stray bytes") + " after the last row";
}

std::string count_of(std::uint64_t n, const char *singular, const char *plural) {
    return std::to_string(n) + " " + (n == 1 ? singular : plural);
}

std::string describe_axis(const binmat::axis_summary &a) {
    std::string s = binmat::float_text(a.first) + " to " + binmat::float_text(a.last);
    if (a.nan > 0) {
        return s + ", " + count_of(a.nan, "NaN coordinate", "NaN coordinates");
    }
    if (a.uniform) {
        char step[48];
        std::snprintf(step, sizeof step, ", uniform, step %.9g", a.step);
        return s + (a.min_step == 0 && a.max_step == 0 ? "" : step);
    }
    if (a.repeated) {
        return s + ", repeated coordinates";
    }
    if (!a.monotonic) {
        return s + ", not monotonic";
    }
    char steps[96];
    std::snprintf(steps, sizeof steps, ", not uniform (steps %.9g to %.9g)", a.min_step,
                  a.max_step);
    return s + steps;
}

void value_tally::add(std::span<const float> row) {
    const float *p = row.data();
    const std::size_t n = row.size();
    // Four lanes: each takes every fourth value, and its sum its own double accumulator.
    const __m128 magnitude = _mm_castsi128_ps(_mm_set1_epi32(0x7FFFFFFF));
    const __m128 inf = _mm_set1_ps(std::numeric_limits<float>::infinity());
    __m128 low = inf;
    __m128 high = _mm_sub_ps(_mm_setzero_ps(), inf);
    __m128d sum_low = _mm_setzero_pd();
    __m128d sum_high = _mm_setzero_pd();
    __m128i nans = _mm_setzero_si128();
    __m128i infinities = _mm_setzero_si128();
    std::size_t j = 0;
    for (; j + 4 <= n; j += 4) {
        const __m128 v = _mm_loadu_ps(p + j);
        const __m128 size = _mm_and_ps(v, magnitude);
        const __m128 finite = _mm_cmplt_ps(size, inf); // false for NaN and the infinities
        const __m128 kept = _mm_and_ps(finite, v);
        low = _mm_min_ps(low, _mm_or_ps(kept, _mm_andnot_ps(finite, inf)));
        high = _mm_max_ps(
            high, _mm_or_ps(kept, _mm_andnot_ps(finite, _mm_sub_ps(_mm_setzero_ps(), inf))));
        sum_low = _mm_add_pd(sum_low, _mm_cvtps_pd(kept));
        sum_high = _mm_add_pd(sum_high, _mm_cvtps_pd(_mm_movehl_ps(kept, kept)));
        nans = _mm_sub_epi32(nans, _mm_castps_si128(_mm_cmpunord_ps(v, v)));
        infinities = _mm_sub_epi32(infinities, _mm_castps_si128(_mm_cmpeq_ps(size, inf)));
    }
    alignas(16) float lows[4];
    alignas(16) float highs[4];
    alignas(16) double sums[4];
    alignas(16) std::uint32_t nan_lanes[4];
    alignas(16) std::uint32_t infinite_lanes[4];
    _mm_store_ps(lows, low);
    _mm_store_ps(highs, high);
    _mm_store_pd(sums, sum_low);
    _mm_store_pd(sums + 2, sum_high);
    _mm_store_si128(reinterpret_cast<__m128i *>(nan_lanes), nans);
    _mm_store_si128(reinterpret_cast<__m128i *>(infinite_lanes), infinities);
    std::uint64_t nan = 0;
    std::uint64_t infinite = 0;
    for (int k = 0; k < 4; ++k) {
        min_ = std::min(min_, lows[k]);
        max_ = std::max(max_, highs[k]);
        nan += nan_lanes[k];
        infinite += infinite_lanes[k];
    }
    double tail = 0;
    for (; j < n; ++j) {
        const float v = p[j];
        if (std::isnan(v)) {
            ++nan;
        } else if (std::isinf(v)) {
            ++infinite;
        } else {
            min_ = std::min(min_, v);
            max_ = std::max(max_, v);
            tail += v;
        }
    }
    sum_ += ((sums[0] + sums[1]) + (sums[2] + sums[3])) + tail;
    nan_ += nan;
    infinite_ += infinite;
    finite_ += n - nan - infinite;
}

value_summary value_tally::summary() const {
    value_summary s;
    s.nan = nan_;
    s.infinite = infinite_;
    s.finite = finite_;
    s.min = finite_ == 0 ? not_a_number : min_;
    s.max = finite_ == 0 ? not_a_number : max_;
    s.mean = finite_ == 0 ? not_a_number : sum_ / static_cast<double>(finite_);
    return s;
}

value_tally &value_tally::operator+=(const value_tally &other) {
    min_ = std::min(min_, other.min_);
    max_ = std::max(max_, other.max_);
    sum_ += other.sum_;
    nan_ += other.nan_;
    infinite_ += other.infinite_;
    finite_ += other.finite_;
    return *this;
}

value_summary summarize_values(const binmat::strided_values &values) {
    const auto tally = [&values](std::size_t first, std::size_t last) {
        value_tally t;
        for (std::size_t i = first; i < last; ++i) {
            t.add(values.row(i));
        }
        return t;
    };
    // A large grid in two halves, the second on a thread of its own when one can be started:
    // the pass is bound by memory, which two cores read faster than one. The halves are summed
    // apart and then together whether or not the thread started, so that the mean depends on the
    // values alone.
    constexpr std::size_t two_halves_from = std::size_t{1} << 22;
    if (values.rows < 2 || values.rows * values.columns < two_halves_from) {
        return tally(0, values.rows).summary();
    }
    const std::size_t half = values.rows / 2;
    value_tally second;
    std::thread helper;
    try {
        helper = std::thread([&] { second = tally(half, values.rows); });
    } catch (const std::system_error &) {
        second = tally(half, values.rows);
    }
    value_tally first = tally(0, half);
    if (helper.joinable()) {
        helper.join();
    }
    first += second;
    return first.summary();
}

} // namespace cli
