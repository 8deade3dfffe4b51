// numpy's .npy files: a magic string, a version, a Python dictionary saying the element type, the
// memory order and the shape, then the elements. Versions 1.0 to 3.0 are read; 1.0 is written.
#pragma once

#include <cstdint>
#include <cstdio>
#include <span>
#include <string>
#include <vector>

namespace cli {

// What a .npy header says about the array that follows it.
struct npy_header {
    char kind = 'f';   // 'f' float, 'i' signed integer, 'u' unsigned integer, 'b' boolean
    int item_size = 4; // bytes per element
    bool big_endian = false;
    bool fortran_order = false; // column-major
    std::vector<std::uint64_t> shape;
    std::uint64_t data_offset = 0; // where the elements begin
};

// The longest header read: numpy's own reader refuses far shorter ones by default.
inline constexpr std::uint64_t npy_header_limit = std::uint64_t{1} << 20;

// Parses the header at the start of `bytes`; false with the reason in `error` when it is not one
// that describes plain numbers. When more bytes are needed (the header is longer than `bytes`),
// `needed` is set to the length of the whole header and false is returned with no error.
bool parse_npy_header(std::span<const unsigned char> bytes, npy_header &h, std::uint64_t &needed,
                      std::string &error);

// An array read from a .npy file, as single-precision values in C (row-major) order.
struct npy_array {
    std::vector<std::uint64_t> shape;
    std::vector<float> values;
    std::uint64_t inexact = 0; // values that changed when rounded to single precision
    std::string source_type;   // "float64", "int32", ...
};

// Reads a whole .npy file of `dimensions` dimensions (1 or 2); throws cli::failure with the
// reason, naming `name`.
npy_array read_npy(std::FILE *in, const std::string &name, std::size_t dimensions);
npy_array read_npy_file(const std::string &path, std::size_t dimensions);

// Writes `values` as a float32 .npy array of the given shape (one or two dimensions); throws
// std::system_error when a write fails.
void write_npy(std::FILE *out, std::span<const float> values, std::span<const std::uint64_t> shape);

} // namespace cli
