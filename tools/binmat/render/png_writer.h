// PNG output for pictures drawn with cairo: rows filtered against the row above and compressed
// with libdeflate, which takes pictures smaller and faster than zlib does.
#pragma once

#include <cairo.h>

#include <cstdio>
#include <optional>

namespace plot {

// Writes an RGB24 image surface to `out` as an 8-bit RGB PNG, with its resolution when `dpi` is
// given; throws std::system_error when the stream fails and picture_error when the image cannot
// be encoded.
void write_png(cairo_surface_t *image, FILE *out, std::optional<double> dpi = std::nullopt);

} // namespace plot
