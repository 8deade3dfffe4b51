#include <binmat/binmat.h>
#include <binmat/layout.h>

#include "internal.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <stdexcept>

namespace binmat {

namespace {

// Counts from here on would make the title block 2^31 bytes or more.
constexpr float column_limit = 536870912.0F; // 2^29

} // namespace

int column_count(float stored) {
    // NaN fails both comparisons.
    if (!(stored >= 1.0F && stored < column_limit)) {
        return 0;
    }
    return static_cast<int>(stored);
}

bool storable_column_count(std::uint64_t columns) {
    const auto stored = static_cast<float>(columns);
    return columns >= 1 && static_cast<std::uint64_t>(column_count(stored)) == columns;
}

const char *name_of(defect problem) {
    switch (problem) {
    case defect::none:
        return "none";
    case defect::no_column_count:
        return "no_column_count";
    case defect::bad_column_count:
        return "bad_column_count";
    case defect::titles_cut_short:
        return "titles_cut_short";
    case defect::no_complete_row:
        return "no_complete_row";
    case defect::row_cut_short:
        return "row_cut_short";
    }
    return "unknown";
}

layout layout_of(float stored, std::uint64_t length) {
    layout l;
    if (length < 4) {
        l.problem = defect::no_column_count;
        return l;
    }
    l.columns = column_count(stored);
    if (l.columns == 0) {
        l.problem = defect::bad_column_count;
        return l;
    }
    // Every row, and the head (count and titles), is one float more than the column count.
    const std::uint64_t row_bytes = 4 * (static_cast<std::uint64_t>(l.columns) + 1);
    if (length < row_bytes) {
        l.problem = defect::titles_cut_short;
        l.titles = (length - 4) / 4;
        l.offset = 4 + 4 * l.titles;
        return l;
    }
    const std::uint64_t body = length - row_bytes;
    l.rows = body / row_bytes;
    const std::uint64_t rest = body % row_bytes;
    if (rest >= 4) {
        // A whole row title arrived, so the row had begun.
        l.problem = defect::row_cut_short;
        l.offset = row_bytes * (l.rows + 1);
    } else {
        l.stray = rest;
        if (l.rows == 0) {
            l.problem = defect::no_complete_row;
            l.offset = row_bytes;
        }
    }
    return l;
}

std::string explain(const layout &l, float stored) {
    char count[32] = {};
    std::to_chars(count, count + sizeof count - 1, stored);
    switch (l.problem) {
    case defect::none:
        return {};
    case defect::no_column_count:
        return "too short to hold a column count";
    case defect::bad_column_count:
        if (!std::isfinite(stored)) {
            return std::string("column count ") + count + " is not a finite number";
        }
        if (stored >= column_limit) {
            return std::string("column count ") + count +
                   " exceeds the limit of 536870911 columns (2^29 - 1, so that the column "
                   "titles stay under 2^31 bytes)";
        }
        return std::string("column count ") + count + " is not a positive whole number";
    case defect::titles_cut_short:
        return "column titles cut short (" + std::to_string(l.titles) + " of " +
               std::to_string(l.columns) + ")";
    case defect::no_complete_row:
        return "no complete row";
    case defect::row_cut_short:
        return "a row cut short at byte offset " + std::to_string(l.offset);
    }
    return {};
}

namespace detail {

void refuse(float stored, std::uint64_t length) {
    const layout l = layout_of(stored, length);
    throw format_error(l.problem, l.offset,
                       "not a binary matrix file: " + explain(l, stored) + " (" +
                           name_of(l.problem) + " at byte offset " + std::to_string(l.offset) +
                           ")");
}

} // namespace detail

std::uint64_t head_bytes(std::span<const unsigned char> first_four, std::uint64_t length,
                         byte_order order) {
    if (first_four.size() < 4 || length < 4) {
        return 4;
    }
    const int columns = column_count(stored_float(first_four.data(), order));
    return columns == 0 ? 4
                        : std::min<std::uint64_t>(
                              length, 4 * (std::uint64_t{1} + static_cast<std::uint64_t>(columns)));
}

header parse_header(std::span<const unsigned char> head, std::uint64_t length,
                    const read_options &options) {
    // What the order is judged by: as much of the file's start as a stream's reader samples.
    constexpr std::size_t sample_bytes = std::size_t{64} * 1024;
    header h;
    h.order = options.order != byte_order::detect
                  ? options.order
                  : likely_order(head.first(std::min(head.size(), sample_bytes)), length);
    const float stored = head.size() >= 4 && length >= 4 ? stored_float(head.data(), h.order) : 0;
    const layout l = layout_of(stored, length);
    if (l.problem != defect::none) {
        detail::refuse(stored, length);
    }
    const auto columns = static_cast<std::size_t>(l.columns);
    if (head.size() < 4 * (columns + 1)) {
        throw std::invalid_argument("the header of a file of " + std::to_string(columns) +
                                    " columns takes " + std::to_string(4 * (columns + 1)) +
                                    " bytes, not " + std::to_string(head.size()));
    }
    h.column_coordinates.resize(columns);
    for (std::size_t j = 0; j < columns; ++j) {
        h.column_coordinates[j] = stored_float(head.data() + 4 + 4 * j, h.order);
    }
    h.rows = l.rows;
    h.stray = l.stray;
    h.first_row_offset = 4 * (std::uint64_t{columns} + 1);
    h.length = length;
    return h;
}

float stored_float(const unsigned char *p, byte_order order) {
    return detail::load_float(p, detail::needs_swap(order));
}

namespace {

// Share of the sampled floats that look like data: zero, or finite of a plausible magnitude.
double plausible_share(std::span<const unsigned char> head, byte_order order) {
    const std::size_t n = head.size() / 4;
    if (n == 0) {
        return 0;
    }
    std::size_t plausible = 0;
    for (std::size_t k = 0; k < n; ++k) {
        const float f = std::fabs(stored_float(head.data() + 4 * k, order));
        plausible += f == 0 || (std::isfinite(f) && f > 1e-20F && f < 1e20F) ? 1 : 0;
    }
    return static_cast<double>(plausible) / static_cast<double>(n);
}

bool whole_under(std::span<const unsigned char> head, std::optional<std::uint64_t> length,
                 byte_order order) {
    if (head.size() < 4) {
        return false;
    }
    const float stored = stored_float(head.data(), order);
    if (!length) {
        return column_count(stored) != 0;
    }
    const layout l = layout_of(stored, *length);
    return l.problem == defect::none && l.stray == 0;
}

} // namespace

byte_order likely_order(std::span<const unsigned char> head, std::optional<std::uint64_t> length) {
    const bool little = whole_under(head, length, byte_order::little);
    const bool big = whole_under(head, length, byte_order::big);
    if (little != big) {
        return big ? byte_order::big : byte_order::little;
    }
    const bool big_plausible = plausible_share(head, byte_order::big) > 0.9 &&
                               plausible_share(head, byte_order::little) < 0.5;
    return big_plausible ? byte_order::big : byte_order::little;
}

} // namespace binmat
