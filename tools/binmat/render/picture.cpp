#include "picture.h"

#include "contours.h"
#include "picture_error.h"
#include "png_writer.h"
#include "resample.h"
#include "ticks.h"

#include <binmat/axis.h>
#include <binmat/formats/quote.h>

#include <cairo-ft.h>
#include <cairo-pdf.h>
#include <cairo-svg.h>
#include <cairo.h>
#include <fontconfig/fontconfig.h>
#include <ft2build.h>
#include FT_FREETYPE_H

#include <algorithm>
#include <array>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <functional>
#include <limits>
#include <memory>
#include <optional>
#include <string_view>
#include <system_error>
#include <utility>
#include <vector>

namespace plot {

namespace {

struct surface_deleter {
    void operator()(cairo_surface_t *s) const { cairo_surface_destroy(s); }
};
struct context_deleter {
    void operator()(cairo_t *c) const { cairo_destroy(c); }
};
using surface_ptr = std::unique_ptr<cairo_surface_t, surface_deleter>;
using context_ptr = std::unique_ptr<cairo_t, context_deleter>;

const char *const font_family = "DejaVu Sans";

// DejaVu Sans, taken from where its packages put it without asking fontconfig, whose reading of
// its configuration costs a small picture a sixth of its time; fontconfig finds it anywhere else.
class known_fonts {
  public:
    // The face, or null when the file is not where it is looked for.
    cairo_font_face_t *face(bool bold) {
        if (!tried_) {
            tried_ = true;
            if (FT_Init_FreeType(&library_) == 0) {
                regular_ = load("DejaVuSans.ttf");
                bold_ = load("DejaVuSans-Bold.ttf");
            }
        }
        return regular_ != nullptr && bold_ != nullptr ? (bold ? bold_ : regular_) : nullptr;
    }

    // Gives back the faces once cairo has let go of them.
    void release_faces() {
        for (cairo_font_face_t *&f : {std::ref(regular_), std::ref(bold_)}) {
            if (f != nullptr) {
                cairo_font_face_destroy(f);
                f = nullptr;
            }
        }
    }
    void release_library() {
        if (library_ != nullptr) {
            FT_Done_FreeType(library_);
            library_ = nullptr;
        }
        tried_ = false;
    }

  private:
    cairo_font_face_t *load(const char *name) {
        static cairo_user_data_key_t owner;
        for (const char *dir : {"/usr/share/fonts/truetype/dejavu/", "/usr/share/fonts/dejavu/",
                                "/usr/share/fonts/TTF/"}) {
            FT_Face face = nullptr;
            if (FT_New_Face(library_, (std::string(dir) + name).c_str(), 0, &face) != 0) {
                continue;
            }
            cairo_font_face_t *f = cairo_ft_font_face_create_for_ft_face(face, 0);
            if (cairo_font_face_set_user_data(f, &owner, face, [](void *p) {
                    FT_Done_Face(static_cast<FT_Face>(p));
                }) != CAIRO_STATUS_SUCCESS) {
                cairo_font_face_destroy(f);
                FT_Done_Face(face);
                return nullptr;
            }
            return f;
        }
        return nullptr;
    }

    bool tried_ = false;
    FT_Library library_ = nullptr;
    cairo_font_face_t *regular_ = nullptr;
    cairo_font_face_t *bold_ = nullptr;
};

known_fonts fonts;

// Text is measured the same on every surface, so that a layout does not depend on the format.
void set_font(cairo_t *cr, double size, bool bold = false) {
    if (cairo_font_face_t *face = fonts.face(bold)) {
        cairo_set_font_face(cr, face);
    } else {
        cairo_select_font_face(cr, font_family, CAIRO_FONT_SLANT_NORMAL,
                               bold ? CAIRO_FONT_WEIGHT_BOLD : CAIRO_FONT_WEIGHT_NORMAL);
    }
    cairo_set_font_size(cr, size);
    cairo_font_options_t *options = cairo_font_options_create();
    cairo_font_options_set_hint_metrics(options, CAIRO_HINT_METRICS_OFF);
    cairo_font_options_set_hint_style(options, CAIRO_HINT_STYLE_NONE);
    cairo_set_font_options(cr, options);
    cairo_font_options_destroy(options);
}

double text_width(cairo_t *cr, const std::string &text) {
    cairo_text_extents_t e;
    cairo_text_extents(cr, text.c_str(), &e);
    return e.x_advance;
}

double widest(cairo_t *cr, const std::vector<tick> &ticks) {
    double w = 0;
    for (const tick &t : ticks) {
        w = std::max(w, text_width(cr, t.label));
    }
    return w;
}

struct legend_entry {
    rgb colour;
    std::string label;
};

// Everything a picture shows, worked out before anything is drawn.
struct scene {
    const colour_map *map = nullptr;
    axis_cells rows;         // x, up the plot
    axis_cells columns;      // y, across it
    double raster_scale = 1; // pixels of the cells' image per unit of the picture
    std::size_t raster_width = 0;
    std::size_t raster_height = 0;
    gathered_rows gathered;
    value_range range;
    bool below = false; // values below the colour range: the bar's low end is extended
    bool above = false;
    std::vector<tick> x_ticks;
    std::vector<tick> y_ticks;
    std::vector<tick> bar_ticks;
    std::vector<legend_entry> legend;
    std::string note; // what stands in for the bar when no value is finite
    std::string title;
    std::string x_label;
    std::string y_label;
    std::string bar_label;
    std::optional<double> wanted_height; // an equal aspect asks for the plot this high
    double title_size = 0;
    double tick_length = 0;
    double gap = 0;
    picture_layout layout;
};

// The colour range: the data's, centred on zero for a diverging map when the data take both
// signs, with the ends the user fixed.
std::pair<double, double> colour_range(const scene &s, const picture_options &o,
                                       double least_positive) {
    if (o.log) {
        double low = o.vmin.value_or(least_positive);
        double high = o.vmax.value_or(s.range.max);
        if (!(low < high)) {
            if (o.vmin && !o.vmax) {
                high = low * 10;
            } else {
                low = high / 10;
            }
        }
        return {low, high};
    }
    double low = s.range.min;
    double high = s.range.max;
    if (s.map->diverging && low < 0 && high > 0) {
        high = std::max(-low, high);
        low = -high;
    }
    low = o.vmin.value_or(low);
    high = o.vmax.value_or(high);
    if (low < high) {
        return {low, high};
    }
    // One value everywhere, or one end fixed beyond all the data: a range around what is known.
    const double spread = std::max(1.0, std::abs(o.vmin ? low : high) / 10);
    if (o.vmin && !o.vmax) {
        return {low, low + spread};
    }
    if (o.vmax && !o.vmin) {
        return {high - spread, high};
    }
    return {low - spread, low + spread};
}

// How many ticks fit along `length` when each needs `room`.
int ticks_for(double length, double room) { return std::max(2, static_cast<int>(length / room)); }

// Where a value lies on the colour scale: 0 at its low end, 1 at its high end; below 0 for a
// value at or below zero on a logarithmic scale.
double scale_share(const picture_layout &l, double v) {
    if (l.log) {
        return v > 0
                   ? (std::log10(v) - std::log10(l.low)) / (std::log10(l.high) - std::log10(l.low))
                   : -1;
    }
    return (v - l.low) / (l.high - l.low);
}

// The least value above zero, for the low end of a logarithmic scale.
double least_positive(const binmat::strided_values &values) {
    float least = std::numeric_limits<float>::infinity();
    for (std::size_t r = 0; r < values.rows; ++r) {
        for (const float v : values.row(r)) {
            if (v > 0 && v < least) {
                least = v;
            }
        }
    }
    if (std::isinf(least)) {
        throw picture_error("a logarithmic colour scale needs values above zero, and the grid has "
                            "none that is finite");
    }
    return least;
}

// Whether labels along an axis keep clear of each other: `at` places a tick's centre and `half`
// gives half its label's extent along the axis.
template <typename At, typename Half>
bool spaced(const std::vector<tick> &ticks, At at, Half half, double gap) {
    for (std::size_t i = 0; i + 1 < ticks.size(); ++i) {
        if (std::abs(at(ticks[i + 1].at) - at(ticks[i].at)) <
            half(ticks[i]) + half(ticks[i + 1]) + gap) {
            return false;
        }
    }
    return true;
}

// Ticks from `make` for at most `most` of them, fewer until their labels keep clear, and every
// other one dropped when even the fewest crowd.
template <typename Make, typename At, typename Half>
std::vector<tick> clear_ticks(int most, Make make, At at, Half half, double gap) {
    std::vector<tick> ticks = make(most);
    // A step that leaves one tick is too coarse when a finer one keeps clear.
    for (int more = most + 1; ticks.size() < 2 && more <= most + 4; ++more) {
        std::vector<tick> finer = make(more);
        if (finer.size() >= 2 && spaced(finer, at, half, gap)) {
            return finer;
        }
    }
    while (most > 1 && !spaced(ticks, at, half, gap)) {
        ticks = make(--most);
    }
    while (ticks.size() > 1 && !spaced(ticks, at, half, gap)) {
        std::vector<tick> kept;
        for (std::size_t i = 0; i < ticks.size(); i += 2) {
            kept.push_back(ticks[i]);
        }
        ticks.swap(kept);
    }
    return ticks;
}

// Text cut at its end, with an ellipsis, to fit `room`.
std::string fitted(cairo_t *cr, const std::string &text, double room) {
    if (text_width(cr, text) <= room) {
        return text;
    }
    std::string rest = text;
    while (!rest.empty() && text_width(cr, rest + "\u2026") > room) {
        std::size_t cut = rest.size() - 1; // back to the start of a whole UTF-8 character
        while (cut > 0 && (static_cast<unsigned char>(rest[cut]) & 0xC0) == 0x80) {
            --cut;
        }
        rest.erase(cut);
    }
    return rest + "\u2026";
}

// How a vector picture draws its cells: as rectangles where they are few enough or unevenly
// spaced, as an image of one pixel per cell where they lie evenly, and resampled beyond that.
cell_drawing cells_for(const surface &g) {
    const std::uint64_t cells = std::uint64_t{g.values.rows} * g.values.columns;
    const bool even = binmat::summarize_axis(g.row_coordinates).uniform &&
                      binmat::summarize_axis(g.column_coordinates).uniform;
    if (cells <= (std::uint64_t{1} << 16) || (!even && cells <= (std::uint64_t{1} << 20))) {
        return cell_drawing::rectangles;
    }
    if (even && cells <= (std::uint64_t{1} << 24) && g.values.rows <= 16384 &&
        g.values.columns <= 16384) {
        return cell_drawing::cell_image;
    }
    return cell_drawing::resampled;
}

// The scene; `forced_height` is the plot's height an equal aspect asked for in an earlier plan.
scene plan(const surface &g, const picture_options &o, cairo_t *cr,
           std::optional<double> forced_height) {
    scene s;
    s.map = o.map != nullptr ? o.map : find_colour_map(colour_map_names().front());
    s.rows = place_cells(g.row_coordinates, "x (the rows)");
    s.columns = place_cells(g.column_coordinates, "y (the columns)");

    picture_layout &l = s.layout;
    const double w = o.width;
    const double h = o.height;
    const bool png = o.format == picture_format::png;
    // Text and lines as matplotlib scales them: at 100 dots per inch, as they always were.
    const double dots = png && o.dpi ? *o.dpi / 100 : 1.0;
    const double f = std::max(8.0, std::min(w, h) / 40) * dots;
    l.font_size = f;
    l.log = o.log;
    s.title_size = 1.2 * f;
    s.tick_length = 0.35 * f;
    s.gap = 0.3 * f;
    const double pad = 0.8 * f;
    const auto snap = [png](double v) { return png ? std::round(v) : v; };
    const auto too_small = [&o] {
        return picture_options_error("a " + std::to_string(o.width) + " x " +
                                     std::to_string(o.height) +
                                     " picture has no room for the plot; make it larger");
    };

    // The plot's height does not depend on the values, so the rows are gathered into it first,
    // and the range of the values found on the way sets out the rest.
    double top = snap(pad + 1.3 * s.title_size + 0.4 * f);
    const double bottom = s.tick_length + s.gap + 1.2 * f + 0.5 * f + 1.2 * f + pad;
    double plot_height = snap(h - top - bottom);
    if (forced_height && *forced_height < plot_height) {
        // A plot lowered for its aspect stands in the middle of the room it had.
        top += snap((plot_height - *forced_height) / 2);
        plot_height = *forced_height;
    }
    if (plot_height < 2 * f) {
        throw forced_height
            ? picture_options_error("--aspect equal leaves no room for the plot: the axes' ranges "
                                    "differ too much for this picture; use --aspect auto")
            : too_small();
    }
    // Vector pictures carry resampled cells finer, for print, within what an image may hold.
    s.raster_scale = png ? 1.0 : std::min(o.dpi ? *o.dpi / 72 : 2.0, 8192 / std::max(w, h));
    l.cells = png ? cell_drawing::resampled : cells_for(g);
    s.raster_height = std::max<std::size_t>(
        1, static_cast<std::size_t>(std::lround(plot_height * s.raster_scale)));
    s.gathered = gather_rows(g.values, spread(s.rows, s.raster_height, true));
    s.range = s.gathered.range;

    if (s.range.finite) {
        std::tie(l.low, l.high) =
            colour_range(s, o, o.log && !o.vmin ? least_positive(g.values) : 1.0);
        s.below = s.range.min < l.low;
        s.above = s.range.max > l.high;
        // Isolines only where the data reach.
        const double from = std::max(l.low, static_cast<double>(s.range.min));
        const double to = std::min(l.high, static_cast<double>(s.range.max));
        if (o.contours > 0 && from < to) {
            for (const tick &t :
                 o.log ? log_ticks(from, to, o.contours) : round_ticks(from, to, o.contours)) {
                if (t.at > from && t.at < to) {
                    l.levels.push_back(t.at);
                }
            }
        }
    } else {
        const bool only_nan = !s.range.positive_infinity && !s.range.negative_infinity;
        s.note = only_nan ? "every cell is NaN" : "no finite values";
    }
    if (s.range.nan) {
        s.legend.push_back({s.map->nan, "NaN"});
    }
    if (s.range.positive_infinity) {
        s.legend.push_back({s.map->positive_infinity, "+\u221e"});
    }
    if (s.range.negative_infinity) {
        s.legend.push_back({s.map->negative_infinity, "\u2212\u221e"});
    }

    l.x_low = s.rows.low();
    l.x_high = s.rows.high();
    l.y_low = s.columns.low();
    l.y_high = s.columns.high();

    set_font(cr, f);
    const double line_half = 0.6 * f; // half a label's height, with room to breathe
    s.x_ticks = clear_ticks(
        ticks_for(plot_height, 2.5 * f),
        [&](int most) { return round_ticks(l.x_low, l.x_high, most); },
        [&](double at) { return (at - l.x_low) / (l.x_high - l.x_low) * plot_height; },
        [&](const tick &) { return line_half; }, 0.0);
    const double legend_height = 1.6 * f * static_cast<double>(s.legend.size());
    const double bar_width = f;
    double right = 0;
    if (s.range.finite) {
        const double ends = (s.below ? bar_width : 0) + (s.above ? bar_width : 0);
        const double bar_height = plot_height - legend_height - ends;
        s.bar_ticks = clear_ticks(
            ticks_for(bar_height, 2.5 * f),
            [&](int most) {
                return o.log ? log_ticks(l.low, l.high, most) : round_ticks(l.low, l.high, most);
            },
            [&](double at) { return scale_share(l, at) * bar_height; },
            [&](const tick &) { return line_half; }, 0.0);
        right = bar_width + s.tick_length + s.gap + widest(cr, s.bar_ticks);
        if (!o.bar_label.empty()) {
            right += s.gap + 1.4 * f;
        }
        l.bar = {0, top + (s.above ? bar_width : 0), bar_width, bar_height};
        for (const tick &t : s.bar_ticks) {
            l.bar_ticks.push_back(t.at);
        }
    } else {
        right = text_width(cr, s.note);
    }
    for (const legend_entry &e : s.legend) {
        right = std::max(right, 1.5 * f + text_width(cr, e.label));
    }
    double left = snap(pad + 1.2 * f + 0.5 * f + widest(cr, s.x_ticks) + s.gap + s.tick_length);
    double plot_width = snap(w - left - 1.5 * f - right - pad);
    if (plot_width < 2 * f || l.bar.height < (s.range.finite ? f : 0)) {
        throw too_small();
    }
    if (o.equal_aspect) {
        // A unit of x as long as a unit of y: the plot narrows, or is planned again lower, since
        // its height sets how its rows were gathered.
        const double height_per_width = (l.x_high - l.x_low) / (l.y_high - l.y_low);
        const double fitting = plot_width * height_per_width;
        if (fitting < plot_height - 0.5) {
            s.wanted_height = snap(fitting);
        } else {
            const double narrower = snap(plot_height / height_per_width);
            left += snap((plot_width - narrower) / 2);
            plot_width = narrower;
        }
        if (plot_width < 2 * f) {
            throw picture_options_error("--aspect equal leaves no room for the plot: the axes' "
                                        "ranges differ too much for this picture; use --aspect "
                                        "auto");
        }
    }
    l.plot = {left, top, plot_width, plot_height};
    l.bar.x = left + plot_width + 1.5 * f;
    s.raster_width = std::max<std::size_t>(
        1, static_cast<std::size_t>(std::lround(plot_width * s.raster_scale)));

    // Labels across need room for their width; fewer ticks until they have it.
    s.y_ticks = clear_ticks(
        ticks_for(plot_width, 4 * f),
        [&](int most) { return round_ticks(l.y_low, l.y_high, most); },
        [&](double at) { return (at - l.y_low) / (l.y_high - l.y_low) * plot_width; },
        [&](const tick &t) { return text_width(cr, t.label) / 2; }, f);

    // cairo draws UTF-8 only, and file names and labels need not be.
    s.x_label = fitted(cr, binmat::readable_utf8(o.x_label), plot_height);
    s.y_label = fitted(cr, binmat::readable_utf8(o.y_label), plot_width);
    s.bar_label = fitted(cr, binmat::readable_utf8(o.bar_label), plot_height);
    s.title = binmat::readable_utf8(o.title);
    set_font(cr, s.title_size, true);
    // A long title loses its beginning, where a path's directories are.
    const double room = w - 2 * pad;
    if (text_width(cr, s.title) > room) {
        std::string rest = s.title;
        do {
            std::size_t cut = 1; // a whole UTF-8 character
            while (cut < rest.size() && (static_cast<unsigned char>(rest[cut]) & 0xC0) == 0x80) {
                ++cut;
            }
            rest.erase(0, cut);
        } while (!rest.empty() && text_width(cr, "\u2026" + rest) > room);
        s.title = "\u2026" + rest;
    }
    return s;
}

void set_colour(cairo_t *cr, rgb c) {
    cairo_set_source_rgb(cr, c[0] / 255.0, c[1] / 255.0, c[2] / 255.0);
}

std::uint32_t pixel(rgb c) {
    return (std::uint32_t{c[0]} << 16) | (std::uint32_t{c[1]} << 8) | c[2];
}

// An RGB image for cairo; the uint32 pixels are 0x00RRGGBB in the machine's order. Its memory
// is a big buffer of the picture's own, freed with the image.
surface_ptr image(int width, int height) {
    const int stride = cairo_format_stride_for_width(CAIRO_FORMAT_RGB24, width);
    surface_ptr s;
    if (stride > 0 && height > 0) {
        auto *pixels = new big_vector<unsigned char>(static_cast<std::size_t>(stride) *
                                                     static_cast<std::size_t>(height));
        s.reset(cairo_image_surface_create_for_data(pixels->data(), CAIRO_FORMAT_RGB24, width,
                                                    height, stride));
        static cairo_user_data_key_t owner;
        if (cairo_surface_set_user_data(s.get(), &owner, pixels, [](void *p) {
                delete static_cast<big_vector<unsigned char> *>(p);
            }) != CAIRO_STATUS_SUCCESS) {
            s.reset();
            delete pixels;
        }
    }
    if (!s) {
        s.reset(cairo_image_surface_create(CAIRO_FORMAT_RGB24, width, height));
    }
    if (cairo_surface_status(s.get()) != CAIRO_STATUS_SUCCESS) {
        throw picture_error("cannot make a " + std::to_string(width) + " x " +
                            std::to_string(height) +
                            " image: " + cairo_status_to_string(cairo_surface_status(s.get())));
    }
    return s;
}

void put_pixels(cairo_surface_t *img, std::span<const std::uint32_t> pixels, int width) {
    cairo_surface_flush(img);
    unsigned char *data = cairo_image_surface_get_data(img);
    const auto stride = static_cast<std::size_t>(cairo_image_surface_get_stride(img));
    const auto w = static_cast<std::size_t>(width);
    for (std::size_t r = 0; r * w < pixels.size(); ++r) {
        std::memcpy(data + r * stride, pixels.data() + r * w, w * sizeof(std::uint32_t));
    }
    cairo_surface_mark_dirty(img);
}

// Paints an image over `b` without smoothing, so that cell edges and colour steps stay sharp.
void paint_image(cairo_t *cr, cairo_surface_t *img, const box &b) {
    cairo_save(cr);
    cairo_translate(cr, b.x, b.y);
    cairo_scale(cr, b.width / cairo_image_surface_get_width(img),
                b.height / cairo_image_surface_get_height(img));
    cairo_set_source_surface(cr, img, 0, 0);
    cairo_pattern_set_filter(cairo_get_source(cr), CAIRO_FILTER_NEAREST);
    cairo_rectangle(cr, 0, 0, cairo_image_surface_get_width(img),
                    cairo_image_surface_get_height(img));
    cairo_fill(cr);
    cairo_restore(cr);
}

double line_width(const scene &s, bool png) {
    const double lw = s.layout.font_size / 14;
    return png ? std::max(1.0, std::round(lw)) : lw;
}

// The colours of a scene's values.
class cell_colours {
  public:
    explicit cell_colours(const scene &s) : layout_(s.layout), map_(*s.map) {
        for (std::size_t i = 0; i < steps_.size(); ++i) {
            steps_[i] = pixel(map_.colour(static_cast<std::uint8_t>(i)));
        }
    }
    std::uint32_t operator()(float v) const {
        if (std::isnan(v)) {
            return pixel(map_.nan);
        }
        if (std::isinf(v)) {
            return pixel(v > 0 ? map_.positive_infinity : map_.negative_infinity);
        }
        return steps_[colour_map::step_of(scale_share(layout_, v))];
    }

  private:
    const picture_layout &layout_;
    const colour_map &map_;
    std::array<std::uint32_t, 256> steps_{};
};

// Each cell a rectangle at its edges, a row at a time with neighbours of one colour joined.
// Each reaches a little under the next one drawn, which covers it up to its own edge, so that
// viewers that smooth edges show no seams between cells.
void draw_cell_rectangles(cairo_t *cr, const surface &g, const scene &s,
                          const cell_colours &colour) {
    const picture_layout &l = s.layout;
    const box &p = l.plot;
    const auto down = [&](double x) {
        return p.y + (l.x_high - x) / (l.x_high - l.x_low) * p.height;
    };
    const auto across = [&](double y) {
        return p.x + (y - l.y_low) / (l.y_high - l.y_low) * p.width;
    };
    const double overlap = 0.05;
    cairo_save(cr);
    cairo_rectangle(cr, p.x, p.y, p.width, p.height);
    cairo_clip(cr);
    const std::size_t columns = s.columns.index.size();
    for (std::size_t r = 0; r < s.rows.index.size(); ++r) {
        const double bottom = down(s.rows.edges[r]);
        const double top = down(s.rows.edges[r + 1]) - overlap;
        const std::span<const float> values = g.values.row(s.rows.index[r]);
        for (std::size_t c = 0; c < columns;) {
            const std::uint32_t here = colour(values[s.columns.index[c]]);
            std::size_t end = c + 1;
            while (end < columns && colour(values[s.columns.index[end]]) == here) {
                ++end;
            }
            const double from = across(s.columns.edges[c]);
            const double to = across(s.columns.edges[end]) + overlap;
            cairo_rectangle(cr, from, top, to - from, bottom - top);
            cairo_set_source_rgb(cr, (here >> 16) / 255.0, ((here >> 8) & 0xFF) / 255.0,
                                 (here & 0xFF) / 255.0);
            cairo_fill(cr);
            c = end;
        }
    }
    cairo_restore(cr);
}

// An evenly spaced grid as an image of one pixel per cell, the highest row at the top.
void draw_cell_image(cairo_t *cr, const surface &g, const scene &s, const cell_colours &colour) {
    const std::size_t rows = s.rows.index.size();
    const std::size_t columns = s.columns.index.size();
    const surface_ptr img = image(static_cast<int>(columns), static_cast<int>(rows));
    cairo_surface_flush(img.get());
    unsigned char *data = cairo_image_surface_get_data(img.get());
    const auto stride = static_cast<std::size_t>(cairo_image_surface_get_stride(img.get()));
    for (std::size_t i = 0; i < rows; ++i) {
        const std::span<const float> values = g.values.row(s.rows.index[rows - 1 - i]);
        for (std::size_t j = 0; j < columns; ++j) {
            const std::uint32_t c = colour(values[s.columns.index[j]]);
            std::memcpy(data + i * stride + j * sizeof c, &c, sizeof c);
        }
    }
    cairo_surface_mark_dirty(img.get());
    paint_image(cr, img.get(), s.layout.plot);
}

// Draws the cells and returns the values of the resampled image's pixels, for the isolines.
big_vector<float> draw_cells(cairo_t *cr, const surface &g, const scene &s) {
    const auto width = static_cast<int>(s.raster_width);
    const auto height = static_cast<int>(s.raster_height);
    const pixel_weights across = spread(s.columns, s.raster_width, false);
    big_vector<float> values = resample(g.values, s.gathered, across);
    const cell_colours colour(s);
    if (s.layout.cells == cell_drawing::rectangles) {
        draw_cell_rectangles(cr, g, s, colour);
        return values;
    }
    if (s.layout.cells == cell_drawing::cell_image) {
        draw_cell_image(cr, g, s, colour);
        return values;
    }
    // Coloured straight into the image's own rows.
    const surface_ptr img = image(width, height);
    cairo_surface_flush(img.get());
    unsigned char *data = cairo_image_surface_get_data(img.get());
    const auto stride = static_cast<std::size_t>(cairo_image_surface_get_stride(img.get()));
    const auto w = static_cast<std::size_t>(width);
    for (std::size_t i = 0; i < values.size(); ++i) {
        const std::uint32_t c = colour(values[i]);
        std::memcpy(data + (i / w) * stride + (i % w) * sizeof c, &c, sizeof c);
    }
    cairo_surface_mark_dirty(img.get());
    paint_image(cr, img.get(), s.layout.plot);
    return values;
}

// Isolines over the plot, at the levels also marked across the colour bar. A grid with no more
// cells than the image has pixels is traced between the cells' own centres, so that its lines
// are smooth rather than stepped along cell edges; a larger one through the image's averages.
void draw_isolines(cairo_t *cr, const surface &g, const scene &s, const big_vector<float> &values,
                   bool png) {
    const picture_layout &l = s.layout;
    if (l.levels.empty()) {
        return;
    }
    const std::size_t width = s.raster_width;
    const std::size_t height = s.raster_height;
    const std::size_t rows = g.values.rows;
    const std::size_t columns = g.values.columns;
    cairo_save(cr);
    cairo_rectangle(cr, l.plot.x, l.plot.y, l.plot.width, l.plot.height);
    cairo_clip(cr);
    if (rows <= height && columns <= width) {
        std::vector<float> sorted(rows * columns);
        std::vector<double> x(rows);
        std::vector<double> y(columns);
        for (std::size_t r = 0; r < rows; ++r) {
            x[r] = g.row_coordinates[s.rows.index[r]];
            for (std::size_t c = 0; c < columns; ++c) {
                sorted[r * columns + c] = g.values(s.rows.index[r], s.columns.index[c]);
            }
        }
        for (std::size_t c = 0; c < columns; ++c) {
            y[c] = g.column_coordinates[s.columns.index[c]];
        }
        // From a place between cell centres, counted from 0.5 at the first, to the picture.
        const auto along = [](const std::vector<double> &at, double place) {
            const double u = std::max(0.0, place - 0.5);
            const auto k = std::min(static_cast<std::size_t>(u), at.size() - 1);
            return k + 1 < at.size() ? at[k] + (u - static_cast<double>(k)) * (at[k + 1] - at[k])
                                     : at[k];
        };
        for (const segment &piece : isolines(sorted, columns, rows, l.levels)) {
            const auto move = [&](double px, double py, bool start) {
                const double across = (along(y, px) - l.y_low) / (l.y_high - l.y_low);
                const double up = (along(x, py) - l.x_low) / (l.x_high - l.x_low);
                const double dx = l.plot.x + across * l.plot.width;
                const double dy = l.plot.y + (1 - up) * l.plot.height;
                start ? cairo_move_to(cr, dx, dy) : cairo_line_to(cr, dx, dy);
            };
            move(piece.x0, piece.y0, true);
            move(piece.x1, piece.y1, false);
        }
    } else {
        cairo_translate(cr, l.plot.x, l.plot.y);
        cairo_scale(cr, 1 / s.raster_scale, 1 / s.raster_scale);
        for (const segment &piece : isolines(values, width, height, l.levels)) {
            cairo_move_to(cr, piece.x0, piece.y0);
            cairo_line_to(cr, piece.x1, piece.y1);
        }
    }
    cairo_restore(cr);
    cairo_set_source_rgba(cr, 0, 0, 0, 0.75);
    cairo_set_line_width(cr, line_width(s, png));
    cairo_set_line_cap(cr, CAIRO_LINE_CAP_ROUND);
    cairo_stroke(cr);
    cairo_set_line_cap(cr, CAIRO_LINE_CAP_BUTT);
    const box &b = l.bar;
    for (const double level : l.levels) {
        const double at = b.y + (1 - scale_share(l, level)) * b.height;
        cairo_move_to(cr, b.x, at);
        cairo_line_to(cr, b.x + b.width, at);
    }
    cairo_stroke(cr);
}

// Text with its reference point placed by `ax` and `ay` as shares of its width and of the
// height of a digit: 0.5 and 0.5 centre it on (x, y).
void show_text(cairo_t *cr, const std::string &text, double x, double y, double ax, double ay) {
    cairo_text_extents_t e;
    cairo_text_extents(cr, text.c_str(), &e);
    cairo_text_extents_t digit;
    cairo_text_extents(cr, "0", &digit);
    cairo_move_to(cr, x - ax * e.x_advance, y - digit.y_bearing * ay);
    cairo_show_text(cr, text.c_str());
}

void draw_axes(cairo_t *cr, const scene &s, bool png) {
    const picture_layout &l = s.layout;
    const box &p = l.plot;
    const double lw = line_width(s, png);
    const double f = l.font_size;
    cairo_set_source_rgb(cr, 0, 0, 0);
    cairo_set_line_width(cr, lw);
    cairo_rectangle(cr, p.x - lw / 2, p.y - lw / 2, p.width + lw, p.height + lw);
    cairo_stroke(cr);
    // A tick's line on a pixel's centre when its width is odd, so that it stays one pixel wide.
    const auto crisp = [&](double v) {
        return png ? std::floor(v) + (static_cast<int>(lw) % 2 == 1 ? 0.5 : 0) : v;
    };
    set_font(cr, f);
    for (const tick &t : s.x_ticks) {
        const double y = crisp(p.y + (l.x_high - t.at) / (l.x_high - l.x_low) * p.height);
        cairo_move_to(cr, p.x - lw, y);
        cairo_line_to(cr, p.x - lw - s.tick_length, y);
        cairo_stroke(cr);
        show_text(cr, t.label, p.x - lw - s.tick_length - s.gap, y, 1, 0.5);
    }
    const double bottom = p.y + p.height + lw;
    for (const tick &t : s.y_ticks) {
        const double x = crisp(p.x + (t.at - l.y_low) / (l.y_high - l.y_low) * p.width);
        cairo_move_to(cr, x, bottom);
        cairo_line_to(cr, x, bottom + s.tick_length);
        cairo_stroke(cr);
        show_text(cr, t.label, x, bottom + s.tick_length + s.gap, 0.5, 1);
    }
    show_text(cr, s.y_label, p.x + p.width / 2, bottom + s.tick_length + s.gap + 1.7 * f, 0.5, 1);
    cairo_save(cr);
    cairo_translate(cr, p.x - lw - s.tick_length - s.gap - widest(cr, s.x_ticks) - 1.1 * f,
                    p.y + p.height / 2);
    cairo_rotate(cr, -M_PI / 2);
    show_text(cr, s.x_label, 0, 0, 0.5, 0.5);
    cairo_restore(cr);
}

void draw_bar(cairo_t *cr, const scene &s, bool png) {
    const picture_layout &l = s.layout;
    const double f = l.font_size;
    const double lw = line_width(s, png);
    double y = l.plot.y;
    if (s.range.finite) {
        const box &b = l.bar;
        const colour_map &m = *s.map;
        std::vector<std::uint32_t> steps(256);
        for (std::size_t i = 0; i < steps.size(); ++i) {
            steps[i] = pixel(m.at((255.5 - static_cast<double>(i)) / 256));
        }
        const surface_ptr img = image(1, 256);
        put_pixels(img.get(), steps, 1);
        paint_image(cr, img.get(), b);
        // Extended ends: a triangle in the end's colour for values beyond the range.
        const auto end = [&](double base, double apex, rgb c) {
            cairo_move_to(cr, b.x, base);
            cairo_line_to(cr, b.x + b.width / 2, apex);
            cairo_line_to(cr, b.x + b.width, base);
            cairo_close_path(cr);
            set_colour(cr, c);
            cairo_fill_preserve(cr);
            cairo_set_source_rgb(cr, 0, 0, 0);
            cairo_stroke(cr);
        };
        cairo_set_line_width(cr, lw);
        if (s.above) {
            end(b.y, b.y - b.width, m.at(1));
        }
        if (s.below) {
            end(b.y + b.height, b.y + b.height + b.width, m.at(0));
        }
        cairo_set_source_rgb(cr, 0, 0, 0);
        cairo_rectangle(cr, b.x - lw / 2, b.y - lw / 2, b.width + lw, b.height + lw);
        cairo_stroke(cr);
        set_font(cr, f);
        for (const tick &t : s.bar_ticks) {
            const double at = b.y + (1 - scale_share(l, t.at)) * b.height;
            cairo_move_to(cr, b.x + b.width, at);
            cairo_line_to(cr, b.x + b.width + s.tick_length, at);
            cairo_stroke(cr);
            show_text(cr, t.label, b.x + b.width + s.tick_length + s.gap, at, 0, 0.5);
        }
        if (!s.bar_label.empty()) {
            cairo_save(cr);
            cairo_translate(cr,
                            b.x + b.width + s.tick_length + s.gap + widest(cr, s.bar_ticks) +
                                s.gap + 0.7 * f,
                            l.plot.y + l.plot.height / 2);
            cairo_rotate(cr, -M_PI / 2);
            show_text(cr, s.bar_label, 0, 0, 0.5, 0.5);
            cairo_restore(cr);
        }
        y = b.y + b.height + (s.below ? b.width : 0) + 0.6 * f;
    } else {
        set_font(cr, f);
        cairo_set_source_rgb(cr, 0, 0, 0);
        show_text(cr, s.note, l.bar.x, y + 0.5 * f, 0, 0.5);
        y += 1.6 * f;
    }
    for (const legend_entry &e : s.legend) {
        cairo_rectangle(cr, l.bar.x, y, f, f);
        set_colour(cr, e.colour);
        cairo_fill_preserve(cr);
        cairo_set_source_rgb(cr, 0, 0, 0);
        cairo_set_line_width(cr, lw);
        cairo_stroke(cr);
        show_text(cr, e.label, l.bar.x + 1.5 * f, y + f / 2, 0, 0.5);
        y += 1.6 * f;
    }
}

void draw_title(cairo_t *cr, const scene &s, double width) {
    set_font(cr, s.title_size, true);
    cairo_set_source_rgb(cr, 0, 0, 0);
    // Just above the plot, wherever its aspect put it.
    const double above = 0.8 * s.title_size + 0.4 * s.layout.font_size;
    show_text(cr, s.title, width / 2, s.layout.plot.y - above, 0.5, 0.5);
}

// Where cairo's output goes, and the first failure writing it. cairo's SVG carries no word that
// an image must not be smoothed, so a style that says so follows the opening <svg> tag.
struct sink {
    FILE *out;
    int error = 0;
    bool svg_head = false; // the opening tag is still to come
    std::string head;

    void put(const char *data, std::size_t length) {
        if (error == 0 && std::fwrite(data, 1, length, out) != length) {
            error = errno != 0 ? errno : EIO;
        }
    }
};

constexpr std::string_view sharp_images = "\n<style type=\"text/css\">image { image-rendering: "
                                          "optimizeSpeed; image-rendering: pixelated; }</style>";

cairo_status_t write_to(void *closure, const unsigned char *data, unsigned int length) {
    auto *s = static_cast<sink *>(closure);
    const auto *text = reinterpret_cast<const char *>(data);
    if (!s->svg_head) {
        s->put(text, length);
    } else {
        s->head.append(text, length);
        const std::size_t tag = s->head.find("<svg");
        const std::size_t end = tag == std::string::npos ? tag : s->head.find('>', tag);
        if (end != std::string::npos || s->head.size() > (std::size_t{1} << 16)) {
            s->svg_head = false;
            const std::size_t at = end == std::string::npos ? 0 : end + 1;
            s->put(s->head.data(), at);
            if (end != std::string::npos) {
                s->put(sharp_images.data(), sharp_images.size());
            }
            s->put(s->head.data() + at, s->head.size() - at);
            s->head.clear();
        }
    }
    return s->error == 0 ? CAIRO_STATUS_SUCCESS : CAIRO_STATUS_WRITE_ERROR;
}

void check(cairo_status_t status, const sink &out) {
    if (out.error != 0) {
        throw std::system_error(out.error, std::generic_category(), "writing the picture");
    }
    if (status != CAIRO_STATUS_SUCCESS) {
        throw picture_error(std::string("cannot draw the picture: ") +
                            cairo_status_to_string(status));
    }
}

// The scene, with text measured on a surface of its own.
scene planned(const surface &g, const picture_options &o) {
    const surface_ptr measure = image(1, 1);
    const context_ptr cr(cairo_create(measure.get()));
    scene s = plan(g, o, cr.get(), std::nullopt);
    // Lower, the axis's labels may take less room and leave the plot wider: a few rounds settle.
    for (int round = 0; round < 3 && s.wanted_height; ++round) {
        s = plan(g, o, cr.get(), s.wanted_height);
    }
    return s;
}

} // namespace

picture_layout plan_picture(const surface &g, const picture_options &o) {
    return planned(g, o).layout;
}

void draw_picture(const surface &g, const picture_options &o, FILE *out) {
    sink written{out, 0, o.format == picture_format::svg, {}};
    surface_ptr surface;
    const scene s = planned(g, o);
    switch (o.format) {
    case picture_format::png:
        surface = image(o.width, o.height);
        break;
    case picture_format::svg:
        surface.reset(cairo_svg_surface_create_for_stream(write_to, &written, o.width, o.height));
        break;
    case picture_format::pdf:
        surface.reset(cairo_pdf_surface_create_for_stream(write_to, &written, o.width, o.height));
        break;
    }
    check(cairo_surface_status(surface.get()), written);
    const bool png = o.format == picture_format::png;
    {
        const context_ptr cr(cairo_create(surface.get()));
        cairo_set_source_rgb(cr.get(), 1, 1, 1);
        cairo_paint(cr.get());
        const big_vector<float> values = draw_cells(cr.get(), g, s);
        draw_axes(cr.get(), s, png);
        draw_bar(cr.get(), s, png);
        draw_isolines(cr.get(), g, s, values, png);
        draw_title(cr.get(), s, o.width);
        check(cairo_status(cr.get()), written);
    }
    if (png) {
        write_png(surface.get(), out, o.dpi);
    } else {
        cairo_surface_finish(surface.get());
        check(cairo_surface_status(surface.get()), written);
    }
}

void release_drawing_caches() {
    fonts.release_faces();
    cairo_debug_reset_static_data();
    fonts.release_library();
    FcFini();
}

} // namespace plot
