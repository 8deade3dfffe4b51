// Grids as NetCDF, through the reference library: out, a NetCDF-4 file following the CF
// conventions, with one variable z(x, y) and the titles as the coordinate variables x and y; in,
// any 2-D numeric variable, with packing and fill values undone.
#pragma once

#include "mapped_file.h"
#include "output.h"

#include <binmat/binmat.h>

#include <functional>
#include <string>
#include <vector>

namespace cli {

// What the CF attributes say beyond the grid itself; empty strings are left out.
struct netcdf_attributes {
    std::string units;         // of z
    std::string x_units;       // of the row titles
    std::string y_units;       // of the column titles
    std::string standard_name; // of z
    std::string long_name;     // of z
    std::string history;
};

// Writes a NetCDF file into `out`, through the path by which netCDF-C, which writes only by name,
// reaches it. From a grid in memory, or a block of rows at a time from a mapped binary matrix
// file, in constant memory. Throws cli::failure, and cli::output_error when the file cannot be
// written, with the reason (a file-size limit or a full disk among them).
void write_netcdf(output_file &out, const binmat::grid_view &g, const netcdf_attributes &a);
void write_netcdf(output_file &out, const mapped_grid &g, const netcdf_attributes &a);

// Reads the 2-D numeric variable `variable` (or the only one, when empty) of the NetCDF file at
// `path` ("-" for standard input), with its dimensions' coordinate variables as titles (indices
// when a dimension has none), and hands the grid to `use`. The file is decoded by the helper
// binmat-read-netcdf in a process of its own, under limits: a file that crashes netCDF-C or HDF5
// is refused. Values that can be used as stored (single precision, little-endian, contiguous and
// unpacked, with no fill value but NaN) are handed over where they lie in a map of the file;
// others come back through shared memory. Returns the warnings about precision lost on the way
// to single precision. Throws cli::failure with the reason for a file or variable it refuses.
std::vector<std::string> read_netcdf(const std::string &path, const std::string &variable,
                                     const std::function<void(const binmat::grid_view &)> &use);

} // namespace cli
