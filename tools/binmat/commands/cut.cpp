// binmat cut: part of a grid, by index or by coordinate.
#include "commands.h"
#include "grid_output.h"
#include "input.h"
#include "output.h"
#include "slices.h"

#include <binmat/binmat.h>
#include <binmat/formats/number_text.h>
#include <binmat/mapped.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <limits>
#include <memory>
#include <system_error>

namespace cli {

namespace {

struct options {
    std::string file;
    std::string output;
    std::string rows;
    std::string columns;
    std::string x;
    std::string y;
    bool no_sync = false;
    binmat::byte_order order = binmat::byte_order::little;
};

// What to keep of the rows or of the columns: indices first, then coordinates.
struct selection {
    std::optional<index_slice> indices;
    std::optional<coordinate_range> range;

    bool needs_length() const { return indices && indices->needs_length(); }

    // Whether index i of `length` (or of however many, when needs_length() is false) is kept by
    // the slice.
    bool sliced(std::int64_t i, const slice_span &span) const {
        return i >= span.first && (i - span.first) % span.step == 0 &&
               (i - span.first) / span.step < span.count;
    }

    // The indices kept of `coordinates`, in the order the slice gives.
    std::vector<std::size_t> kept(std::span<const float> coordinates) const {
        const auto length = static_cast<std::int64_t>(coordinates.size());
        const slice_span span = indices ? resolve(*indices, length) : slice_span{0, 1, length};
        std::vector<std::size_t> out;
        for (std::int64_t k = 0; k < span.count; ++k) {
            const auto i = static_cast<std::size_t>(span.at(k));
            if (!range || range->contains(coordinates[i])) {
                out.push_back(i);
            }
        }
        return out;
    }
};

selection selection_of(const std::string &indices, const std::string &range, const char *what) {
    selection s;
    std::string error;
    if (!indices.empty()) {
        s.indices.emplace();
        if (!parse_index_slice(indices, *s.indices, error)) {
            throw usage_error(std::string("--") + what + ": " + error);
        }
    }
    if (!range.empty()) {
        s.range.emplace();
        if (!parse_coordinate_range(range, *s.range, error)) {
            throw usage_error(std::string("--") + (what[0] == 'r' ? "x" : "y") + ": " + error);
        }
    }
    return s;
}

std::vector<float> picked(std::span<const float> from, const std::vector<std::size_t> &which) {
    std::vector<float> out(which.size());
    for (std::size_t k = 0; k < which.size(); ++k) {
        out[k] = from[which[k]];
    }
    return out;
}

// The titles an axis holds, said when a range of coordinates keeps none of them.
class title_span {
  public:
    void see(float t) {
        if (!std::isnan(t)) {
            low_ = std::min(low_, t);
            high_ = std::max(high_, t);
        }
    }
    void see(std::span<const float> titles) {
        for (const float t : titles) {
            see(t);
        }
    }
    std::string said() const {
        if (low_ > high_) {
            return "; every title is NaN";
        }
        return "; the titles run from " + binmat::float_text(low_) + " to " +
               binmat::float_text(high_);
    }

  private:
    float low_ = std::numeric_limits<float>::infinity();
    float high_ = -std::numeric_limits<float>::infinity();
};

[[noreturn]] void keeps_nothing(const options &o, const char *what, std::size_t of,
                                const std::string &titles) {
    refuse(o.file, std::string("the cut keeps no ") + what + " of " + std::to_string(of) + titles +
                       "; nothing is written");
}

// The columns kept, or a refusal that says how many there were and, for a range, where their
// titles lie.
std::vector<std::size_t> kept_columns(const options &o, const selection &columns,
                                      std::span<const float> titles) {
    std::vector<std::size_t> kept = columns.kept(titles);
    if (kept.empty()) {
        title_span span;
        span.see(titles);
        keeps_nothing(o, "column", titles.size(), columns.range ? span.said() : "");
    }
    return kept;
}

// Writes the kept rows, in the format the output's name says, made once the first is known to
// exist so that an empty cut leaves nothing behind, even on standard output.
class cut_writer {
  public:
    cut_writer(const options &o, const selection &rows, output_file &out,
               std::vector<float> columns, binmat::byte_order order)
        : o_(o), rows_(rows),
          out_(format_of(o.output), out, std::move(columns), settings(o, order)) {}

    // Every row's title, kept or not, for the message of a cut that keeps none.
    void see(float x) { titles_.see(x); }
    void put(float x, std::span<const float> row) { out_.put(x, row); }

    void finish(std::size_t rows_seen) {
        if (out_.empty()) {
            keeps_nothing(o_, "row", rows_seen, rows_.range ? titles_.said() : "");
        }
        out_.finish();
    }

  private:
    static output_settings settings(const options &o, binmat::byte_order order) {
        output_settings s;
        s.order = order;
        s.netcdf.history = "cut from " + o.file + " by binmat cut";
        s.netcdf.long_name = o.file == "-" ? "z" : std::filesystem::path(o.file).stem().string();
        return s;
    }

    const options &o_;
    const selection &rows_;
    row_output out_;
    title_span titles_;
};

// With every row in memory: any slice, in any direction.
void cut_in_memory(const options &o, const selection &rows, const selection &columns,
                   input_file &in, output_file &out) {
    const binmat::grid g = binmat::read(in.raw(), {o.order});
    const std::vector<std::size_t> keep_columns = kept_columns(o, columns, g.column_coordinates);
    cut_writer w(o, rows, out, picked(g.column_coordinates, keep_columns), g.order);
    for (const float x : g.row_coordinates) {
        w.see(x);
    }
    std::vector<float> row(keep_columns.size());
    for (const std::size_t i : rows.kept(g.row_coordinates)) {
        for (std::size_t k = 0; k < keep_columns.size(); ++k) {
            row[k] = g(i, keep_columns[k]);
        }
        w.put(g.row_coordinates[i], row);
    }
    w.finish(g.rows());
}

// A regular file through a map: any rows in any order, each decoded as it is written.
void cut_mapped(const options &o, const selection &rows, const selection &columns,
                const input_file &in, output_file &out) {
    const binmat::mapped_grid m(fileno(in.raw()), o.file, {o.order});
    const binmat::header &h = m.header();
    const std::vector<std::size_t> keep_columns = kept_columns(o, columns, h.column_coordinates);
    cut_writer w(o, rows, out, picked(h.column_coordinates, keep_columns), h.order);
    const std::vector<float> row_coordinates = m.row_coordinates();
    for (const float x : row_coordinates) {
        w.see(x);
    }
    std::vector<float> values(h.columns());
    std::vector<float> row(keep_columns.size());
    for (const std::size_t i : rows.kept(row_coordinates)) {
        float x = 0;
        m.copy_rows(i, 1, &x, values.data());
        for (std::size_t k = 0; k < keep_columns.size(); ++k) {
            row[k] = values[keep_columns[k]];
        }
        w.put(x, row);
    }
    w.finish(row_coordinates.size());
}

// A row at a time, in constant memory, for rows kept in file order: a stream, or a file too large
// to map.
void cut_streaming(const options &o, const selection &rows, const selection &columns,
                   input_file &in, output_file &out) {
    // A file that can be measured is judged whole first, so that a damaged one is refused even
    // when the rows kept come before the damage; a stream is read to its end for the same reason.
    std::int64_t length = std::numeric_limits<std::int64_t>::max();
    const bool measured = in.size().has_value();
    if (measured) {
        length = static_cast<std::int64_t>(binmat::read_header(in.raw(), {o.order}).rows);
        if (std::fseek(in.raw(), 0, SEEK_SET) != 0) {
            throw std::system_error(errno, std::generic_category(), "repositioning");
        }
    }
    binmat::row_reader reader(in.raw(), {o.order});
    const std::vector<std::size_t> keep_columns =
        kept_columns(o, columns, reader.column_coordinates());
    const slice_span span =
        rows.indices ? resolve(*rows.indices, length) : slice_span{0, 1, length};
    cut_writer w(o, rows, out, picked(reader.column_coordinates(), keep_columns), reader.order());
    std::vector<float> values(reader.columns());
    std::vector<float> row(keep_columns.size());
    float x = 0;
    const std::int64_t end = span.count > 0 ? span.at(span.count - 1) + 1 : 0;
    for (std::int64_t i = 0; !measured || i < end; ++i) {
        if (!reader.next(x, values)) {
            break;
        }
        w.see(x);
        if (!rows.sliced(i, span) || (rows.range && !rows.range->contains(x))) {
            continue;
        }
        for (std::size_t k = 0; k < keep_columns.size(); ++k) {
            row[k] = values[keep_columns[k]];
        }
        w.put(x, row);
    }
    w.finish(static_cast<std::size_t>(reader.rows_read()));
}

int run(const options &o) {
    const selection rows = selection_of(o.rows, o.x, "rows");
    const selection columns = selection_of(o.columns, o.y, "columns");
    input_file in(o.file);
    // Opened first: an output that is the input is refused before anything is read.
    output_file out(o.output, {o.file}, !o.no_sync);
    // A regular file is mapped. Otherwise rows run backwards, or counted from the end of a stream
    // that cannot be measured, need the whole grid; everything else goes a row at a time.
    const bool measured = in.size().has_value();
    const bool backwards = rows.indices && rows.indices->step < 0;
    const bool whole =
        backwards || (!measured && (rows.needs_length() || o.order == binmat::byte_order::detect));
    reading(o.file, [&] {
        if (measured && *in.size() > 0) {
            try {
                cut_mapped(o, rows, columns, in, out);
                return;
            } catch (const std::filesystem::filesystem_error &e) {
                // No room in the address space for the map: a row at a time, as from a stream.
                if (e.code().value() != ENOMEM) {
                    throw;
                }
            }
        }
        if (whole) {
            cut_in_memory(o, rows, columns, in, out);
        } else {
            cut_streaming(o, rows, columns, in, out);
        }
    });
    out.commit();
    return status_ok;
}

} // namespace

subcommand add_cut(CLI::App &app) {
    auto o = std::make_shared<options>();
    CLI::App *sub = app.add_subcommand("cut", "part of a grid, by index or by coordinate");
    sub->add_option("FILE", o->file, "a binary matrix file; - for standard input")->required();
    sub->add_option("-o,--output", o->output,
                    "where the cut goes, in the format its name says (as for convert); - for "
                    "standard output")
        ->required();
    sub->add_option("--rows", o->rows, "rows by index: START:STOP:STEP or an index");
    sub->add_option("--columns", o->columns, "columns by index: START:STOP:STEP or an index");
    sub->add_option("--x", o->x, "rows by coordinate: MIN:MAX, inclusive");
    sub->add_option("--y", o->y, "columns by coordinate: MIN:MAX, inclusive");
    add_byte_order(*sub, o->order, true);
    add_no_sync(*sub, o->no_sync);
    sub->footer(R"(Keeps part of a grid. Indices follow Python's slices: counted from 0, STOP
left out, negative ones counted from the end, and a STEP (negative to reverse
the order); any part may be left out, and a lone index keeps one. Coordinates
keep the rows or columns whose title lies between MIN and MAX, either of which
may be left out; NaN titles are never kept. Indices and coordinates together
keep what both keep. The cut is written in the byte order the file was read
in. Rows are read one at a time, so a file larger than memory can be cut,
except that rows in reverse, or counted from the end of standard input, need
the whole grid in memory. A cut that keeps nothing is an error and writes
nothing. The output's extension chooses its format as for convert: .nc
(NetCDF), .npy, .csv, anything else a binary matrix file.)");
    return {sub, [o] { return run(*o); }};
}

} // namespace cli
