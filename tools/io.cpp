#include "io.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

std::unique_ptr<Input> Input::open(const std::string &path, std::string &error) {
    std::unique_ptr<Input> in(new Input());
    if (path == "-") {
        in->raw_ = stdin;
    } else {
        in->raw_ = std::fopen(path.c_str(), "rb");
        if (in->raw_ == nullptr) {
            error = std::strerror(errno);
            return nullptr;
        }
        in->owns_raw_ = true;
        struct stat st {};
        if (fstat(fileno(in->raw_), &st) == 0 && S_ISDIR(st.st_mode)) {
            error = "is a directory";
            return nullptr;
        }
    }
    cookie_io_functions_t io{};
    io.read = &Input::read_counted;
    in->counted_ = fopencookie(in.get(), "rb", io);
    if (in->counted_ == nullptr) {
        error = std::strerror(errno);
        return nullptr;
    }
    return in;
}

Input::~Input() {
    if (counted_ != nullptr) {
        std::fclose(counted_);
    }
    if (owns_raw_ && raw_ != nullptr) {
        std::fclose(raw_);
    }
}

ssize_t Input::read_counted(void *cookie, char *buf, std::size_t size) {
    auto *in = static_cast<Input *>(cookie);
    const std::size_t n = std::fread(buf, 1, size, in->raw_);
    if (n == 0 && std::ferror(in->raw_) != 0) {
        in->failed_ = true;
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

std::vector<unsigned char> Input::tail(std::size_t n) const {
    n = std::min({n, sizeof last_, static_cast<std::size_t>(consumed_)});
    return {last_ + sizeof last_ - n, last_ + sizeof last_};
}

void Input::drain() {
    char chunk[65536];
    while (std::fread(chunk, 1, sizeof chunk, counted_) > 0) {
    }
}

std::unique_ptr<Output> Output::open(const std::string &path, std::string &error) {
    std::unique_ptr<Output> out(new Output());
    if (path == "-") {
        out->file_ = stdout;
        return out;
    }
    const std::size_t slash = path.rfind('/');
    const std::string dir = slash == std::string::npos ? "" : path.substr(0, slash + 1);
    const std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
    std::string temp = dir + "." + name + ".XXXXXX";
    const int fd = mkstemp(temp.data());
    if (fd < 0) {
        error = std::strerror(errno);
        return nullptr;
    }
    // mkstemp makes the file private; the finished file gets the usual permissions.
    const mode_t mask = umask(0);
    umask(mask);
    fchmod(fd, 0666 & ~mask);
    out->file_ = fdopen(fd, "wb");
    if (out->file_ == nullptr) {
        error = std::strerror(errno);
        close(fd);
        unlink(temp.c_str());
        return nullptr;
    }
    out->temp_ = temp;
    out->path_ = path;
    return out;
}

Output::~Output() {
    if (file_ != nullptr && file_ != stdout) {
        std::fclose(file_);
    }
    if (!committed_ && !temp_.empty()) {
        unlink(temp_.c_str());
    }
}

bool Output::commit(std::string &error) {
    if (file_ == stdout) {
        if (std::fflush(stdout) != 0 || std::ferror(stdout) != 0) {
            error = "cannot write standard output";
            return false;
        }
        committed_ = true;
        return true;
    }
    const bool written = std::ferror(file_) == 0 && std::fflush(file_) == 0;
    const int saved = errno;
    const bool closed = std::fclose(file_) == 0;
    file_ = nullptr;
    if (!written || !closed) {
        error = std::strerror(written ? errno : saved);
        return false;
    }
    if (std::rename(temp_.c_str(), path_.c_str()) != 0) {
        error = std::strerror(errno);
        return false;
    }
    committed_ = true;
    return true;
}
