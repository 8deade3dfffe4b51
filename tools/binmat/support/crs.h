// Coordinate reference systems, for the grid mappings that let GIS tools place a grid.
#pragma once

#include <string>

namespace cli {

// The WKT of a coordinate reference system given as anything PROJ understands: an authority
// code ("EPSG:4326"), WKT, PROJJSON or a PROJ string. WKT1 as GDAL writes it where the system
// fits it, for the widest range of readers, WKT2 otherwise. Throws usage_error for what PROJ
// does not know or what is not a coordinate reference system.
std::string crs_wkt(const std::string &definition);

} // namespace cli
