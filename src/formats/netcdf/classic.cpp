#include "classic.h"

#include <algorithm>
#include <cstring>
#include <limits>
#include <optional>
#include <vector>

namespace binmat {

namespace {

constexpr std::uint64_t dimension_tag = 0x0A;
constexpr std::uint64_t variable_tag = 0x0B;
constexpr std::uint64_t attribute_tag = 0x0C;
constexpr std::uint64_t streaming = 0xFFFFFFFF;
constexpr std::uint64_t unknown = std::numeric_limits<std::uint64_t>::max();

// Bytes of one value of each external type; 0 for a type that is not one.
std::uint64_t type_size(std::uint64_t type, int version) {
    switch (type) {
    case 1: // byte
    case 2: // char
        return 1;
    case 3: // short
        return 2;
    case 4: // int
    case 5: // float
        return 4;
    case 6: // double
        return 8;
    case 7: // unsigned byte, and the rest CDF-5 only
        return version == 5 ? 1 : 0;
    case 8:
        return version == 5 ? 2 : 0;
    case 9:
        return version == 5 ? 4 : 0;
    case 10:
    case 11:
        return version == 5 ? 8 : 0;
    default:
        return 0;
    }
}

// a * b, or `unknown` when it does not fit.
std::uint64_t times(std::uint64_t a, std::uint64_t b) {
    if (a == unknown || b == unknown || (a != 0 && b > unknown / a)) {
        return unknown;
    }
    return a * b;
}

std::uint64_t plus(std::uint64_t a, std::uint64_t b) {
    return a == unknown || b == unknown || b > unknown - a ? unknown : a + b;
}

std::uint64_t padded(std::uint64_t n) { return n == unknown ? unknown : plus(n, (4 - n % 4) % 4); }

// Big-endian fields of the sizes the version gives, read with every length checked.
class header_reader {
  public:
    header_reader(std::span<const unsigned char> bytes, int version)
        : bytes_(bytes), version_(version) {}

    bool number(std::uint64_t &n, std::size_t width) {
        if (bytes_.size() - at_ < width) {
            return false;
        }
        n = 0;
        for (std::size_t i = 0; i < width; ++i) {
            n = n << 8 | bytes_[at_ + i];
        }
        at_ += width;
        return true;
    }
    // A count or size: 8 bytes in CDF-5, 4 before.
    bool count(std::uint64_t &n) { return number(n, version_ == 5 ? 8 : 4); }
    // A file offset: 4 bytes in CDF-1, 8 after.
    bool offset(std::uint64_t &n) { return number(n, version_ == 1 ? 4 : 8); }
    bool skip(std::uint64_t n) {
        if (n == unknown || bytes_.size() - at_ < n) {
            return false;
        }
        at_ += static_cast<std::size_t>(n);
        return true;
    }
    bool name() {
        std::uint64_t n = 0;
        return count(n) && skip(padded(n));
    }
    // A list's tag and its count; an absent list is tag 0 with no elements. Each element takes at
    // least `least` bytes, so a count the rest of the header cannot hold is a header cut short.
    bool list(std::uint64_t tag, std::uint64_t &n, std::uint64_t least) {
        std::uint64_t found = 0;
        if (!number(found, 4) || !count(n)) {
            return false;
        }
        if (found == 0 && n == 0) {
            return true;
        }
        if (found != tag) {
            malformed_ = true;
            return false;
        }
        return n <= (bytes_.size() - at_) / least;
    }
    bool attributes() {
        std::uint64_t n = 0;
        if (!list(attribute_tag, n, 12)) {
            return false;
        }
        for (std::uint64_t i = 0; i < n; ++i) {
            std::uint64_t type = 0;
            std::uint64_t values = 0;
            if (!name() || !number(type, 4) || !count(values)) {
                return false;
            }
            const std::uint64_t size = type_size(type, version_);
            if (size == 0) {
                malformed_ = true;
                return false;
            }
            if (!skip(padded(times(values, size)))) {
                return false;
            }
        }
        return true;
    }
    bool malformed() const { return malformed_; }
    int version() const { return version_; }

  private:
    std::span<const unsigned char> bytes_;
    std::size_t at_ = 0;
    int version_;
    bool malformed_ = false;
};

struct variable {
    bool record = false;
    std::uint64_t bytes = 0; // of all its values, or of one record's
    std::uint64_t begin = 0;
};

std::string both_sizes(std::uint64_t declared, std::uint64_t length) {
    return "its header declares " + std::to_string(declared) + " bytes, the file has " +
           std::to_string(length);
}

} // namespace

bool is_netcdf_classic(std::span<const unsigned char> head) {
    return head.size() >= 4 && std::memcmp(head.data(), "CDF", 3) == 0 &&
           (head[3] == 1 || head[3] == 2 || head[3] == 5);
}

std::string classic_problem(std::span<const unsigned char> file) {
    if (!is_netcdf_classic(file)) {
        return {};
    }
    header_reader r(file.subspan(4), file[3]);
    std::string cut_short =
        "a NetCDF classic file cut short inside its header, which is longer than the " +
        std::to_string(file.size()) + " bytes of the file";
    std::uint64_t records = 0;
    std::uint64_t n = 0;
    if (!r.count(records) || !r.list(dimension_tag, n, 8)) {
        return r.malformed() ? std::string{} : cut_short;
    }
    std::vector<std::uint64_t> dimensions;
    for (std::uint64_t i = 0; i < n; ++i) {
        if (!r.name() || !r.count(dimensions.emplace_back())) {
            return cut_short;
        }
    }
    if (!r.attributes() || !r.list(variable_tag, n, 16)) {
        return r.malformed() ? std::string{} : cut_short;
    }
    std::vector<variable> variables;
    for (std::uint64_t i = 0; i < n; ++i) {
        std::uint64_t rank = 0;
        if (!r.name() || !r.count(rank) || rank > file.size()) {
            return cut_short;
        }
        variable v;
        std::uint64_t values = 1;
        for (std::uint64_t k = 0; k < rank; ++k) {
            std::uint64_t id = 0;
            if (!r.count(id)) {
                return cut_short;
            }
            if (id >= dimensions.size()) {
                return {}; // a dimension that does not exist: netCDF-C refuses the file itself
            }
            if (dimensions[id] == 0 && k == 0) {
                v.record = true;
            } else {
                values = times(values, dimensions[id]);
            }
        }
        std::uint64_t type = 0;
        std::uint64_t size = 0;
        if (!r.attributes() || !r.number(type, 4) || !r.count(size) || !r.offset(v.begin)) {
            return r.malformed() ? std::string{} : cut_short;
        }
        const std::uint64_t each = type_size(type, r.version());
        if (each == 0) {
            return {};
        }
        v.bytes = times(values, each);
        variables.push_back(v);
    }
    // Record variables share each record, each padded to four bytes unless it is alone.
    const auto record_variables = static_cast<std::size_t>(std::count_if(
        variables.begin(), variables.end(), [](const variable &v) { return v.record; }));
    std::uint64_t record_size = 0;
    for (const variable &v : variables) {
        if (v.record) {
            record_size = plus(record_size, record_variables == 1 ? v.bytes : padded(v.bytes));
        }
    }
    std::uint64_t declared = 0;
    for (const variable &v : variables) {
        std::uint64_t end = plus(v.begin, v.bytes);
        if (v.record) {
            if (records == streaming || records == unknown || records == 0) {
                continue; // numbered by the file's length, or none yet
            }
            end = plus(v.begin, plus(times(records - 1, record_size), v.bytes));
        }
        declared = std::max(declared, end);
    }
    if (declared > file.size()) {
        return "a NetCDF classic file cut short: " +
               (declared == unknown ? std::string("its header declares more bytes than a file can "
                                                  "hold, the file has ") +
                                          std::to_string(file.size())
                                    : both_sizes(declared, file.size()));
    }
    return {};
}

} // namespace binmat
