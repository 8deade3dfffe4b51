#include "netcdf_file.h"

#include "command.h"

#include <netcdf.h>
#include <netcdf_mem.h>

#include <hdf5.h>

#include <bit>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <limits>
#include <memory>
#include <optional>
#include <span>
#include <sys/resource.h>
#include <unistd.h>

namespace cli {

namespace {

// An open NetCDF file, closed once; errors name the file.
class dataset {
  public:
    explicit dataset(std::string name) : name_(std::move(name)) {}
    ~dataset() {
        if (id_ >= 0) {
            nc_close(id_);
        }
    }
    dataset(const dataset &) = delete;
    dataset &operator=(const dataset &) = delete;

    int id() const { return id_; }
    int *handle() { return &id_; }
    const std::string &name() const { return name_; }

    // Throws for a status other than success, saying what was being done.
    void check(int status, const std::string &doing) const {
        if (status != NC_NOERR) {
            throw failure(status_bad_data, name_ + ": " + doing + ": " + nc_strerror(status));
        }
    }

    void close() {
        const int id = id_;
        id_ = -1;
        check(nc_close(id), "finishing the file");
    }

  private:
    std::string name_;
    int id_ = -1;
};

void put_text(const dataset &d, int variable, const char *attribute, const std::string &value) {
    if (!value.empty()) {
        d.check(nc_put_att_text(d.id(), variable, attribute, value.size(), value.c_str()),
                std::string("writing ") + attribute);
    }
}

// CF names what a coordinate is from its units where the units say it unambiguously.
std::string standard_name_for(const std::string &units) {
    if (units == "degrees_north" || units == "degree_north") {
        return "latitude";
    }
    if (units == "degrees_east" || units == "degree_east") {
        return "longitude";
    }
    return "";
}

// A grid in memory, handed over a block of rows at a time without a copy.
class view_rows {
  public:
    explicit view_rows(const binmat::grid_view &g) : g_(g) {}
    std::size_t rows() const { return g_.rows(); }
    std::span<const float> column_coordinates() const { return g_.column_coordinates; }
    std::pair<const float *, const float *> block(std::size_t first, std::size_t) {
        return {g_.row_coordinates.data() + first, g_.values.data() + first * g_.columns()};
    }

  private:
    const binmat::grid_view &g_;
};

// A mapped file, copied out a block of rows at a time.
class file_rows {
  public:
    explicit file_rows(const mapped_grid &g) : g_(g) {}
    std::size_t rows() const { return static_cast<std::size_t>(g_.header().rows); }
    std::span<const float> column_coordinates() const { return g_.header().column_coordinates; }
    std::pair<const float *, const float *> block(std::size_t first, std::size_t count) {
        coordinates_.resize(count);
        values_.resize(count * g_.header().columns());
        g_.copy_rows(first, count, coordinates_.data(), values_.data());
        return {coordinates_.data(), values_.data()};
    }

  private:
    const mapped_grid &g_;
    std::vector<float> coordinates_;
    std::vector<float> values_;
};

template <typename Rows>
void define_and_write(dataset &d, std::size_t rows, std::span<const float> columns, Rows &source,
                      const netcdf_attributes &a) {
    int x_dim = 0;
    int y_dim = 0;
    d.check(nc_def_dim(d.id(), "x", rows, &x_dim), "defining x");
    d.check(nc_def_dim(d.id(), "y", columns.size(), &y_dim), "defining y");
    int x = 0;
    int y = 0;
    int z = 0;
    const int dims[2] = {x_dim, y_dim};
    d.check(nc_def_var(d.id(), "x", NC_FLOAT, 1, &x_dim, &x), "defining x");
    d.check(nc_def_var(d.id(), "y", NC_FLOAT, 1, &y_dim, &y), "defining y");
    d.check(nc_def_var(d.id(), "z", NC_FLOAT, 2, dims, &z), "defining z");
    // One contiguous block, written once: no chunk index, no fill values written first only to
    // be overwritten, and values that a reader can map where they lie.
    d.check(nc_def_var_chunking(d.id(), z, NC_CONTIGUOUS, nullptr), "laying out z");
    for (const int v : {x, y, z}) {
        d.check(nc_def_var_fill(d.id(), v, NC_NOFILL, nullptr), "defining z");
    }
    // Missing values are NaN, and said so for readers that look for a fill value.
    const float nan = std::numeric_limits<float>::quiet_NaN();
    d.check(nc_put_att_float(d.id(), z, "_FillValue", NC_FLOAT, 1, &nan), "writing _FillValue");
    put_text(d, NC_GLOBAL, "Conventions", "CF-1.8");
    put_text(d, NC_GLOBAL, "history", a.history);
    put_text(d, x, "long_name", "row coordinate");
    put_text(d, x, "units", a.x_units);
    put_text(d, x, "standard_name", standard_name_for(a.x_units));
    put_text(d, y, "long_name", "column coordinate");
    put_text(d, y, "units", a.y_units);
    put_text(d, y, "standard_name", standard_name_for(a.y_units));
    put_text(d, z, "long_name", a.long_name);
    put_text(d, z, "standard_name", a.standard_name);
    put_text(d, z, "units", a.units);
    d.check(nc_enddef(d.id()), "defining the file");
    d.check(nc_put_var_float(d.id(), y, columns.data()), "writing y");
    // Blocks of about a megabyte: large writes, and memory that does not grow with the grid.
    const std::size_t per_block = std::max<std::size_t>(1, (std::size_t{1} << 18) / columns.size());
    for (std::size_t first = 0; first < rows; first += per_block) {
        const std::size_t count = std::min(per_block, rows - first);
        const auto [coordinates, values] = source.block(first, count);
        const std::size_t start[2] = {first, 0};
        const std::size_t extent[2] = {count, columns.size()};
        d.check(nc_put_vara_float(d.id(), x, start, extent, coordinates), "writing x");
        d.check(nc_put_vara_float(d.id(), z, start, extent, values), "writing z");
    }
    d.close();
}

// Why a NetCDF file of at least `bytes` bytes cannot be written to the file `fd` leads to, by
// asking for the room it needs: netCDF-C reports a failed write as an "HDF error" whatever its
// cause. 0 when the room is there.
int room_lacking(int fd, std::uint64_t bytes) {
    const int status = ::posix_fallocate(fd, 0, static_cast<off_t>(bytes));
    return status == EOPNOTSUPP || status == EINVAL ? 0 : status;
}

template <typename Rows>
void write_rows(output_file &out, Rows &&source, const netcdf_attributes &a) {
    const std::size_t rows = source.rows();
    const std::span<const float> columns = source.column_coordinates();
    // The values and titles at least; beyond a file-size limit, refused before HDF5 is involved.
    const std::uint64_t data_bytes =
        4 * (std::uint64_t{rows} * columns.size() + rows + columns.size());
    rlimit limit{};
    if (::getrlimit(RLIMIT_FSIZE, &limit) == 0 && limit.rlim_cur != RLIM_INFINITY &&
        limit.rlim_cur < data_bytes) {
        write_failed(out.name(), EFBIG);
    }
    // HDF5 flushes the files it still holds when the process exits, and a file whose writing
    // failed makes that flush crash: nothing of HDF5's is left to flush at exit.
    (void)H5dont_atexit();
    dataset d(out.name());
    // netCDF-C opens files by name only; the name goes as soon as it has the file open.
    d.check(nc_create(out.name_for_library().c_str(), NC_CLOBBER | NC_NETCDF4, d.handle()),
            "creating");
    out.library_opened();
    try {
        define_and_write(d, rows, columns, source, a);
    } catch (const failure &) {
        // With room for the headers HDF5 writes around the data.
        const int lacking = room_lacking(out.descriptor(), data_bytes + (std::uint64_t{1} << 16));
        if (lacking != 0) {
            write_failed(out.name(), lacking);
        }
        throw;
    }
}

} // namespace

void write_netcdf(output_file &out, const binmat::grid_view &g, const netcdf_attributes &a) {
    write_rows(out, view_rows(g), a);
}

void write_netcdf(output_file &out, const mapped_grid &g, const netcdf_attributes &a) {
    write_rows(out, file_rows(g), a);
}

namespace {

bool numeric(nc_type t) {
    switch (t) {
    case NC_BYTE:
    case NC_UBYTE:
    case NC_SHORT:
    case NC_USHORT:
    case NC_INT:
    case NC_UINT:
    case NC_INT64:
    case NC_UINT64:
    case NC_FLOAT:
    case NC_DOUBLE:
        return true;
    default:
        return false;
    }
}

std::string type_name(nc_type t) {
    switch (t) {
    case NC_BYTE:
        return "byte";
    case NC_UBYTE:
        return "ubyte";
    case NC_SHORT:
        return "short";
    case NC_USHORT:
        return "ushort";
    case NC_INT:
        return "int";
    case NC_UINT:
        return "uint";
    case NC_INT64:
        return "int64";
    case NC_UINT64:
        return "uint64";
    case NC_FLOAT:
        return "float";
    case NC_DOUBLE:
        return "double";
    case NC_CHAR:
        return "text (char)";
    case NC_STRING:
        return "text (string)";
    default:
        return "a user-defined type";
    }
}

struct variable_info {
    int id = -1;
    std::string name;
    nc_type type = NC_NAT;
    std::vector<int> dims;
};

variable_info describe(const dataset &d, int id) {
    variable_info v;
    v.id = id;
    char name[NC_MAX_NAME + 1] = {};
    int ndims = 0;
    d.check(nc_inq_var(d.id(), id, name, &v.type, &ndims, nullptr, nullptr), "reading a variable");
    v.name = name;
    v.dims.resize(static_cast<std::size_t>(ndims));
    d.check(nc_inq_vardimid(d.id(), id, v.dims.data()), "reading a variable");
    return v;
}

std::string dimension_name(const dataset &d, int dim) {
    char name[NC_MAX_NAME + 1] = {};
    d.check(nc_inq_dimname(d.id(), dim, name), "reading a dimension");
    return name;
}

std::string with_dimensions(const dataset &d, const variable_info &v) {
    std::string s = v.name + "(";
    for (std::size_t i = 0; i < v.dims.size(); ++i) {
        s += (i > 0 ? ", " : "") + dimension_name(d, v.dims[i]);
    }
    return s + ")";
}

variable_info choose(const dataset &d, const std::string &wanted) {
    int count = 0;
    d.check(nc_inq_nvars(d.id(), &count), "listing the variables");
    std::vector<variable_info> grids;
    std::string all;
    for (int id = 0; id < count; ++id) {
        variable_info v = describe(d, id);
        all += (all.empty() ? "" : ", ") + with_dimensions(d, v);
        if (v.dims.size() == 2 && numeric(v.type)) {
            grids.push_back(v);
        }
    }
    std::string listed;
    for (const variable_info &v : grids) {
        listed += (listed.empty() ? "" : ", ") + v.name;
    }
    if (!wanted.empty()) {
        int id = 0;
        if (nc_inq_varid(d.id(), wanted.c_str(), &id) != NC_NOERR) {
            throw failure(status_bad_data, d.name() + ": no variable '" + wanted + "'" +
                                               (grids.empty() ? " (and none is a 2-D numeric one)"
                                                              : "; the 2-D ones: " + listed));
        }
        variable_info v = describe(d, id);
        if (v.dims.size() != 2) {
            throw failure(status_bad_data, d.name() + ": '" + with_dimensions(d, v) + "' has " +
                                               std::to_string(v.dims.size()) +
                                               (v.dims.size() == 1 ? " dimension" : " dimensions") +
                                               "; a grid has two");
        }
        if (!numeric(v.type)) {
            throw failure(status_bad_data, d.name() + ": '" + v.name + "' holds " +
                                               type_name(v.type) + ", not numbers");
        }
        return v;
    }
    if (grids.size() == 1) {
        return grids.front();
    }
    if (grids.empty()) {
        throw failure(status_bad_data,
                      d.name() + ": no 2-D numeric variable to make a grid of" +
                          (all.empty() ? std::string(" (the file has no variables)")
                                       : " (its variables: " + all + ")"));
    }
    throw failure(status_bad_data, d.name() + ": several 2-D variables (" + listed +
                                       "): choose one with --variable");
}

std::optional<double> number_attribute(const dataset &d, int variable, const char *name) {
    nc_type type = NC_NAT;
    std::size_t length = 0;
    if (nc_inq_att(d.id(), variable, name, &type, &length) != NC_NOERR || length != 1 ||
        !numeric(type)) {
        return std::nullopt;
    }
    double value = 0;
    d.check(nc_get_att_double(d.id(), variable, name, &value), std::string("reading ") + name);
    return value;
}

// Reads a numeric variable of `total` elements into `out` as single precision, with fill and
// missing values as NaN and packed values unpacked. Returns how many values changed in rounding.
std::uint64_t read_values(const dataset &d, const variable_info &v, std::span<float> out,
                          std::size_t row_length) {
    const std::optional<double> fill = number_attribute(d, v.id, "_FillValue");
    const std::optional<double> missing = number_attribute(d, v.id, "missing_value");
    const std::optional<double> scale = number_attribute(d, v.id, "scale_factor");
    const std::optional<double> offset = number_attribute(d, v.id, "add_offset");
    const float nan = std::numeric_limits<float>::quiet_NaN();
    if (v.type == NC_FLOAT && !scale && !offset) {
        d.check(nc_get_var_float(d.id(), v.id, out.data()), "reading '" + v.name + "'");
        // Compared by bits: a NaN that is not the fill value keeps its payload.
        const auto bits_of = [](std::optional<double> value) -> std::optional<std::uint32_t> {
            if (!value) {
                return std::nullopt;
            }
            return std::bit_cast<std::uint32_t>(static_cast<float>(*value));
        };
        const std::optional<std::uint32_t> fill_bits = bits_of(fill);
        const std::optional<std::uint32_t> missing_bits = bits_of(missing);
        if (fill_bits || missing_bits) {
            for (float &f : out) {
                const auto b = std::bit_cast<std::uint32_t>(f);
                if (b == fill_bits || b == missing_bits) {
                    f = nan;
                }
            }
        }
        return 0;
    }
    const double factor = scale.value_or(1.0);
    const double shift = offset.value_or(0.0);
    const bool packed = scale || offset;
    std::uint64_t inexact = 0;
    // A block of whole rows at a time, so that doubles never take twice the grid's memory.
    const std::size_t rows_per_block =
        std::max<std::size_t>(1, (std::size_t{1} << 20) / row_length);
    const std::size_t rows = out.size() / row_length;
    std::vector<double> block(std::min(rows, rows_per_block) * row_length);
    for (std::size_t first = 0; first < rows; first += rows_per_block) {
        const std::size_t n = std::min(rows_per_block, rows - first);
        std::size_t start[2] = {first, 0};
        std::size_t count[2] = {n, row_length};
        if (v.dims.size() == 1) {
            start[0] = first * row_length;
            count[0] = n * row_length;
        }
        d.check(nc_get_vara_double(d.id(), v.id, start, count, block.data()),
                "reading '" + v.name + "'");
        for (std::size_t k = 0; k < n * row_length; ++k) {
            double value = block[k];
            float &f = out[first * row_length + k];
            if ((fill && (value == *fill || (std::isnan(value) && std::isnan(*fill)))) ||
                (missing && (value == *missing || (std::isnan(value) && std::isnan(*missing))))) {
                f = nan;
                continue;
            }
            if (packed) {
                value = value * factor + shift;
            }
            if (std::isfinite(value) && std::fabs(value) > std::numeric_limits<float>::max()) {
                throw failure(status_bad_data, d.name() + ": '" + v.name + "' holds " +
                                                   std::to_string(value) +
                                                   ", beyond the range of single precision");
            }
            f = static_cast<float>(value);
            if (!std::isnan(value) && static_cast<double>(f) != value) {
                ++inexact;
            }
        }
    }
    return inexact;
}

void note_rounding(std::vector<std::string> &warnings, const variable_info &v,
                   std::uint64_t inexact, std::size_t total, bool packed) {
    if (inexact > 0) {
        warnings.push_back("'" + v.name + "': " + std::to_string(inexact) + " of " +
                           std::to_string(total) + " values changed when rounded from " +
                           (packed ? "unpacked " + type_name(v.type) : type_name(v.type)) +
                           " to single precision");
    }
}

// The titles along a dimension: its coordinate variable, or the indices.
std::vector<float> titles(const dataset &d, int dim, std::size_t length,
                          std::vector<std::string> &warnings) {
    const std::string name = dimension_name(d, dim);
    std::vector<float> t(length);
    int id = 0;
    if (nc_inq_varid(d.id(), name.c_str(), &id) == NC_NOERR) {
        const variable_info v = describe(d, id);
        if (v.dims.size() == 1 && v.dims[0] == dim) {
            if (!numeric(v.type)) {
                throw failure(status_bad_data, d.name() + ": the coordinate variable '" + name +
                                                   "' holds " + type_name(v.type) +
                                                   ", not numbers");
            }
            const std::uint64_t inexact = read_values(d, v, t, 1);
            note_rounding(warnings, v, inexact, length,
                          number_attribute(d, id, "scale_factor").has_value());
            return t;
        }
    }
    for (std::size_t i = 0; i < length; ++i) {
        t[i] = static_cast<float>(i);
    }
    return t;
}

void open_dataset(dataset &d, const std::string &path, std::vector<char> &bytes) {
    if (path != "-") {
        d.check(nc_open(path.c_str(), NC_NOWRITE, d.handle()), "not a NetCDF file");
        return;
    }
    std::vector<char> block(std::size_t{1} << 20);
    std::size_t n = 0;
    while ((n = std::fread(block.data(), 1, block.size(), stdin)) > 0) {
        bytes.insert(bytes.end(), block.begin(), block.begin() + static_cast<long>(n));
    }
    if (std::ferror(stdin) != 0) {
        throw failure(status_bad_data, path + ": " + std::strerror(errno));
    }
    d.check(nc_open_mem("standard input", NC_NOWRITE, bytes.size(), bytes.data(), d.handle()),
            "not a NetCDF file");
}

// Whether the variable's stored values are the grid's values as they are: then they can be used
// where they lie in the file.
bool usable_as_stored(const dataset &d, const variable_info &v) {
    int format = 0;
    int storage = 0;
    int endian = 0;
    if (v.type != NC_FLOAT || number_attribute(d, v.id, "scale_factor") ||
        number_attribute(d, v.id, "add_offset") || number_attribute(d, v.id, "missing_value") ||
        nc_inq_format(d.id(), &format) != NC_NOERR ||
        (format != NC_FORMAT_NETCDF4 && format != NC_FORMAT_NETCDF4_CLASSIC) ||
        nc_inq_var_chunking(d.id(), v.id, &storage, nullptr) != NC_NOERR ||
        storage != NC_CONTIGUOUS || nc_inq_var_endian(d.id(), v.id, &endian) != NC_NOERR ||
        (endian == NC_ENDIAN_BIG) != (std::endian::native == std::endian::big)) {
        return false;
    }
    // NaN as the fill value is NaN already; any other must be replaced.
    const std::optional<double> fill = number_attribute(d, v.id, "_FillValue");
    return !fill || std::bit_cast<std::uint32_t>(static_cast<float>(*fill)) ==
                        std::bit_cast<std::uint32_t>(std::numeric_limits<float>::quiet_NaN());
}

// Where a dataset's values begin in its HDF5 file, when they are stored whole, unfiltered and as
// little-endian floats taking `bytes` bytes.
std::optional<std::uint64_t> stored_at(const std::string &path, const std::string &name,
                                       std::uint64_t bytes) {
    (void)H5Eset_auto2(H5E_DEFAULT, nullptr, nullptr); // a refusal here is not an error
    const hid_t file = H5Fopen(path.c_str(), H5F_ACC_RDONLY, H5P_DEFAULT);
    if (file < 0) {
        return std::nullopt;
    }
    std::optional<std::uint64_t> at;
    const hid_t set = H5Dopen2(file, name.c_str(), H5P_DEFAULT);
    if (set >= 0) {
        const hid_t layout = H5Dget_create_plist(set);
        const hid_t type = H5Dget_type(set);
        const haddr_t offset = H5Dget_offset(set);
        if (layout >= 0 && type >= 0 && H5Pget_layout(layout) == H5D_CONTIGUOUS &&
            H5Pget_nfilters(layout) == 0 && H5Tequal(type, H5T_IEEE_F32LE) > 0 &&
            offset != HADDR_UNDEF && H5Dget_storage_size(set) == bytes) {
            at = offset;
        }
        if (type >= 0) {
            H5Tclose(type);
        }
        if (layout >= 0) {
            H5Pclose(layout);
        }
        H5Dclose(set);
    }
    H5Fclose(file);
    return at;
}

} // namespace

std::vector<std::string> read_netcdf(const std::string &path, const std::string &variable,
                                     const std::function<void(const binmat::grid_view &)> &use) {
    auto d = std::make_unique<dataset>(path);
    std::vector<char> bytes;
    open_dataset(*d, path, bytes);
    const variable_info v = choose(*d, variable);
    std::size_t rows = 0;
    std::size_t columns = 0;
    d->check(nc_inq_dimlen(d->id(), v.dims[0], &rows), "reading a dimension");
    d->check(nc_inq_dimlen(d->id(), v.dims[1], &columns), "reading a dimension");
    const std::string shape = std::to_string(rows) + " by " + std::to_string(columns);
    if (rows == 0 || columns == 0) {
        throw failure(status_bad_data, d->name() + ": '" + v.name + "' is empty (" + shape + ")");
    }
    if (!binmat::storable_column_count(columns)) {
        throw failure(status_bad_data,
                      d->name() + ": '" + v.name + "' (" + shape +
                          ") has too many columns for the format: their titles must take under "
                          "2^31 bytes, and their count must be exact as a float");
    }
    if (rows >= (std::size_t{1} << 31)) {
        throw failure(status_bad_data, d->name() + ": '" + v.name + "' (" + shape +
                                           ") has too many rows for the format (under 2^31)");
    }
    std::vector<std::string> warnings;
    binmat::grid g;
    g.row_coordinates = titles(*d, v.dims[0], rows, warnings);
    g.column_coordinates = titles(*d, v.dims[1], columns, warnings);
    const std::size_t count = rows * columns; // both under 2^31: the product fits
    if (path != "-" && usable_as_stored(*d, v)) {
        d->close(); // HDF5 is asked directly, and refuses a file open twice in other modes
        const std::optional<std::uint64_t> at = stored_at(path, v.name, 4 * std::uint64_t{count});
        if (at && *at % alignof(float) == 0) {
            const mapped_file map(path);
            if (*at + 4 * std::uint64_t{count} <= map.bytes().size()) {
                const auto *values = reinterpret_cast<const float *>(map.bytes().data() + *at);
                use(binmat::grid_view(g.row_coordinates, g.column_coordinates,
                                      std::span(values, count)));
                return warnings;
            }
        }
        d = std::make_unique<dataset>(path);
        open_dataset(*d, path, bytes);
    }
    g.values.resize(count);
    const std::uint64_t inexact = read_values(*d, v, g.values, columns);
    note_rounding(warnings, v, inexact, count,
                  number_attribute(*d, v.id, "scale_factor").has_value() ||
                      number_attribute(*d, v.id, "add_offset").has_value());
    use(g);
    return warnings;
}

} // namespace cli
