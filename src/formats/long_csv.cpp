#include <binmat/formats/long_csv.h>

#include "line_reader.h"

#include <binmat/formats/error.h>
#include <binmat/formats/number_text.h>
#include <binmat/formats/quote.h>

#include <algorithm>
#include <array>
#include <bit>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <deque>
#include <limits>
#include <numeric>
#include <system_error>
#include <unordered_map>

namespace binmat {

namespace {

constexpr std::size_t flush_at = std::size_t{1} << 16;

std::string_view trimmed(std::string_view s) {
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) {
        s.remove_prefix(1);
    }
    while (!s.empty() &&
           (s.back() == ' ' || s.back() == '\t' || s.back() == '\r' || s.back() == '\n')) {
        s.remove_suffix(1);
    }
    return s;
}

// The distinct coordinates of one axis, in the order they first appear. Coordinates are told
// apart by their bits, so that -0 and 0, or two NaNs, stay two.
struct axis {
    std::unordered_map<std::uint32_t, std::uint32_t> index;
    std::vector<float> values;

    std::uint32_t of(float v) {
        const auto [at, added] = index.try_emplace(std::bit_cast<std::uint32_t>(v),
                                                   static_cast<std::uint32_t>(values.size()));
        if (added) {
            values.push_back(v);
        }
        return at->second;
    }

    // Where each first-seen index goes: kept, or sorted (NaN last).
    std::vector<std::uint32_t> placement(bool sorted) const {
        std::vector<std::uint32_t> order(values.size());
        std::iota(order.begin(), order.end(), 0U);
        if (sorted) {
            std::stable_sort(order.begin(), order.end(), [&](std::uint32_t a, std::uint32_t b) {
                const float u = values[a];
                const float v = values[b];
                return u < v || (!std::isnan(u) && std::isnan(v));
            });
        }
        std::vector<std::uint32_t> place(values.size());
        for (std::uint32_t k = 0; k < order.size(); ++k) {
            place[order[k]] = k;
        }
        return place;
    }
};

struct cell {
    std::uint32_t x;
    std::uint32_t y;
    float z;
    long line;
};

[[noreturn]] void refuse(long line, const std::string &why) {
    throw conversion_error(why, {static_cast<std::uint64_t>(line), std::nullopt, {}});
}

// Splits a line into its fields: a field in double quotes may hold commas, and "" inside one
// stands for a quote. Views into the line, or into `scratch` for a field that held "".
void split_fields(std::string_view text, long line, std::vector<std::string_view> &fields,
                  std::deque<std::string> &scratch) {
    fields.clear();
    scratch.clear();
    for (std::size_t at = 0;;) {
        std::size_t start = at;
        while (start < text.size() && (text[start] == ' ' || text[start] == '\t')) {
            ++start;
        }
        if (start == text.size() || text[start] != '"') {
            const std::size_t comma = text.find(',', at);
            fields.push_back(trimmed(text.substr(at, comma - at)));
            if (comma == std::string_view::npos) {
                return;
            }
            at = comma + 1;
            continue;
        }
        bool doubled = false;
        std::size_t close = start + 1;
        for (;; close += 2, doubled = true) {
            close = text.find('"', close);
            if (close == std::string_view::npos) {
                refuse(line, "a quoted field is not closed");
            }
            if (close + 1 == text.size() || text[close + 1] != '"') {
                break;
            }
        }
        std::string_view field = text.substr(start + 1, close - start - 1);
        if (doubled) {
            std::string &plain = scratch.emplace_back();
            for (std::size_t k = 0; k < field.size(); ++k) {
                plain += field[k];
                k += field[k] == '"' ? 1 : 0;
            }
            field = plain;
        }
        fields.push_back(trimmed(field));
        at = close + 1;
        while (at < text.size() && (text[at] == ' ' || text[at] == '\t')) {
            ++at;
        }
        if (at == text.size()) {
            return;
        }
        if (text[at] != ',') {
            refuse(line, "text after the closing quote of a field");
        }
        ++at;
    }
}

// The fields that hold x, y and z, by the header's names: those asked for, or else the three
// it names, after the unnamed index column that pandas writes first.
std::array<std::size_t, 3> chosen_fields(std::span<const std::string_view> names,
                                         const long_csv_options &options, long line) {
    std::array<std::size_t, 3> picked{};
    if (!options.columns.empty()) {
        std::string named;
        for (std::size_t k = 0; k < names.size(); ++k) {
            if (k != 0) {
                named += ',';
            }
            named += names[k];
        }
        for (std::size_t k = 0; k < 3; ++k) {
            const auto found = std::find(names.begin(), names.end(), options.columns[k]);
            if (found == names.end()) {
                refuse(line, "no column " + binmat::quoted(options.columns[k]) +
                                 "; the header names " + named);
            }
            picked[k] = static_cast<std::size_t>(found - names.begin());
        }
        return picked;
    }
    const std::size_t skip = names.size() == 4 && names[0].empty() ? 1 : 0;
    bool numbers = true;
    for (const std::string_view n : names) {
        float v = 0;
        numbers = numbers && parse_float(n, v) == number::ok;
    }
    if (names.size() - skip != 3 || numbers) {
        refuse(line, "the first line must be a header of three names, such as x,y,z "
                     "(--columns picks three from a wider file)");
    }
    return {skip, skip + 1, skip + 2};
}

std::string cell_text(float x, float y) { return "x=" + float_text(x) + ", y=" + float_text(y); }

} // namespace

long_csv_writer::long_csv_writer(std::FILE *out, std::span<const float> y, bool exact)
    : out_(out), exact_(exact) {
    y_.reserve(y.size());
    for (const float v : y) {
        // Built by appending: GCC 12 at -O3 warns falsely about "," + text.
        std::string field(1, ',');
        field += float_text(v);
        field += ',';
        y_.push_back(std::move(field));
    }
    text_ = "x,y,z\n";
}

void long_csv_writer::put_row(float x, std::span<const float> z) {
    char xs[float_text_max];
    const std::string_view x_text(xs, static_cast<std::size_t>(format_float(xs, x) - xs));
    char zs[float_text_max];
    for (std::size_t j = 0; j < z.size(); ++j) {
        text_ += x_text;
        text_ += y_[j];
        if (exact_ || !std::isnan(z[j])) {
            text_.append(zs, format_float(zs, z[j]));
        } else if (std::bit_cast<std::uint32_t>(z[j]) != std::bit_cast<std::uint32_t>(blank)) {
            ++dropped_; // an empty field reads back as the plain quiet NaN
        }
        text_ += '\n';
        if (text_.size() >= flush_at) {
            flush();
        }
    }
}

void long_csv_writer::flush() {
    errno = 0;
    if (std::fwrite(text_.data(), 1, text_.size(), out_) != text_.size()) {
        throw std::system_error(errno != 0 ? errno : EIO, std::generic_category(), "writing CSV");
    }
    text_.clear();
}

void long_csv_writer::finish() {
    flush();
    errno = 0;
    if (std::fflush(out_) != 0) {
        throw std::system_error(errno != 0 ? errno : EIO, std::generic_category(), "writing CSV");
    }
}

binmat::grid read_long_csv(std::FILE *in, const long_csv_options &options) {
    line_reader lines(in);
    std::string_view text;
    bool have_header = false;
    std::vector<std::string_view> fields;
    std::deque<std::string> scratch;
    std::array<std::size_t, 3> picked{};
    std::size_t width = 0;
    std::string header_names;
    axis xs;
    axis ys;
    std::vector<cell> cells;
    // Whether every line comes after the one before in row-major order, as when written a row at
    // a time: then the rows and columns keep the order of the lines, whatever their coordinates.
    bool row_major = true;
    while (lines.next(text)) {
        text = trimmed(text);
        if (text.empty()) {
            continue;
        }
        split_fields(text, lines.number(), fields, scratch);
        if (!have_header) {
            picked = chosen_fields(fields, options, lines.number());
            width = fields.size();
            for (const std::size_t k : picked) {
                if (!header_names.empty()) {
                    header_names += ',';
                }
                header_names += fields[k];
            }
            have_header = true;
            continue;
        }
        if (fields.size() != width) {
            refuse(lines.number(), width == 3
                                       ? "expected three numbers " + header_names + ", found " +
                                             std::to_string(fields.size()) + " fields"
                                       : "expected " + std::to_string(width) +
                                             " fields, as the header has, found " +
                                             std::to_string(fields.size()));
        }
        float v[3] = {};
        for (std::size_t k = 0; k < 3; ++k) {
            const std::string_view field = fields[picked[k]];
            if (k == 2 && field.empty()) {
                v[k] = long_csv_writer::blank; // how pandas and spreadsheets leave a value out
                continue;
            }
            switch (parse_float(field, v[k])) {
            case number::ok:
                break;
            case number::out_of_range:
                refuse(lines.number(), binmat::quoted(field) + " is out of single-precision range");
            case number::not_a_number:
                refuse(lines.number(), field.empty() ? "an empty coordinate"
                                                     : binmat::quoted(field) + " is not a number");
            }
        }
        if (cells.size() == std::numeric_limits<std::uint32_t>::max()) {
            refuse(lines.number(), "more cells than a grid of this format holds");
        }
        const cell c{xs.of(v[0]), ys.of(v[1]), v[2], lines.number()};
        if (!cells.empty()) {
            const cell &last = cells.back();
            row_major = row_major && (c.x > last.x || (c.x == last.x && c.y > last.y));
        }
        cells.push_back(c);
    }
    if (std::ferror(in) != 0) {
        throw std::system_error(errno != 0 ? errno : EIO, std::generic_category(), "reading CSV");
    }
    if (lines.binary()) {
        refuse(lines.number(), "a NUL byte: this is binary data, not CSV");
    }
    if (!have_header) {
        throw conversion_error("no header x,y,z: the file is empty");
    }
    if (cells.empty()) {
        throw conversion_error("no cells after the header");
    }
    const std::uint64_t rows = xs.values.size();
    const std::uint64_t columns = ys.values.size();
    // Rows and columns come from distinct lines, so neither exceeds the lines: no overflow.
    const std::uint64_t total = rows * columns;
    if (!options.fill_missing && total > cells.size()) {
        // Some cell is missing; find the first without a grid the size of the product.
        std::sort(cells.begin(), cells.end(),
                  [](const cell &a, const cell &b) { return a.x != b.x ? a.x < b.x : a.y < b.y; });
        std::uint32_t x = 0;
        std::uint32_t y = 0;
        for (std::size_t k = 0; k < cells.size(); ++k) {
            const cell &c = cells[k];
            if (k > 0 && c.x == cells[k - 1].x && c.y == cells[k - 1].y) {
                continue; // a repeat: the walk looks for gaps
            }
            if (c.x != x || c.y != y) {
                break;
            }
            y = y + 1 == columns ? 0 : y + 1;
            x = y == 0 ? x + 1 : x;
        }
        throw conversion_error("no line gives the cell " + cell_text(xs.values[x], ys.values[y]) +
                               " (" + std::to_string(total - cells.size()) +
                               (total - cells.size() == 1 ? " cell" : " cells") +
                               " missing; --fill nan makes them NaN)");
    }
    if (total > std::numeric_limits<std::uint32_t>::max()) {
        throw conversion_error(std::to_string(rows) + " distinct x by " + std::to_string(columns) +
                               " distinct y make more cells than this reads");
    }
    const std::vector<std::uint32_t> row_place = xs.placement(!row_major);
    const std::vector<std::uint32_t> column_place = ys.placement(!row_major);
    binmat::grid g;
    g.row_coordinates.resize(static_cast<std::size_t>(rows));
    g.column_coordinates.resize(static_cast<std::size_t>(columns));
    for (std::size_t i = 0; i < rows; ++i) {
        g.row_coordinates[row_place[i]] = xs.values[i];
    }
    for (std::size_t j = 0; j < columns; ++j) {
        g.column_coordinates[column_place[j]] = ys.values[j];
    }
    g.values.assign(static_cast<std::size_t>(total), std::numeric_limits<float>::quiet_NaN());
    // The line (1-based index into cells) that filled each cell, to name both of a repeated pair.
    std::vector<std::uint32_t> filled_by(static_cast<std::size_t>(total), 0);
    for (std::size_t k = 0; k < cells.size(); ++k) {
        const cell &c = cells[k];
        const std::size_t at = std::size_t{row_place[c.x]} * columns + column_place[c.y];
        if (filled_by[at] != 0) {
            refuse(c.line, "the cell " + cell_text(xs.values[c.x], ys.values[c.y]) +
                               " was given already, on line " +
                               std::to_string(cells[filled_by[at] - 1].line));
        }
        filled_by[at] = static_cast<std::uint32_t>(k + 1);
        g.values[at] = c.z;
    }
    return g;
}

} // namespace binmat
