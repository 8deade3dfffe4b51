// binmat render as a user runs it: the pictures are read back with libraries made for each format
// and checked for what they must show, not against stored images.
#include "colour_map.h"
#include "contours.h"
#include "picture.h"
#include "resample.h"
#include "support/bytes.h"
#include "support/process.h"
#include "ticks.h"

#include <binmat/binmat.h>

#include <gtest/gtest.h>
#include <libxml/parser.h>
#include <libxml/tree.h>
#include <png.h>
#include <poppler-document.h>
#include <poppler-page.h>

#include <array>
#include <cmath>
#include <filesystem>
#include <limits>
#include <memory>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;
using process::Outcome;

constexpr float nan = std::numeric_limits<float>::quiet_NaN();
constexpr float inf = std::numeric_limits<float>::infinity();

struct Image {
    int width = 0;
    int height = 0;
    std::vector<png_byte> rgb;
    plot::rgb at(double x, double y) const {
        const auto i = 3 * (static_cast<std::size_t>(y) * static_cast<std::size_t>(width) +
                            static_cast<std::size_t>(x));
        return {rgb[i], rgb[i + 1], rgb[i + 2]};
    }
};

Image read_png(const fs::path &p) {
    png_image image{};
    image.version = PNG_IMAGE_VERSION;
    Image out;
    if (png_image_begin_read_from_file(&image, p.c_str()) == 0) {
        return out;
    }
    image.format = PNG_FORMAT_RGB;
    out.rgb.resize(PNG_IMAGE_SIZE(image));
    if (png_image_finish_read(&image, nullptr, out.rgb.data(), 0, nullptr) == 0) {
        return {};
    }
    out.width = static_cast<int>(image.width);
    out.height = static_cast<int>(image.height);
    return out;
}

// The text of a PDF's first page and its size in points, as poppler reads them.
struct Page {
    std::string text;
    double width = 0;
    double height = 0;
};

Page read_pdf(const fs::path &p) {
    const std::unique_ptr<poppler::document> doc(poppler::document::load_from_file(p.string()));
    if (!doc || doc->pages() != 1) {
        return {};
    }
    const std::unique_ptr<poppler::page> page(doc->create_page(0));
    const poppler::byte_array utf8 = page->text().to_utf8();
    const poppler::rectf box = page->page_rect();
    return {std::string(utf8.begin(), utf8.end()), box.width(), box.height()};
}

int distance(plot::rgb a, plot::rgb b) {
    int sum = 0;
    for (std::size_t k = 0; k < 3; ++k) {
        const int d = a[k] - b[k];
        sum += d * d;
    }
    return static_cast<int>(std::lround(std::sqrt(sum)));
}

class render : public testing::Test {
  protected:
    static void SetUpTestSuite() {
        dir = process::fresh_directory();
        ASSERT_FALSE(dir.empty());
        ASSERT_EQ(process::shell(dir, "'" BF_TEST_EXE "'").status, 0);
    }
    static void TearDownTestSuite() {
        fs::remove_all(dir);
        plot::release_drawing_caches();
    }

    static Outcome run(const std::string &args) {
        return process::shell(dir, "'" BINMAT_EXE "' render " + args);
    }

    // Writes a grid of `rows` x `columns` values in row order under `name`.
    static binmat::grid write(const std::string &name, std::vector<float> rows,
                              std::vector<float> columns, std::vector<float> values) {
        binmat::grid g{std::move(rows), std::move(columns), std::move(values)};
        binmat::write_file(dir / name, g);
        return g;
    }

    // The pixel at the centre of the cell at coordinates (x, y) in a PNG drawn with `o`.
    static plot::rgb cell(const Image &img, const plot::picture_layout &l, double x, double y) {
        const double across = (y - l.y_low) / (l.y_high - l.y_low);
        const double up = (x - l.x_low) / (l.x_high - l.x_low);
        return img.at(l.plot.x + across * l.plot.width, l.plot.y + (1 - up) * l.plot.height);
    }

    static fs::path dir;
};

fs::path render::dir;

TEST_F(render, writes_each_format_at_the_size_asked_for) {
    ASSERT_EQ(run("binary3 -o b3.png --width 500 --height 350").status, 0);
    const Image png = read_png(dir / "b3.png");
    EXPECT_EQ(png.width, 500);
    EXPECT_EQ(png.height, 350);

    ASSERT_EQ(run("binary3 -o b3.svg --width 500 --height 350").status, 0);
    xmlDocPtr svg =
        xmlReadFile((dir / "b3.svg").c_str(), nullptr, XML_PARSE_NONET | XML_PARSE_HUGE);
    ASSERT_NE(svg, nullptr) << "well-formed XML";
    const xmlNode *root = xmlDocGetRootElement(svg);
    EXPECT_STREQ(reinterpret_cast<const char *>(root->name), "svg");
    const auto attribute = [root](const char *name) {
        xmlChar *v = xmlGetProp(root, reinterpret_cast<const xmlChar *>(name));
        std::string s = v == nullptr ? "" : reinterpret_cast<const char *>(v);
        xmlFree(v);
        return s;
    };
    EXPECT_EQ(attribute("width"), "500pt");
    EXPECT_EQ(attribute("height"), "350pt");
    xmlFreeDoc(svg);

    ASSERT_EQ(run("binary3 -o b3.pdf --width 500 --height 350 --title 'Surface 3'").status, 0);
    const Page pdf = read_pdf(dir / "b3.pdf");
    EXPECT_DOUBLE_EQ(pdf.width, 500);
    EXPECT_DOUBLE_EQ(pdf.height, 350);
    for (const char *text :
         {"Surface 3", "x (rows)", "y (columns)", "\u22122", "0", "4", "6", "1.0", "0.5"}) {
        EXPECT_NE(pdf.text.find(text), std::string::npos) << text << " in " << pdf.text;
    }

    ASSERT_EQ(
        process::shell(dir, "'" BINMAT_EXE "' render binary1 --format svg -o - > out.svg").status,
        0);
    EXPECT_GT(fs::file_size(dir / "out.svg"), 0U) << "standard output, with the format given";
    ASSERT_EQ(run("binary1 -o b1.pdf").status, 0);
    EXPECT_NE(read_pdf(dir / "b1.pdf").text.find("binary1"), std::string::npos)
        << "the file name is the title by default";
    fs::copy_file(dir / "binary1", dir / "odd\xffname");
    ASSERT_EQ(run("'odd\xffname' -o odd.pdf").status, 0) << "a name that is not UTF-8";
    EXPECT_NE(read_pdf(dir / "odd.pdf").text.find("odd\ufffdname"), std::string::npos);
}

TEST_F(render, text_scales_with_the_picture_and_stays_legible_when_small) {
    for (const char *size : {"--width 320 --height 240", "--width 3200 --height 2400"}) {
        ASSERT_EQ(run(std::string("binary2 -o sized.pdf ") + size).status, 0) << size;
        const Page pdf = read_pdf(dir / "sized.pdf");
        EXPECT_NE(pdf.text.find("x (rows)"), std::string::npos) << size;
    }
    const binmat::grid g = binmat::read_file(dir / "binary2");
    plot::picture_options o;
    o.width = 320;
    o.height = 240;
    const plot::picture_layout small = plot::plan_picture(g, o);
    o.width = 3200;
    o.height = 2400;
    const plot::picture_layout large = plot::plan_picture(g, o);
    EXPECT_GE(small.font_size, 8);
    EXPECT_NEAR(large.font_size / small.font_size, 7.5, 0.5);
    EXPECT_GT(small.plot.width, 320 / 2);
    EXPECT_GT(small.plot.height, 240 / 2);
}

TEST_F(render, colours_cells_with_the_maps_colour_for_their_value) {
    const binmat::grid g = binmat::read_file(dir / "binary1");
    for (const char *map : {"viridis", "magma", "gray"}) {
        ASSERT_EQ(
            run(std::string("binary1 -o b1.png --width 640 --height 480 --cmap ") + map).status, 0);
        const Image img = read_png(dir / "b1.png");
        plot::picture_options o;
        o.map = plot::find_colour_map(map);
        const plot::picture_layout l = plot::plan_picture(g, o);
        const float low = *std::min_element(g.values.begin(), g.values.end());
        const float high = *std::max_element(g.values.begin(), g.values.end());
        EXPECT_EQ(l.low, low);
        EXPECT_EQ(l.high, high);
        for (const auto &[r, c] : std::vector<std::array<std::size_t, 2>>{
                 {0, 0}, {15, 10}, {10, 20}, {30, 3}, {25, 15}}) {
            const plot::rgb want = o.map->at((g(r, c) - l.low) / (l.high - l.low));
            EXPECT_EQ(cell(img, l, g.row_coordinates[r], g.column_coordinates[c]), want)
                << map << " at row " << r << ", column " << c;
        }
    }
}

TEST_F(render, fixed_limits_clamp_values_to_the_ends_of_the_bar) {
    const binmat::grid g = binmat::read_file(dir / "binary1");
    ASSERT_EQ(run("binary1 -o limited.png --vmin 0.25 --vmax 0.5").status, 0);
    const Image img = read_png(dir / "limited.png");
    plot::picture_options o;
    o.vmin = 0.25;
    o.vmax = 0.5;
    const plot::picture_layout l = plot::plan_picture(g, o);
    const plot::colour_map &viridis = *plot::find_colour_map("viridis");
    EXPECT_EQ(cell(img, l, g.row_coordinates[15], g.column_coordinates[10]), viridis.at(1))
        << "the peak, above --vmax";
    EXPECT_EQ(cell(img, l, g.row_coordinates[0], g.column_coordinates[0]), viridis.at(0));
    // Both ends extended: the bar is shorter than the plot by a triangle at each end.
    EXPECT_NEAR(l.bar.height, l.plot.height - 2 * l.bar.width, 1e-9);
}

TEST_F(render, a_diverging_map_is_centred_on_zero_when_data_take_both_signs) {
    const binmat::grid g = write("signs", {0, 1}, {0, 1, 2}, {-1, 0, 4, 1, 2, 3});
    plot::picture_options o;
    o.map = plot::find_colour_map("coolwarm");
    const plot::picture_layout l = plot::plan_picture(g, o);
    EXPECT_EQ(l.low, -4);
    EXPECT_EQ(l.high, 4);
    ASSERT_EQ(run("signs -o signs.png --cmap coolwarm").status, 0);
    const Image img = read_png(dir / "signs.png");
    EXPECT_EQ(cell(img, l, 0, 1), o.map->at(0.5)) << "zero at the middle";
}

TEST_F(render, nan_and_infinities_have_colours_of_their_own) {
    const std::vector<float> values = {nan, 1, 2, 3, inf, 5, -inf, 7, 8};
    const binmat::grid g = write("special", {0, 1, 2}, {0, 1, 2}, values);
    for (const char *map : {"viridis", "cividis", "coolwarm"}) {
        ASSERT_EQ(run(std::string("special -o special.png --cmap ") + map).status, 0);
        const Image img = read_png(dir / "special.png");
        plot::picture_options o;
        o.map = plot::find_colour_map(map);
        const plot::picture_layout l = plot::plan_picture(g, o);
        EXPECT_EQ(cell(img, l, 0, 0), o.map->nan) << map;
        EXPECT_EQ(cell(img, l, 1, 1), o.map->positive_infinity) << map;
        EXPECT_EQ(cell(img, l, 2, 0), o.map->negative_infinity) << map;
    }
    ASSERT_EQ(run("special -o special.pdf").status, 0);
    const std::string legend = read_pdf(dir / "special.pdf").text;
    for (const char *entry : {"NaN", "+\u221e", "\u2212\u221e"}) {
        EXPECT_NE(legend.find(entry), std::string::npos) << entry;
    }

    write("nan", {0, 1}, {0, 1}, {nan, nan, nan, nan});
    ASSERT_EQ(run("nan -o nan.pdf").status, 0);
    const std::string all_nan = read_pdf(dir / "nan.pdf").text;
    EXPECT_NE(all_nan.find("every cell is NaN"), std::string::npos) << all_nan;
    EXPECT_EQ(all_nan.find("\u221e"), std::string::npos) << "only what occurs is in the legend";
    ASSERT_EQ(run("binary1 -o plain.pdf").status, 0);
    EXPECT_EQ(read_pdf(dir / "plain.pdf").text.find("NaN"), std::string::npos);
}

TEST(colour_maps, keep_their_special_colours_far_from_every_colour_of_the_map) {
    for (const std::string &name : plot::colour_map_names()) {
        const plot::colour_map &m = *plot::find_colour_map(name);
        const std::array<plot::rgb, 3> special = {m.nan, m.positive_infinity, m.negative_infinity};
        for (std::size_t a = 0; a < special.size(); ++a) {
            for (int step = 0; step < 256; ++step) {
                EXPECT_GE(distance(special[a], m.at((step + 0.5) / 256)), 80) << name << " " << a;
            }
            for (std::size_t b = a + 1; b < special.size(); ++b) {
                EXPECT_GE(distance(special[a], special[b]), 80) << name;
            }
        }
    }
}

TEST_F(render, many_cells_in_a_pixel_show_their_average) {
    // A checkerboard of 0 and 1, far finer than the pixels: sampling would show 0s and 1s.
    const std::size_t n = 1024;
    std::vector<float> values(n * n);
    std::vector<float> coordinates(n);
    for (std::size_t i = 0; i < n; ++i) {
        coordinates[i] = static_cast<float>(i);
        for (std::size_t j = 0; j < n; ++j) {
            values[i * n + j] = static_cast<float>((i + j) % 2);
        }
    }
    const binmat::grid g = write("checks", coordinates, coordinates, values);
    ASSERT_EQ(run("checks -o checks.png --cmap gray --width 400 --height 300").status, 0);
    const Image img = read_png(dir / "checks.png");
    plot::picture_options o;
    o.width = 400;
    o.height = 300;
    const plot::picture_layout l = plot::plan_picture(g, o);
    for (int x = 1; x < static_cast<int>(l.plot.width) - 1; x += 7) {
        for (int y = 1; y < static_cast<int>(l.plot.height) - 1; y += 5) {
            const plot::rgb c = img.at(l.plot.x + x, l.plot.y + y);
            EXPECT_NEAR(c[0], 128, 6) << "at " << x << ", " << y;
        }
    }
}

TEST_F(render, places_cells_by_their_coordinates) {
    // binary3's coordinates, with each row a shade of its own: its rows at positive coordinates
    // are twice as far apart, so the top row is drawn twice as tall as the bottom one.
    binmat::grid g = binmat::read_file(dir / "binary3");
    for (std::size_t r = 0; r < g.rows(); ++r) {
        for (float &v : g.row(r)) {
            v = static_cast<float>(r);
        }
    }
    binmat::write_file(dir / "shades", g);
    ASSERT_EQ(run("shades -o shades.png --cmap gray --width 640 --height 1000").status, 0);
    const Image img = read_png(dir / "shades.png");
    plot::picture_options o;
    o.height = 1000;
    const plot::picture_layout l = plot::plan_picture(g, o);
    const auto tall = [&](plot::rgb shade) {
        int n = 0;
        for (int y = 0; y < static_cast<int>(l.plot.height); ++y) {
            n += img.at(l.plot.x + l.plot.width / 2, l.plot.y + y) == shade ? 1 : 0;
        }
        return n;
    };
    const plot::colour_map &gray = *plot::find_colour_map("gray");
    const int top = tall(gray.at(1));
    const int bottom = tall(gray.at(0));
    EXPECT_GT(bottom, 0);
    EXPECT_NEAR(top, 2 * bottom, 2);

    // Rows out of order are drawn in coordinate order; a repeated coordinate has no place.
    write("shuffled", {2, 0, 1}, {0, 1}, {2, 2, 0, 0, 1, 1});
    ASSERT_EQ(run("shuffled -o shuffled.png --cmap gray").status, 0);
    const Image shuffled = read_png(dir / "shuffled.png");
    const plot::picture_layout s = plot::plan_picture(binmat::read_file(dir / "shuffled"), {});
    for (float x : {0.0F, 1.0F, 2.0F}) {
        EXPECT_EQ(cell(shuffled, s, x, 0), gray.at(x / 2)) << x;
    }
    write("repeated", {0, 1}, {0, 3, 3}, {0, 1, 2, 3, 4, 5});
    const Outcome repeated = run("repeated -o repeated.png");
    EXPECT_EQ(repeated.status, 1);
    EXPECT_EQ(repeated.err, "binmat: repeated: cannot place the cells along y (the columns): "
                            "coordinates 1 and 2 are both 3\n");
    EXPECT_FALSE(fs::exists(dir / "repeated.png"));
}

TEST_F(render, refuses_bad_options_as_usage_errors) {
    for (const char *args :
         {"binary1 -o x.png --vmin 2 --vmax 1", "binary1 -o x.png --vmin 1 --vmax 1",
          "binary1 -o x.png --vmin nan", "binary1 -o x.png --cmap jet",
          "binary1 -o x.png --width 0", "binary1 -o x.png --height 0", "binary1 -o x.jpg",
          "binary1 -o - ", "binary1 -o x.png --format gif"}) {
        const Outcome o = run(args);
        EXPECT_EQ(o.status, 2) << args;
        EXPECT_NE(o.err, "") << args;
    }
    EXPECT_FALSE(fs::exists(dir / "x.png"));
    EXPECT_FALSE(fs::exists(dir / "x.jpg"));
}

} // namespace

namespace {

std::vector<std::string> labels(double low, double high, int most) {
    std::vector<std::string> out;
    for (const plot::tick &t : plot::round_ticks(low, high, most)) {
        out.push_back(t.label);
    }
    return out;
}

TEST(round_ticks, fall_on_round_numbers_with_the_decimals_their_step_needs) {
    using v = std::vector<std::string>;
    EXPECT_EQ(labels(-3.1, 6.2, 10),
              (v{"\u22123", "\u22122", "\u22121", "0", "1", "2", "3", "4", "5", "6"}));
    EXPECT_EQ(labels(0, 1, 4), (v{"0.0", "0.5", "1.0"}));
    EXPECT_EQ(labels(0.1, 0.35, 5), (v{"0.10", "0.15", "0.20", "0.25", "0.30", "0.35"}));
    EXPECT_EQ(labels(1e7, 5e7, 4), (v{"1e+07", "2e+07", "3e+07", "4e+07", "5e+07"}));
    EXPECT_EQ(labels(-1e-7, 1e-7, 2), (v{"\u22121e-07", "0", "1e-07"}));
    EXPECT_EQ(labels(-3e38, 3e38, 3), (v{"\u22122e+38", "0", "2e+38"}));
    EXPECT_TRUE(labels(1, 1, 5).empty());
    EXPECT_TRUE(labels(0, std::numeric_limits<double>::infinity(), 5).empty());
}

TEST(log_ticks, mark_powers_of_ten_or_their_multiples_when_few) {
    using v = std::vector<std::string>;
    const auto log_labels = [](double low, double high, int most) {
        v out;
        for (const plot::tick &t : plot::log_ticks(low, high, most)) {
            out.push_back(t.label);
        }
        return out;
    };
    EXPECT_EQ(log_labels(0.01, 1000, 10), (v{"0.01", "0.1", "1", "10", "100", "1000"}));
    EXPECT_EQ(log_labels(1e-9, 1e9, 5), (v{"1e-09", "1e-05", "0.1", "1000", "1e+07"}));
    EXPECT_EQ(log_labels(0.003, 0.09, 10), (v{"0.005", "0.01", "0.02", "0.05"}));
    EXPECT_EQ(log_labels(3, 4, 5), labels(3, 4, 5)) << "no round multiple: round ticks";
    EXPECT_TRUE(log_labels(0, 10, 5).empty());
    EXPECT_TRUE(log_labels(-1, 10, 5).empty());
}

} // namespace

namespace {

// The values a picture of `rows` x `columns` pixels shows of a grid placed at its indices.
std::vector<float> pixels_of(const std::vector<float> &values, std::size_t columns,
                             std::size_t rows, std::size_t picture_rows,
                             std::size_t picture_columns) {
    std::vector<float> row_at(rows);
    std::vector<float> column_at(columns);
    for (std::size_t i = 0; i < rows; ++i) {
        row_at[i] = static_cast<float>(i);
    }
    for (std::size_t j = 0; j < columns; ++j) {
        column_at[j] = static_cast<float>(j);
    }
    const plot::pixel_weights down =
        plot::spread(plot::place_cells(row_at, "x"), picture_rows, false);
    const plot::pixel_weights across =
        plot::spread(plot::place_cells(column_at, "y"), picture_columns, false);
    const plot::big_vector<float> p =
        plot::resample(values, plot::gather_rows(values, columns, down), across);
    return {p.begin(), p.end()};
}

TEST(resample, averages_what_is_known_and_lets_infinities_show) {
    // Four blocks of 2 x 2 cells, one pixel each.
    const std::vector<float> values = {
        1,   3,   nan, nan,  //
        nan, nan, nan, nan,  //
        inf, 1,   inf, -inf, //
        1,   1,   1,   -inf,
    };
    const std::vector<float> p = pixels_of(values, 4, 4, 2, 2);
    ASSERT_EQ(p.size(), 4U);
    EXPECT_EQ(p[0], 2) << "NaN cells left out of the average";
    EXPECT_TRUE(std::isnan(p[1])) << "nothing but NaN";
    EXPECT_EQ(p[2], inf) << "an infinity outweighs every number";
    EXPECT_EQ(p[3], -inf) << "the infinity that covers more";

    const std::vector<float> tie = pixels_of({inf, -inf, 1, 1}, 2, 2, 1, 1);
    EXPECT_TRUE(std::isnan(tie[0])) << "opposite infinities in equal shares";
    const float big = std::numeric_limits<float>::max();
    EXPECT_EQ(pixels_of({big, big, big, big}, 2, 2, 1, 1)[0], big)
        << "an average at the float limit stays finite";
}

TEST(resample, finds_the_range_in_the_pass_that_gathers_rows) {
    std::vector<float> values(std::size_t{64} * 8);
    for (std::size_t i = 0; i < values.size(); ++i) {
        values[i] = static_cast<float>(i % 7) - 2;
    }
    values[100] = -9;
    std::vector<float> row_at(64);
    for (std::size_t i = 0; i < row_at.size(); ++i) {
        row_at[i] = static_cast<float>(i);
    }
    // Fewer pixels than rows (gathered), as many, and more (taken whole); with and without NaN.
    for (const bool with_nan : {false, true}) {
        values[400] = with_nan ? nan : 0.0F;
        for (const std::size_t height : {4U, 64U, 200U}) {
            const plot::gathered_rows g = plot::gather_rows(
                values, 8, plot::spread(plot::place_cells(row_at, "x"), height, true));
            EXPECT_EQ(g.range.min, -9) << height;
            EXPECT_EQ(g.range.max, 4) << height;
            EXPECT_EQ(g.range.nan, with_nan) << height;
            EXPECT_FALSE(g.range.positive_infinity) << height;
        }
    }
}

} // namespace

namespace {

TEST(isolines, cross_each_square_where_the_level_lies_between_its_corners) {
    // A ramp across two squares: the level 1.5 crosses at a quarter of the way into the second.
    const std::vector<float> ramp = {0, 1, 3, 0, 1, 3};
    const std::vector<double> level = {1.5};
    const std::vector<plot::segment> s = plot::isolines(ramp, 3, 2, level);
    ASSERT_EQ(s.size(), 1U);
    EXPECT_DOUBLE_EQ(s[0].x0, 1.75);
    EXPECT_DOUBLE_EQ(s[0].x1, 1.75);
    EXPECT_DOUBLE_EQ(std::abs(s[0].y1 - s[0].y0), 1);

    // A saddle gives two pieces; a square with NaN gives none.
    EXPECT_EQ(plot::isolines(std::vector<float>{1, 0, 0, 1}, 2, 2, level).size(), 0U);
    EXPECT_EQ(plot::isolines(std::vector<float>{2, 0, 0, 2}, 2, 2, level).size(), 2U);
    EXPECT_EQ(plot::isolines(std::vector<float>{2, 0, nan, 2}, 2, 2, level).size(), 0U);
}

} // namespace

TEST_F(render, contours_are_drawn_where_the_values_cross_their_levels) {
    // Values equal to their column coordinate: the one level at 5 is a vertical line at y = 5.
    std::vector<float> columns(11);
    std::vector<float> values;
    for (std::size_t j = 0; j < columns.size(); ++j) {
        columns[j] = static_cast<float>(j);
    }
    for (int r = 0; r < 3; ++r) {
        values.insert(values.end(), columns.begin(), columns.end());
    }
    const binmat::grid g = write("ramp", {0, 1, 2}, columns, values);
    ASSERT_EQ(run("ramp -o plain.png --cmap gray").status, 0);
    ASSERT_EQ(run("ramp -o lines.png --cmap gray --contours 2").status, 0);
    const Image plain = read_png(dir / "plain.png");
    const Image lines = read_png(dir / "lines.png");
    const plot::picture_layout l = plot::plan_picture(g, {});
    const plot::rgb on = cell(lines, l, 1, 5);
    EXPECT_LT(on[0] + 30, cell(plain, l, 1, 5)[0]) << "darker on the line";
    EXPECT_EQ(cell(lines, l, 1, 3), cell(plain, l, 1, 3)) << "untouched away from it";
    EXPECT_EQ(run("ramp -o x.png --contours 0").status, 2);
}

namespace {

// The words of a PDF's first page and their boxes, as poppler finds them.
std::vector<poppler::rectf> word_boxes(const fs::path &p) {
    std::vector<poppler::rectf> boxes;
    const std::unique_ptr<poppler::document> doc(poppler::document::load_from_file(p.string()));
    if (!doc || doc->pages() != 1) {
        return boxes;
    }
    const std::unique_ptr<poppler::page> page(doc->create_page(0));
    for (const poppler::text_box &t : page->text_list()) {
        boxes.push_back(t.bbox());
    }
    return boxes;
}

bool overlap(const poppler::rectf &a, const poppler::rectf &b) {
    return a.left() < b.right() && b.left() < a.right() && a.top() < b.bottom() &&
           b.top() < a.bottom();
}

} // namespace

TEST_F(render, figures_carry_the_titles_and_scales_a_paper_needs) {
    fs::create_directories(dir / "data" / "run 1");
    fs::copy_file(dir / "binary1", dir / "data" / "run 1" / "t2m", fs::copy_options::skip_existing);
    ASSERT_EQ(run("'data/run 1/t2m' -o labelled.pdf --xlabel 'latitude (°N)' --ylabel "
                  "'longitude (°E)' --label 'temperature (K)'")
                  .status,
              0);
    const Page pdf = read_pdf(dir / "labelled.pdf");
    for (const char *text : {"t2m", "latitude (°N)", "longitude (°E)", "temperature (K)"}) {
        EXPECT_NE(pdf.text.find(text), std::string::npos) << text << " in " << pdf.text;
    }
    for (const char *text : {"data/", "x (rows)", "y (columns)"}) {
        EXPECT_EQ(pdf.text.find(text), std::string::npos) << text << " in " << pdf.text;
    }
    // Reversed maps run the same colours the other way.
    for (const std::string name : {"viridis", "gray", "coolwarm"}) {
        const plot::colour_map *forward = plot::find_colour_map(name);
        const plot::colour_map *back = plot::find_colour_map(name + "_r");
        ASSERT_NE(back, nullptr) << name;
        EXPECT_EQ(back->at(0), forward->at(1));
        EXPECT_EQ(back->at(0.3), forward->at(0.7 + 1.0 / 512));
        EXPECT_EQ(back->nan, forward->nan);
    }
    // A logarithmic scale from the least value above zero, marked at powers of ten; cells at or
    // below zero in the colour of its low end, counted in a warning.
    const binmat::grid g = write("decades", {0, 1}, {0, 1, 2}, {-1, 0, 0.01F, 0.1F, 10, 1000});
    plot::picture_options o;
    o.log = true;
    const plot::picture_layout l = plot::plan_picture(g, o);
    EXPECT_TRUE(l.log);
    EXPECT_FLOAT_EQ(static_cast<float>(l.low), 0.01F);
    EXPECT_EQ(l.high, 1000);
    EXPECT_EQ(l.bar_ticks, (std::vector<double>{0.01, 0.1, 1, 10, 100, 1000}));
    const Outcome logged = run("decades -o decades.png --log");
    ASSERT_EQ(logged.status, 0) << logged.err;
    EXPECT_EQ(logged.err, "binmat: warning: decades: 2 cells are at or below zero, drawn in the "
                          "colour of the scale's low end\n");
    const Image img = read_png(dir / "decades.png");
    const plot::colour_map &viridis = *plot::find_colour_map("viridis");
    EXPECT_EQ(cell(img, l, 0, 0), viridis.at(0));
    EXPECT_EQ(cell(img, l, 1, 0), viridis.at(0.2)) << "0.1, a decade up of five";
    EXPECT_EQ(cell(img, l, 1, 2), viridis.at(1));
    EXPECT_EQ(run("decades -o x.png --log --vmin 0").status, 2);
    // Isolines lie within the data's range, however wide the colour range is set.
    o = {};
    o.contours = 10;
    o.vmin = -100;
    o.vmax = 100;
    for (const double level : plot::plan_picture(g, o).levels) {
        EXPECT_GT(level, -1);
        EXPECT_LT(level, 1000);
    }
}

TEST_F(render, aspect_and_resolution_follow_what_was_asked) {
    const binmat::grid g = binmat::read_file(dir / "binary1"); // x spans 6.2, y 4.2
    plot::picture_options o;
    o.equal_aspect = true;
    for (const auto &[width, height] :
         std::vector<std::array<int, 2>>{{640, 480}, {1200, 300}, {300, 1200}, {160, 120}}) {
        o.width = width;
        o.height = height;
        const plot::picture_layout l = plot::plan_picture(g, o);
        const double units_high = l.plot.height / (l.x_high - l.x_low);
        const double units_wide = l.plot.width / (l.y_high - l.y_low);
        EXPECT_NEAR(units_high / units_wide, 1, 2 / std::min(l.plot.width, l.plot.height))
            << width << " x " << height;
        EXPECT_LE(l.plot.x + l.plot.width, width);
    }
    // As matplotlib's dpi: text twice as large at 200, and the resolution in the PNG.
    o = {};
    const double plain = plot::plan_picture(g, o).font_size;
    o.dpi = 200;
    EXPECT_DOUBLE_EQ(plot::plan_picture(g, o).font_size, 2 * plain);
    ASSERT_EQ(run("binary1 -o dpi.png --dpi 300").status, 0);
    const std::vector<unsigned char> png = bytes::of_file((dir / "dpi.png").string());
    const std::string text(png.begin(), png.end());
    const std::size_t at = text.find("pHYs");
    ASSERT_NE(at, std::string::npos);
    EXPECT_EQ(text.substr(at + 4, 9), std::string("\0\0\x2e\x23\0\0\x2e\x23\x01", 9))
        << "11811 pixels a metre each way";
}

TEST_F(render, tick_labels_never_overlap_whatever_the_size) {
    // Long labels: coordinates in the millions, values with many digits.
    std::vector<float> x(50);
    std::vector<float> y(80);
    std::vector<float> z(x.size() * y.size());
    for (std::size_t i = 0; i < x.size(); ++i) {
        x[i] = 1.5e6F + 1000.0F * static_cast<float>(i);
    }
    for (std::size_t j = 0; j < y.size(); ++j) {
        y[j] = -123456.0F + 7.25F * static_cast<float>(j);
    }
    for (std::size_t k = 0; k < z.size(); ++k) {
        z[k] = 1e-3F * static_cast<float>(k % 977);
    }
    write("long_labels", x, y, z);
    for (const char *size : {"--width 160 --height 120", "--width 1600 --height 160",
                             "--width 200 --height 1600", "--width 4000 --height 3000"}) {
        ASSERT_EQ(run(std::string("long_labels -o ticks.pdf ") + size).status, 0) << size;
        const std::vector<poppler::rectf> boxes = word_boxes(dir / "ticks.pdf");
        ASSERT_GT(boxes.size(), 6U) << size;
        for (std::size_t i = 0; i < boxes.size(); ++i) {
            for (std::size_t k = i + 1; k < boxes.size(); ++k) {
                EXPECT_FALSE(overlap(boxes[i], boxes[k])) << size << ": words " << i << ", " << k;
            }
        }
    }
}

TEST_F(render, vector_cells_stay_sharp_at_any_zoom) {
    const auto count = [](const std::string &text, const std::string &what) {
        std::size_t n = 0;
        for (std::size_t at = text.find(what); at != std::string::npos;
             at = text.find(what, at + 1)) {
            ++n;
        }
        return n;
    };
    const auto as = [](plot::picture_format f) {
        plot::picture_options o;
        o.format = f;
        return o;
    };
    const auto pdf_of = [&](const std::string &name) {
        EXPECT_EQ(run(name + " -o cells.pdf").status, 0);
        const std::vector<unsigned char> b = bytes::of_file((dir / "cells.pdf").string());
        return std::string(b.begin(), b.end());
    };
    // A small grid: rectangles, and no image but the colour bar's.
    EXPECT_EQ(
        plot::plan_picture(binmat::read_file(dir / "binary1"), as(plot::picture_format::pdf)).cells,
        plot::cell_drawing::rectangles);
    EXPECT_EQ(count(pdf_of("binary1"), "/Subtype /Image"), 1U);
    // A large even one: one image of one pixel per cell, never smoothed, in PDF and SVG.
    std::vector<float> axis(300);
    for (std::size_t i = 0; i < axis.size(); ++i) {
        axis[i] = static_cast<float>(i);
    }
    std::vector<float> values(axis.size() * axis.size());
    for (std::size_t k = 0; k < values.size(); ++k) {
        values[k] = static_cast<float>((k * 7919) % 255);
    }
    const binmat::grid even = write("even", axis, axis, values);
    EXPECT_EQ(plot::plan_picture(even, as(plot::picture_format::svg)).cells,
              plot::cell_drawing::cell_image);
    const std::string pdf = pdf_of("even");
    EXPECT_NE(pdf.find("/Width 300"), std::string::npos);
    EXPECT_NE(pdf.find("/Interpolate false"), std::string::npos);
    ASSERT_EQ(run("even -o even.svg").status, 0);
    const std::vector<unsigned char> svg = bytes::of_file((dir / "even.svg").string());
    EXPECT_NE(std::string(svg.begin(), svg.end()).find("image-rendering: pixelated"),
              std::string::npos);
    // Uneven spacing: rectangles at each cell's own edges.
    axis[1] = 0.1F;
    const binmat::grid uneven = write("uneven", axis, axis, values);
    EXPECT_EQ(plot::plan_picture(uneven, as(plot::picture_format::pdf)).cells,
              plot::cell_drawing::rectangles);
    EXPECT_EQ(count(pdf_of("uneven"), "/Subtype /Image"), 1U);
}
