// A picture of a grid for people to read and publish: the cells as a heat map placed by their
// coordinates, axes with round ticks, a title and a colour bar, as PNG, SVG or PDF.
#pragma once

#include "colour_map.h"
#include "picture_error.h"

#include <binmat/binmat.h>

#include <cstdio>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace plot {

enum class picture_format { png, svg, pdf };

struct picture_options {
    int width = 640; // pixels for PNG, points for SVG and PDF
    int height = 480;
    std::string title;
    const colour_map *map = nullptr; // the default map when null
    std::optional<double> vmin;      // the colour range's ends; from the data when not given
    std::optional<double> vmax;
    picture_format format = picture_format::png;
    int contours = 0;                    // isolines at about this many round levels; none when 0
    std::string x_label = "x (rows)";    // the rows' axis, up the picture
    std::string y_label = "y (columns)"; // the columns' axis, across it
    std::string bar_label;               // the colour bar's title; none when empty
    bool log = false;          // a logarithmic colour scale; values at or below zero are under it
    bool equal_aspect = false; // a unit of x as long on the page as a unit of y
    // PNG: text and lines scaled as at this many dots per inch (100 when not given), and the
    // resolution recorded in the file. SVG and PDF: the pixels per inch of a resampled image.
    std::optional<double> dpi;
};

// How the cells are drawn: an image resampled to the picture (PNG, and vector pictures of grids
// too large for the others), rectangles at the cells' edges, or one pixel per cell of an evenly
// spaced grid, never smoothed.
enum class cell_drawing { resampled, rectangles, cell_image };

inline constexpr int picture_min_width = 160;
inline constexpr int picture_min_height = 120;
inline constexpr int picture_max_side = 16384;

struct box {
    double x = 0;
    double y = 0;
    double width = 0;
    double height = 0;
};

// Where a picture's parts go, measured from its top left corner.
struct picture_layout {
    double font_size = 0;
    box plot; // the cells: rows (x) run up it, columns (y) across
    box bar;  // the colour bar without its extended ends; empty when no value is finite
    double x_low = 0, x_high = 0;  // the coordinates at the plot's bottom and top
    double y_low = 0, y_high = 0;  // at its left and right
    double low = 0, high = 0;      // the values at the ends of the colour range
    bool log = false;              // whether the colour range is logarithmic
    std::vector<double> levels;    // of the isolines
    std::vector<double> bar_ticks; // where the colour bar is marked
    cell_drawing cells = cell_drawing::resampled;
};

// A grid to draw: its coordinates, and its values where they lie (in a grid or a mapped file).
struct surface {
    std::span<const float> row_coordinates;
    std::span<const float> column_coordinates;
    binmat::strided_values values;

    surface(std::span<const float> rows, std::span<const float> columns,
            const binmat::strided_values &all_values)
        : row_coordinates(rows), column_coordinates(columns), values(all_values) {}
    surface(const binmat::grid &g) // NOLINT(google-explicit-constructor): a grid is one
        : row_coordinates(g.row_coordinates), column_coordinates(g.column_coordinates),
          values(binmat::values_of(g)) {}
};

// The layout `draw_picture` uses; throws picture_error as it would.
picture_layout plan_picture(const surface &g, const picture_options &o);

// Draws the picture of `g` into `out`; throws picture_error when the grid cannot be drawn (cells
// with no place of their own), picture_options_error for a picture too small for its text, and
// std::system_error when the output cannot be written.
void draw_picture(const surface &g, const picture_options &o, FILE *out);

// Frees the fonts and caches that drawing keeps for the life of the process, so that a leak
// checker sees a clean exit; only when no picture is being drawn.
void release_drawing_caches();

} // namespace plot
