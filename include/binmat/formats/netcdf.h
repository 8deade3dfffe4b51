// Grids as NetCDF, through netCDF-C: out, a NetCDF-4 file following the CF conventions, with one
// variable z(x, y) and the coordinates as the coordinate variables x and y; in, any 2-D numeric
// variable, with packing and fill values undone. netCDF-C and HDF5 are not written for hostile
// files: they decode in a helper program of their own, under limits, and write through a module
// loaded only when NetCDF is written, so that a program linking this library loads neither until
// it needs them.
#pragma once

#include <binmat/binmat.h>
#include <binmat/mapped.h>
#include <binmat/output.h>

#include <cstdint>
#include <filesystem>
#include <functional>
#include <span>
#include <string>
#include <utility>
#include <vector>

namespace binmat {

// What the CF attributes say beyond the grid itself; empty strings are left out.
struct netcdf_attributes {
    std::string units;         // of z
    std::string x_units;       // of the row coordinates
    std::string y_units;       // of the column coordinates
    std::string standard_name; // of z
    std::string long_name;     // of z
    std::string history;
    std::string name = "z"; // of the values' variable
    std::string crs_wkt;    // a grid_mapping variable "crs" with this WKT, when not empty
    int deflate = 0;        // 1 to 9: zlib after shuffling, in chunks; 0: contiguous, as read
};

// Writes a NetCDF file into `out`, through the path by which netCDF-C, which writes only by name,
// reaches it. From a grid in memory, or a block of rows at a time from a mapped binary matrix
// file, in constant memory. Coordinates are written as they are, even where CF readers would
// refuse them as a coordinate variable (repeated, NaN, out of order): the warnings returned
// say so. Throws output_error when the file cannot be written (a file-size limit or a full disk
// among the reasons), and conversion_error for anything else netCDF-C refuses.
std::vector<std::string> write_netcdf(output_file &out, const grid_view &g,
                                      const netcdf_attributes &a);
std::vector<std::string> write_netcdf(output_file &out, const mapped_grid &g,
                                      const netcdf_attributes &a);

// Which variable makes the grid, and the slice of it: a variable in a group is named by its
// path ("/group/name"); `index` fixes dimensions at one index each ({"time", 0}). Dimensions of
// one value are dropped without asking. An empty name: the only variable that makes a grid.
struct netcdf_choice {
    std::string variable;
    std::vector<std::pair<std::string, std::uint64_t>> index;
};

// Reads the variable chosen (2-D, once dimensions of one value are dropped and those fixed by
// index taken out) of a NetCDF file, with its dimensions' coordinate variables as coordinates
// (indices when a dimension has none), and hands the grid to `use`. The file is decoded by the
// helper binmat-read-netcdf in a process of its own, under limits: a file that crashes netCDF-C
// or HDF5 is refused. Values that can be used as stored (single precision, little-endian,
// contiguous and unpacked, with no fill value but NaN) are handed over where they lie in a map
// of the file; others come back through shared memory. Returns warnings: precision lost on the
// way to single precision, 2-D coordinates not kept. Throws conversion_error with the reason
// for a file or variable it refuses, and std::filesystem::filesystem_error when the file cannot
// be opened.
std::vector<std::string> read_netcdf(const std::filesystem::path &path, const netcdf_choice &choice,
                                     const std::function<void(const grid_view &)> &use);
// The same from a descriptor the caller keeps open (standard input): a regular file is read where
// it lies, anything else to its end.
std::vector<std::string> read_netcdf(int descriptor, const netcdf_choice &choice,
                                     const std::function<void(const grid_view &)> &use);

// What a NetCDF file holds, for telling a user what could be converted.
struct netcdf_variable {
    std::string name;  // with its group's path outside the root group
    std::string shape; // "time=1, lat=181, lon=360"
    std::string type;  // "float", "unsigned byte", ...
    bool grid = false; // makes a grid as it is (dimensions of one value dropped)
    std::string index; // or with these options ("--index level=0"), when not empty
};
struct netcdf_listing {
    std::string kind;                       // "NetCDF classic", "NetCDF-4", ...
    std::vector<netcdf_variable> variables; // the first 64
    std::uint64_t variable_count = 0;
};
// Lists a NetCDF file's variables, through the helper as read_netcdf does. Throws as it does.
netcdf_listing list_netcdf(const std::filesystem::path &path);

// Whether bytes begin as a NetCDF file: the classic signature, or HDF5's.
bool looks_like_netcdf(std::span<const unsigned char> head);

} // namespace binmat
