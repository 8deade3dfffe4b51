// Binary matrix files read through a read-only map of the whole file: reading a large file
// through a map costs a fraction of copying it into memory of our own, rows are found by their
// offset, and the values can be used, or written out, from where they lie. A file that shrinks
// while it is mapped raises SIGBUS when a lost page is touched: a program that maps files of
// others decides what that signal does.
#pragma once

#include <binmat/binmat.h>

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <span>

namespace binmat {

// A regular file mapped whole and read-only.
class mapped_file {
  public:
    // Throws std::filesystem::filesystem_error naming the file when it cannot be opened or mapped
    // (EISDIR for a directory, EINVAL for anything else that is not a regular file).
    explicit mapped_file(const std::filesystem::path &path);
    // Maps the file a descriptor the caller keeps open leads to; `name` is for errors.
    mapped_file(int descriptor, const std::filesystem::path &name);
    ~mapped_file();
    mapped_file(mapped_file &&other) noexcept;
    mapped_file(const mapped_file &) = delete;
    mapped_file &operator=(const mapped_file &) = delete;
    mapped_file &operator=(mapped_file &&) = delete;

    std::span<const unsigned char> bytes() const noexcept { return {data_, size_}; }
    // The file's inode, size and modification time, as header records them.
    std::uint64_t inode() const noexcept { return inode_; }
    std::int64_t modified() const noexcept { return modified_; }

  private:
    void map(int descriptor, const std::filesystem::path &name);

    const unsigned char *data_ = nullptr;
    std::size_t size_ = 0;
    std::uint64_t inode_ = 0;
    std::int64_t modified_ = 0;
};

// A binary matrix file mapped whole, its header read from the map as read_header reads it from a
// stream: a file of any size is read a block of rows at a time, in its byte order or turned
// round.
class mapped_grid {
  public:
    // Throws what mapped_file throws, and format_error for bytes that are not a whole file,
    // refused as read() refuses them.
    explicit mapped_grid(const std::filesystem::path &path, const read_options &options = {});
    mapped_grid(int descriptor, const std::filesystem::path &name,
                const read_options &options = {});
    // A file mapped already.
    explicit mapped_grid(mapped_file &&file, const read_options &options = {});

    const binmat::header &header() const noexcept { return header_; }
    // The file's bytes, from its column count to its last stray byte.
    std::span<const unsigned char> bytes() const noexcept { return map_.bytes(); }
    // The stored bytes of rows [first, first + count), which must be rows the header counts.
    std::span<const unsigned char> stored_rows(std::uint64_t first, std::uint64_t count) const;
    // The values where they lie, when the file is in this machine's byte order.
    std::optional<strided_values> values_in_place() const noexcept;

    // Decodes rows [first, first + count) into native floats: their coordinates, and their
    // values row-major. Throws std::out_of_range for rows the header does not count.
    void copy_rows(std::uint64_t first, std::size_t count, float *coordinates, float *values) const;
    // The coordinates of every row.
    std::vector<float> row_coordinates() const;

  private:
    void read_header(const read_options &options);

    mapped_file map_;
    binmat::header header_;
};

} // namespace binmat
