#include "render_png.h"

#include <png.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <limits>
#include <vector>

namespace cli {

namespace {

constexpr double infinity = std::numeric_limits<double>::infinity();

using Rgb = std::array<std::uint8_t, 3>;

// A perceptually uniform map from dark blue through green to yellow: a polynomial fit of the
// viridis colour map (public domain).
Rgb colour_of(double t) {
    t = std::clamp(t, 0.0, 1.0);
    static constexpr double c[7][3] = {
        {0.2777273272234177, 0.005407344544966578, 0.3340998053353061},
        {0.1050930431085774, 1.404613529898575, 1.384590162594685},
        {-0.3308618287255563, 0.214847559468213, 0.09509516302823659},
        {-4.634230498983486, -5.799100973351585, -19.33244095627987},
        {6.228269936347081, 14.17993336680509, 56.69055260068105},
        {4.776384997670288, -13.74514537774601, -65.35303263337234},
        {-5.435455855934631, 4.645852612178535, 26.3124352495832},
    };
    Rgb rgb{};
    for (int k = 0; k < 3; ++k) {
        double v = c[6][k];
        for (int p = 5; p >= 0; --p) {
            v = v * t + c[p][k];
        }
        rgb[static_cast<std::size_t>(k)] =
            static_cast<std::uint8_t>(std::lround(std::clamp(v, 0.0, 1.0) * 255.0));
    }
    return rgb;
}

constexpr Rgb background{255, 255, 255};
constexpr Rgb ink{0, 0, 0};
constexpr Rgb missing{128, 128, 128}; // NaN cells

// Where each pixel along one axis falls among the cells of that axis. Cells are placed by their
// coordinates, each spanning halfway to its neighbours, so uneven spacing shows; coordinates
// that are not strictly monotonic fall back to even spacing by index.
std::vector<int> cells_along(const float *titles, int n, int pixels, bool upward) {
    std::vector<double> coord(static_cast<std::size_t>(n));
    for (int i = 0; i < n; ++i) {
        coord[static_cast<std::size_t>(i)] = titles[i];
    }
    bool increasing = true;
    bool decreasing = true;
    for (std::size_t i = 0; i + 1 < coord.size(); ++i) {
        increasing = increasing && coord[i] < coord[i + 1];
        decreasing = decreasing && coord[i] > coord[i + 1];
    }
    const bool finite =
        std::all_of(coord.begin(), coord.end(), [](double v) { return std::isfinite(v); });
    if (n == 1 || !finite || (!increasing && !decreasing)) {
        for (int i = 0; i < n; ++i) {
            coord[static_cast<std::size_t>(i)] = i;
        }
        decreasing = false;
    }
    if (decreasing) {
        std::reverse(coord.begin(), coord.end());
    }
    // Edges between cells, and half a step beyond each end.
    std::vector<double> edge(coord.size() + 1);
    for (std::size_t i = 1; i < coord.size(); ++i) {
        edge[i] = (coord[i - 1] + coord[i]) / 2;
    }
    edge.front() = n == 1 ? coord.front() - 0.5 : coord.front() - (edge[1] - coord.front());
    edge.back() =
        n == 1 ? coord.back() + 0.5 : coord.back() + (coord.back() - edge[edge.size() - 2]);
    std::vector<int> cell(static_cast<std::size_t>(pixels));
    for (int p = 0; p < pixels; ++p) {
        const double f = (p + 0.5) / pixels;
        const double at = edge.front() + (upward ? 1 - f : f) * (edge.back() - edge.front());
        const auto it = std::upper_bound(edge.begin() + 1, edge.end() - 1, at);
        int k = static_cast<int>(it - (edge.begin() + 1));
        if (decreasing) {
            k = n - 1 - k;
        }
        cell[static_cast<std::size_t>(p)] = k;
    }
    return cell;
}

// A 5 x 7 pixel font for the colour bar's labels.
const std::uint8_t *glyph(char c) {
    static constexpr std::uint8_t digits[10][7] = {
        {14, 17, 19, 21, 25, 17, 14}, {4, 12, 4, 4, 4, 4, 14},  {14, 17, 1, 2, 4, 8, 31},
        {31, 2, 4, 2, 1, 17, 14},     {2, 6, 10, 18, 31, 2, 2}, {31, 16, 30, 1, 1, 17, 14},
        {6, 8, 16, 30, 17, 17, 14},   {31, 1, 2, 4, 8, 8, 8},   {14, 17, 17, 14, 17, 17, 14},
        {14, 17, 17, 15, 1, 2, 12},
    };
    static constexpr std::uint8_t minus[7] = {0, 0, 0, 31, 0, 0, 0};
    static constexpr std::uint8_t plus[7] = {0, 4, 4, 31, 4, 4, 0};
    static constexpr std::uint8_t dot[7] = {0, 0, 0, 0, 0, 12, 12};
    static constexpr std::uint8_t e[7] = {0, 0, 14, 17, 31, 16, 14};
    static constexpr std::uint8_t blank[7] = {};
    if (c >= '0' && c <= '9') {
        return digits[c - '0'];
    }
    switch (c) {
    case '-':
        return minus;
    case '+':
        return plus;
    case '.':
        return dot;
    case 'e':
        return e;
    default:
        return blank;
    }
}

class Canvas {
  public:
    Canvas(int width, int height)
        : width_(width),
          pixels_(static_cast<std::size_t>(width) * static_cast<std::size_t>(height), background) {}
    void set(int x, int y, Rgb c) { pixels_[index(x, y)] = c; }
    void text(int x, int y, const char *s) {
        for (; *s != '\0'; ++s, x += 6) {
            const std::uint8_t *g = glyph(*s);
            for (int r = 0; r < 7; ++r) {
                for (int b = 0; b < 5; ++b) {
                    if ((g[r] >> (4 - b) & 1) != 0 && inside(x + b, y + r)) {
                        set(x + b, y + r, ink);
                    }
                }
            }
        }
    }
    const Rgb *row(int y) const { return &pixels_[index(0, y)]; }

  private:
    bool inside(int x, int y) const {
        return x >= 0 && y >= 0 && x < width_ &&
               static_cast<std::size_t>(y) * static_cast<std::size_t>(width_) < pixels_.size();
    }
    std::size_t index(int x, int y) const {
        return static_cast<std::size_t>(y) * static_cast<std::size_t>(width_) +
               static_cast<std::size_t>(x);
    }
    int width_;
    std::vector<Rgb> pixels_;
};

struct Range {
    double low = 0;
    double high = 0;
};

Range value_range(const binmat::grid &g) {
    Range r{infinity, -infinity};
    for (std::size_t i = 0; i < g.rows(); ++i) {
        for (std::size_t j = 0; j < g.columns(); ++j) {
            const double v = g(i, j);
            if (std::isfinite(v)) {
                r.low = std::min(r.low, v);
                r.high = std::max(r.high, v);
            }
        }
    }
    if (r.low > r.high) {
        r = {0, 0};
    }
    return r;
}

// Fraction of the way from the low to the high end of the range; infinities pin to the ends.
double scaled(double v, Range r) {
    if (v == infinity) {
        return 1;
    }
    if (v == -infinity) {
        return 0;
    }
    return r.high > r.low ? (v - r.low) / (r.high - r.low) : 0.5;
}

bool encode(const Canvas &canvas, int width, int height, FILE *out, std::string &error) {
    png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
    png_infop info = png == nullptr ? nullptr : png_create_info_struct(png);
    if (info == nullptr) {
        png_destroy_write_struct(&png, nullptr);
        error = "cannot start the PNG encoder";
        return false;
    }
    // libpng reports failure by longjmp; nothing with a destructor lives between here and there.
    if (setjmp(png_jmpbuf(png)) != 0) { // NOLINT(cert-err52-cpp)
        png_destroy_write_struct(&png, &info);
        error = "cannot encode the PNG image";
        return false;
    }
    png_init_io(png, out);
    png_set_IHDR(png, info, static_cast<png_uint_32>(width), static_cast<png_uint_32>(height), 8,
                 PNG_COLOR_TYPE_RGB, PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_DEFAULT,
                 PNG_FILTER_TYPE_DEFAULT);
    png_write_info(png, info);
    for (int y = 0; y < height; ++y) {
        // libpng takes a non-const row pointer but only reads from it.
        png_write_row(png, const_cast<png_bytep>(canvas.row(y)->data()));
    }
    png_write_end(png, nullptr);
    png_destroy_write_struct(&png, &info);
    return true;
}

} // namespace

bool render_png(const binmat::grid &g, RenderSize size, FILE *out, std::string &error) {
    constexpr int margin = 10;
    constexpr int bar_width = 20;
    constexpr int label_room = 6 * 15;
    const int plot_width = size.width - 2 * margin - bar_width - margin - label_room;
    const int plot_height = size.height - 2 * margin;
    Canvas canvas(size.width, size.height);

    // Rows run up the image by their coordinate, columns across it.
    const std::vector<int> column_at =
        cells_along(g.column_coordinates.data(), static_cast<int>(g.columns()), plot_width, false);
    const std::vector<int> row_at =
        cells_along(g.row_coordinates.data(), static_cast<int>(g.rows()), plot_height, true);
    const Range range = value_range(g);
    for (int y = 0; y < plot_height; ++y) {
        const float *values =
            g.row(static_cast<std::size_t>(row_at[static_cast<std::size_t>(y)])).data();
        for (int x = 0; x < plot_width; ++x) {
            const float v = values[column_at[static_cast<std::size_t>(x)]];
            canvas.set(margin + x, margin + y,
                       std::isnan(v) ? missing : colour_of(scaled(v, range)));
        }
    }

    const int bar_left = margin + plot_width + margin;
    for (int y = 0; y < plot_height; ++y) {
        const Rgb c = colour_of(1.0 - (y + 0.5) / plot_height);
        for (int x = 0; x < bar_width; ++x) {
            canvas.set(bar_left + x, margin + y, c);
        }
    }
    char label[32];
    std::snprintf(label, sizeof label, "%.6g", range.high);
    canvas.text(bar_left + bar_width + 4, margin, label);
    std::snprintf(label, sizeof label, "%.6g", range.low);
    canvas.text(bar_left + bar_width + 4, margin + plot_height - 7, label);

    return encode(canvas, size.width, size.height, out, error);
}

} // namespace cli
