// binmat pack: a text grid in dump's layout back into a binary matrix file.
#include "commands.h"
#include "grid_output.h"
#include "output.h"

#include <binmat/formats/text_grid.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <memory>
#include <system_error>

namespace cli {

namespace {

struct options {
    std::string file;
    std::string output;
    bool no_sync = false;
    binmat::byte_order order = binmat::byte_order::little;
};

int run(const options &o) {
    FILE *in = o.file == "-" ? stdin : std::fopen(o.file.c_str(), "r");
    if (in == nullptr) {
        refuse(o.file, std::strerror(errno));
    }
    struct closer {
        FILE *f;
        ~closer() {
            if (f != stdin) {
                std::fclose(f);
            }
        }
    } const owned{in};
    // Opened first: an output that is the input is refused before anything is read.
    output_file out(o.output, {o.file}, !o.no_sync);
    const binmat::text_grid t = reading(o.file, [&] { return binmat::read_text_grid(in); });
    const format to = format_of(o.output);
    if (to == format::binmat) {
        // As the text says, to the count as stored and the stray bytes after the last row.
        out.write([&](binmat::output_file &f) { binmat::write_packed(f.stream(), t, o.order); });
    } else {
        output_settings settings;
        settings.netcdf.history = "packed from " + o.file + " by binmat pack";
        settings.netcdf.long_name =
            o.file == "-" ? "z" : std::filesystem::path(o.file).stem().string();
        write_grid(to, out, t.grid, settings);
        if (to == format::npy &&
            (!are_indices(t.grid.row_coordinates) || !are_indices(t.grid.column_coordinates))) {
            warn(o.output, "a .npy file holds the values alone: the titles are not kept "
                           "(convert to .npy with --x and --y keeps them)");
        }
    }
    out.commit();
    return status_ok;
}

} // namespace

subcommand add_pack(CLI::App &app) {
    auto o = std::make_shared<options>();
    CLI::App *sub = app.add_subcommand("pack", "a text grid back into a binary matrix file");
    sub->add_option("TEXT", o->file, "a text grid; - for standard input")->required();
    sub->add_option("-o,--output", o->output,
                    "where the grid goes, in the format its name says (as for convert); - "
                    "for standard output")
        ->required();
    add_byte_order(*sub, o->order, false);
    add_no_sync(*sub, o->no_sync);
    sub->footer(R"(Turns a text grid in dump's layout into a binary matrix file. Numbers may be
separated by white space or commas; '#' starts a comment, blank lines and a
UTF-8 byte order mark are ignored, and lines may end in CRLF. A number may be
decimal (rounded correctly to single precision), hex (0x1p3), inf, infinity or
nan in any case, with a sign. Every row must hold a row coordinate and as many
values as the column count says. Errors name the line. The output's extension
chooses its format as for convert: .nc (NetCDF), .npy, .csv, anything else a
binary matrix file.)");
    return {sub, [o] { return run(*o); }};
}

} // namespace cli
