// binmat salvage: the complete rows of a file that was cut short or ends in garbage.
#include "commands.h"
#include "examine.h"
#include "grid_output.h"
#include "output.h"

#include <filesystem>
#include <memory>
#include <optional>
#include <system_error>

namespace cli {

namespace {

struct options {
    std::string file;
    std::string output;
    bool no_sync = false;
    binmat::byte_order order = binmat::byte_order::little;
};

// The order to read in: the one asked for, or the one the first bytes (and the length, when it is
// known) make sense of.
binmat::byte_order order_of(input_file &in, binmat::byte_order asked) {
    if (asked != binmat::byte_order::detect) {
        return asked;
    }
    if (in.size()) {
        return binmat::likely_order(in.peek(input_file::head_limit), *in.size());
    }
    in.sample(input_file::head_limit);
    return binmat::likely_order(in.head(), std::nullopt);
}

// The complete rows go out one at a time as they arrive, so memory stays constant whatever the
// input's length, and an input that is no grid from its first bytes is refused at once.
int run(const options &o) {
    input_file in(o.file);
    // Opened first: an output that is the input is refused before anything is read.
    output_file out(o.output, {o.file}, !o.no_sync);
    const binmat::byte_order order = order_of(in, o.order);
    std::uint64_t rows = 0;
    std::uint64_t kept = 0;
    std::size_t columns = 0;
    try {
        binmat::row_reader reader(in.stream(), {order});
        columns = reader.columns();
        output_settings settings;
        settings.order = order;
        settings.netcdf.history = "salvaged from " + o.file + " by binmat salvage";
        settings.netcdf.long_name =
            o.file == "-" ? "z" : std::filesystem::path(o.file).stem().string();
        const std::span<const float> titles = reader.column_coordinates();
        row_output writer(format_of(o.output), out,
                          std::vector<float>(titles.begin(), titles.end()), settings);
        std::vector<float> values(columns);
        float x = 0;
        try {
            while (reader.next(x, values)) {
                writer.put(x, values);
            }
        } catch (const binmat::format_error &e) {
            if (e.problem() != binmat::defect::row_cut_short) {
                throw;
            }
        }
        rows = reader.rows_read();
        if (writer.empty()) {
            throw binmat::format_error(binmat::defect::no_complete_row, in.consumed(), "");
        }
        writer.finish();
        kept = 4 * (std::uint64_t{columns} + 1) * (rows + 1);
    } catch (const binmat::format_error &) {
        // Said as the layout's rules say it, from the bytes that arrived: the reader stops at the
        // first sign that nothing can be kept, so an endless stream of zeros is refused at once.
        const std::vector<unsigned char> &head = in.head();
        const float stored = head.size() >= 4 ? binmat::stored_float(head.data(), order) : 0;
        refuse(o.file, "nothing can be kept: " +
                           binmat::explain(binmat::layout_of(stored, in.consumed()), stored));
    } catch (const concerning &) {
        throw;
    } catch (const std::system_error &e) {
        refuse(o.file, "read error: " + e.code().message());
    }
    out.commit();
    std::fprintf(stderr, "binmat: %s: kept %s of %s, dropped %s\n", o.file.c_str(),
                 count_of(rows, "row", "rows").c_str(),
                 count_of(columns, "column", "columns").c_str(),
                 count_of(in.consumed() - kept, "byte", "bytes").c_str());
    return status_ok;
}

} // namespace

subcommand add_salvage(CLI::App &app) {
    auto o = std::make_shared<options>();
    CLI::App *sub = app.add_subcommand("salvage", "keep the complete rows of a file cut short");
    sub->add_option("BROKEN", o->file, "a damaged binary matrix file; - for standard input")
        ->required();
    sub->add_option("-o,--output", o->output, "where the rows that were kept go")->required();
    add_byte_order(*sub, o->order, true);
    add_no_sync(*sub, o->no_sync);
    sub->footer(R"(Writes the complete rows of a file that was cut short, or whose last bytes are
garbage after a valid start, and says on standard error how many rows it kept
and how many bytes it dropped. Exit status 1 when nothing can be kept: the
column count or the column coordinates are damaged, or no row is complete.
The output's extension chooses its format as for convert: .nc (NetCDF), .npy,
.csv, anything else a binary matrix file.)");
    return {sub, [o] { return run(*o); }};
}

} // namespace cli
