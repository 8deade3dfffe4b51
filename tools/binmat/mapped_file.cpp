#include "mapped_file.h"

#include "command.h"
#include "grid_io.h"

#include <binmat/layout.h>
#include <bit>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

namespace cli {

mapped_file::mapped_file(const std::string &path) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        throw failure(status_bad_data, path + ": " + std::strerror(errno));
    }
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        const int error = errno != 0 ? errno : EINVAL;
        ::close(fd);
        throw failure(status_bad_data, path + ": cannot be mapped: " + std::strerror(error));
    }
    size_ = static_cast<std::size_t>(st.st_size);
    if (size_ > 0) {
        // Populated at once: one call maps every page, where touching them would fault each.
        void *p = ::mmap(nullptr, size_, PROT_READ, MAP_PRIVATE | MAP_POPULATE, fd, 0);
        if (p == MAP_FAILED) {
            const int error = errno;
            ::close(fd);
            throw failure(status_bad_data, path + ": cannot be mapped: " + std::strerror(error));
        }
        data_ = static_cast<const unsigned char *>(p);
    }
    ::close(fd);
}

mapped_file::~mapped_file() {
    if (data_ != nullptr) {
        ::munmap(const_cast<unsigned char *>(data_), size_);
    }
}

namespace {

binmat::header header_of(const std::string &path, binmat::byte_order order) {
    binmat::header h;
    naming_errors(path, [&] { h = binmat::read_header(std::filesystem::path(path), {order}); });
    return h;
}

} // namespace

mapped_grid::mapped_grid(const std::string &path, binmat::byte_order order)
    : header_(header_of(path, order)), map_(path) {
    if (map_.bytes().size() < header_.first_row_offset + header_.rows * header_.row_bytes()) {
        throw failure(status_bad_data, path + ": the file shrank while it was being read");
    }
}

void mapped_grid::copy_rows(std::size_t first, std::size_t count, float *coordinates,
                            float *values) const {
    const std::size_t n = header_.columns();
    const auto row_bytes = static_cast<std::size_t>(header_.row_bytes());
    const unsigned char *p = map_.bytes().data() +
                             static_cast<std::size_t>(header_.first_row_offset) + first * row_bytes;
    const binmat::byte_order order = header_.order;
    const bool native =
        (order == binmat::byte_order::big) == (std::endian::native == std::endian::big);
    for (std::size_t i = 0; i < count; ++i, p += row_bytes, values += n) {
        if (native) {
            std::memcpy(&coordinates[i], p, 4);
            std::memcpy(values, p + 4, 4 * n);
            continue;
        }
        coordinates[i] = binmat::stored_float(p, order);
        for (std::size_t j = 0; j < n; ++j) {
            values[j] = binmat::stored_float(p + 4 + 4 * j, order);
        }
    }
}

} // namespace cli
