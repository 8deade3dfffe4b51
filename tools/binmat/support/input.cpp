#include "input.h"

#include <filesystem>
#include <stdexcept>
#include <system_error>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <sys/stat.h>
#include <unistd.h>

namespace cli {

input_file::input_file(const std::string &path) : path_(path) {
    if (path == "-") {
        raw_ = stdin;
    } else {
        raw_ = std::fopen(path.c_str(), "rb");
        if (raw_ == nullptr) {
            throw std::filesystem::filesystem_error(
                "cannot open", path, std::error_code(errno, std::generic_category()));
        }
        owns_raw_ = true;
    }
    struct stat st {};
    if (fstat(fileno(raw_), &st) == 0) {
        if (S_ISDIR(st.st_mode)) {
            if (owns_raw_) {
                std::fclose(raw_);
            }
            throw std::runtime_error("is a directory");
        }
        if (S_ISREG(st.st_mode)) {
            size_ = static_cast<std::uint64_t>(st.st_size);
        }
    }
    cookie_io_functions_t io{};
    io.read = &input_file::read_counted;
    counted_ = fopencookie(this, "rb", io);
    if (counted_ == nullptr) {
        const int error = errno;
        if (owns_raw_) {
            std::fclose(raw_);
        }
        throw std::system_error(error, std::generic_category());
    }
}

input_file::~input_file() {
    std::fclose(counted_);
    if (owns_raw_) {
        std::fclose(raw_);
    }
}

ssize_t input_file::read_counted(void *cookie, char *buf, std::size_t size) {
    auto *in = static_cast<input_file *>(cookie);
    errno = 0;
    const std::size_t n = std::fread(buf, 1, size, in->raw_);
    if (n == 0 && std::ferror(in->raw_) != 0) {
        in->failed_ = true;
        in->error_ = errno != 0 ? errno : EIO;
        return -1;
    }
    const auto *bytes = reinterpret_cast<const unsigned char *>(buf);
    if (in->head_.size() < head_limit) {
        const std::size_t keep = std::min(n, head_limit - in->head_.size());
        in->head_.insert(in->head_.end(), bytes, bytes + keep);
    }
    // Keep the last eight bytes delivered, oldest first.
    for (std::size_t k = n > 8 ? n - 8 : 0; k < n; ++k) {
        std::memmove(in->last_, in->last_ + 1, sizeof in->last_ - 1);
        in->last_[sizeof in->last_ - 1] = bytes[k];
    }
    in->consumed_ += n;
    return static_cast<ssize_t>(n);
}

std::vector<unsigned char> input_file::tail(std::size_t n) const {
    n = std::min({n, sizeof last_, static_cast<std::size_t>(consumed_)});
    return {last_ + sizeof last_ - n, last_ + sizeof last_};
}

void input_file::sample(std::size_t n) {
    unsigned char chunk[512];
    while (head_.size() < n) {
        const std::size_t want = std::min(sizeof chunk, n - head_.size());
        if (std::fread(chunk, 1, want, counted_) == 0) {
            return;
        }
    }
}

std::vector<unsigned char> input_file::peek(std::size_t n) const {
    std::vector<unsigned char> bytes(n);
    const off_t at = ftello(raw_);
    const ssize_t got = ::pread(fileno(raw_), bytes.data(), n, at > 0 ? at : 0);
    bytes.resize(got > 0 ? static_cast<std::size_t>(got) : 0);
    return bytes;
}

void input_file::drain() {
    char chunk[65536];
    while (std::fread(chunk, 1, sizeof chunk, counted_) > 0) {
    }
}

} // namespace cli
