// numpy's .npy files: a magic string, a version, a Python dictionary saying the element type, the
// memory order and the shape, then the elements. Versions 1.0 to 3.0 are read; 1.0 is written.
#pragma once

#include <binmat/binmat.h>

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <span>
#include <string>
#include <vector>

namespace binmat {

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

// Parses the header at the start of `bytes`; throws conversion_error with the reason when it is
// not one that describes plain numbers. When more bytes are needed (the header is longer than
// `bytes`), `needed` is set to the length of the whole header and false is returned.
bool parse_npy_header(std::span<const unsigned char> bytes, npy_header &h, std::uint64_t &needed);

// An array read from a .npy file, as single-precision values in C (row-major) order.
struct npy_array {
    std::vector<std::uint64_t> shape;
    std::vector<float> values;
    std::uint64_t inexact = 0; // values that changed when rounded to single precision
    std::string source_type;   // "float64", "int32", ...
};

// Reads a whole .npy file of `dimensions` dimensions (1 or 2), measuring a regular file to check
// the data's length. Throws conversion_error with the reason (and the file, when read by path),
// std::filesystem::filesystem_error when the file cannot be opened.
npy_array read_npy(std::FILE *in, std::size_t dimensions);
npy_array read_npy_file(const std::filesystem::path &path, std::size_t dimensions);

// A .npy grid with its coordinates, each axis from a one-dimensional .npy file of its own or, for
// an empty path, the indices; `warn` is told of each file whose numbers lost precision on the way
// to float32. Throws as read_npy_file does, and conversion_error for coordinates that do not match
// the grid's side.
using npy_warn = std::function<void(const std::filesystem::path &file, const std::string &text)>;
grid read_npy_grid(const std::filesystem::path &values, const std::filesystem::path &rows,
                   const std::filesystem::path &columns, const npy_warn &warn);

// Writes `values` as a float32 .npy array of the given shape (one or two dimensions); throws
// std::system_error when a write fails.
void write_npy(std::FILE *out, std::span<const float> values, std::span<const std::uint64_t> shape);

} // namespace binmat
