// binmat render: the surface as a picture, PNG, SVG or PDF.
#include "commands.h"
#include "engine.h"
#include "examine.h"
#include "output.h"

#include <cmath>
#include <filesystem>
#include <memory>
#include <optional>

namespace cli {

namespace {

using namespace plot;

struct options {
    std::string file;
    std::string output;
    std::string format;
    std::string title;
    std::string map = colour_map_names().front();
    int width = picture_options{}.width;
    int height = picture_options{}.height;
    std::optional<double> vmin;
    std::optional<double> vmax;
    int contours = 0;
    bool no_sync = false;
    binmat::byte_order order = binmat::byte_order::little;
};

picture_format format_of(const options &o) {
    std::string name = o.format;
    if (name.empty()) {
        name = std::filesystem::path(o.output).extension().string();
        name.erase(0, name.empty() ? 0 : 1);
        for (char &c : name) {
            c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        }
    }
    if (name == "png") {
        return picture_format::png;
    }
    if (name == "svg") {
        return picture_format::svg;
    }
    if (name == "pdf") {
        return picture_format::pdf;
    }
    throw usage_error("cannot tell the picture's format from \"" + o.output +
                      "\": name it .png, .svg or .pdf, or give --format");
}

// Drawing keeps fonts for the life of the process; they go when the command ends, however.
struct drawing_caches {
    drawing_caches() = default;
    drawing_caches(const drawing_caches &) = delete;
    drawing_caches &operator=(const drawing_caches &) = delete;
    ~drawing_caches() {
        if (picture_engine_loaded()) {
            picture_engine().release();
        }
    }
};

int run(const options &o) {
    const drawing_caches caches;
    for (const std::optional<double> &end : {o.vmin, o.vmax}) {
        if (end && !std::isfinite(*end)) {
            throw usage_error("--vmin and --vmax must be finite numbers");
        }
    }
    if (o.vmin && o.vmax && !(*o.vmin < *o.vmax)) {
        throw usage_error("--vmin must be below --vmax");
    }
    picture_options p;
    p.width = o.width;
    p.height = o.height;
    p.map = find_colour_map(o.map);
    p.vmin = o.vmin;
    p.vmax = o.vmax;
    p.contours = o.contours;
    p.title = o.title.empty() ? (o.file == "-" ? "standard input" : o.file) : o.title;

    input_file in(o.file);
    const examined e = examine(in, o.order);
    if (!e.ok) {
        refuse(o.file, e.problem);
    }
    output_file out(o.output, {o.file}, !o.no_sync);
    p.format = format_of(o);
    // A picture that cannot be drawn is the input's; a failed write the output's.
    reading(o.file, [&] {
        out.write([&](binmat::output_file &f) {
            picture_engine().draw({e.row_coordinates, e.column_coordinates, e.values}, p,
                                  f.stream());
        });
    });
    out.commit();
    return status_ok;
}

} // namespace

subcommand add_render(CLI::App &app) {
    auto o = std::make_shared<options>();
    CLI::App *sub = app.add_subcommand("render", "draw the surface as a PNG, SVG or PDF picture");
    sub->add_option("FILE", o->file, "a binary matrix file; - for standard input")->required();
    sub->add_option("-o,--output", o->output,
                    "the picture to write, .png, .svg or .pdf; - for standard output")
        ->required();
    sub->add_option("--format", o->format, "png, svg or pdf, whatever the output's name")
        ->check(CLI::IsMember({"png", "svg", "pdf"}));
    sub->add_option("--width", o->width, "width in pixels (points for SVG and PDF)")
        ->check(CLI::Range(picture_min_width, picture_max_side));
    sub->add_option("--height", o->height, "height in pixels (points for SVG and PDF)")
        ->check(CLI::Range(picture_min_height, picture_max_side));
    sub->add_option("--title", o->title, "the title; the file's name when not given");
    sub->add_option("--cmap", o->map, "the colour map")->check(CLI::IsMember(colour_map_names()));
    sub->add_option("--vmin", o->vmin, "the value at the colour bar's low end");
    sub->add_option("--vmax", o->vmax, "the value at the colour bar's high end");
    sub->add_option("--contours", o->contours, "isolines at about N round levels")
        ->check(CLI::Range(1, 100));
    add_byte_order(*sub, o->order, true);
    add_no_sync(*sub, o->no_sync);
    sub->footer(R"(Draws the surface as a heat map (default 640 x 480) with axes at round numbers,
a title and a colour bar. Rows (x) run up the picture and columns (y) across
it; each cell is placed by its coordinates, so uneven spacing shows, and
coordinates out of order are drawn in order. Where many cells meet in one
pixel it shows their average; where a cell covers many pixels its edges stay
sharp.

Colour maps: viridis (default), magma, cividis and gray run from low to high;
coolwarm diverges from zero, at its middle when the data take both signs.
Values beyond --vmin or --vmax take the colour of the bar's end, which is
then drawn extended. NaN, +inf and -inf have colours of their own, shown
beneath the bar when the grid holds them. --contours N draws isolines at
about N round levels, marked across the bar.)");
    return {sub, [o] { return run(*o); }};
}

} // namespace cli
