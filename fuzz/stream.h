// Streams over fuzz input for the targets.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <thread>

// A read stream over the bytes, seekable (fmemopen) or not (a pipe fed by a thread).
class InputStream {
  public:
    InputStream(const std::uint8_t *data, std::size_t size, bool through_pipe);
    ~InputStream();
    InputStream(const InputStream &) = delete;
    InputStream &operator=(const InputStream &) = delete;
    FILE *get() const { return file_; }

  private:
    FILE *file_ = nullptr;
    std::thread writer_;
};
