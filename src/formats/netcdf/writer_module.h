// The NetCDF writer is a module of its own, so that the command loads netCDF-C and HDF5, and
// their many libraries, only when it writes NetCDF. Its one entry point speaks plain C.
#pragma once

#include <cstddef>

extern "C" {

// What the CF attributes say beyond the grid itself; empty strings are left out.
struct binmat_netcdf_text {
    const char *units;         // of z
    const char *x_units;       // of the row coordinates
    const char *y_units;       // of the column coordinates
    const char *standard_name; // of z
    const char *long_name;     // of z
    const char *history;
    const char *name;    // of the values' variable, "z" by default
    const char *crs_wkt; // the grid mapping's coordinate reference system, or empty
    int deflate;         // 1 to 9 compresses the values with zlib after shuffling; 0 not
};

// The grid to write, a block of rows at a time from wherever it comes.
struct binmat_netcdf_rows {
    void *context;
    std::size_t rows;
    std::size_t columns;
    const float *column_coordinates;
    // Points at the coordinates and values of rows [first, first + count), valid until the next
    // call.
    void (*block)(void *context, std::size_t first, std::size_t count, const float **coordinates,
                  const float **values);
    // Told once netCDF-C has the file open.
    void (*opened)(void *context);
};

// Writes a NetCDF-4 file following the CF conventions at `path`, z(x, y) (or the name given) with
// the coordinates as the coordinate variables x and y. Returns 0, or nonzero with why not in
// `error` (at most `size` bytes, its end included).
int binmat_write_netcdf(const char *path, const binmat_netcdf_rows *grid,
                        const binmat_netcdf_text *text, char *error, std::size_t size);
}
