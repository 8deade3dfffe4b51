// Grids as NetCDF, through the reference library: out, a NetCDF-4 file following the CF
// conventions, with one variable z(x, y) and the titles as the coordinate variables x and y; in,
// any 2-D numeric variable, with packing and fill values undone.
#pragma once

#include "output.h"

#include <binmat/binmat.h>

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

// Writes the grid into `out`: by name into its temporary file, or through a scratch file for
// standard output and devices. Throws cli::failure with the library's reason.
void write_netcdf(output_file &out, const binmat::grid_view &g, const netcdf_attributes &a);

// Writes a NetCDF file at `path`, replacing any file there.
void write_netcdf_file(const std::string &path, const binmat::grid_view &g,
                       const netcdf_attributes &a);

struct netcdf_grid {
    binmat::grid grid;
    std::vector<std::string> warnings; // precision lost on the way to single precision
};

// Reads the 2-D numeric variable `variable` (or the only one, when empty) of the NetCDF file at
// `path` ("-" for standard input), its dimensions' coordinate variables as titles (indices when
// a dimension has none). Throws cli::failure with the reason for a file or variable it refuses.
netcdf_grid read_netcdf(const std::string &path, const std::string &variable);

} // namespace cli
