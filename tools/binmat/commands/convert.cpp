// binmat convert: grids to and from NetCDF, numpy's .npy and long CSV.
#include "commands.h"
#include "crs.h"
#include "grid_output.h"
#include "input.h"
#include "output.h"

#include <binmat/formats/long_csv.h>
#include <binmat/formats/netcdf.h>
#include <binmat/formats/npy.h>
#include <binmat/mapped.h>

#include <cctype>
#include <cerrno>
#include <charconv>
#include <cstring>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <sstream>
#include <system_error>

namespace cli {

namespace {

struct options {
    std::string input;
    std::string output;
    std::optional<format> from;
    std::optional<format> to;
    binmat::byte_order order = binmat::byte_order::little;
    std::string variable;
    std::vector<std::string> index_texts; // --index DIM=I, as given
    binmat::netcdf_choice choice;         // the variable and the indices, read
    std::string row_coordinates;          // --x: a .npy file of them
    std::string column_coordinates;       // --y
    std::string fill;
    std::string csv_column_list;          // --columns X,Y,Z
    std::vector<std::string> csv_columns; // its names
    bool exact = false;                   // --exact: NaNs in CSV keep their payloads
    std::string crs;                      // --crs: any code or WKT that PROJ understands
    bool no_sync = false;
    binmat::netcdf_attributes attributes;

    output_settings settings() const { return {order, exact, attributes}; }
};

[[noreturn]] void usage(const std::string &why) { throw usage_error(why); }

// Options that mean something for one format only are refused elsewhere rather than ignored.
void check_options(const options &o, format from, format to) {
    if (from == format::binmat && to == format::binmat) {
        usage("both sides are binary matrix files: give --from or --to, or use an extension "
              "(.nc, .npy, .csv)");
    }
    if ((!o.variable.empty() || !o.index_texts.empty()) && from != format::netcdf) {
        usage("--variable and --index choose what to read from a NetCDF file");
    }
    const binmat::netcdf_attributes &a = o.attributes;
    if ((!a.units.empty() || !a.x_units.empty() || !a.y_units.empty() || !a.standard_name.empty() ||
         a.name != "z" || a.deflate != 0 || !o.crs.empty()) &&
        to != format::netcdf) {
        usage("--units, --x-units, --y-units, --standard-name, --name, --deflate and --crs "
              "describe a NetCDF output");
    }
    if (a.name == "x" || a.name == "y" || a.name == "crs" || a.name.empty()) {
        usage("--name " + a.name + ": x and y name the titles and crs the grid mapping");
    }
    if ((!o.row_coordinates.empty() || !o.column_coordinates.empty()) && from != format::npy &&
        to != format::npy) {
        usage("--x and --y hold the titles of a .npy grid");
    }
    if (!o.fill.empty() && from != format::csv) {
        usage("--fill is for cells a CSV file leaves out");
    }
    if (!o.csv_columns.empty() && from != format::csv) {
        usage("--columns picks the columns of a CSV file that is read");
    }
    if (!o.csv_columns.empty() && o.csv_columns.size() != 3) {
        usage("--columns names three columns: the row titles, the column titles and the values");
    }
    if (o.exact && to != format::csv) {
        usage("--exact keeps the NaN payloads of a CSV output");
    }
    if (o.order == binmat::byte_order::detect && from != format::binmat) {
        usage("--byte-order auto judges a binary matrix file that is read");
    }
}

// Reads the input and hands its grid to `use`.
void with_input(const options &o, format from,
                const std::function<void(const binmat::grid_view &)> &use) {
    switch (from) {
    case format::netcdf: {
        const std::vector<std::string> warnings = reading(o.input, [&] {
            return o.input == "-" ? binmat::read_netcdf(STDIN_FILENO, o.choice, use)
                                  : binmat::read_netcdf(o.input, o.choice, use);
        });
        for (const std::string &w : warnings) {
            warn(o.input, w);
        }
        return;
    }
    case format::binmat: {
        const input_file in(o.input);
        use(reading(o.input, [&] { return binmat::read(in.raw(), {o.order}); }));
        return;
    }
    case format::npy: {
        const binmat::grid g = reading(o.input, [&] {
            const std::string values = o.input == "-" ? "/dev/stdin" : o.input;
            return binmat::read_npy_grid(
                values, o.row_coordinates, o.column_coordinates,
                [&](const std::filesystem::path &file, const std::string &text) {
                    warn(file == values ? o.input : file.string(), text);
                });
        });
        use(g);
        return;
    }
    case format::csv: {
        const input_file in(o.input);
        binmat::long_csv_options csv;
        csv.fill_missing = o.fill == "nan";
        csv.columns = o.csv_columns;
        use(reading(o.input, [&] { return binmat::read_long_csv(in.raw(), csv); }));
        return;
    }
    }
}

// A grid that the format cannot hold is refused before a byte is written.
void check_writable(const options &o, const binmat::grid_view &g) {
    if (!binmat::storable_column_count(g.columns())) {
        refuse(o.input, std::to_string(g.columns()) +
                            " columns are more than a binary matrix file can hold");
    }
}

void write_output(const options &o, format to, const binmat::grid_view &g, output_file &out) {
    if (to == format::binmat) {
        check_writable(o, g);
    }
    write_grid(to, out, g, o.settings());
}

// The coordinates of a .npy grid into their own files, or a warning that they are not kept.
void write_coordinates(const options &o, const binmat::grid_view &g, output_file *x_out,
                       output_file *y_out) {
    struct axis {
        output_file *file;
        std::span<const float> coordinates;
        const char *flag;
    };
    for (const axis &a :
         {axis{x_out, g.row_coordinates, "--x"}, axis{y_out, g.column_coordinates, "--y"}}) {
        if (a.file != nullptr) {
            const std::uint64_t shape[1] = {a.coordinates.size()};
            a.file->write([&](binmat::output_file &f) {
                binmat::write_npy(f.stream(), a.coordinates, shape);
            });
        } else if (!are_indices(a.coordinates)) {
            warn(o.output,
                 std::string("the grid's titles are not kept: ") + a.flag + " FILE.npy keeps them");
        }
    }
}

// A binary matrix file to CSV a row at a time, in constant memory whatever the file's size: a
// regular file through a map, anything else (or a file too large to map) as a stream.
void stream_to_csv(const options &o, output_file &out) {
    input_file in(o.input);
    // Writes the rows that `next` hands over, one at a time, until it has none.
    const auto write = [&](std::span<const float> columns, const auto &next) {
        std::optional<binmat::long_csv_writer> csv;
        out.write([&](binmat::output_file &f) { csv.emplace(f.stream(), columns, o.exact); });
        std::vector<float> values(columns.size());
        float x = 0;
        while (next(x, values)) {
            out.write([&](binmat::output_file &) { csv->put_row(x, values); });
        }
        out.write([&](binmat::output_file &) { csv->finish(); });
        report_dropped(out, *csv);
    };
    reading(o.input, [&] {
        std::optional<binmat::mapped_grid> map;
        if (in.size() && *in.size() > 0) {
            try {
                map.emplace(fileno(in.raw()), o.input, binmat::read_options{o.order});
            } catch (const std::filesystem::filesystem_error &e) {
                if (e.code().value() != ENOMEM) {
                    throw;
                }
            }
        }
        if (map) {
            std::uint64_t i = 0;
            write(map->header().column_coordinates, [&](float &x, std::span<float> values) {
                if (i == map->header().rows) {
                    return false;
                }
                map->copy_rows(i++, 1, &x, values.data());
                return true;
            });
            return;
        }
        binmat::row_reader rows(in.raw(), {o.order});
        write(rows.column_coordinates(),
              [&](float &x, std::span<float> values) { return rows.next(x, values); });
    });
}

// "time=0": a dimension and the index at which it is fixed.
std::pair<std::string, std::uint64_t> index_of(const std::string &text) {
    const std::size_t equals = text.rfind('=');
    const std::string at = equals == std::string::npos ? "" : text.substr(equals + 1);
    std::uint64_t value = 0;
    const auto [end, error] = std::from_chars(at.data(), at.data() + at.size(), value);
    if (equals == 0 || equals == std::string::npos || at.empty() || error != std::errc() ||
        end != at.data() + at.size()) {
        usage("--index " + text + ": give a dimension and an index from 0, such as time=0");
    }
    return {text.substr(0, equals), value};
}

int run(options o) {
    if (!o.csv_column_list.empty()) {
        std::stringstream names(o.csv_column_list);
        for (std::string name; std::getline(names, name, ',');) {
            o.csv_columns.push_back(name);
        }
    }
    o.choice.variable = o.variable;
    for (const std::string &text : o.index_texts) {
        o.choice.index.push_back(index_of(text));
    }
    const format from = o.from.value_or(format_of(o.input));
    const format to = o.to.value_or(format_of(o.output));
    check_options(o, from, to);
    if (!o.crs.empty() && to == format::netcdf) {
        o.attributes.crs_wkt = crs_wkt(o.crs);
    }
    if (o.attributes.history.empty()) {
        o.attributes.history = "converted from " + o.input + " by binmat convert";
    }
    if (o.attributes.long_name.empty()) {
        o.attributes.long_name =
            o.input == "-" ? "z" : std::filesystem::path(o.input).stem().string();
    }
    std::vector<std::string> inputs = {o.input};
    if (from == format::npy) {
        inputs.push_back(o.row_coordinates);
        inputs.push_back(o.column_coordinates);
    }
    // Opened first: an output that is an input is refused before anything is read.
    const bool sync = !o.no_sync;
    output_file out(o.output, inputs, sync);
    std::optional<output_file> x_out;
    std::optional<output_file> y_out;
    std::vector<output_file *> outputs = {&out};
    if (to == format::npy && !o.row_coordinates.empty()) {
        outputs.push_back(&x_out.emplace(o.row_coordinates, inputs, sync));
    }
    if (to == format::npy && !o.column_coordinates.empty()) {
        outputs.push_back(&y_out.emplace(o.column_coordinates, inputs, sync));
    }
    check_distinct(outputs);
    const bool seekable_input = o.input != "-" || o.order != binmat::byte_order::detect;
    if (from == format::binmat && to == format::csv && seekable_input) {
        stream_to_csv(o, out);
    } else if (from == format::binmat && to == format::netcdf && input_file(o.input).size()) {
        // A block of rows at a time from a map of the file, whatever its size.
        const binmat::mapped_grid source =
            reading(o.input, [&] { return binmat::mapped_grid(o.input, {o.order}); });
        write_netcdf_output(out, source, o.attributes);
    } else {
        with_input(o, from, [&](const binmat::grid_view &g) {
            write_output(o, to, g, out);
            if (to == format::npy) {
                write_coordinates(o, g, x_out ? &*x_out : nullptr, y_out ? &*y_out : nullptr);
            }
        });
    }
    // Every output takes its name only once all are complete.
    commit_all(outputs);
    return status_ok;
}

} // namespace

subcommand add_convert(CLI::App &app) {
    auto o = std::make_shared<options>();
    CLI::App *sub =
        app.add_subcommand("convert", "a grid to or from NetCDF, numpy's .npy or long CSV");
    sub->add_option("IN", o->input, "the grid to read; - for standard input")->required();
    sub->add_option("OUT", o->output, "where it goes; - for standard output")->required();
    const auto formats = CLI::CheckedTransformer(format_names(), CLI::ignore_case);
    sub->add_option("--from", o->from, "the format of IN, when its name does not say")
        ->transform(formats)
        ->option_text("binmat|netcdf|npy|csv");
    sub->add_option("--to", o->to, "the format of OUT, when its name does not say")
        ->transform(formats)
        ->option_text("binmat|netcdf|npy|csv");
    add_byte_order(*sub, o->order, true);
    add_no_sync(*sub, o->no_sync);
    sub->add_option("--variable", o->variable,
                    "the NetCDF variable to read, /group/name inside a group (default: the only "
                    "2-D one)");
    sub->add_option("--index", o->index_texts,
                    "NetCDF: fix a dimension at one index, to read one slice of a variable of "
                    "more than two dimensions (repeatable)")
        ->option_text("DIM=I")
        ->take_all()
        ->allow_extra_args(false);
    sub->add_option("--units", o->attributes.units, "NetCDF: the units of the values");
    sub->add_option("--x-units", o->attributes.x_units, "NetCDF: the units of the row titles");
    sub->add_option("--y-units", o->attributes.y_units, "NetCDF: the units of the column titles");
    sub->add_option("--standard-name", o->attributes.standard_name,
                    "NetCDF: the CF standard name of the values");
    sub->add_option("--name", o->attributes.name, "NetCDF: the values' variable (default z)");
    sub->add_option("--deflate", o->attributes.deflate,
                    "NetCDF: compress the values with zlib, after shuffling, at this level")
        ->check(CLI::Range(1, 9))
        ->option_text("1..9");
    sub->add_option("--crs", o->crs,
                    "NetCDF: the coordinate reference system (EPSG:4326, WKT, PROJ string)");
    sub->add_option("--x", o->row_coordinates,
                    ".npy: the file of the row titles (read or written)");
    sub->add_option("--y", o->column_coordinates,
                    ".npy: the file of the column titles (read or written)");
    sub->add_option("--columns", o->csv_column_list,
                    "CSV: the columns holding the row titles, column titles and values")
        ->option_text("X,Y,Z");
    sub->add_flag("--exact", o->exact,
                  "CSV: write NaNs as text that keeps their sign and payload, not as empty fields");
    sub->add_option("--fill", o->fill, "CSV: what a missing cell becomes (default: an error)")
        ->check(CLI::IsMember({"nan"}));
    sub->footer(R"(Formats go by extension: .nc (also .nc4, .cdf) is NetCDF, .npy numpy's array
file, .csv long CSV, and anything else a binary matrix file, in the order
--byte-order gives. --from and --to name them for standard input and output
and for other names. A grid that goes out and comes back is the same bit for
bit, NaNs and their payloads included (for CSV, with --exact).

NetCDF: written as NetCDF-4 following the CF conventions, with z(x, y) (or
--name) and the titles as the coordinate variables x (axis Y: rows are a
picture's lines) and y (axis X); NaN is the fill value. Titles that CF forbids
(repeated, NaN, out of order) are written as they are, with a warning.
--deflate compresses the values; --crs adds a grid mapping for GIS tools.
Read from the only 2-D numeric variable or --variable (/group/name in a group),
dimensions of one value dropped and --index DIM=I fixing others, with the
coordinate variables of its two dimensions as titles (or their indices),
packing, fill values and _Unsigned undone, and a warning when values lose
precision on the way to float32 or 2-D coordinates cannot be kept.

.npy: written as a float32 array, the titles into --x and --y when given.
Read from a 2-D array of floats, integers or booleans in either byte order
and either memory order, with the titles from --x and --y or the indices.

CSV: a header x,y,z and one line per cell, NaN as an empty field (as pandas
writes it; --exact writes nan or nan(0xBITS) instead). Read with any header of
three names (row titles, column titles, values), after an unnamed index column
as pandas writes, or the three that --columns names; fields may be quoted and
an empty value is NaN. Read in any line order: lines that go a row at a time,
as written here, keep their order; lines in any other order give rows and
columns sorted by coordinate. A missing or repeated cell is an error naming
the line, unless --fill nan makes missing cells NaN. A binary matrix file is turned
into CSV a row at a time, so its size is not bounded by memory.)");
    return {sub, [o] { return run(*o); }};
}

} // namespace cli
