// The exact float32 coordinates of a grid's rows and columns as GDAL metadata, so that a grid that
// goes out to another format and comes back is the same bit for bit: the differences of
// consecutive bit patterns (small for evenly spaced coordinates), compressed and in base64.
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace binmat_gdal {

// The metadata domain of the driver's own, and the items in it; the default domain carries the
// same items prefixed with "BINMAT_", as the tools that copy only that domain carry it along.
inline constexpr const char *domain = "BINMAT";
inline constexpr const char *row_item = "ROW_COORDINATES";
inline constexpr const char *column_item = "COLUMN_COORDINATES";
inline constexpr const char *default_prefix = "BINMAT_";

std::string encode_coordinates(const std::vector<float> &coordinates);

// The coordinates, or none for text that is not what encode_coordinates makes of `expected` of
// them (no more is ever taken than the grid they are for needs).
std::optional<std::vector<float>> decode_coordinates(const char *text, std::size_t expected);

} // namespace binmat_gdal
