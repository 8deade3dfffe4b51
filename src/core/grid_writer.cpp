// The modern writer: a grid as one file, in either byte order, and files that appear only when
// complete.
#include <binmat/binmat.h>
#include <binmat/output.h>

#include "internal.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <fcntl.h>
#include <memory>
#include <sys/stat.h>
#include <sys/uio.h>
#include <sys/vfs.h>
#include <system_error>
#include <unistd.h>

namespace {

namespace fs = std::filesystem;
using binmat::byte_order;
using binmat::detail::needs_swap;
using binmat::detail::swap_floats;

[[maybe_unused]] constexpr const char RCSid[] = "$Id: grid_writer.cpp binmat $";

constexpr std::size_t staging_bytes = std::size_t{1} << 20;

void check_columns(std::size_t columns, const binmat::write_options &options) {
    if (options.order == byte_order::detect) {
        throw std::invalid_argument("a grid is written little- or big-endian, not detect");
    }
    if (columns == 0) {
        throw std::invalid_argument("an empty grid cannot be written: a file holds at least one "
                                    "row and one column");
    }
    if (!binmat::storable_column_count(columns)) {
        throw std::invalid_argument(std::to_string(columns) +
                                    " columns cannot be stored: the count is kept as a float, "
                                    "which must hold it exactly and below 2^29");
    }
}

void check_writable(const binmat::grid_view &g, const binmat::write_options &options) {
    const std::size_t rows = g.rows();
    const std::size_t columns = g.columns();
    check_columns(columns, options);
    if (rows == 0) {
        throw std::invalid_argument("an empty grid cannot be written: a file holds at least one "
                                    "row and one column");
    }
    // Divide rather than multiply: the product could wrap.
    if (g.values.size() % columns != 0 || g.values.size() / columns != rows) {
        throw std::invalid_argument("the grid has " + std::to_string(g.values.size()) +
                                    " values, not " + std::to_string(rows) + " rows of " +
                                    std::to_string(columns));
    }
}

[[noreturn]] void write_failed(int error) {
    throw std::system_error(error != 0 ? error : EIO, std::generic_category(),
                            "writing a binary matrix file");
}

// Rows of N values with their coordinates in front, for a known N: the compiler unrolls the copy.
template <std::size_t N>
void interleave_fixed(float *to, const float *coordinates, const float *from, std::size_t count) {
    for (std::size_t i = 0; i < count; ++i, from += N, to += N + 1) {
        to[0] = coordinates[i];
        for (std::size_t j = 0; j < N; ++j) {
            to[1 + j] = from[j];
        }
    }
}

// count rows of n values, each after its coordinate. Short rows cost a call per row if copied
// with memcpy, so the commonest widths are spelled out.
void interleave(float *to, const float *coordinates, const float *from, std::size_t count,
                std::size_t n) {
    switch (n) {
    case 1:
        return interleave_fixed<1>(to, coordinates, from, count);
    case 2:
        return interleave_fixed<2>(to, coordinates, from, count);
    case 3:
        return interleave_fixed<3>(to, coordinates, from, count);
    case 4:
        return interleave_fixed<4>(to, coordinates, from, count);
    default:
        break;
    }
    for (std::size_t i = 0; i < count; ++i, from += n, to += n + 1) {
        to[0] = coordinates[i];
        if (n < 16) {
            for (std::size_t j = 0; j < n; ++j) {
                to[1 + j] = from[j];
            }
        } else {
            std::memcpy(to + 1, from, 4 * n);
        }
    }
}

// Rows long enough to be written from where they lie, a coordinate and its values to each pair of
// iovecs: no copy, and few large writes, which the filesystem takes faster than many small ones.
constexpr std::size_t gathered_columns = 1024;

void write_gathered(int fd, const binmat::grid_view &g) {
    constexpr std::size_t rows_per_call = 512; // IOV_MAX is 1024 on every Linux
    std::vector<iovec> pieces;
    pieces.reserve(2 * rows_per_call);
    for (std::size_t first = 0; first < g.rows(); first += rows_per_call) {
        pieces.clear();
        for (std::size_t i = first; i < std::min(g.rows(), first + rows_per_call); ++i) {
            pieces.push_back({const_cast<float *>(&g.row_coordinates[i]), 4});
            pieces.push_back(
                {const_cast<float *>(g.values.data() + i * g.columns()), 4 * g.columns()});
        }
        iovec *next = pieces.data();
        std::size_t left = pieces.size();
        while (left > 0) {
            const ssize_t n = ::writev(fd, next, static_cast<int>(left));
            if (n < 0) {
                if (errno == EINTR) {
                    continue;
                }
                write_failed(errno);
            }
            auto done = static_cast<std::size_t>(n);
            while (left > 0 && done >= next->iov_len) {
                done -= next->iov_len;
                ++next;
                --left;
            }
            if (left > 0) {
                next->iov_base = static_cast<char *>(next->iov_base) + done;
                next->iov_len -= done;
            }
        }
    }
}

// A grid of short rows is copied into records on its way out, and that copying, bound by memory
// speed, takes half as long as the writing. From this size on, when the file is our own, two
// threads share it, each making and writing its half of the rows where they belong in the file.
// (Records made on one core and written by the other cost more than they save.)
constexpr std::uint64_t split_bytes = std::uint64_t{16} << 20;

void write_all_at(int fd, const float *data, std::size_t bytes, std::uint64_t offset) {
    const auto *from = reinterpret_cast<const char *>(data);
    while (bytes > 0) {
        const ssize_t n = ::pwrite(fd, from, bytes, static_cast<off_t>(offset));
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            write_failed(errno);
        }
        if (n == 0) {
            write_failed(ENOSPC);
        }
        from += n;
        bytes -= static_cast<std::size_t>(n);
        offset += static_cast<std::uint64_t>(n);
    }
}

// `rows` rows of n values, with their coordinates, as records written from byte `offset` on.
void place_rows(int fd, std::size_t n, const float *row_coordinates, const float *values,
                std::size_t rows, std::uint64_t offset, bool swap) {
    const std::size_t per_block = std::max<std::size_t>(1, staging_bytes / 4 / (n + 1));
    const auto staging = std::make_unique_for_overwrite<float[]>(per_block * (n + 1));
    for (std::size_t first = 0; first < rows;) {
        const std::size_t count = std::min(rows - first, per_block);
        const std::size_t floats = count * (n + 1);
        interleave(staging.get(), row_coordinates + first, values + first * n, count, n);
        if (swap) {
            swap_floats(staging.get(), floats);
        }
        write_all_at(fd, staging.get(), 4 * floats, offset);
        offset += 4 * std::uint64_t{floats};
        first += count;
    }
}

} // namespace

namespace binmat {

namespace detail {

// Gathers floats into large writes, reversing their bytes on the way out when asked.
class float_sink {
  public:
    float_sink(std::FILE *out, bool swap, std::uint64_t total_bytes)
        : out_(out), swap_(swap),
          staging_(static_cast<std::size_t>(std::min<std::uint64_t>(total_bytes, staging_bytes)) /
                   4) {}

    void put(const float *data, std::size_t n) {
        while (n > 0) {
            if (used_ == staging_.size()) {
                flush();
            }
            // A run longer than the block needs no copy unless its bytes must turn round.
            if (used_ == 0 && !swap_ && n >= staging_.size()) {
                write_out(data, n);
                return;
            }
            const std::size_t k = std::min(n, staging_.size() - used_);
            std::memcpy(staging_.data() + used_, data, 4 * k);
            used_ += k;
            data += k;
            n -= k;
        }
    }

    // Every row of g, whole rows to a block: short rows are copied float by float in
    // one tight loop, which costs far less than a call per row.
    void put_rows(const grid_view &g) {
        const std::size_t n = g.columns();
        const std::size_t per_block = staging_.size() / (n + 1);
        if (per_block == 0) {
            for (std::size_t i = 0; i < g.rows(); ++i) {
                put(&g.row_coordinates[i], 1);
                put(g.values.data() + i * n, n);
            }
            return;
        }
        for (std::size_t first = 0; first < g.rows();) {
            std::size_t count = std::min(g.rows() - first, (staging_.size() - used_) / (n + 1));
            if (count == 0) {
                flush();
                count = std::min(g.rows() - first, per_block);
            }
            interleave(staging_.data() + used_, g.row_coordinates.data() + first,
                       g.values.data() + first * n, count, n);
            used_ += count * (n + 1);
            first += count;
        }
    }

    void flush() {
        if (swap_) {
            swap_floats(staging_.data(), used_);
        }
        write_out(staging_.data(), used_);
        used_ = 0;
    }

  private:
    void write_out(const float *data, std::size_t n) {
        errno = 0;
        if (n > 0 && std::fwrite(data, 4, n, out_) != n) {
            write_failed(errno);
        }
    }

    std::FILE *out_;
    bool swap_;
    std::vector<float> staging_;
    std::size_t used_ = 0;
};

} // namespace detail

namespace {

// `positioned` says that out is a new regular file of our own, written from its start, so that
// rows may be placed in it by offset.
void write_grid(std::FILE *out, const grid_view &g, const write_options &options, bool positioned) {
    check_writable(g, options);
    const std::size_t columns = g.columns();
    const std::uint64_t head = 4 * (std::uint64_t{columns} + 1);
    const std::uint64_t total = head * (std::uint64_t{g.rows()} + 1);
    const bool swap = needs_swap(options.order);
    const int fd = ::fileno(out);
    const bool gathered = fd >= 0 && !swap && columns >= gathered_columns;
    const bool split = positioned && columns < gathered_columns && total >= split_bytes;
    detail::float_sink sink(out, swap, split ? head : total);
    const auto count = static_cast<float>(columns);
    sink.put(&count, 1);
    sink.put(g.column_coordinates.data(), columns);
    if (!gathered && !split) {
        sink.put_rows(g);
    }
    sink.flush();
    errno = 0;
    if (std::fflush(out) != 0) {
        write_failed(errno);
    }
    if (gathered) {
        write_gathered(fd, g);
    } else if (split) {
        binmat::detail::in_two_halves(g.rows(), 0, [&](std::uint64_t first, std::uint64_t last) {
            const auto from = static_cast<std::size_t>(first);
            place_rows(fd, g.columns(), g.row_coordinates.data() + from,
                       g.values.data() + from * g.columns(), static_cast<std::size_t>(last) - from,
                       head + 4 * std::uint64_t{from} * (g.columns() + 1), swap);
        });
    }
}

// Whether reserving a file's blocks before it is written saves more than it costs: not where the
// blocks are memory (tmpfs, ramfs), which reserving fills with zeros the data then overwrite.
bool reserving_pays(int fd) {
    constexpr unsigned long tmpfs = 0x01021994;
    constexpr unsigned long ramfs = 0x858458F6;
    struct statfs fs {};
    if (::fstatfs(fd, &fs) != 0) {
        return true;
    }
    const auto kind = static_cast<unsigned long>(fs.f_type);
    return kind != tmpfs && kind != ramfs;
}

} // namespace

void write(std::FILE *out, const grid_view &g, const write_options &options) {
    write_grid(out, g, options, false);
}

void write_file(const std::filesystem::path &path, const grid_view &g,
                const write_options &options) {
    check_writable(g, options);
    output_file out(path, {options.sync, {}});
    if (out.positioned() && reserving_pays(out.descriptor())) {
        // The file's blocks are reserved before it is written, as numpy's tofile does: ext4 then
        // has no delayed allocation to carry out when the file is renamed over the target,
        // which otherwise costs more than the writing. A file system that cannot reserve is
        // written as is.
        const std::uint64_t total =
            4 * (std::uint64_t{g.rows()} + 1) * (std::uint64_t{g.columns()} + 1);
        (void)::fallocate(out.descriptor(), FALLOC_FL_KEEP_SIZE, 0, static_cast<off_t>(total));
    }
    std::FILE *stream = out.stream();
    // Everything is gathered into large blocks already; a stdio buffer would split each in two.
    std::setvbuf(stream, nullptr, _IONBF, 0);
    try {
        write_grid(stream, g, options, out.positioned());
    } catch (const std::system_error &e) {
        if (dynamic_cast<const output_error *>(&e) != nullptr) {
            throw;
        }
        throw output_error("cannot write", path, e.code());
    }
    out.commit();
}

void write_header_at(int fd, std::span<const float> column_coordinates, std::uint64_t rows,
                     const write_options &options) {
    const std::size_t columns = column_coordinates.size();
    check_columns(columns, options);
    const std::uint64_t row_bytes = 4 * (std::uint64_t{columns} + 1);
    if (rows == 0 || rows > (std::uint64_t{INT64_MAX} - row_bytes) / row_bytes) {
        throw std::invalid_argument("a grid of " + std::to_string(rows) + " rows of " +
                                    std::to_string(columns) + " cannot be laid out in one file");
    }
    if (::ftruncate(fd, static_cast<off_t>(row_bytes * (rows + 1))) != 0) {
        write_failed(errno);
    }
    std::vector<float> head(columns + 1);
    head[0] = static_cast<float>(columns);
    std::copy(column_coordinates.begin(), column_coordinates.end(), head.begin() + 1);
    if (needs_swap(options.order)) {
        swap_floats(head.data(), head.size());
    }
    write_all_at(fd, head.data(), 4 * head.size(), 0);
}

void write_rows_at(int fd, std::size_t columns, std::uint64_t first,
                   std::span<const float> row_coordinates, std::span<const float> values,
                   const write_options &options) {
    check_columns(columns, options);
    const std::size_t rows = row_coordinates.size();
    if (values.size() % columns != 0 || values.size() / columns != rows) {
        throw std::invalid_argument("write_rows_at needs " + std::to_string(columns) +
                                    " values for each row coordinate");
    }
    const std::uint64_t row_bytes = 4 * (std::uint64_t{columns} + 1);
    if (first > (std::uint64_t{INT64_MAX} - 4 * values.size()) / row_bytes - 1) {
        throw std::invalid_argument("rows from " + std::to_string(first) +
                                    " on lie beyond what one file can hold");
    }
    place_rows(fd, columns, row_coordinates.data(), values.data(), rows, row_bytes * (first + 1),
               needs_swap(options.order));
}

row_writer::row_writer(std::FILE *out, std::span<const float> column_coordinates,
                       const write_options &options)
    : out_(out), columns_(column_coordinates.size()) {
    check_columns(columns_, options);
    sink_ = std::make_unique<detail::float_sink>(out, detail::needs_swap(options.order),
                                                 std::uint64_t{staging_bytes});
    const auto count = static_cast<float>(columns_);
    sink_->put(&count, 1);
    sink_->put(column_coordinates.data(), columns_);
}

row_writer::row_writer(const std::filesystem::path &path, std::span<const float> column_coordinates,
                       const write_options &options)
    : columns_(column_coordinates.size()) {
    check_columns(columns_, options);
    file_ = std::make_unique<output_file>(path, output_options{options.sync, {}});
    out_ = file_->stream();
    sink_ = std::make_unique<detail::float_sink>(out_, detail::needs_swap(options.order),
                                                 std::uint64_t{staging_bytes});
    const auto count = static_cast<float>(columns_);
    sink_->put(&count, 1);
    sink_->put(column_coordinates.data(), columns_);
}

row_writer::~row_writer() = default;

void row_writer::put(float coordinate, std::span<const float> values) {
    if (values.size() != columns_) {
        throw std::invalid_argument("a row of " + std::to_string(values.size()) +
                                    " values, in a file of " + std::to_string(columns_) +
                                    " columns");
    }
    sink_->put(&coordinate, 1);
    sink_->put(values.data(), values.size());
    ++rows_;
}

void row_writer::finish() {
    if (rows_ == 0) {
        throw std::invalid_argument("an empty grid cannot be written: a file holds at least one "
                                    "row and one column");
    }
    sink_->flush();
    if (file_) {
        file_->commit();
        return;
    }
    errno = 0;
    if (std::fflush(out_) != 0) {
        write_failed(errno);
    }
}

} // namespace binmat
