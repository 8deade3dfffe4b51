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
    int group = -1;
    int id = -1;
    std::string name; // within its group
    std::string path; // the name in the root group, "/group/name" in any other
    nc_type type = NC_NAT;
    std::vector<int> dims;
};

// A group's full name: "/" for the root.
std::string group_path(const dataset &d, int group) {
    std::size_t length = 0;
    d.check(nc_inq_grpname_full(group, &length, nullptr), "reading a group");
    std::vector<char> name(length + 1);
    d.check(nc_inq_grpname_full(group, &length, name.data()), "reading a group");
    return std::string(name.data(), std::min(length, name.size() - 1));
}

variable_info describe(const dataset &d, int group, int id) {
    variable_info v;
    v.group = group;
    v.id = id;
    char name[NC_MAX_NAME + 1] = {};
    int ndims = 0;
    d.check(nc_inq_var(group, id, name, &v.type, &ndims, nullptr, nullptr), "reading a variable");
    v.name = name;
    v.path = group == d.id() ? v.name : group_path(d, group) + "/" + v.name;
    v.dims.resize(static_cast<std::size_t>(std::max(ndims, 0)));
    d.check(nc_inq_vardimid(group, id, v.dims.data()), "reading a variable");
    return v;
}

std::string dimension_name(const dataset &d, int group, int dim) {
    char name[NC_MAX_NAME + 1] = {};
    d.check(nc_inq_dimname(group, dim, name), "reading a dimension");
    return name;
}

std::size_t dimension_length(const dataset &d, int group, int dim) {
    std::size_t length = 0;
    d.check(nc_inq_dimlen(group, dim, &length), "reading a dimension");
    return length;
}

// "name(x, y)", or with the dimensions' lengths, "name(x=3, y=4)".
std::string dimensions_of(const dataset &d, const variable_info &v, bool lengths) {
    std::string s = v.path + "(";
    for (std::size_t i = 0; i < v.dims.size(); ++i) {
        if (i > 0) {
            s += ", ";
        }
        s += dimension_name(d, v.group, v.dims[i]);
        if (lengths) {
            s += '=';
            s += std::to_string(dimension_length(d, v.group, v.dims[i]));
        }
    }
    return s + ")";
}

// "'name(x, y)'", fit to quote.
std::string with_dimensions(const dataset &d, const variable_info &v) {
    return binmat::quoted(dimensions_of(d, v, false));
}

// Names for a message: a few of them, each fit to print.
std::string name_list(const std::vector<std::string> &names) {
    constexpr std::size_t shown = 10;
    std::string s;
    for (std::size_t i = 0; i < std::min(names.size(), shown); ++i) {
        if (i > 0) {
            s += ", ";
        }
        s += binmat::printable(names[i], 60);
    }
    if (names.size() > shown) {
        s += " and " + std::to_string(names.size() - shown) + " more";
    }
    return s;
}

// A text attribute, when the variable has one of a sensible length.
std::optional<std::string> text_attribute(int group, int variable, const char *name) {
    nc_type type = NC_NAT;
    std::size_t length = 0;
    if (nc_inq_att(group, variable, name, &type, &length) != NC_NOERR || type != NC_CHAR ||
        length > protocol::text_limit) {
        return std::nullopt;
    }
    std::string text(length, '\0');
    if (nc_get_att_text(group, variable, name, text.data()) != NC_NOERR) {
        return std::nullopt;
    }
    while (!text.empty() && text.back() == '\0') {
        text.pop_back();
    }
    return text;
}

std::vector<std::string> words(const std::string &text) {
    std::vector<std::string> out;
    std::size_t at = 0;
    while ((at = text.find_first_not_of(" \t\n", at)) != std::string::npos) {
        const std::size_t end = std::min(text.find_first_of(" \t\n", at), text.size());
        out.push_back(text.substr(at, end - at));
        at = end;
    }
    return out;
}

// Every group of the file, the root first; a nesting deeper than any real file's is refused.
void collect_groups(const dataset &d, int group, int depth, std::vector<int> &out) {
    constexpr int deepest = 32;
    constexpr std::size_t most = 4096;
    if (depth > deepest || out.size() >= most) {
        throw refusal("groups nested deeper than 32, or more than 4096 of them");
    }
    out.push_back(group);
    int count = 0;
    d.check(nc_inq_grps(group, &count, nullptr), "listing the groups");
    std::vector<int> children(static_cast<std::size_t>(std::max(count, 0)));
    d.check(nc_inq_grps(group, &count, children.data()), "listing the groups");
    for (const int child : children) {
        collect_groups(d, child, depth + 1, out);
    }
}

std::vector<variable_info> all_variables(const dataset &d) {
    std::vector<int> groups;
    collect_groups(d, d.id(), 0, groups);
    std::vector<variable_info> all;
    for (const int group : groups) {
        int count = 0;
        d.check(nc_inq_nvars(group, &count), "listing the variables");
        for (int id = 0; id < count; ++id) {
            all.push_back(describe(d, group, id));
        }
    }
    return all;
}

// A variable by the name its group or an enclosing one gives it, as CF looks coordinates up.
std::optional<variable_info> find_in_scope(const dataset &d, int group, const std::string &name) {
    for (int g = group, depth = 0; depth <= 32; ++depth) {
        int id = 0;
        if (nc_inq_varid(g, name.c_str(), &id) == NC_NOERR) {
            return describe(d, g, id);
        }
        int parent = 0;
        if (nc_inq_grp_parent(g, &parent) != NC_NOERR) {
            break;
        }
        g = parent;
    }
    return std::nullopt;
}

// Which of a variable's values make the grid: the start and count along each dimension, with
// the rows along one and the columns along a later one.
struct slab {
    std::vector<std::size_t> start;
    std::vector<std::size_t> count;
    std::size_t row_dim = 0;
    std::size_t rows = 0;
    std::size_t columns = 1;
    std::size_t column_dim = 0;
};

using index_list = std::vector<std::pair<std::string, std::uint64_t>>;

// The grid a variable makes with the dimensions fixed by `index`: dimensions of one value are
// dropped, from the first, until two are left. Empty when it makes one, else why not.
std::string grid_of(const dataset &d, const variable_info &v, const index_list &index, slab &s) {
    const std::size_t n = v.dims.size();
    s.start.assign(n, 0);
    s.count.assign(n, 1);
    std::vector<std::string> names(n);
    std::vector<std::size_t> lengths(n);
    for (std::size_t i = 0; i < n; ++i) {
        names[i] = dimension_name(d, v.group, v.dims[i]);
        lengths[i] = dimension_length(d, v.group, v.dims[i]);
    }
    std::vector<bool> fixed(n, false);
    for (const auto &[dim, at] : index) {
        const auto found = std::find(names.begin(), names.end(), dim);
        if (found == names.end()) {
            return with_dimensions(d, v) + " has no dimension " + binmat::quoted(dim) +
                   " for --index";
        }
        const auto k = static_cast<std::size_t>(found - names.begin());
        if (at >= lengths[k]) {
            return "--index " + binmat::printable(dim, 60) + "=" + std::to_string(at) + ": " +
                   binmat::quoted(dim) + " has " + std::to_string(lengths[k]) + " values (0 to " +
                   std::to_string(lengths[k] - 1) + ")";
        }
        fixed[k] = true;
        s.start[k] = static_cast<std::size_t>(at);
    }
    std::vector<std::size_t> kept;
    for (std::size_t i = 0; i < n; ++i) {
        if (!fixed[i]) {
            kept.push_back(i);
        }
    }
    for (auto it = kept.begin(); n > 2 && kept.size() > 2 && it != kept.end();) {
        it = lengths[*it] == 1 ? kept.erase(it) : it + 1;
    }
    if (kept.size() > 2) {
        std::string lengths_said;
        for (const std::size_t k : kept) {
            if (!lengths_said.empty()) {
                lengths_said += ", ";
            }
            lengths_said += binmat::printable(names[k], 60);
            lengths_said += " has ";
            lengths_said += std::to_string(lengths[k]);
        }
        return with_dimensions(d, v) + " has " + std::to_string(kept.size()) +
               " dimensions of more than one value (" + lengths_said +
               "); pick one slice with --index DIM=I for all but two";
    }
    if (kept.size() < 2) {
        if (index.empty()) {
            return with_dimensions(d, v) + " has " + std::to_string(n) +
                   (n == 1 ? " dimension" : " dimensions") + "; a grid has two";
        }
        return with_dimensions(d, v) + " keeps " + std::to_string(kept.size()) +
               (kept.size() == 1 ? " dimension" : " dimensions") + " after --index; a grid has two";
    }
    s.row_dim = kept[0];
    s.column_dim = kept[1];
    s.rows = lengths[kept[0]];
    s.columns = lengths[kept[1]];
    s.count[s.row_dim] = s.rows;
    s.count[s.column_dim] = s.columns;
    return {};
}

// Names that CF attributes give to variables that describe another: auxiliary coordinates and
// cell bounds, which are no grid a user means to convert.
std::vector<std::string> describing_names(const std::vector<variable_info> &all) {
    std::vector<std::string> names;
    for (const variable_info &v : all) {
        for (const char *attribute : {"coordinates", "bounds"}) {
            if (const std::optional<std::string> text = text_attribute(v.group, v.id, attribute)) {
                for (std::string &w : words(*text)) {
                    names.push_back(std::move(w));
                }
            }
        }
    }
    return names;
}

variable_info find_variable(const dataset &d, const std::string &wanted,
                            const std::vector<std::string> &grids) {
    const std::size_t slash = wanted.rfind('/');
    int group = d.id();
    const std::string name = slash == std::string::npos ? wanted : wanted.substr(slash + 1);
    const std::string in_group = slash == std::string::npos ? "" : wanted.substr(0, slash);
    int id = 0;
    if ((!in_group.empty() && nc_inq_grp_full_ncid(d.id(), in_group.c_str(), &group) != NC_NOERR) ||
        nc_inq_varid(group, name.c_str(), &id) != NC_NOERR) {
        throw refusal("no variable " + binmat::quoted(wanted) +
                      (grids.empty() ? " (and none is a 2-D numeric one)"
                                     : "; the 2-D ones: " + name_list(grids)));
    }
    return describe(d, group, id);
}

std::pair<variable_info, slab> choose(const dataset &d, const std::string &wanted,
                                      const index_list &index) {
    const std::vector<variable_info> all = all_variables(d);
    const std::vector<std::string> describing = describing_names(all);
    std::vector<std::pair<variable_info, slab>> grids;
    std::vector<std::string> listed;
    for (const variable_info &v : all) {
        slab s;
        if (numeric(v.type) && v.dims.size() >= 2 &&
            std::find(describing.begin(), describing.end(), v.name) == describing.end() &&
            grid_of(d, v, index, s).empty()) {
            grids.emplace_back(v, s);
            listed.push_back(v.path);
        }
    }
    if (!wanted.empty()) {
        const variable_info v = find_variable(d, wanted, listed);
        slab s;
        if (const std::string why = grid_of(d, v, index, s); !why.empty()) {
            throw refusal(why);
        }
        if (!numeric(v.type)) {
            throw refusal(binmat::quoted(v.path) + " holds " + type_name(v.type) + ", not numbers");
        }
        return {v, s};
    }
    if (grids.size() == 1) {
        return grids.front();
    }
    if (grids.empty()) {
        std::vector<std::string> variables;
        for (const variable_info &v : all) {
            if (variables.size() > 10) {
                break;
            }
            variables.push_back(dimensions_of(d, v, false));
        }
        throw refusal("no 2-D numeric variable to make a grid of" +
                      (all.empty() ? std::string(" (the file has no variables)")
                                   : " (its variables: " + name_list(variables) + ")"));
    }
    throw refusal("several 2-D variables (" + name_list(listed) + "): choose one with --variable");
}

std::optional<double> number_attribute(const dataset &d, const variable_info &v, const char *name) {
    nc_type type = NC_NAT;
    std::size_t length = 0;
    if (nc_inq_att(v.group, v.id, name, &type, &length) != NC_NOERR || length != 1 ||
        !numeric(type)) {
        return std::nullopt;
    }
    double value = 0;
    d.check(nc_get_att_double(v.group, v.id, name, &value), std::string("reading ") + name);
    return value;
}

// Classic files have no unsigned types: `_Unsigned = "true"` says a signed one holds them.
int unsigned_bits(const variable_info &v) {
    const std::optional<std::string> flag = text_attribute(v.group, v.id, "_Unsigned");
    if (!flag || (*flag != "true" && *flag != "TRUE" && *flag != "True")) {
        return 0;
    }
    switch (v.type) {
    case NC_BYTE:
        return 8;
    case NC_SHORT:
        return 16;
    case NC_INT:
        return 32;
    case NC_INT64:
        return 64;
    default:
        return 0;
    }
}

std::string value_type_name(const variable_info &v) {
    return (unsigned_bits(v) > 0 ? "unsigned " : "") + type_name(v.type);
}

// Reads the slab of a numeric variable into `out` as single precision, with fill and missing
// values as NaN and packed values unpacked. Returns how many values changed in rounding.
std::uint64_t read_values(const dataset &d, const variable_info &v, const slab &s,
                          std::span<float> out) {
    const std::optional<double> fill = number_attribute(d, v, "_FillValue");
    const std::optional<double> missing = number_attribute(d, v, "missing_value");
    const std::optional<double> scale = number_attribute(d, v, "scale_factor");
    const std::optional<double> offset = number_attribute(d, v, "add_offset");
    const float nan = std::numeric_limits<float>::quiet_NaN();
    if (v.type == NC_FLOAT && !scale && !offset) {
        d.check(nc_get_vara_float(v.group, v.id, s.start.data(), s.count.data(), out.data()),
                "reading " + binmat::quoted(v.path));
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
    const int bits = unsigned_bits(v);
    const double wrap = std::ldexp(1.0, bits);
    const auto flagged = [](std::optional<double> marker, double value) {
        return marker && (value == *marker || (std::isnan(value) && std::isnan(*marker)));
    };
    std::uint64_t inexact = 0;
    // A block of whole rows at a time, so that doubles never take twice the grid's memory.
    const std::size_t row_length = s.columns;
    const std::size_t rows_per_block =
        std::max<std::size_t>(1, (std::size_t{1} << 20) / row_length);
    std::vector<double> block(std::min(s.rows, rows_per_block) * row_length);
    std::vector<std::size_t> start = s.start;
    std::vector<std::size_t> count = s.count;
    for (std::size_t first = 0; first < s.rows; first += rows_per_block) {
        const std::size_t n = std::min(rows_per_block, s.rows - first);
        start[s.row_dim] = s.start[s.row_dim] + first;
        count[s.row_dim] = n;
        d.check(nc_get_vara_double(v.group, v.id, start.data(), count.data(), block.data()),
                "reading " + binmat::quoted(v.path));
        for (std::size_t k = 0; k < n * row_length; ++k) {
            double value = block[k];
            float &f = out[first * row_length + k];
            const double stored = bits > 0 && value < 0 ? value + wrap : value;
            if (flagged(fill, value) || flagged(missing, value) || flagged(fill, stored) ||
                flagged(missing, stored)) {
                f = nan;
                continue;
            }
            value = stored;
            if (packed) {
                value = value * factor + shift;
            }
            if (std::isfinite(value) && std::fabs(value) > std::numeric_limits<float>::max()) {
                throw refusal(binmat::quoted(v.path) + " holds " + std::to_string(value) +
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
        warnings.push_back(binmat::quoted(v.path) + ": " + std::to_string(inexact) + " of " +
                           std::to_string(total) + " values changed when rounded from " +
                           (packed ? "unpacked " : "") + value_type_name(v) +
                           " to single precision");
    }
}

bool is_packed(const dataset &d, const variable_info &v) {
    return number_attribute(d, v, "scale_factor").has_value() ||
           number_attribute(d, v, "add_offset").has_value();
}

// The coordinate variable of a dimension, when it has one that holds numbers.
std::optional<variable_info> coordinate_variable(const dataset &d, int group, int dim) {
    const std::string name = dimension_name(d, group, dim);
    std::optional<variable_info> v = find_in_scope(d, group, name);
    if (!v || v->dims.size() != 1 || v->dims[0] != dim) {
        return std::nullopt;
    }
    if (!numeric(v->type)) {
        throw refusal("the coordinate variable " + binmat::quoted(name) + " holds " +
                      type_name(v->type) + ", not numbers");
    }
    return v;
}

// The coordinates along a dimension into `out`: its coordinate variable, or the indices.
void read_coordinates(const dataset &d, int group, int dim, std::span<float> out,
                      std::vector<std::string> &warnings) {
    if (const std::optional<variable_info> v = coordinate_variable(d, group, dim)) {
        slab whole;
        whole.start = {0};
        whole.count = {out.size()};
        whole.rows = out.size();
        const std::uint64_t inexact = read_values(d, *v, whole, out);
        note_rounding(warnings, *v, inexact, out.size(), is_packed(d, *v));
        return;
    }
    for (std::size_t i = 0; i < out.size(); ++i) {
        out[i] = static_cast<float>(i);
    }
}

// A variable on a curvilinear grid names 2-D latitudes and longitudes as its coordinates: a
// grid of the format has one coordinate per row and per column, so they are not kept.
void note_curvilinear(const dataset &d, const variable_info &v,
                      std::vector<std::string> &warnings) {
    const std::optional<std::string> named = text_attribute(v.group, v.id, "coordinates");
    if (!named) {
        return;
    }
    std::vector<std::string> dropped;
    for (const std::string &name : words(*named)) {
        const std::optional<variable_info> c = find_in_scope(d, v.group, name);
        if (c && c->dims.size() >= 2) {
            dropped.push_back(name);
        }
    }
    if (!dropped.empty()) {
        warnings.push_back(binmat::quoted(v.path) +
                           " lies on a curvilinear grid: its 2-D coordinates (" +
                           name_list(dropped) +
                           ") cannot be kept; its rows and columns take their dimensions' "
                           "coordinates, or indices");
    }
}

// Whether the variable's stored values are the grid's values as they are: then binmat can map
// them where they lie in the file.
bool usable_as_stored(const dataset &d, const variable_info &v) {
    int format = 0;
    int storage = 0;
    int endian = 0;
    if (v.type != NC_FLOAT || number_attribute(d, v, "scale_factor") ||
        number_attribute(d, v, "add_offset") || number_attribute(d, v, "missing_value") ||
        nc_inq_format(d.id(), &format) != NC_NOERR ||
        (format != NC_FORMAT_NETCDF4 && format != NC_FORMAT_NETCDF4_CLASSIC) ||
        nc_inq_var_chunking(v.group, v.id, &storage, nullptr) != NC_NOERR ||
        storage != NC_CONTIGUOUS || nc_inq_var_endian(v.group, v.id, &endian) != NC_NOERR ||
        (endian == NC_ENDIAN_BIG) != (std::endian::native == std::endian::big)) {
        return false;
    }
    // NaN as the fill value is NaN already; any other must be replaced.
    const std::optional<double> fill = number_attribute(d, v, "_FillValue");
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

std::string format_name(const dataset &d) {
    int format = 0;
    d.check(nc_inq_format(d.id(), &format), "reading the format");
    switch (format) {
    case NC_FORMAT_CLASSIC:
        return "NetCDF classic";
    case NC_FORMAT_64BIT_OFFSET:
        return "NetCDF 64-bit offset";
    case NC_FORMAT_CDF5:
        return "NetCDF CDF-5";
    case NC_FORMAT_NETCDF4:
        return "NetCDF-4";
    case NC_FORMAT_NETCDF4_CLASSIC:
        return "NetCDF-4 classic model";
    default:
        return "NetCDF";
    }
}

// The file's variables, as info and check show them.
protocol::frame listing(const dataset &d) {
    protocol::frame f;
    f.what = protocol::kind::listing;
    f.file_kind = format_name(d);
    const std::vector<variable_info> all = all_variables(d);
    const std::vector<std::string> describing = describing_names(all);
    f.variable_count = all.size();
    for (const variable_info &v : all) {
        if (f.variables.size() == protocol::listed_limit) {
            break;
        }
        slab s;
        protocol::listed &l = f.variables.emplace_back();
        l.name = v.path;
        l.shape = dimensions_of(d, v, true);
        l.shape = l.shape.substr(v.path.size() + 1, l.shape.size() - v.path.size() - 2);
        l.type = value_type_name(v);
        if (!numeric(v.type) || v.dims.size() < 2 ||
            std::find(describing.begin(), describing.end(), v.name) != describing.end()) {
            continue;
        }
        if (grid_of(d, v, {}, s).empty()) {
            l.grid = 1;
            continue;
        }
        // Sliced at the first index of every dimension but the last two of more than one value.
        std::vector<std::size_t> wide;
        for (std::size_t i = 0; i < v.dims.size(); ++i) {
            if (dimension_length(d, v.group, v.dims[i]) > 1) {
                wide.push_back(i);
            }
        }
        for (std::size_t k = 0; wide.size() > 2 && k + 2 < wide.size(); ++k) {
            l.index += (l.index.empty() ? "--index " : " --index ") +
                       dimension_name(d, v.group, v.dims[wide[k]]) + "=0";
        }
        l.grid = l.index.empty() ? 0 : 2;
    }
    return f;
}

int decode(const protocol::request &r) {
    const bool stream = r.stream;
    input in;
    if (stream) {
        read_stream(in);
    } else {
        map_file(in, r.path);
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
        d.check(nc_open(r.path.c_str(), NC_NOWRITE, d.handle()), "not a NetCDF file");
    }
    if (r.list) {
        send(listing(d));
        return 0;
    }
    const auto [v, s] = choose(d, r.variable, r.index);
    const std::size_t rows = s.rows;
    const std::size_t columns = s.columns;
    const std::string shape = std::to_string(rows) + " by " + std::to_string(columns);
    if (rows == 0 || columns == 0) {
        throw refusal(binmat::quoted(v.path) + " is empty (" + shape + ")");
    }
    if (!binmat::storable_column_count(columns)) {
        throw refusal(binmat::quoted(v.path) + " (" + shape +
                      ") has too many columns for the format: their titles must take under "
                      "2^31 bytes, and their count must be exact as a float");
    }
    if (rows >= (std::size_t{1} << 31)) {
        throw refusal(binmat::quoted(v.path) + " (" + shape +
                      ") has too many rows for the format (under 2^31)");
    }
    const std::uint64_t count = std::uint64_t{rows} * columns; // both under 2^31
    protocol::frame description;
    description.what = protocol::kind::description;
    description.variable = v.path;
    description.rows = rows;
    description.columns = columns;
    if (!stream && usable_as_stored(d, v)) {
        // HDF5 is asked directly, through a second handle on the file netCDF-C has open. Its
        // storage holds the grid alone only when the other dimensions have one value each.
        const std::optional<std::uint64_t> at = stored_at(r.path, v.path, 4 * count);
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
    note_curvilinear(d, v, done.warnings);
    read_coordinates(d, v.group, v.dims[s.row_dim], out.first(rows), done.warnings);
    read_coordinates(d, v.group, v.dims[s.column_dim], out.subspan(rows, columns), done.warnings);
    if (!description.stored_whole) {
        const std::uint64_t inexact =
            read_values(d, v, s, out.subspan(static_cast<std::size_t>(coordinates)));
        note_rounding(done.warnings, v, inexact, static_cast<std::size_t>(count), is_packed(d, v));
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
        decode(r);
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
