// The NetCDF writer module: grids out through netCDF-C, as NetCDF-4 following the CF conventions.
#include "writer_module.h"

#include <netcdf.h>

#include <hdf5.h>

#include <algorithm>
#include <cstdio>
#include <limits>
#include <stdexcept>
#include <string>

namespace {

// A failure of netCDF-C, with what was being done.
struct failed : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// An open NetCDF file, closed once.
class dataset {
  public:
    dataset() = default;
    ~dataset() {
        if (id_ >= 0) {
            nc_close(id_);
        }
    }
    dataset(const dataset &) = delete;
    dataset &operator=(const dataset &) = delete;

    int id() const { return id_; }
    int *handle() { return &id_; }

    void check(int status, const std::string &doing) const {
        if (status != NC_NOERR) {
            throw failed(doing + ": " + nc_strerror(status));
        }
    }

    void close() {
        const int id = id_;
        id_ = -1;
        check(nc_close(id), "finishing the file");
    }

  private:
    int id_ = -1;
};

void put_text(const dataset &d, int variable, const char *attribute, const char *value) {
    const std::string text = value != nullptr ? value : "";
    if (!text.empty()) {
        d.check(nc_put_att_text(d.id(), variable, attribute, text.size(), text.c_str()),
                std::string("writing ") + attribute);
    }
}

// CF names what a coordinate is from its units where the units say it unambiguously.
const char *standard_name_for(const char *units) {
    const std::string u = units != nullptr ? units : "";
    if (u == "degrees_north" || u == "degree_north") {
        return "latitude";
    }
    if (u == "degrees_east" || u == "degree_east") {
        return "longitude";
    }
    return "";
}

void write(const char *path, const binmat_netcdf_rows &g, const binmat_netcdf_text &a) {
    dataset d;
    d.check(nc_create(path, NC_CLOBBER | NC_NETCDF4, d.handle()), "creating");
    g.opened(g.context);
    int x_dim = 0;
    int y_dim = 0;
    d.check(nc_def_dim(d.id(), "x", g.rows, &x_dim), "defining x");
    d.check(nc_def_dim(d.id(), "y", g.columns, &y_dim), "defining y");
    int x = 0;
    int y = 0;
    int z = 0;
    const int dims[2] = {x_dim, y_dim};
    d.check(nc_def_var(d.id(), "x", NC_FLOAT, 1, &x_dim, &x), "defining x");
    d.check(nc_def_var(d.id(), "y", NC_FLOAT, 1, &y_dim, &y), "defining y");
    const std::string name = a.name != nullptr && *a.name != '\0' ? a.name : "z";
    d.check(nc_def_var(d.id(), name.c_str(), NC_FLOAT, 2, dims, &z), "defining " + name);
    if (a.deflate > 0) {
        // Chunks of about a megabyte, whole rows where rows are short enough.
        const std::size_t columns = std::min<std::size_t>(g.columns, std::size_t{1} << 18);
        const std::size_t chunk[2] = {
            std::min(g.rows, std::max<std::size_t>(1, (std::size_t{1} << 18) / columns)), columns};
        d.check(nc_def_var_chunking(d.id(), z, NC_CHUNKED, chunk), "laying out " + name);
        d.check(nc_def_var_deflate(d.id(), z, 1, 1, a.deflate), "compressing " + name);
    } else {
        // One contiguous block, written once: no chunk index, no fill values written first
        // only to be overwritten, and values that a reader can map where they lie.
        d.check(nc_def_var_chunking(d.id(), z, NC_CONTIGUOUS, nullptr), "laying out " + name);
    }
    for (const int v : {x, y, z}) {
        d.check(nc_def_var_fill(d.id(), v, NC_NOFILL, nullptr), "defining " + name);
    }
    // Missing values are NaN, and said so for readers that look for a fill value.
    const float nan = std::numeric_limits<float>::quiet_NaN();
    d.check(nc_put_att_float(d.id(), z, "_FillValue", NC_FLOAT, 1, &nan), "writing _FillValue");
    put_text(d, NC_GLOBAL, "Conventions", "CF-1.8");
    put_text(d, NC_GLOBAL, "history", a.history);
    // Rows are lines of a picture to GIS tools, so x is the Y axis and y the X axis.
    put_text(d, x, "long_name", "row coordinate");
    put_text(d, x, "axis", "Y");
    put_text(d, x, "units", a.x_units);
    put_text(d, x, "standard_name", standard_name_for(a.x_units));
    put_text(d, y, "long_name", "column coordinate");
    put_text(d, y, "axis", "X");
    put_text(d, y, "units", a.y_units);
    put_text(d, y, "standard_name", standard_name_for(a.y_units));
    put_text(d, z, "long_name", a.long_name);
    put_text(d, z, "standard_name", a.standard_name);
    put_text(d, z, "units", a.units);
    if (a.crs_wkt != nullptr && *a.crs_wkt != '\0') {
        int crs = 0;
        d.check(nc_def_var(d.id(), "crs", NC_INT, 0, nullptr, &crs), "defining crs");
        put_text(d, crs, "crs_wkt", a.crs_wkt);
        put_text(d, crs, "spatial_ref", a.crs_wkt); // where GDAL looks first
        put_text(d, z, "grid_mapping", "crs");
    }
    d.check(nc_enddef(d.id()), "defining the file");
    d.check(nc_put_var_float(d.id(), y, g.column_coordinates), "writing y");
    // Blocks of about a megabyte: large writes, and memory that does not grow with the grid.
    const std::size_t per_block = std::max<std::size_t>(1, (std::size_t{1} << 18) / g.columns);
    for (std::size_t first = 0; first < g.rows; first += per_block) {
        const std::size_t count = std::min(per_block, g.rows - first);
        const float *coordinates = nullptr;
        const float *values = nullptr;
        g.block(g.context, first, count, &coordinates, &values);
        const std::size_t start[2] = {first, 0};
        const std::size_t extent[2] = {count, g.columns};
        d.check(nc_put_vara_float(d.id(), x, start, extent, coordinates), "writing x");
        d.check(nc_put_vara_float(d.id(), z, start, extent, values), "writing " + name);
    }
    d.close();
}

} // namespace

extern "C" int binmat_write_netcdf(const char *path, const binmat_netcdf_rows *grid,
                                   const binmat_netcdf_text *text, char *error, std::size_t size) {
    // HDF5 flushes the files it still holds when the process exits, and a file whose writing
    // failed makes that flush crash: nothing of HDF5's is left to flush at exit.
    (void)H5dont_atexit();
    try {
        write(path, *grid, *text);
        return 0;
    } catch (const std::exception &e) {
        std::snprintf(error, size, "%s", e.what());
    } catch (...) {
        std::snprintf(error, size, "the NetCDF writer failed");
    }
    return 1;
}
