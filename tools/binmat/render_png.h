// A heat map of a grid as a PNG image.
#pragma once

#include <binmat/binmat.h>

#include <cstdio>
#include <string>

namespace cli {

struct RenderSize {
    int width = 640;
    int height = 480;
};

// The smallest image that leaves room for the plot and the colour bar.
inline constexpr int render_min_width = 160;
inline constexpr int render_min_height = 40;

// Writes the heat map of g to out as a PNG of exactly size.width x size.height pixels; false with
// the reason when the image cannot be encoded or written.
bool render_png(const binmat::grid &g, RenderSize size, FILE *out, std::string &error);

} // namespace cli
