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
    map(file.fd, path);
}

mapped_file::mapped_file(int descriptor, const std::filesystem::path &name) {
    map(descriptor, name);
}

void mapped_file::map(int descriptor, const std::filesystem::path &name) {
    struct stat st {};
    if (::fstat(descriptor, &st) != 0) {
        cannot_map(name, errno);
    }
    if (!S_ISREG(st.st_mode)) {
        cannot_map(name, S_ISDIR(st.st_mode) ? EISDIR : EINVAL);
    }
    size_ = static_cast<std::size_t>(st.st_size);
    inode_ = st.st_ino;
    modified_ = std::int64_t{st.st_mtim.tv_sec} * 1000000000 + st.st_mtim.tv_nsec;
    if (size_ > 0) {
        // Populated at once: one call maps every page, where touching them would fault each.
        void *p = ::mmap(nullptr, size_, PROT_READ, MAP_PRIVATE | MAP_POPULATE, descriptor, 0);
        if (p == MAP_FAILED) {
            cannot_map(name, errno);
        }
        data_ = static_cast<const unsigned char *>(p);
    }
}

mapped_file::mapped_file(mapped_file &&other) noexcept
    : data_(other.data_), size_(other.size_), inode_(other.inode_), modified_(other.modified_) {
    other.data_ = nullptr;
    other.size_ = 0;
}

mapped_file::~mapped_file() {
    if (data_ != nullptr) {
        ::munmap(const_cast<unsigned char *>(data_), size_);
    }
}

mapped_grid::mapped_grid(const std::filesystem::path &path, const read_options &options)
    : map_(path) {
    read_header(options);
}

mapped_grid::mapped_grid(int descriptor, const std::filesystem::path &name,
                         const read_options &options)
    : map_(descriptor, name) {
    read_header(options);
}

mapped_grid::mapped_grid(mapped_file &&file, const read_options &options) : map_(std::move(file)) {
    read_header(options);
}

void mapped_grid::read_header(const read_options &options) {
    header_ = parse_header(map_.bytes(), map_.bytes().size(), options);
    header_.inode = map_.inode();
    header_.file_size = map_.bytes().size();
    header_.modified = map_.modified();
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

std::optional<strided_values> mapped_grid::values_in_place() const noexcept {
    if (detail::needs_swap(header_.order) || header_.rows == 0) {
        return std::nullopt;
    }
    // Every field lies at a multiple of four bytes from the page-aligned start of the map.
    const unsigned char *first = map_.bytes().data() + header_.first_row_offset + 4;
    return strided_values{reinterpret_cast<const float *>(first), header_.columns() + 1,
                          static_cast<std::size_t>(header_.rows), header_.columns()};
}

void mapped_grid::copy_rows(std::uint64_t first, std::size_t count, float *coordinates,
                            float *values) const {
    detail::decode_rows(stored_rows(first, count).data(), count, header_.columns(),
                        detail::needs_swap(header_.order), coordinates, values);
}

std::vector<float> mapped_grid::row_coordinates() const {
    std::vector<float> coordinates(static_cast<std::size_t>(header_.rows));
    const unsigned char *p = map_.bytes().data() + header_.first_row_offset;
    const auto row_bytes = static_cast<std::size_t>(header_.row_bytes());
    for (std::size_t i = 0; i < coordinates.size(); ++i, p += row_bytes) {
        coordinates[i] = stored_float(p, header_.order);
    }
    return coordinates;
}

} // namespace binmat
