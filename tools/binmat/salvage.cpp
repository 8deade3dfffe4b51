// binmat salvage: the complete rows of a file that was cut short or ends in garbage.
#include "examine.h"
#include "output.h"
#include "subcommands.h"

#include <memory>
#include <system_error>

namespace cli {

namespace {

struct options {
    std::string file;
    std::string output;
    binmat::byte_order order = binmat::byte_order::little;
};

// The bytes of a whole input, which salvage needs to see before it can say what to keep.
std::vector<std::byte> contents(input_file &in) {
    std::vector<std::byte> bytes;
    std::byte chunk[65536];
    std::size_t got = 0;
    while ((got = std::fread(chunk, 1, sizeof chunk, in.stream())) > 0) {
        bytes.insert(bytes.end(), chunk, chunk + got);
    }
    if (in.failed()) {
        throw failure(status_bad_data,
                      in.name() + ": read error: " +
                          std::make_error_code(static_cast<std::errc>(in.error())).message());
    }
    return bytes;
}

int run(const options &o) {
    input_file in(o.file);
    const std::vector<std::byte> bytes = contents(in);
    const auto *data = reinterpret_cast<const unsigned char *>(bytes.data());
    const binmat::byte_order order = o.order == binmat::byte_order::detect
                                         ? binmat::likely_order({data, bytes.size()}, bytes.size())
                                         : o.order;
    const float stored = bytes.size() >= 4 ? binmat::stored_float(data, order) : 0;
    const binmat::layout l = binmat::layout_of(stored, bytes.size());
    if (l.rows == 0) {
        throw failure(status_bad_data,
                      o.file + ": nothing can be kept: " + binmat::explain(l, stored));
    }
    const std::uint64_t keep =
        4 * (std::uint64_t{static_cast<unsigned>(l.columns)} + 1) * (l.rows + 1);
    const binmat::grid g =
        binmat::read(std::span(bytes).first(static_cast<std::size_t>(keep)), {order});
    output_file out(o.output, {o.file});
    try {
        binmat::write(out.stream(), g, {order});
    } catch (const std::system_error &e) {
        throw output_error(o.output + ": " + e.code().message());
    }
    out.commit();
    std::fprintf(stderr, "binmat: %s: kept %s of %s, dropped %s\n", o.file.c_str(),
                 count_of(l.rows, "row", "rows").c_str(),
                 count_of(static_cast<std::uint64_t>(l.columns), "column", "columns").c_str(),
                 count_of(bytes.size() - keep, "byte", "bytes").c_str());
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
    sub->footer(R"(Writes the complete rows of a file that was cut short, or whose last bytes are
garbage after a valid start, and says on standard error how many rows it kept
and how many bytes it dropped. Exit status 1 when nothing can be kept: the
column count or the column coordinates are damaged, or no row is complete.)");
    return {sub, [o] { return run(*o); }};
}

} // namespace cli
