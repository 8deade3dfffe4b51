// binmat dump: a grid as text in the file's own layout, exactly as stored.
#include "commands.h"
#include "examine.h"
#include "output.h"

#include <binmat/formats/text_grid.h>

#include <memory>

namespace cli {

namespace {

struct options {
    std::string file;
    std::string output = "-";
    bool csv = false;
    bool no_sync = false;
    binmat::byte_order order = binmat::byte_order::little;
};

int run(const options &o) {
    input_file in(o.file);
    // Opened first: an output that is the input is refused before anything is read.
    output_file out(o.output, {o.file}, !o.no_sync);
    const examined e = examine(in, o.order);
    if (!e.ok) {
        refuse(o.file, e.problem);
    }
    out.write([&](binmat::output_file &f) {
        binmat::write_text(f.stream(), e.row_coordinates, e.column_coordinates, e.values,
                           e.stored_count, e.stray, o.csv ? ',' : ' ');
    });
    out.commit();
    return status_ok;
}

} // namespace

subcommand add_dump(CLI::App &app) {
    auto o = std::make_shared<options>();
    CLI::App *sub = app.add_subcommand("dump", "the grid as text, exactly as stored");
    sub->add_option("FILE", o->file, "a binary matrix file; - for standard input")->required();
    sub->add_option("-o,--output", o->output, "where the text goes (default: standard output)");
    sub->add_flag("--csv", o->csv, "separate numbers with commas");
    add_byte_order(*sub, o->order, true);
    add_no_sync(*sub, o->no_sync);
    sub->footer(R"(Writes the grid as text, in the file's own layout: the first line holds the
column count and the column coordinates, then each line a row coordinate and
the row's values. Numbers are the shortest text that reads back to the same
float; NaNs other than the default one are written nan(0xBITS). Separated by
spaces, or commas with --csv. Stray bytes after the last row become a final
'# stray bytes:' line, so that pack gives back the identical file.)");
    return {sub, [o] { return run(*o); }};
}

} // namespace cli
