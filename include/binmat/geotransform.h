// Where a grid lies for GDAL and the GIS tools: an affine transform from pixel edges to
// coordinates, which a grid has only when both its axes are evenly spaced (binmat/axis.h, the
// judgement binmat info reports). Rows are lines and columns are pixels: a row coordinate is Y,
// a column coordinate X, and pixel edges lie halfway between coordinates.
#pragma once

#include <array>
#include <optional>
#include <span>
#include <vector>

namespace binmat {

// GDAL's order: origin X, pixel width, row rotation, origin Y, column rotation, pixel height.
using geotransform = std::array<double, 6>;

// The transform of a grid whose row and column coordinates these are, in the order its lines
// are presented (a grid may be shown with its last row first): the first coordinate less half a
// step is the origin, the step (last - first) / (count - 1). None when either axis holds fewer
// than two coordinates or is not evenly spaced.
std::optional<geotransform> geotransform_of(std::span<const float> row_coordinates,
                                            std::span<const float> column_coordinates);

// The coordinates of the centres of `count` cells along an axis that starts at `origin` and
// steps by `step` per cell, as floats.
std::vector<float> cell_centres(double origin, double step, std::size_t count);

} // namespace binmat
