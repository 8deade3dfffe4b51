// A regular file mapped whole and read-only: reading a large file through a map costs a fraction
// of copying it into memory of our own, and the values can be written out from where they lie.
#pragma once

#include <binmat/binmat.h>

#include <span>
#include <string>

namespace cli {

class mapped_file {
  public:
    // Throws cli::failure naming the file when it cannot be opened or mapped.
    explicit mapped_file(const std::string &path);
    ~mapped_file();
    mapped_file(const mapped_file &) = delete;
    mapped_file &operator=(const mapped_file &) = delete;

    std::span<const unsigned char> bytes() const { return {data_, size_}; }

  private:
    const unsigned char *data_ = nullptr;
    std::size_t size_ = 0;
};

// A binary matrix file mapped whole, its header read by the library: rows are found by offset,
// and a file of any size is read a block of rows at a time.
class mapped_grid {
  public:
    // Throws cli::failure naming the file for one that the library refuses or cannot be mapped.
    mapped_grid(const std::string &path, binmat::byte_order order);

    const binmat::header &header() const { return header_; }

    // Copies the coordinates and values of rows [first, first + count) in native order.
    void copy_rows(std::size_t first, std::size_t count, float *coordinates, float *values) const;

  private:
    binmat::header header_;
    mapped_file map_;
};

} // namespace cli
