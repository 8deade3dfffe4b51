// The tool's files: inputs read through a counting stream, and outputs that appear under their
// final name only once they are complete.
#pragma once

#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

// A file, or standard input for "-", read through a stream that counts what it delivers and
// remembers the first and the last bytes.
class Input {
  public:
    static constexpr std::size_t head_limit = 64 * 1024;

    // Null, with the reason in `error`, when the file cannot be opened.
    static std::unique_ptr<Input> open(const std::string &path, std::string &error);
    ~Input();
    Input(const Input &) = delete;
    Input &operator=(const Input &) = delete;

    FILE *stream() const { return counted_; }
    FILE *raw() const { return raw_; } // the underlying stream, for position-based routines
    std::uint64_t consumed() const { return consumed_; }
    const std::vector<unsigned char> &head() const { return head_; }
    std::vector<unsigned char> tail(std::size_t n) const; // the last n bytes delivered (n <= 8)
    bool failed() const { return failed_; }
    // Reads what is left, so that consumed() is the whole length.
    void drain();

  private:
    Input() = default;
    static ssize_t read_counted(void *cookie, char *buf, std::size_t size);

    FILE *raw_ = nullptr;
    FILE *counted_ = nullptr;
    bool owns_raw_ = false;
    bool failed_ = false;
    std::uint64_t consumed_ = 0;
    std::vector<unsigned char> head_;
    unsigned char last_[8] = {};
};

// A file written under a temporary name in its own directory and renamed when committed, or
// standard output for "-". Destroyed uncommitted, it leaves nothing behind.
class Output {
  public:
    static std::unique_ptr<Output> open(const std::string &path, std::string &error);
    ~Output();
    Output(const Output &) = delete;
    Output &operator=(const Output &) = delete;

    FILE *stream() const { return file_; }
    // Flushes, closes and renames; false with the reason when any of it fails.
    bool commit(std::string &error);

  private:
    Output() = default;

    FILE *file_ = nullptr;
    std::string temp_;
    std::string path_;
    bool committed_ = false;
};
