// binmat render: the surface as a PNG heat map.
#include "examine.h"
#include "output.h"
#include "render_png.h"
#include "subcommands.h"

#include <memory>

namespace cli {

namespace {

struct options {
    std::string file;
    std::string output;
    int width = RenderSize{}.width;
    int height = RenderSize{}.height;
    binmat::byte_order order = binmat::byte_order::little;
};

int run(const options &o) {
    input_file in(o.file);
    const examined e = examine(in, o.order);
    if (!e.grid) {
        throw failure(status_bad_data, o.file + ": " + e.problem);
    }
    output_file out(o.output, {o.file});
    std::string error;
    if (!render_png(*e.grid, {o.width, o.height}, out.stream(), error)) {
        throw output_error(o.output + ": " + error);
    }
    out.commit();
    return status_ok;
}

} // namespace

subcommand add_render(CLI::App &app) {
    auto o = std::make_shared<options>();
    CLI::App *sub = app.add_subcommand("render", "draw the surface as a PNG heat map");
    sub->add_option("FILE", o->file, "a binary matrix file; - for standard input")->required();
    sub->add_option("-o,--output", o->output, "the PNG file to write; - for standard output")
        ->required();
    sub->add_option("--width", o->width, "image width in pixels")
        ->check(CLI::Range(render_min_width, 16384));
    sub->add_option("--height", o->height, "image height in pixels")
        ->check(CLI::Range(render_min_height, 16384));
    add_byte_order(*sub, o->order, true);
    sub->footer(R"(Draws the surface as a heat map (default 640 x 480 pixels) with a perceptually
uniform colour map and a colour bar labelled with the value range. Each cell is
placed by its row and column coordinates, so uneven spacing shows; rows run up
the image, columns across it. NaN cells are grey.)");
    return {sub, [o] { return run(*o); }};
}

} // namespace cli
