// The command's input files: a file, or standard input for "-", read through a stream that counts
// what it delivers and keeps the first bytes and the last few, so that a file can be judged and
// dumped whole whether or not it can seek.
#pragma once

#include <cstdint>
#include <cstdio>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace cli {

class input_file {
  public:
    static constexpr std::size_t head_limit = 64 * 1024;

    // Throws std::filesystem::filesystem_error with the reason when the file cannot be opened, and
    // std::runtime_error for a directory.
    explicit input_file(const std::string &path);
    ~input_file();
    input_file(const input_file &) = delete;
    input_file &operator=(const input_file &) = delete;

    const std::string &name() const { return path_; }
    FILE *stream() const { return counted_; }
    FILE *raw() const { return raw_; } // for routines that reposition the stream
    // The file's size, for a regular file.
    std::optional<std::uint64_t> size() const { return size_; }

    std::uint64_t consumed() const { return consumed_; }
    const std::vector<unsigned char> &head() const { return head_; }
    std::vector<unsigned char> tail(std::size_t n) const; // the last n bytes delivered (n <= 8)
    bool failed() const { return failed_; }
    int error() const { return error_; }
    // Reads up to `n` bytes into the head, if fewer have arrived, and stops there.
    void sample(std::size_t n);
    // The first `n` bytes of a regular file, read without moving either stream.
    std::vector<unsigned char> peek(std::size_t n) const;
    // Reads what is left, so that consumed() is the whole length.
    void drain();

  private:
    static ssize_t read_counted(void *cookie, char *buf, std::size_t size);

    std::string path_;
    FILE *raw_ = nullptr;
    FILE *counted_ = nullptr;
    bool owns_raw_ = false;
    bool failed_ = false;
    int error_ = 0;
    std::optional<std::uint64_t> size_;
    std::uint64_t consumed_ = 0;
    std::vector<unsigned char> head_;
    unsigned char last_[8] = {};
};

} // namespace cli
