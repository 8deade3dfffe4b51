// The modern reader: whole grids into contiguous memory, headers alone, and rows one at a time.
// Every refusal is layout_of's verdict on the bytes that arrived, so this reader and fread_matrix
// cannot disagree about a file.
#include <binmat/binmat.h>

#include "internal.h"
#include "rows.h"
#include "scattered_reads.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <fcntl.h>
#include <optional>
#include <sys/stat.h>
#include <sys/uio.h>
#include <system_error>
#include <unistd.h>

namespace binmat {

format_error::format_error(defect problem, std::uint64_t offset, const std::string &what)
    : std::runtime_error(what), problem_(problem), offset_(offset) {}

memory_error::memory_error(std::uint64_t rows, std::uint64_t columns) noexcept
    : rows_(rows), columns_(columns) {
    // The bytes of the values, or the most a 64-bit count holds.
    const std::uint64_t bytes =
        columns != 0 && rows > UINT64_MAX / 4 / columns ? UINT64_MAX : 4 * rows * columns;
    std::snprintf(what_, sizeof what_, "not enough memory for a grid of %llu x %llu (%llu bytes)",
                  static_cast<unsigned long long>(rows), static_cast<unsigned long long>(columns),
                  static_cast<unsigned long long>(bytes));
}

} // namespace binmat

namespace {

using binmat::byte_order;
using binmat::defect;
using binmat::format_error;
using binmat::detail::decode_rows;
using binmat::detail::load_float;
using binmat::detail::needs_swap;
using binmat::detail::swap_floats;

[[maybe_unused]] constexpr const char RCSid[] = "$Id: grid_reader.cpp binmat $";

// Rows are gathered through a block this large: one stdio call per row costs more than a copy.
constexpr std::size_t staging_bytes = std::size_t{1} << 20;
// The first block for a stream of unknown length.
constexpr std::size_t first_staging_bytes = std::size_t{64} * 1024;
// What byte_order::detect looks at, besides the length.
constexpr std::size_t sample_bytes = std::size_t{64} * 1024;

using binmat::detail::refuse;

// A file measured at `rows` rows ended at `length`, before all of them. Where it ended on a row
// boundary its bytes alone would make a shorter file; the row that should start there is the one
// cut short.
[[noreturn]] void ended_early(float stored, std::uint64_t rows, std::uint64_t length) {
    const binmat::layout l = binmat::layout_of(stored, length);
    if (l.problem != binmat::defect::none) {
        refuse(stored, length);
    }
    const std::uint64_t offset = length - l.stray;
    throw format_error(binmat::defect::row_cut_short, offset,
                       "not a binary matrix file: it ends after " + std::to_string(l.rows) +
                           " of the " + std::to_string(rows) +
                           " rows it was measured with; it has changed since (" +
                           binmat::name_of(binmat::defect::row_cut_short) + " at byte offset " +
                           std::to_string(offset) + ")");
}

[[noreturn]] void io_failed(const char *what) {
    throw std::system_error(errno != 0 ? errno : EIO, std::generic_category(), what);
}

// A file's modification time, as a header records it.
std::int64_t modified_ns(const struct stat &st) {
    return std::int64_t{st.st_mtim.tv_sec} * 1000000000 + st.st_mtim.tv_nsec;
}

// A stream read with every byte counted; a read error is never taken for the end of the data. A
// stream whose error flag was already set cannot show a new error, as for fread_matrix.
class counted_stream {
  public:
    explicit counted_stream(std::FILE *in) : in_(in), had_error_(std::ferror(in) != 0) {}

    std::size_t take(void *dst, std::size_t n) {
        auto *to = static_cast<unsigned char *>(dst);
        std::size_t got = 0;
        for (;;) {
            errno = 0;
            got += std::fread(to + got, 1, n - got, in_);
            if (got == n || had_error_ || std::ferror(in_) == 0) {
                break;
            }
            // A signal that interrupts a slow read (a pipe, a terminal) is not the data's fault.
            if (errno != EINTR) {
                consumed_ += got;
                io_failed("reading a binary matrix file");
            }
            std::clearerr(in_);
        }
        consumed_ += got;
        return got;
    }
    std::uint64_t consumed() const { return consumed_; }
    std::FILE *file() const { return in_; }

  private:
    std::FILE *in_;
    bool had_error_;
    std::uint64_t consumed_ = 0;
};

// Bytes from the stream's position to its end, when the stream can tell without being read.
std::optional<std::uint64_t> bytes_left(std::FILE *in) {
    const off_t at = ftello(in);
    if (at < 0) {
        return std::nullopt;
    }
    const int fd = fileno(in);
    if (fd >= 0) {
        struct stat st {};
        if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_size < at) {
            return std::nullopt;
        }
        return static_cast<std::uint64_t>(st.st_size - at);
    }
    // A stream over memory or a cookie: ask its end.
    if (fseeko(in, 0, SEEK_END) != 0) {
        return std::nullopt;
    }
    const off_t end = ftello(in);
    if (fseeko(in, at, SEEK_SET) != 0) {
        io_failed("repositioning a binary matrix stream");
    }
    return end >= at ? std::optional<std::uint64_t>(static_cast<std::uint64_t>(end - at))
                     : std::nullopt;
}

// Chooses the byte order of a stream that can be repositioned, from its first bytes and its
// length; nothing when it cannot be repositioned.
std::optional<byte_order> detect_order(std::FILE *in) {
    const off_t at = ftello(in);
    const std::optional<std::uint64_t> left = at >= 0 ? bytes_left(in) : std::nullopt;
    if (!left) {
        return std::nullopt;
    }
    std::vector<unsigned char> head(
        static_cast<std::size_t>(std::min<std::uint64_t>(*left, sample_bytes)));
    const std::size_t got = std::fread(head.data(), 1, head.size(), in);
    if (got < head.size() && std::ferror(in) != 0) {
        io_failed("reading a binary matrix file");
    }
    if (fseeko(in, at, SEEK_SET) != 0) {
        io_failed("repositioning a binary matrix stream");
    }
    head.resize(got);
    return binmat::likely_order(head, *left);
}

// The order asked for, or the one detected from a stream that can be repositioned; readers that
// must not consume the stream before choosing cannot detect on any other.
byte_order seekable_order(std::FILE *in, byte_order asked) {
    if (asked != byte_order::detect) {
        return asked;
    }
    const std::optional<byte_order> chosen = detect_order(in);
    if (!chosen) {
        throw std::invalid_argument("byte_order::detect needs a stream that can be repositioned");
    }
    return *chosen;
}

// The column count and coordinates, read so that a count the stream cannot back up commits no more
// memory than about twice the bytes that arrived.
struct head {
    float stored = 0;
    std::vector<float> column_coordinates;
};

head read_head(counted_stream &in, bool swap) {
    head h;
    unsigned char count[4];
    if (in.take(count, 4) < 4) {
        refuse(0, in.consumed());
    }
    h.stored = load_float(count, swap);
    const auto columns = static_cast<std::size_t>(binmat::column_count(h.stored));
    if (columns == 0) {
        refuse(h.stored, in.consumed());
    }
    std::size_t have = 0;
    while (have < columns) {
        const std::size_t want =
            std::min(columns - have, have == 0 ? binmat::detail::first_coordinate_chunk : have);
        h.column_coordinates.resize(have + want);
        const std::size_t got = in.take(h.column_coordinates.data() + have, 4 * want);
        if (got < 4 * want) {
            refuse(h.stored, in.consumed());
        }
        have += want;
    }
    if (swap) {
        swap_floats(h.column_coordinates.data(), columns);
    }
    return h;
}

// Room for `rows` rows; growth doubles, so a stream of unknown length moves its grid a logarithmic
// number of times and never holds more than twice what arrived.
void make_room(binmat::grid &g, std::size_t rows) {
    if (rows <= g.row_coordinates.size()) {
        return;
    }
    const std::size_t next = std::max(rows, 2 * g.row_coordinates.size());
    try {
        g.row_coordinates.resize(next);
        g.values.resize(next * g.columns());
    } catch (const std::bad_alloc &) {
        throw binmat::memory_error(next, g.columns());
    }
}

// Where rows land: the coordinate and the values of the first row of storage that `room` has made
// ready for a given number of rows. Growing storage moves, so it is asked again after each growth.
struct row_storage {
    float *coordinates;
    float *values;
};

// Reads up to `limit` rows, stopping early at the end of the data; returns how many arrived. A
// partial row is left to the caller's verdict, which layout_of gives from the bytes consumed.
template <class Room>
std::size_t read_rows(counted_stream &in, std::size_t columns, bool swap,
                      std::optional<std::uint64_t> left, std::size_t limit, Room &&room) {
    const std::size_t row_bytes = 4 * (columns + 1);
    std::size_t rows = 0;
    if (row_bytes > staging_bytes / 4) {
        // Long rows go straight into place.
        for (; rows < limit; ++rows) {
            unsigned char coordinate[4];
            if (in.take(coordinate, 4) < 4) {
                return rows;
            }
            const row_storage to = room(rows + 1);
            float *values = to.values + rows * columns;
            // In pieces that stay in cache while their bytes are turned round.
            const std::size_t piece = swap ? staging_bytes / 16 : columns;
            for (std::size_t done = 0; done < columns;) {
                const std::size_t n = std::min(piece, columns - done);
                if (in.take(values + done, 4 * n) < 4 * n) {
                    return rows;
                }
                if (swap) {
                    swap_floats(values + done, n);
                }
                done += n;
            }
            to.coordinates[rows] = load_float(coordinate, swap);
        }
        return rows;
    }
    // A small file gets a block its size; one of unknown length starts small and grows once it
    // has filled the block, as a long file does.
    const std::size_t small = std::max(first_staging_bytes, 4 * row_bytes);
    const std::size_t first =
        left ? static_cast<std::size_t>(std::clamp<std::uint64_t>(*left, row_bytes, staging_bytes))
             : std::min(small, staging_bytes);
    std::vector<unsigned char> staging(first);
    std::size_t held = 0;
    while (rows < limit) {
        // No further than the last row wanted: what follows stays in the stream.
        const std::size_t rows_left = limit - rows;
        const std::size_t block =
            rows_left > staging.size() / row_bytes ? staging.size() : rows_left * row_bytes;
        const std::size_t wanted = block - held;
        const std::size_t got = in.take(staging.data() + held, wanted);
        held += got;
        const std::size_t complete = held / row_bytes;
        const row_storage to = room(rows + complete);
        decode_rows(staging.data(), complete, columns, swap, to.coordinates + rows,
                    to.values + rows * columns);
        rows += complete;
        held -= complete * row_bytes;
        std::memmove(staging.data(), staging.data() + complete * row_bytes, held);
        if (got < wanted) {
            return rows;
        }
        if (!left && staging.size() < staging_bytes) {
            staging.resize(staging_bytes);
        }
    }
    return rows;
}

void trim(binmat::grid &g, std::size_t rows) {
    g.row_coordinates.resize(rows);
    g.values.resize(rows * g.columns());
    // A stream that ended well short of its expected length leaves spare capacity behind.
    if (g.values.capacity() / 2 > g.values.size()) {
        g.row_coordinates.shrink_to_fit();
        g.values.shrink_to_fit();
    }
}

binmat::grid read_stream(std::FILE *file, byte_order order) {
    const bool swap = needs_swap(order);
    counted_stream in(file);
    head h = read_head(in, swap);
    binmat::grid g;
    g.order = order;
    g.column_coordinates = std::move(h.column_coordinates);
    const std::size_t columns = g.columns();
    const std::uint64_t row_bytes = 4 * (std::uint64_t{columns} + 1);
    // A stream that knows its length gets its storage at once; the bound keeps rows * columns in
    // range of a size_t.
    const std::optional<std::uint64_t> left = bytes_left(file);
    if (left) {
        const std::uint64_t rows = *left / row_bytes;
        if (rows > 0 && rows <= g.values.max_size() / columns) {
            make_room(g, static_cast<std::size_t>(rows));
        }
    }
    const std::size_t rows =
        read_rows(in, columns, swap, left, g.values.max_size() / columns, [&g](std::size_t n) {
            make_room(g, n);
            return row_storage{g.row_coordinates.data(), g.values.data()};
        });
    const binmat::layout l = binmat::layout_of(h.stored, in.consumed());
    if (l.problem != defect::none) {
        refuse(h.stored, in.consumed());
    }
    trim(g, rows);
    return g;
}

// The rest of a stream that cannot be repositioned, with memory that follows the bytes; a stream
// whose first four bytes are a column count in neither order is not read further, since it may
// never end (/dev/zero).
std::vector<std::byte> read_all(std::FILE *file) {
    counted_stream in(file);
    std::vector<std::byte> bytes;
    std::size_t have = 0;
    for (;;) {
        bytes.resize(have == 0 ? sample_bytes : 2 * have);
        const std::size_t wanted = bytes.size() - have;
        const std::size_t got = in.take(bytes.data() + have, wanted);
        have += got;
        const auto *first = reinterpret_cast<const unsigned char *>(bytes.data());
        if (got < wanted || (have >= 4 && binmat::column_count(load_float(first, false)) == 0 &&
                             binmat::column_count(load_float(first, true)) == 0)) {
            bytes.resize(have);
            return bytes;
        }
    }
}

std::FILE *open_for_reading(const std::filesystem::path &path) {
    std::FILE *f = std::fopen(path.c_str(), "rb");
    if (f == nullptr) {
        throw std::filesystem::filesystem_error("cannot open binary matrix file", path,
                                                std::error_code(errno, std::generic_category()));
    }
    return f;
}

// Closes a stream opened here, whatever leaves the scope.
struct closer {
    std::FILE *f;
    ~closer() { std::fclose(f); }
};

} // namespace

namespace binmat {

grid read(std::FILE *in, const read_options &options) {
    byte_order order = options.order;
    if (order == byte_order::detect) {
        const std::optional<byte_order> chosen = detect_order(in);
        if (!chosen) {
            const std::vector<std::byte> bytes = read_all(in);
            return read(std::span<const std::byte>(bytes), options);
        }
        order = *chosen;
    }
    return read_stream(in, order);
}

grid read_file(const std::filesystem::path &path, const read_options &options) {
    closer f{open_for_reading(path)};
    return read(f.f, options);
}

grid read(std::span<const std::byte> bytes, const read_options &options) {
    const auto *data = reinterpret_cast<const unsigned char *>(bytes.data());
    const std::span<const unsigned char> raw(data, bytes.size());
    const byte_order order =
        options.order == byte_order::detect ? likely_order(raw, raw.size()) : options.order;
    const bool swap = detail::needs_swap(order);
    const float stored = raw.size() >= 4 ? load_float(data, swap) : 0;
    const layout l = layout_of(stored, raw.size());
    if (l.problem != defect::none) {
        refuse(stored, raw.size());
    }
    const auto columns = static_cast<std::size_t>(l.columns);
    const auto rows = static_cast<std::size_t>(l.rows);
    grid g;
    g.order = order;
    g.column_coordinates.resize(columns);
    for (std::size_t j = 0; j < columns; ++j) {
        g.column_coordinates[j] = load_float(data + 4 + 4 * j, swap);
    }
    try {
        g.row_coordinates.resize(rows);
        g.values.resize(rows * columns);
    } catch (const std::bad_alloc &) {
        throw memory_error(rows, columns);
    }
    detail::decode_rows(data + detail::row_bytes(columns), rows, columns, swap,
                        g.row_coordinates.data(), g.values.data());
    return g;
}

header read_header(std::FILE *in, const read_options &options) {
    const byte_order order = seekable_order(in, options.order);
    counted_stream counted(in);
    head h = read_head(counted, needs_swap(order));
    header out;
    out.order = order;
    out.first_row_offset = counted.consumed();
    std::uint64_t length = counted.consumed();
    if (const std::optional<std::uint64_t> left = bytes_left(in)) {
        length += *left;
    } else {
        std::vector<unsigned char> scratch(staging_bytes);
        while (counted.take(scratch.data(), scratch.size()) == scratch.size()) {
        }
        length = counted.consumed();
    }
    const layout l = layout_of(h.stored, length);
    if (l.problem != defect::none) {
        refuse(h.stored, length);
    }
    out.column_coordinates = std::move(h.column_coordinates);
    out.rows = l.rows;
    out.stray = l.stray;
    out.length = length;
    struct stat st {};
    if (const int fd = fileno(in); fd >= 0 && fstat(fd, &st) == 0 && S_ISREG(st.st_mode)) {
        out.inode = st.st_ino;
        out.file_size = static_cast<std::uint64_t>(st.st_size);
        out.modified = modified_ns(st);
    }
    return out;
}

void read_rows(std::FILE *in, const header &h, std::span<float> row_coordinates,
               std::span<float> values) {
    const std::size_t columns = h.columns();
    if (columns == 0 || row_coordinates.size() != h.rows || values.size() % columns != 0 ||
        values.size() / columns != h.rows) {
        throw std::invalid_argument("read_rows needs room for exactly the rows its header counts");
    }
    const std::size_t rows = row_coordinates.size();
    counted_stream counted(in);
    const std::size_t got = read_rows(counted, columns, needs_swap(h.order), h.rows * h.row_bytes(),
                                      rows, [&](std::size_t) {
                                          return row_storage{row_coordinates.data(), values.data()};
                                      });
    if (got < rows) {
        ended_early(static_cast<float>(columns), h.rows, h.first_row_offset + counted.consumed());
    }
}

namespace {

struct descriptor {
    int fd;
    explicit descriptor(int owned) : fd(owned) {}
    descriptor(const descriptor &) = delete;
    descriptor &operator=(const descriptor &) = delete;
    ~descriptor() {
        if (fd >= 0) {
            ::close(fd);
        }
    }
};

// The file open on fd, opened again by its name; -1 when the name is no longer that file's.
int opened_again(const std::filesystem::path &path, int fd) {
    struct stat was {};
    struct stat is {};
    const int again = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (again >= 0 && (fstat(fd, &was) != 0 || fstat(again, &is) != 0 || was.st_dev != is.st_dev ||
                       was.st_ino != is.st_ino)) {
        ::close(again);
        return -1;
    }
    return again;
}

[[noreturn]] void changed_since(const std::filesystem::path &path) {
    throw std::filesystem::filesystem_error(
        "the file was replaced or changed since its header was read", path,
        std::error_code(ESTALE, std::generic_category()));
}

// Reads n bytes at `at` of the file whose header is h; one that ends before them has shrunk.
void read_at(int fd, const header &h, unsigned char *to, std::size_t n, std::uint64_t at) {
    for (std::size_t got = 0; got < n;) {
        const ssize_t k = ::pread(fd, to + got, n - got, static_cast<off_t>(at + got));
        if (k < 0 && errno == EINTR) {
            continue;
        }
        if (k < 0) {
            io_failed("reading a binary matrix file");
        }
        if (k == 0) {
            ended_early(static_cast<float>(h.columns()), h.rows, at + got);
        }
        got += static_cast<std::size_t>(k);
    }
}

} // namespace

std::vector<float> read_row_coordinates(const std::filesystem::path &path, const header &h) {
    closer f{open_for_reading(path)};
    const int fd = fileno(f.f);
    // A file that shrank is refused by read_at, where its first missing row begins; one replaced,
    // or changed in any other way, here.
    struct stat st {};
    if (h.inode != 0 && (fstat(fd, &st) != 0 || st.st_ino != h.inode ||
                         (static_cast<std::uint64_t>(st.st_size) >= h.file_size &&
                          modified_ns(st) != h.modified))) {
        changed_since(path);
    }
    const std::uint64_t row_bytes = h.row_bytes();
    std::vector<float> coordinates(static_cast<std::size_t>(h.rows));
    if (row_bytes <= 4096) {
        const std::uint64_t per_block = staging_bytes / row_bytes;
        detail::in_two_halves(h.rows, 8 * per_block, [&](std::uint64_t first, std::uint64_t last) {
            std::vector<unsigned char> block(static_cast<std::size_t>(per_block * row_bytes));
            for (; first < last; first += per_block) {
                const std::uint64_t count = std::min(per_block, last - first);
                read_at(fd, h, block.data(), static_cast<std::size_t>(count * row_bytes),
                        h.first_row_offset + first * row_bytes);
                for (std::uint64_t i = 0; i < count; ++i) {
                    coordinates[first + i] = stored_float(block.data() + i * row_bytes, h.order);
                }
            }
        });
        return coordinates;
    }
    // Every coordinate lies in a page of its own. Those whose pages are cached are read at once,
    // many to a system call, each coordinate's bytes into its place; the others are asked for all
    // together, so that the device fetches them side by side rather than one after another, and
    // read when they arrive. The second half is read on a core of its own, through a description
    // of the file of its own: two readers of one contend for it on every read.
    auto *stored = reinterpret_cast<unsigned char *>(coordinates.data());
    detail::in_two_halves(h.rows, 4096, [&](std::uint64_t first, std::uint64_t last) {
        const descriptor again{first == 0 ? -1 : opened_again(path, fd)};
        const int own = again.fd >= 0 ? again.fd : fd;
        const auto piece = [&](std::size_t i) {
            return detail::scattered_piece{stored + 4 * (first + i), 4,
                                           h.first_row_offset + (first + i) * row_bytes};
        };
        const auto n = static_cast<std::size_t>(last - first);
        const std::vector<std::size_t> uncached = detail::read_scattered(own, n, piece, true);
        for (const std::size_t k : uncached) {
            ::posix_fadvise(own, static_cast<off_t>(piece(k).at), 4, POSIX_FADV_WILLNEED);
        }
        const auto rest = [&](std::size_t k) { return piece(uncached[k]); };
        for (const std::size_t k : detail::read_scattered(own, uncached.size(), rest, false)) {
            read_at(own, h, rest(k).to, 4, rest(k).at);
        }
    });
    if (needs_swap(h.order)) {
        detail::swap_floats(coordinates.data(), coordinates.size());
    }
    return coordinates;
}

namespace {

// Refuses the file whose header h is when it was replaced, resized or rewritten since.
void check_unchanged(int fd, const std::filesystem::path &path, const header &h) {
    struct stat st {};
    if (h.inode != 0 &&
        (fstat(fd, &st) != 0 || st.st_ino != h.inode ||
         static_cast<std::uint64_t>(st.st_size) != h.file_size || modified_ns(st) != h.modified)) {
        changed_since(path);
    }
}

} // namespace

namespace {

// Rows from this length on are read straight into the caller's storage.
constexpr std::size_t long_row_bytes = 4096;

// `count` rows from `first` on, each row's coordinate and values read into place by
// one scattering read of many rows at a time, then put in this machine's byte order.
void read_long_rows(int fd, const header &h, std::uint64_t first, std::size_t count,
                    float *row_coordinates, float *values) {
    const std::size_t columns = h.columns();
    const std::size_t row_bytes = detail::row_bytes(columns);
    const std::size_t per_read =
        std::max<std::size_t>(1, std::min<std::size_t>(IOV_MAX / 2, staging_bytes * 8 / row_bytes));
    std::vector<iovec> pieces(2 * per_read);
    for (std::size_t done = 0; done < count;) {
        const std::size_t n = std::min(per_read, count - done);
        for (std::size_t i = 0; i < n; ++i) {
            pieces[2 * i] = {row_coordinates + done + i, 4};
            pieces[2 * i + 1] = {values + (done + i) * columns, 4 * columns};
        }
        std::uint64_t at = h.first_row_offset + (first + done) * std::uint64_t{row_bytes};
        iovec *next = pieces.data();
        std::size_t left = 2 * n;
        while (left > 0) {
            const ssize_t k = ::preadv(fd, next, static_cast<int>(left), static_cast<off_t>(at));
            if (k < 0 && errno == EINTR) {
                continue;
            }
            if (k < 0) {
                io_failed("reading a binary matrix file");
            }
            if (k == 0) {
                ended_early(static_cast<float>(columns), h.rows, at);
            }
            at += static_cast<std::uint64_t>(k);
            // Past the pieces filled whole, into the one filled in part.
            for (auto got = static_cast<std::size_t>(k); got > 0;) {
                if (got >= next->iov_len) {
                    got -= next->iov_len;
                    ++next;
                    --left;
                } else {
                    next->iov_base = static_cast<unsigned char *>(next->iov_base) + got;
                    next->iov_len -= got;
                    got = 0;
                }
            }
        }
        if (needs_swap(h.order)) {
            detail::swap_floats(row_coordinates + done, n);
            detail::swap_floats(values + done * columns, n * columns);
        }
        done += n;
    }
}

} // namespace

void read_rows(const std::filesystem::path &path, const header &h, std::uint64_t first,
               std::span<float> row_coordinates, std::span<float> values) {
    const std::size_t columns = h.columns();
    const std::size_t count = row_coordinates.size();
    if (columns == 0 || first > h.rows || count > h.rows - first ||
        values.size() / columns != count || values.size() % columns != 0) {
        throw std::invalid_argument("read_rows needs rows the header counts, and room for each "
                                    "row's values");
    }
    const closer f{open_for_reading(path)};
    const int fd = fileno(f.f);
    check_unchanged(fd, path, h);
    const bool swap = needs_swap(h.order);
    const std::size_t row_bytes = detail::row_bytes(columns);
    if (row_bytes >= long_row_bytes) {
        // Long rows land where they belong, each coordinate and its values apart, in one read
        // of many rows: no copy on the way, and nothing for a second core to share.
        read_long_rows(fd, h, first, count, row_coordinates.data(), values.data());
        return;
    }
    const std::size_t per_block = std::max<std::size_t>(1, staging_bytes / row_bytes);
    // Many short rows are decoded on two cores: the decoding, not the copy, is what costs.
    detail::in_two_halves(count, 8 * per_block, [&](std::uint64_t from, std::uint64_t to) {
        const auto rows = static_cast<std::size_t>(to - from);
        std::vector<unsigned char> block(std::min(per_block, std::max<std::size_t>(rows, 1)) *
                                         row_bytes);
        for (auto done = static_cast<std::size_t>(from); done < to;) {
            const std::size_t n = std::min(per_block, static_cast<std::size_t>(to) - done);
            read_at(fd, h, block.data(), n * row_bytes,
                    h.first_row_offset + (first + done) * std::uint64_t{row_bytes});
            detail::decode_rows(block.data(), n, columns, swap, row_coordinates.data() + done,
                                values.data() + done * columns);
            done += n;
        }
    });
}

void read_columns(const std::filesystem::path &path, const header &h, std::uint64_t first,
                  std::size_t first_column, std::size_t width, std::span<float> values) {
    const std::size_t columns = h.columns();
    if (width == 0 || first_column > columns || width > columns - first_column ||
        values.size() % width != 0 || first > h.rows || values.size() / width > h.rows - first) {
        throw std::invalid_argument("read_columns needs rows and columns the header counts, and "
                                    "room for their values");
    }
    const closer f{open_for_reading(path)};
    const int fd = fileno(f.f);
    check_unchanged(fd, path, h);
    const bool swap = needs_swap(h.order);
    const std::uint64_t row_bytes = h.row_bytes();
    const std::size_t rows = values.size() / width;
    // Each row's part lands where it belongs, many rows to a system call.
    const auto piece = [&](std::size_t i) {
        return detail::scattered_piece{
            reinterpret_cast<unsigned char *>(values.data() + i * width), 4 * width,
            h.first_row_offset + (first + i) * row_bytes + 4 * (std::uint64_t{first_column} + 1)};
    };
    for (const std::size_t i : detail::read_scattered(fd, rows, piece, false)) {
        read_at(fd, h, piece(i).to, piece(i).size, piece(i).at);
    }
    if (swap) {
        detail::swap_floats(values.data(), rows * width);
    }
}

void decode_rows(std::span<const unsigned char> stored, std::size_t columns, byte_order order,
                 std::span<float> row_coordinates, std::span<float> values) {
    const std::size_t rows = row_coordinates.size();
    if (order == byte_order::detect || columns == 0 || values.size() / columns != rows ||
        values.size() % columns != 0 || stored.size() / detail::row_bytes(columns) != rows ||
        stored.size() % detail::row_bytes(columns) != 0) {
        throw std::invalid_argument("decode_rows needs whole rows in a known byte order, and room "
                                    "for each row's coordinate and values");
    }
    detail::decode_rows(stored.data(), rows, columns, needs_swap(order), row_coordinates.data(),
                        values.data());
}

header read_header(const std::filesystem::path &path, const read_options &options) {
    closer f{open_for_reading(path)};
    return read_header(f.f, options);
}

row_reader::row_reader(std::FILE *in, const read_options &options)
    : in_(in), order_(seekable_order(in, options.order)) {
    counted_stream counted(in);
    head h = read_head(counted, needs_swap(order_));
    stored_count_ = h.stored;
    columns_ = std::move(h.column_coordinates);
    consumed_ = counted.consumed();
}

bool row_reader::next(float &coordinate, std::span<float> values) {
    if (ended_) {
        return false;
    }
    if (values.size() != columns_.size()) {
        throw std::invalid_argument("row_reader::next needs room for exactly " +
                                    std::to_string(columns_.size()) + " values");
    }
    counted_stream counted(in_);
    const bool swap = needs_swap(order_);
    unsigned char stored[4];
    const bool whole = counted.take(stored, 4) == 4 &&
                       counted.take(values.data(), 4 * values.size()) == 4 * values.size();
    consumed_ += counted.consumed();
    if (!whole) {
        ended_ = true;
        if (layout_of(stored_count_, consumed_).problem != defect::none) {
            refuse(stored_count_, consumed_);
        }
        return false;
    }
    coordinate = load_float(stored, swap);
    if (swap) {
        swap_floats(values.data(), values.size());
    }
    ++rows_;
    return true;
}

} // namespace binmat
