#include "examine.h"

#include "report.h"

#include <binmat/formats/number_text.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>
#include <limits>
#include <system_error>

namespace cli {

namespace {

constexpr double infinity = std::numeric_limits<double>::infinity();
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

examined examine(input_file &in, binmat::byte_order order) {
    examined e;
    binmat::byte_order asked = order;
    if (order == binmat::byte_order::detect && in.size()) {
        // A regular file can be judged by its head and size before it is read in one order.
        asked = binmat::likely_order(in.peek(input_file::head_limit), *in.size());
    }
    try {
        e.grid = binmat::read(in.stream(), {asked});
        e.order = e.grid->order;
    } catch (const binmat::format_error &error) {
        e.problem_name = binmat::name_of(error.problem());
        e.offset = error.offset();
    } catch (const std::system_error &error) {
        e.problem_name = "read_error";
        e.problem = std::string("read error: ") + error.code().message();
    } catch (const binmat::memory_error &error) {
        e.problem_name = "out_of_memory";
        e.problem = error.what();
        // A file of known length is named by its own shape, not by what reading had reached.
        const std::vector<unsigned char> &head = in.head();
        if (in.size() && head.size() >= 4) {
            const binmat::layout l = binmat::layout_of(
                binmat::stored_float(head.data(), asked == binmat::byte_order::detect
                                                      ? binmat::byte_order::little
                                                      : asked),
                *in.size());
            e.problem = binmat::memory_error(l.rows, static_cast<std::uint64_t>(l.columns)).what();
        }
    }
    // A stream whose first bytes are not a column count is not read on: it may never end
    // (/dev/zero). Any other refusal comes at the end of the data.
    const bool refused_at_once =
        e.problem_name == binmat::name_of(binmat::defect::bad_column_count);
    std::optional<std::uint64_t> length = in.size();
    if (!refused_at_once || !length) {
        if (!refused_at_once) {
            in.drain();
        }
        length = refused_at_once ? std::nullopt : std::optional(in.consumed());
    }
    e.length = length.value_or(in.consumed());
    const std::vector<unsigned char> &head = in.head();
    if (!e.grid) {
        e.order = asked == binmat::byte_order::detect ? binmat::likely_order(head, length) : asked;
    }
    if (head.size() >= 4) {
        e.stored_count = binmat::stored_float(head.data(), e.order);
    }
    e.layout = binmat::layout_of(e.stored_count, e.length);
    e.other_byte_order = binmat::likely_order(head, length) != e.order;
    if (in.failed()) {
        e.grid.reset();
        e.problem_name = "read_error";
        e.problem = std::string("read error: ") +
                    std::make_error_code(static_cast<std::errc>(in.error())).message();
    } else if (!e.grid && e.problem.empty()) {
        e.problem = binmat::explain(e.layout, e.stored_count);
        const std::string like = looks_like(head, length, e.order);
        if (!like.empty()) {
            e.problem += "; it looks like " + like;
        }
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

value_summary summarize_values(std::span<const float> values) {
    value_summary s;
    s.min = infinity;
    s.max = -infinity;
    double sum = 0;
    for (const float f : values) {
        const double v = f;
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
    if (s.finite == 0) {
        s.min = s.max = not_a_number;
    }
    s.mean = s.finite == 0 ? not_a_number : sum / static_cast<double>(s.finite);
    return s;
}

} // namespace cli
