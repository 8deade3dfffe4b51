// binmat-read-netcdf: decodes NetCDF files for binmat, each in a process of its own. netCDF-C and
// HDF5 were not written for hostile files: here a file that crashes them, loops in them or makes
// them ask for memory without end costs only the worker that decodes it, which sets limits on
// itself before it reads a byte. Not a command for people: binmat starts it, as
// `binmat-read-netcdf --serve` with its end of a connection on fd 3 (see netcdf_protocol.h).
//
// A worker has on fd 0 the socket on which binmat says go ('g') once the shared memory is sized,
// or closes it to give up; on fd 3 the input (a file to read by name, or a stream to read to its
// end); on fd 4 the pipe for its frames; on fd 5 the shared memory for the coordinates and the
// values.
#include "classic.h"
#include "protocol.h"
#include <binmat/formats/quote.h>

#include <binmat/layout.h>

#include <netcdf.h>
#include <netcdf_mem.h>

#include <hdf5.h>

#include <algorithm>
#include <bit>
#include <cerrno>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <limits>
#include <optional>
#include <poll.h>
#include <span>
#include <stdexcept>
#include <string>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#if __has_include(<valgrind/valgrind.h>)
#include <valgrind/valgrind.h>
#else
#define RUNNING_ON_VALGRIND 0
#endif

namespace {

namespace protocol = binmat::netcdf_protocol;
using binmat::quoted;

// The server's: the connection to binmat. A worker's: the rest.
constexpr int control_fd = 3;
constexpr int go_fd = 0;
constexpr int input_fd = 3;
constexpr int reply_fd = 4;
constexpr int memory_fd = 5;

// Seconds of CPU time to open a file and describe it, and then per GiB of values.
constexpr rlim_t describing_seconds = 10;
constexpr rlim_t seconds_per_gib = 30;
// Room to open a file beyond what this process holds already, and beyond the values.
constexpr std::uint64_t headroom = std::uint64_t{1} << 30;

// A reason to refuse the file, said in a refusal frame.
struct refusal : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// Address-space limits cannot be kept where a sanitizer reserves its shadow or valgrind runs.
bool address_limits_apply() {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    return false;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(memory_sanitizer) ||                         \
    __has_feature(thread_sanitizer)
    return false;
#else
    return RUNNING_ON_VALGRIND == 0;
#endif
#else
    return RUNNING_ON_VALGRIND == 0;
#endif
}

// What the process held when it first limited itself: the limits say how much it may grow beyond.
std::uint64_t address_space_before() {
    static const std::uint64_t measured = [] {
        std::ifstream statm("/proc/self/statm");
        std::uint64_t pages = 0;
        statm >> pages;
        return pages * static_cast<std::uint64_t>(::sysconf(_SC_PAGESIZE));
    }();
    return measured;
}

void limit(int resource, rlim_t soft) {
    rlimit l{};
    if (::getrlimit(resource, &l) == 0) {
        // Below a CPU time limit set from outside, so that SIGXCPU says why before SIGKILL does.
        const rlim_t most = resource == RLIMIT_CPU && l.rlim_max > 1 ? l.rlim_max - 1 : l.rlim_max;
        l.rlim_cur = l.rlim_max == RLIM_INFINITY ? soft : std::min(soft, most);
        (void)::setrlimit(resource, &l);
    }
}

// Room for this process to grow by `more` bytes of address space beyond what it held before it
// read the file, and no further.
void limit_address_space(std::uint64_t more) {
    if (address_limits_apply()) {
        limit(RLIMIT_AS, static_cast<rlim_t>(address_space_before() + more));
    }
}

void send(const protocol::frame &f) {
    const std::vector<unsigned char> bytes = protocol::encode(f);
    for (std::size_t done = 0; done < bytes.size();) {
        const ssize_t n = ::write(reply_fd, bytes.data() + done, bytes.size() - done);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            ::_exit(3); // binmat has gone: nothing to tell
        }
        done += static_cast<std::size_t>(n);
    }
}

// An open NetCDF file, closed when done with.
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

    // Throws for a status other than success, saying what was being done.
    void check(int status, const std::string &doing) const {
        if (status != NC_NOERR) {
            throw refusal(doing + ": " + nc_strerror(status));
        }
    }

  private:
    int id_ = -1;
};

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

// Bytes of one stored value, for the memory that decoding may take.
std::uint64_t stored_size(nc_type t) {
    switch (t) {
    case NC_BYTE:
    case NC_UBYTE:
        return 1;
    case NC_SHORT:
    case NC_USHORT:
        return 2;
    case NC_INT:
    case NC_UINT:
    case NC_FLOAT:
        return 4;
    default:
        return 8;
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
    v.dims.resize(static_cast<std::size_t>(std::max(ndims, 0)));
    d.check(nc_inq_vardimid(d.id(), id, v.dims.data()), "reading a variable");
    return v;
}

std::string dimension_name(const dataset &d, int dim) {
    char name[NC_MAX_NAME + 1] = {};
    d.check(nc_inq_dimname(d.id(), dim, name), "reading a dimension");
    return name;
}

// "'name(x, y)'", fit to quote.
std::string with_dimensions(const dataset &d, const variable_info &v) {
    std::string s = v.name + "(";
    for (std::size_t i = 0; i < v.dims.size(); ++i) {
        s += (i > 0 ? ", " : "") + dimension_name(d, v.dims[i]);
    }
    return binmat::quoted(s + ")");
}

// Names for a message: a few of them, each fit to print.
std::string name_list(const std::vector<std::string> &names) {
    constexpr std::size_t shown = 10;
    std::string s;
    for (std::size_t i = 0; i < std::min(names.size(), shown); ++i) {
        s += (i > 0 ? ", " : "") + binmat::printable(names[i], 60);
    }
    if (names.size() > shown) {
        s += " and " + std::to_string(names.size() - shown) + " more";
    }
    return s;
}

variable_info choose(const dataset &d, const std::string &wanted) {
    int count = 0;
    d.check(nc_inq_nvars(d.id(), &count), "listing the variables");
    std::vector<variable_info> grids;
    std::vector<std::string> all;
    for (int id = 0; id < count; ++id) {
        variable_info v = describe(d, id);
        if (all.size() <= 10) {
            all.push_back(with_dimensions(d, v));
        }
        if (v.dims.size() == 2 && numeric(v.type)) {
            grids.push_back(v);
        }
    }
    std::vector<std::string> listed;
    listed.reserve(grids.size());
    for (const variable_info &v : grids) {
        listed.push_back(v.name);
    }
    if (!wanted.empty()) {
        int id = 0;
        if (nc_inq_varid(d.id(), wanted.c_str(), &id) != NC_NOERR) {
            throw refusal("no variable " + binmat::quoted(wanted) +
                          (grids.empty() ? " (and none is a 2-D numeric one)"
                                         : "; the 2-D ones: " + name_list(listed)));
        }
        variable_info v = describe(d, id);
        if (v.dims.size() != 2) {
            throw refusal(with_dimensions(d, v) + " has " + std::to_string(v.dims.size()) +
                          (v.dims.size() == 1 ? " dimension" : " dimensions") + "; a grid has two");
        }
        if (!numeric(v.type)) {
            throw refusal(binmat::quoted(v.name) + " holds " + type_name(v.type) + ", not numbers");
        }
        return v;
    }
    if (grids.size() == 1) {
        return grids.front();
    }
    if (grids.empty()) {
        std::string variables;
        for (std::size_t i = 0; i < all.size() && i < 10; ++i) {
            variables += (i > 0 ? ", " : "") + all[i];
        }
        if (count > 10) {
            variables += " and " + std::to_string(count - 10) + " more";
        }
        throw refusal("no 2-D numeric variable to make a grid of" +
                      (count == 0 ? std::string(" (the file has no variables)")
                                  : " (its variables: " + variables + ")"));
    }
    throw refusal("several 2-D variables (" + name_list(listed) + "): choose one with --variable");
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

// Reads a numeric variable into `out` as single precision, with fill and missing values as NaN
// and packed values unpacked. Returns how many values changed in rounding.
std::uint64_t read_values(const dataset &d, const variable_info &v, std::span<float> out,
                          std::size_t row_length) {
    const std::optional<double> fill = number_attribute(d, v.id, "_FillValue");
    const std::optional<double> missing = number_attribute(d, v.id, "missing_value");
    const std::optional<double> scale = number_attribute(d, v.id, "scale_factor");
    const std::optional<double> offset = number_attribute(d, v.id, "add_offset");
    const float nan = std::numeric_limits<float>::quiet_NaN();
    if (v.type == NC_FLOAT && !scale && !offset) {
        d.check(nc_get_var_float(d.id(), v.id, out.data()), "reading " + binmat::quoted(v.name));
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
                "reading " + binmat::quoted(v.name));
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
                throw refusal(binmat::quoted(v.name) + " holds " + std::to_string(value) +
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
        warnings.push_back(binmat::quoted(v.name) + ": " + std::to_string(inexact) + " of " +
                           std::to_string(total) + " values changed when rounded from " +
                           (packed ? "unpacked " + type_name(v.type) : type_name(v.type)) +
                           " to single precision");
    }
}

// The coordinate variable of a dimension, when it has one that holds numbers.
std::optional<variable_info> coordinate_variable(const dataset &d, int dim) {
    const std::string name = dimension_name(d, dim);
    int id = 0;
    if (nc_inq_varid(d.id(), name.c_str(), &id) != NC_NOERR) {
        return std::nullopt;
    }
    variable_info v = describe(d, id);
    if (v.dims.size() != 1 || v.dims[0] != dim) {
        return std::nullopt;
    }
    if (!numeric(v.type)) {
        throw refusal("the coordinate variable " + binmat::quoted(name) + " holds " +
                      type_name(v.type) + ", not numbers");
    }
    return v;
}

// The coordinates along a dimension into `out`: its coordinate variable, or the indices.
void read_coordinates(const dataset &d, int dim, std::span<float> out,
                      std::vector<std::string> &warnings) {
    if (const std::optional<variable_info> v = coordinate_variable(d, dim)) {
        const std::uint64_t inexact = read_values(d, *v, out, 1);
        note_rounding(warnings, *v, inexact, out.size(),
                      number_attribute(d, v->id, "scale_factor").has_value());
        return;
    }
    for (std::size_t i = 0; i < out.size(); ++i) {
        out[i] = static_cast<float>(i);
    }
}

// Whether the variable's stored values are the grid's values as they are: then binmat can map
// them where they lie in the file.
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

// The input, whole: a stream is read to its end into memory, which grows with what arrives; a
// file is mapped for as long as its header is checked.
struct input {
    std::vector<unsigned char> bytes; // a stream's
    const unsigned char *mapped = nullptr;
    std::size_t length = 0;

    input() = default;
    input(const input &) = delete;
    input &operator=(const input &) = delete;
    ~input() { unmap(); }

    std::span<const unsigned char> view() const {
        return mapped != nullptr ? std::span(mapped, length) : std::span(bytes);
    }
    void unmap() {
        if (mapped != nullptr) {
            ::munmap(const_cast<unsigned char *>(mapped), length);
            mapped = nullptr;
        }
    }
};

// Whether a NetCDF file could begin with `head`: the classic signature, or HDF5's at the start
// or after a user block of 512, 1024, 2048... bytes, within what has arrived.
bool signed_as_netcdf(std::span<const unsigned char> head) {
    if (binmat::is_netcdf_classic(head)) {
        return true;
    }
    constexpr unsigned char hdf5[8] = {0x89, 'H', 'D', 'F', '\r', '\n', 0x1A, '\n'};
    for (std::size_t at = 0; at + sizeof hdf5 <= head.size(); at = at == 0 ? 512 : 2 * at) {
        if (std::memcmp(head.data() + at, hdf5, sizeof hdf5) == 0) {
            return true;
        }
    }
    return false;
}

// Reads a stream to its end, but stops as soon as it is plainly no NetCDF file: a stream may
// never end (/dev/zero).
void read_stream(input &in) {
    constexpr std::size_t signature_window = std::size_t{1} << 20;
    std::size_t have = 0;
    bool signed_ok = false;
    for (;;) {
        if (!signed_ok && have >= signature_window) {
            signed_ok = signed_as_netcdf(std::span(in.bytes).first(have));
            if (!signed_ok) {
                throw refusal("not a NetCDF file: it begins with the signature of neither "
                              "NetCDF classic nor HDF5");
            }
        }
        in.bytes.resize(have == 0 ? std::size_t{1} << 16 : 2 * have);
        const ssize_t n = ::read(input_fd, in.bytes.data() + have, in.bytes.size() - have);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0) {
            throw refusal(std::string("read error: ") + std::strerror(errno));
        }
        if (n == 0) {
            in.bytes.resize(have);
            if (!signed_ok && !signed_as_netcdf(in.bytes)) {
                throw refusal("not a NetCDF file: it begins with the signature of neither "
                              "NetCDF classic nor HDF5");
            }
            return;
        }
        have += static_cast<std::size_t>(n);
        in.bytes.resize(have); // so that the next round doubles what arrived, not what was asked
    }
}

void map_file(input &in, const std::string &path) {
    struct stat opened {};
    struct stat named {};
    if (::fstat(input_fd, &opened) != 0 || ::stat(path.c_str(), &named) != 0 ||
        opened.st_dev != named.st_dev || opened.st_ino != named.st_ino) {
        throw refusal("the file changed while it was read");
    }
    in.length = static_cast<std::size_t>(opened.st_size);
    // Only a classic file's header is checked here; any other is left to netCDF-C at once.
    unsigned char head[4] = {};
    if (::pread(input_fd, head, sizeof head, 0) != static_cast<ssize_t>(sizeof head) ||
        !binmat::is_netcdf_classic(head)) {
        return;
    }
    if (in.length > 0) {
        void *p = ::mmap(nullptr, in.length, PROT_READ, MAP_PRIVATE, input_fd, 0);
        if (p == MAP_FAILED) {
            throw refusal(std::string("cannot be mapped: ") + std::strerror(errno));
        }
        in.mapped = static_cast<const unsigned char *>(p);
    }
}

bool go_ahead() {
    char c = 0;
    ssize_t n = 0;
    do {
        n = ::read(go_fd, &c, 1);
    } while (n < 0 && errno == EINTR);
    return n == 1 && c == 'g';
}

int decode(const std::string &variable, const std::string &path, bool stream) {
    input in;
    if (stream) {
        read_stream(in);
    } else {
        map_file(in, path);
    }
    const std::string problem = binmat::classic_problem(in.view());
    if (!problem.empty()) {
        throw refusal(problem);
    }
    in.unmap(); // netCDF-C reads the file itself
    // From here on netCDF-C and HDF5 read the file, within bounds.
    limit_address_space(headroom);
    dataset d;
    if (stream) {
        d.check(
            nc_open_mem("standard input", NC_NOWRITE, in.bytes.size(), in.bytes.data(), d.handle()),
            "not a NetCDF file");
    } else {
        d.check(nc_open(path.c_str(), NC_NOWRITE, d.handle()), "not a NetCDF file");
    }
    const variable_info v = choose(d, variable);
    std::size_t rows = 0;
    std::size_t columns = 0;
    d.check(nc_inq_dimlen(d.id(), v.dims[0], &rows), "reading a dimension");
    d.check(nc_inq_dimlen(d.id(), v.dims[1], &columns), "reading a dimension");
    const std::string shape = std::to_string(rows) + " by " + std::to_string(columns);
    if (rows == 0 || columns == 0) {
        throw refusal(binmat::quoted(v.name) + " is empty (" + shape + ")");
    }
    if (!binmat::storable_column_count(columns)) {
        throw refusal(binmat::quoted(v.name) + " (" + shape +
                      ") has too many columns for the format: their titles must take under "
                      "2^31 bytes, and their count must be exact as a float");
    }
    if (rows >= (std::size_t{1} << 31)) {
        throw refusal(binmat::quoted(v.name) + " (" + shape +
                      ") has too many rows for the format (under 2^31)");
    }
    const std::uint64_t count = std::uint64_t{rows} * columns; // both under 2^31
    protocol::frame description;
    description.what = protocol::kind::description;
    description.variable = v.name;
    description.rows = rows;
    description.columns = columns;
    if (!stream && usable_as_stored(d, v)) {
        // HDF5 is asked directly, through a second handle on the file netCDF-C has open.
        const std::optional<std::uint64_t> at = stored_at(path, v.name, 4 * count);
        description.stored_whole = at.has_value();
        description.offset = at.value_or(0);
    }
    send(description);
    if (!go_ahead()) {
        return 0;
    }
    // Decoding may take memory and time in proportion to the values it decodes.
    const std::uint64_t coordinates = std::uint64_t{rows} + columns;
    const std::uint64_t floats = coordinates + (description.stored_whole ? 0 : count);
    limit_address_space(4 * floats + 2 * count * stored_size(v.type) + headroom);
    limit(RLIMIT_CPU,
          describing_seconds +
              static_cast<rlim_t>((count * stored_size(v.type) >> 30) + 1) * seconds_per_gib);
    void *shared = ::mmap(nullptr, static_cast<std::size_t>(4 * floats), PROT_READ | PROT_WRITE,
                          MAP_SHARED, memory_fd, 0);
    if (shared == MAP_FAILED) {
        throw refusal(std::string("cannot map the memory for the values: ") + std::strerror(errno));
    }
    const std::span<float> out(static_cast<float *>(shared), static_cast<std::size_t>(floats));
    protocol::frame done;
    done.what = protocol::kind::done;
    read_coordinates(d, v.dims[0], out.first(rows), done.warnings);
    read_coordinates(d, v.dims[1], out.subspan(rows, columns), done.warnings);
    if (!description.stored_whole) {
        const std::uint64_t inexact =
            read_values(d, v, out.subspan(static_cast<std::size_t>(coordinates)), columns);
        note_rounding(done.warnings, v, inexact, static_cast<std::size_t>(count),
                      number_attribute(d, v.id, "scale_factor").has_value() ||
                          number_attribute(d, v.id, "add_offset").has_value());
    }
    send(done);
    return 0;
}

// Decodes one file in a worker: its descriptors put where decode() looks for them, its limits
// set, before it reads a byte.
[[noreturn]] void work(const int (&fds)[4], const protocol::request &r) {
    int moved[4];
    for (int i = 0; i < 4; ++i) {
        moved[i] = ::fcntl(fds[i], F_DUPFD_CLOEXEC, 10);
        ::close(fds[i]);
    }
    const int places[4] = {input_fd, go_fd, reply_fd, memory_fd};
    for (int i = 0; i < 4; ++i) {
        if (moved[i] < 0 || ::dup2(moved[i], places[i]) < 0) {
            ::_exit(3);
        }
        ::close(moved[i]);
    }
    // Never leave a core, never write a file.
    limit(RLIMIT_CORE, 0);
    limit(RLIMIT_FSIZE, 0);
    limit(RLIMIT_CPU, describing_seconds);
    try {
        decode(r.variable, r.stream ? std::string() : r.path, r.stream);
    } catch (const refusal &e) {
        protocol::frame f;
        f.reason = e.what();
        send(f);
    } catch (const std::bad_alloc &) {
        protocol::frame f;
        f.reason = "decoding it needs more memory than its size allows";
        send(f);
    }
    // Without the exit handlers: they belong to the server.
    ::_exit(0);
}

// Writes and reads back a tiny grid of its own in memory: the libraries' first use, with its
// allocations and copies of the server's pages, is paid before a file is asked for.
void warm_up() {
    int id = -1;
    if (nc_create_mem("warm", NC_NETCDF4, 4096, &id) != NC_NOERR) {
        return;
    }
    int dims[2] = {0, 0};
    int z = 0;
    const float values[4] = {1, 2, 3, 4};
    NC_memio image{};
    const bool made = nc_def_dim(id, "x", 2, &dims[0]) == NC_NOERR &&
                      nc_def_dim(id, "y", 2, &dims[1]) == NC_NOERR &&
                      nc_def_var(id, "z", NC_FLOAT, 2, dims, &z) == NC_NOERR &&
                      nc_enddef(id) == NC_NOERR && nc_put_var_float(id, z, values) == NC_NOERR;
    if (nc_close_memio(id, &image) != NC_NOERR || !made) {
        std::free(image.memory);
        return;
    }
    if (nc_open_mem("warm", NC_NOWRITE, image.size, image.memory, &id) == NC_NOERR) {
        float back[4] = {};
        (void)nc_get_var_float(id, z, back);
        nc_close(id);
    }
    std::free(image.memory);
}

// What a worker does until it is asked for a file: waits, forked and warmed up already, so that
// forking and the libraries' first use are not paid while binmat waits.
constexpr int unasked = 4;

[[noreturn]] void wait_for_a_file(pid_t server) {
    (void)::prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (::getppid() != server) {
        ::_exit(unasked);
    }
    // Warmed up while binmat has not asked yet; a request already waiting is served at once.
    pollfd waiting{control_fd, POLLIN, 0};
    if (::poll(&waiting, 1, 0) == 0) {
        warm_up();
    }
    std::vector<unsigned char> bytes(protocol::request_limit);
    alignas(cmsghdr) char control[CMSG_SPACE(4 * sizeof(int))] = {};
    iovec part{bytes.data(), bytes.size()};
    msghdr message{};
    message.msg_iov = &part;
    message.msg_iovlen = 1;
    message.msg_control = control;
    message.msg_controllen = sizeof control;
    ssize_t n = 0;
    do {
        n = ::recvmsg(control_fd, &message, MSG_CMSG_CLOEXEC);
    } while (n < 0 && errno == EINTR);
    ::close(control_fd); // the connection is the server's; this worker has what it needs
    if (n <= 0) {
        ::_exit(unasked); // binmat has gone
    }
    int fds[4] = {-1, -1, -1, -1};
    std::size_t received = 0;
    for (cmsghdr *c = CMSG_FIRSTHDR(&message); c != nullptr; c = CMSG_NXTHDR(&message, c)) {
        if (c->cmsg_level == SOL_SOCKET && c->cmsg_type == SCM_RIGHTS) {
            received = (c->cmsg_len - CMSG_LEN(0)) / sizeof(int);
            std::memcpy(fds, CMSG_DATA(c), std::min<std::size_t>(received, 4) * sizeof(int));
        }
    }
    protocol::request r;
    bytes.resize(static_cast<std::size_t>(n));
    if (received != 4 || (message.msg_flags & (MSG_TRUNC | MSG_CTRUNC)) != 0 ||
        !protocol::decode(bytes, r)) {
        ::_exit(3); // not binmat's request: nothing to answer on
    }
    work(fds, r);
}

void tell(const protocol::news &n) {
    while (::send(control_fd, &n, sizeof n, MSG_NOSIGNAL) < 0 && errno == EINTR) {
    }
}

// Serves binmat until it closes the connection: a worker for each file, forked ahead of the
// request where binmat leaves the time, which the worker takes from the connection itself. The
// server says when each worker started and how it ended.
int serve() {
    // Loaded and made ready once, so that a worker starts as a copy of a ready process. Nothing
    // from a file has been read here, and no thread started: forking is safe.
    (void)nc_initialize();
    (void)H5open();
    const pid_t self = ::getpid();
    for (bool first = true;; first = false) {
        // The next worker is forked when binmat asks, or a moment after the last one ended: not
        // at once, when it would warm up while binmat is still busy with the last file.
        if (!first) {
            pollfd asked{control_fd, POLLIN, 0};
            while (::poll(&asked, 1, 50) < 0 && errno == EINTR) {
            }
        }
        const pid_t pid = ::fork();
        if (pid == 0) {
            wait_for_a_file(self);
        }
        if (pid < 0) {
            return 1; // binmat sees the server stop, and says so
        }
        tell({protocol::news::started, pid});
        int status = 0;
        while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
        }
        if (WIFEXITED(status) && WEXITSTATUS(status) == unasked) {
            return 0;
        }
        tell({protocol::news::ended, status});
    }
}

} // namespace

int main(int argc, char **argv) {
    // Never outlive binmat.
    (void)::prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (argc != 2 || std::string(argv[1]) != "--serve" || ::getppid() == 1) {
        std::fputs("binmat-read-netcdf is started by binmat, not by hand\n", stderr);
        return 2;
    }
    return serve();
}
