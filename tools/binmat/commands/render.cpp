// binmat render: the surface as a picture, PNG, SVG or PDF.
#include "commands.h"
#include "engine.h"
#include "examine.h"
#include "output.h"
#include "report.h"

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
    std::optional<std::string> x_label;
    std::optional<std::string> y_label;
    std::string bar_label;
    bool log = false;
    std::string aspect = "auto";
    std::optional<double> dpi;
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
    if (o.log && ((o.vmin && !(*o.vmin > 0)) || (o.vmax && !(*o.vmax > 0)))) {
        throw usage_error("--vmin and --vmax must be above zero on a logarithmic scale (--log)");
    }
    picture_options p;
    p.width = o.width;
    p.height = o.height;
    p.map = find_colour_map(o.map);
    p.vmin = o.vmin;
    p.vmax = o.vmax;
    p.contours = o.contours;
    p.title = !o.title.empty() ? o.title
              : o.file == "-"  ? "standard input"
                               : std::filesystem::path(o.file).filename().string();
    p.x_label = o.x_label.value_or(p.x_label);
    p.y_label = o.y_label.value_or(p.y_label);
    p.bar_label = o.bar_label;
    p.log = o.log;
    p.equal_aspect = o.aspect == "equal";
    p.dpi = o.dpi;

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
    if (o.log) {
        std::uint64_t under = 0;
        for (std::size_t r = 0; r < e.values.rows; ++r) {
            for (const float v : e.values.row(r)) {
                under += v <= 0 ? 1 : 0;
            }
        }
        if (under > 0) {
            warn(o.file, std::to_string(under) + (under == 1 ? " cell is" : " cells are") +
                             " at or below zero, drawn in the colour of the scale's low end");
        }
    }
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
    sub->add_option("--xlabel", o->x_label, "the title of the rows' axis (default 'x (rows)')");
    sub->add_option("--ylabel", o->y_label,
                    "the title of the columns' axis (default 'y (columns)')");
    sub->add_option("--label", o->bar_label, "the colour bar's title, units included");
    sub->add_flag("--log", o->log, "a logarithmic colour scale");
    sub->add_option("--aspect", o->aspect,
                    "equal: a unit of x as long as a unit of y; auto: the plot fills the picture")
        ->check(CLI::IsMember({"equal", "auto"}))
        ->option_text("equal|auto");
    sub->add_option("--dpi", o->dpi,
                    "PNG: text and lines as at this resolution (default 100), recorded in the "
                    "file; SVG and PDF: of any resampled image (default 144)")
        ->check(CLI::Range(10.0, 2400.0));
    add_byte_order(*sub, o->order, true);
    add_no_sync(*sub, o->no_sync);
    sub->footer(R"(Draws the surface as a heat map (default 640 x 480) with axes at round numbers,
a title and a colour bar. Rows (x) run up the picture and columns (y) across
it; each cell is placed by its coordinates, so uneven spacing shows, and
coordinates out of order are drawn in order. Where many cells meet in one
pixel it shows their average; where a cell covers many pixels its edges stay
sharp.

Colour maps: viridis (default), magma, cividis and gray run from low to high;
coolwarm diverges from zero, at its middle when the data take both signs; each
with _r (viridis_r) runs the other way. --log makes the scale logarithmic:
cells at or below zero take the colour of its low end, with a warning that
counts them.
Values beyond --vmin or --vmax take the colour of the bar's end, which is
then drawn extended. NaN, +inf and -inf have colours of their own, shown
beneath the bar when the grid holds them. --contours N draws isolines at
about N round levels within the data's range, marked across the bar.

In SVG and PDF the cells stay sharp at any zoom: rectangles at their edges for
small grids and unevenly spaced axes, one pixel per cell never smoothed for
large even ones, and an image at --dpi for grids larger than either allows.)");
    return {sub, [o] { return run(*o); }};
}

} // namespace cli
