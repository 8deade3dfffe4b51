// Binary matrix files for C++: grids in contiguous memory, refusals that say why, and both byte
// orders. Files are the same as those of the ranged interface in <binmat/binary.h>; both ask
// <binmat/layout.h> what the bytes amount to.
#pragma once

#include <binmat/layout.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <span>
#include <stdexcept>
#include <string>
#include <vector>

namespace binmat {

// A grid of values with the coordinates of its rows and of its columns. The values are row-major
// and contiguous: rows() * columns() of them.
struct grid {
    std::vector<float> row_coordinates;
    std::vector<float> column_coordinates;
    std::vector<float> values;
    // The byte order its file was read in (little or big); write() goes by its own options.
    byte_order order = byte_order::little;

    std::size_t rows() const noexcept { return row_coordinates.size(); }
    std::size_t columns() const noexcept { return column_coordinates.size(); }

    float &operator()(std::size_t row, std::size_t column) {
        return values[row * columns() + column];
    }
    float operator()(std::size_t row, std::size_t column) const {
        return values[row * columns() + column];
    }

    std::span<float> row(std::size_t r) { return {values.data() + r * columns(), columns()}; }
    std::span<const float> row(std::size_t r) const {
        return {values.data() + r * columns(), columns()};
    }
};

// A grid in memory that someone else owns, for writing it without a copy: a grid converts to it,
// and so do the spans of numbers another library holds. The values are row-major, rows() *
// columns() of them.
struct grid_view {
    std::span<const float> row_coordinates;
    std::span<const float> column_coordinates;
    std::span<const float> values;

    grid_view() = default;
    grid_view(std::span<const float> rows, std::span<const float> columns,
              std::span<const float> all_values) noexcept
        : row_coordinates(rows), column_coordinates(columns), values(all_values) {}
    grid_view(const grid &g) noexcept // NOLINT(google-explicit-constructor): a grid is one
        : row_coordinates(g.row_coordinates), column_coordinates(g.column_coordinates),
          values(g.values) {}
    std::size_t rows() const noexcept { return row_coordinates.size(); }
    std::size_t columns() const noexcept { return column_coordinates.size(); }
};

// Rows of values where they lie in memory, `stride` floats from the start of one row to the next:
// a grid's (stride = columns) or a mapped file's, whose coordinates lie between its rows.
struct strided_values {
    const float *first = nullptr;
    std::size_t stride = 0;
    std::size_t rows = 0;
    std::size_t columns = 0;

    std::span<const float> row(std::size_t r) const noexcept {
        return {first + r * stride, columns};
    }
    float operator()(std::size_t r, std::size_t c) const noexcept { return first[r * stride + c]; }
};

inline strided_values values_of(const grid_view &g) noexcept {
    return {g.values.data(), g.columns(), g.rows(), g.columns()};
}

// Bytes that are not a whole binary matrix file: what is wrong, and the byte offset (from where
// reading began) at which the file stops making sense.
class format_error : public std::runtime_error {
  public:
    format_error(defect problem, std::uint64_t offset, const std::string &what);

    defect problem() const noexcept { return problem_; }
    std::uint64_t offset() const noexcept { return offset_; }

  private:
    defect problem_;
    std::uint64_t offset_;
};

// Memory for a grid that could not be had: "not enough memory for a grid of R x C (N bytes)",
// said without allocating.
class memory_error : public std::bad_alloc {
  public:
    memory_error(std::uint64_t rows, std::uint64_t columns) noexcept;
    const char *what() const noexcept override { return what_; }
    std::uint64_t rows() const noexcept { return rows_; }
    std::uint64_t columns() const noexcept { return columns_; }

  private:
    std::uint64_t rows_;
    std::uint64_t columns_;
    char what_[112];
};

struct read_options {
    byte_order order = byte_order::little;
};

struct write_options {
    byte_order order = byte_order::little; // little or big
    // For files written by path: sync the data before the file takes its name (see
    // <binmat/output.h>). False only for scratch files.
    bool sync = true;
};

// Reads one grid from the stream's current position to the end of its data, leaving the stream
// where fread_matrix would. Throws format_error for bytes that are not a whole file,
// std::system_error (with the errno) when reading fails, and memory_error when the grid does not
// fit in memory. One to three stray bytes after the last
// row end the data, as in every reader of the format. With byte_order::detect, a stream that
// cannot be repositioned is read into memory before it is judged.
grid read(std::FILE *in, const read_options &options = {});
grid read_file(const std::filesystem::path &path, const read_options &options = {});
grid read(std::span<const std::byte> bytes, const read_options &options = {});

// Writes a grid as one file at the stream's current position and flushes the stream. Throws
// std::invalid_argument, before a byte is written, for a grid whose vectors disagree with its
// shape, an empty grid, or a column count a float cannot hold exactly; std::system_error when a
// write fails.
void write(std::FILE *out, const grid_view &g, const write_options &options = {});

// Writes the file through binmat::output_file (<binmat/output.h>): a regular file is replaced
// atomically and durably, keeping its mode, owner and attributes; a FIFO, a device or a file with
// other hard links is written in place. Throws what write() throws, before anything is written,
// and binmat::output_error (a std::filesystem::filesystem_error) naming the path when the file
// cannot be written. On any failure the target is untouched and nothing is left beside it.
void write_file(const std::filesystem::path &path, const grid_view &g,
                const write_options &options = {});

// For a grid that several processes write at once, each its own rows where the layout places
// them. write_header_at writes the column count and coordinates into the regular file open on
// `fd` and makes it the length of `rows` rows; write_rows_at then writes rows [first, first +
// row_coordinates.size()) in place, from any process. Neither syncs nor closes. Throw what
// write() throws for what cannot be stored, and std::system_error when a write fails.
void write_header_at(int fd, std::span<const float> column_coordinates, std::uint64_t rows,
                     const write_options &options = {});
void write_rows_at(int fd, std::size_t columns, std::uint64_t first,
                   std::span<const float> row_coordinates, std::span<const float> values,
                   const write_options &options = {});

class output_file;

namespace detail {
class float_sink;
}

// Writes a file one row at a time in constant memory, for grids larger than memory or made on the
// way. The stream stays the caller's; a file is whole only once finish() returns.
class row_writer {
  public:
    // Writes the column count and coordinates. Throws std::invalid_argument for no columns or a
    // count a float cannot hold exactly, and std::system_error when a write fails.
    row_writer(std::FILE *out, std::span<const float> column_coordinates,
               const write_options &options = {});
    // Writes the file at `path` as write_file does: it takes its place when finish() returns, and
    // a writer destroyed before that leaves the target as it was. Throws as write_file does.
    row_writer(const std::filesystem::path &path, std::span<const float> column_coordinates,
               const write_options &options = {});
    ~row_writer();
    row_writer(const row_writer &) = delete;
    row_writer &operator=(const row_writer &) = delete;

    std::size_t columns() const noexcept { return columns_; }
    std::uint64_t rows_written() const noexcept { return rows_; }

    // Throws std::invalid_argument for a row of other than columns() values.
    void put(float coordinate, std::span<const float> values);
    // Writes out what is gathered and flushes the stream, or puts the file at the path in place.
    // Throws std::invalid_argument when no row was put, since a file holds at least one.
    void finish();

  private:
    std::unique_ptr<output_file> file_; // when writing to a path
    std::FILE *out_ = nullptr;
    std::size_t columns_;
    std::uint64_t rows_ = 0;
    std::unique_ptr<detail::float_sink> sink_;
};

// Everything about a file but its values.
struct header {
    std::vector<float> column_coordinates;
    std::uint64_t rows = 0;  // complete rows
    std::uint64_t stray = 0; // bytes after the last row (0..3)
    byte_order order = byte_order::little;
    std::uint64_t first_row_offset = 0; // where the first row begins
    std::uint64_t length = 0;           // bytes from where reading began to the end
    // The regular file it was read from, to notice one replaced or changed since: its inode,
    // size and modification time (nanoseconds since the epoch); all 0 for a stream.
    std::uint64_t inode = 0;
    std::uint64_t file_size = 0;
    std::int64_t modified = 0;

    std::size_t columns() const noexcept { return column_coordinates.size(); }
    // Bytes in each row: its coordinate and its values.
    std::uint64_t row_bytes() const noexcept { return 4 * (std::uint64_t{columns()} + 1); }
};

// Reads the header of a file and measures the rest without reading the values, refusing exactly
// what read() refuses. A stream is left at its first row; one that cannot be repositioned is read
// through to count its rows (and cannot be read with byte_order::detect).
header read_header(std::FILE *in, const read_options &options = {});
header read_header(const std::filesystem::path &path, const read_options &options = {});

// The header of a file of `length` bytes, from its first bytes, for readers that fetch bytes their
// own way (a GIS library's virtual files): `head` holds at least the column count and, when
// the count is usable, every column coordinate (4 * (columns + 1) bytes; head_bytes tells how
// many). byte_order::detect judges by `head` and the length. Refuses what read() refuses, and
// throws std::invalid_argument for a head shorter than the file's header.
header parse_header(std::span<const unsigned char> head, std::uint64_t length,
                    const read_options &options = {});

// How many of a file's first bytes parse_header needs, judged from its first four (in `order`,
// little or big) and its length: the whole header, or the four when the count is not usable.
std::uint64_t head_bytes(std::span<const unsigned char> first_four, std::uint64_t length,
                         byte_order order);

// Decodes `rows` stored rows (each its coordinate then `columns` values, in `order`, little or
// big) into native floats: rows coordinates and rows * columns values, row-major. The one
// decoder every reader of the format uses. Throws std::invalid_argument for spans of other sizes.
void decode_rows(std::span<const unsigned char> stored, std::size_t columns, byte_order order,
                 std::span<float> row_coordinates, std::span<float> values);

// Reads the rows that follow a header, from where read_header left the stream, into storage the
// caller owns (a numpy array, a pool): h.rows coordinates and h.rows * h.columns() values. Rows
// past h.rows are left unread. Throws std::invalid_argument for spans of other sizes, format_error
// when fewer rows arrive (the file shrank since its header was read), and std::system_error when
// reading fails.
void read_rows(std::FILE *in, const header &h, std::span<float> row_coordinates,
               std::span<float> values);

// Rows [first, first + row_coordinates.size()) of the file at `path`, whose header `h` is, read
// where they lie: their coordinates, and their values row-major into `values` (columns() each).
// For readers that open a file once and read it in pieces later. Throws
// std::filesystem::filesystem_error (ESTALE) when the file was replaced, resized or rewritten
// since its header was read, std::invalid_argument for rows the header does not count or room of
// another size, and format_error when the file shrinks while it is read.
void read_rows(const std::filesystem::path &path, const header &h, std::uint64_t first,
               std::span<float> row_coordinates, std::span<float> values);

// Columns [first_column, first_column + width) of rows [first, first + values.size() / width) of
// the file at `path`, whose header `h` is, row-major into `values`: only those bytes are read, a
// row at a time, for narrow selections of wide rows. Throws as read_rows does.
void read_columns(const std::filesystem::path &path, const header &h, std::uint64_t first,
                  std::size_t first_column, std::size_t width, std::span<float> values);

// The coordinate of every row of the file at `path`, whose header `h` is, without its values:
// each long row gives up its coordinate alone, short rows are read a block at a time. Throws
// format_error (row_cut_short, where the first missing row begins) when the file shrank since its
// header was read, and std::filesystem::filesystem_error (ESTALE) when it was replaced or changed
// in any other way.
std::vector<float> read_row_coordinates(const std::filesystem::path &path, const header &h);

// Reads a file one row at a time in constant memory, for files larger than memory. The stream
// stays the caller's. The column coordinates are read on construction; byte_order::detect needs
// a stream that can be repositioned.
class row_reader {
  public:
    explicit row_reader(std::FILE *in, const read_options &options = {});

    std::span<const float> column_coordinates() const noexcept { return columns_; }
    std::size_t columns() const noexcept { return columns_.size(); }
    byte_order order() const noexcept { return order_; }
    std::uint64_t rows_read() const noexcept { return rows_; }

    // Reads the next row's coordinate, and its values into `values` (columns() of them). Returns
    // false at the end of the data; throws as read() does for a row cut short, for a file with no
    // complete row, and for a read error.
    bool next(float &coordinate, std::span<float> values);

  private:
    std::FILE *in_;
    std::vector<float> columns_;
    byte_order order_ = byte_order::little;
    float stored_count_ = 0;
    std::uint64_t consumed_ = 0;
    std::uint64_t rows_ = 0;
    bool ended_ = false;
};

} // namespace binmat
