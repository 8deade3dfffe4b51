// Binary matrix files read through a read-only map of the whole file: reading a large file
// through a map costs a fraction of copying it into memory of our own, rows are found by their
// offset, and the values can be written out from where they lie.
#pragma once

#include <binmat/binmat.h>

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <span>

namespace binmat {

// A regular file mapped whole and read-only.
class mapped_file {
  public:
    // Throws std::filesystem::filesystem_error naming the file when it cannot be opened or mapped
    // (EINVAL for anything but a regular file).
    explicit mapped_file(const std::filesystem::path &path);
    ~mapped_file();
    mapped_file(const mapped_file &) = delete;
    mapped_file &operator=(const mapped_file &) = delete;

    std::span<const unsigned char> bytes() const noexcept { return {data_, size_}; }

  private:
    const unsigned char *data_ = nullptr;
    std::size_t size_ = 0;
};

// A binary matrix file mapped whole, its header read as read_header reads it: a file of any size
// is read a block of rows at a time, in the file's byte order or turned round.
class mapped_grid {
  public:
    // Throws what read_header(path) throws (std::system_error for a directory), and
    // format_error (row_cut_short) for a file that shrank between its header and its map.
    explicit mapped_grid(const std::filesystem::path &path, const read_options &options = {});

    const binmat::header &header() const noexcept { return header_; }
    // The stored bytes of rows [first, first + count), which must be rows the header counts.
    std::span<const unsigned char> stored_rows(std::uint64_t first, std::uint64_t count) const;

    // Decodes rows [first, first + count) into native floats: their coordinates, and their
    // values row-major. Throws std::out_of_range for rows the header does not count.
    void copy_rows(std::uint64_t first, std::size_t count, float *coordinates, float *values) const;

  private:
    binmat::header header_;
    mapped_file map_;
};

} // namespace binmat
