#include <binmat/mapped.h>

#include "rows.h"

#include <cerrno>
#include <fcntl.h>
#include <stdexcept>
#include <string>
#include <sys/mman.h>
#include <sys/stat.h>
#include <system_error>
#include <unistd.h>

namespace binmat {

namespace {

[[noreturn]] void cannot_map(const std::filesystem::path &path, int error) {
    throw std::filesystem::filesystem_error("cannot map the file", path,
                                            std::error_code(error, std::generic_category()));
}

// A descriptor closed however the constructor ends.
struct descriptor {
    int fd;
    ~descriptor() { ::close(fd); }
};

} // namespace

mapped_file::mapped_file(const std::filesystem::path &path) {
    const descriptor file{::open(path.c_str(), O_RDONLY | O_CLOEXEC)};
    if (file.fd < 0) {
        throw std::filesystem::filesystem_error("cannot open the file", path,
                                                std::error_code(errno, std::generic_category()));
    }
    struct stat st {};
    if (::fstat(file.fd, &st) != 0) {
        cannot_map(path, errno);
    }
    if (!S_ISREG(st.st_mode)) {
        cannot_map(path, S_ISDIR(st.st_mode) ? EISDIR : EINVAL);
    }
    size_ = static_cast<std::size_t>(st.st_size);
    if (size_ > 0) {
        // Populated at once: one call maps every page, where touching them would fault each.
        void *p = ::mmap(nullptr, size_, PROT_READ, MAP_PRIVATE | MAP_POPULATE, file.fd, 0);
        if (p == MAP_FAILED) {
            cannot_map(path, errno);
        }
        data_ = static_cast<const unsigned char *>(p);
    }
}

mapped_file::~mapped_file() {
    if (data_ != nullptr) {
        ::munmap(const_cast<unsigned char *>(data_), size_);
    }
}

mapped_grid::mapped_grid(const std::filesystem::path &path, const read_options &options)
    : header_(read_header(path, options)), map_(path) {
    const std::uint64_t end = header_.first_row_offset + header_.rows * header_.row_bytes();
    if (map_.bytes().size() < end) {
        const std::uint64_t offset = map_.bytes().size();
        throw format_error(defect::row_cut_short, offset,
                           "not a binary matrix file: it shrank to " + std::to_string(offset) +
                               " bytes while it was being read (row_cut_short at byte offset " +
                               std::to_string(offset) + ")");
    }
}

std::span<const unsigned char> mapped_grid::stored_rows(std::uint64_t first,
                                                        std::uint64_t count) const {
    if (first > header_.rows || count > header_.rows - first) {
        throw std::out_of_range("rows " + std::to_string(first) + " to " +
                                std::to_string(first + count) + " of a grid of " +
                                std::to_string(header_.rows));
    }
    const auto row_bytes = static_cast<std::size_t>(header_.row_bytes());
    return map_.bytes().subspan(
        static_cast<std::size_t>(header_.first_row_offset + first * row_bytes),
        static_cast<std::size_t>(count) * row_bytes);
}

void mapped_grid::copy_rows(std::uint64_t first, std::size_t count, float *coordinates,
                            float *values) const {
    detail::decode_rows(stored_rows(first, count).data(), count, header_.columns(),
                        detail::needs_swap(header_.order), coordinates, values);
}

} // namespace binmat
