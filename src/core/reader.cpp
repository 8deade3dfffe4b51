// The reader: one binary matrix file into ranged storage, with memory that follows the data.
#include <binmat/alloc.h>
#include <binmat/binary.h>
#include <binmat/layout.h>

#include "internal.h"
#include "rows.h"

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sys/stat.h>
#include <system_error>
#include <thread>
#include <unistd.h>

using binmat::detail::byte_count;
using binmat::detail::release_matrix;
using binmat::detail::resize_row_pointers;
using binmat::detail::Staging;

namespace {

[[maybe_unused]] constexpr const char RCSid[] = "$Id: reader.cpp binmat $";

// Reads num_cols column titles into a new vector over 0..num_cols-1, or returns null (keeping
// nothing) when the stream holds fewer.
float *read_column_titles(FILE *fin, int num_cols) {
    float *ct = nullptr;
    int have = 0;
    while (have < num_cols) {
        const int want =
            have == 0 ? static_cast<int>(binmat::detail::first_coordinate_chunk) : have;
        const int capacity = num_cols - have < want ? num_cols : have + want;
        ct = ct == nullptr ? vector(0, capacity - 1) : extend_vector(ct, 0, have - 1, capacity - 1);
        const auto wanted = static_cast<std::size_t>(capacity - have);
        if (std::fread(&ct[have], sizeof(float), wanted, fin) != wanted) {
            free_vector(ct, 0, capacity - 1);
            return nullptr;
        }
        have = capacity;
    }
    return ct;
}

// Rows are counted in an int and addressed through a pointer block the checked allocators must
// accept, so a stream may not grow the capacity past this.
constexpr int max_rows =
    static_cast<int>(((1LL << 31) - 1) / static_cast<long long>(sizeof(float *)));

class second_half;

// The rows read so far. Capacity doubles, so the pointer block and the row titles move a
// logarithmic number of times; each row's block is taken only once its data has arrived.
struct Rows {
    float **m = nullptr;
    float *rt = nullptr;
    int capacity = 0;
    int count = 0;
    int columns = 0;
    second_half *helper = nullptr; // reading rows beyond count, when one is
};

constexpr int first_capacity = 100;

void release(Rows &r) {
    if (r.m != nullptr) {
        release_matrix(r.m, 0, r.count - 1, 0);
    }
    if (r.rt != nullptr) {
        free_vector(r.rt, 0, r.capacity - 1);
    }
}

// Makes room for one more row; false when ranged storage cannot address it.
bool make_room(Rows &r) {
    if (r.count < r.capacity) {
        return true;
    }
    if (r.capacity == 0) {
        r.m = static_cast<float **>(zr_alloc(first_capacity * sizeof(float *), "matrix"));
        r.rt = vector(0, first_capacity - 1);
        r.capacity = first_capacity;
        return true;
    }
    if (r.capacity == max_rows) {
        return false;
    }
    const int next = static_cast<int>(std::min(2LL * r.capacity, static_cast<long long>(max_rows)));
    r.m = resize_row_pointers(r.m, 0, next - 1, "extend matrix");
    r.rt = extend_vector(r.rt, 0, r.capacity - 1, next - 1);
    r.capacity = next;
    return true;
}

// From this many short rows in a file that the stream can measure, the second half of them is read,
// and given their blocks, on a thread of its own: a heap block per row is most of what reading
// short rows costs, and two threads take them from two of the allocator's arenas at once.
constexpr long long two_halves_from = 1LL << 16;

// Rows [first, last) of the file, read where they lie (pread leaves the stream alone) into blocks
// of their own, in r's storage, which has room for them. It stops at the first row it cannot give a
// block or whose bytes are not there; the rows from there on are read as any other.
class second_half {
  public:
    second_half(int fd, off_t at, Rows &r, int first, int last)
        : fd_(fd), at_(at), r_(r), first_(first), last_(last) {
        try {
            thread_ = std::thread([this] { read(); });
        } catch (const std::system_error &) {
            done_ = 0; // no thread to be had: the rows are read as any other
        }
    }
    second_half(const second_half &) = delete;
    second_half &operator=(const second_half &) = delete;
    ~second_half() { discard(); }

    // Waits for the thread and hands over the rows it read, with their blocks, from first() on:
    // how many.
    int take() {
        join();
        const int done = done_;
        done_ = 0;
        return done;
    }

    // Stops the thread and gives back the blocks it took, before a failure is reported.
    void discard() {
        stop_ = true;
        join();
        for (int i = first_; i < first_ + done_; ++i) {
            std::free(r_.m[i]);
        }
        done_ = 0;
    }

  private:
    void join() {
        if (thread_.joinable()) {
            thread_.join();
        }
    }

    void read() {
        const std::size_t columns = static_cast<std::size_t>(r_.columns);
        const std::size_t row_bytes = sizeof(float) * (columns + 1);
        const std::size_t per_block = (std::size_t{1} << 20) / row_bytes;
        auto *staging = static_cast<unsigned char *>(std::malloc(per_block * row_bytes));
        int done = 0;
        while (staging != nullptr && !stop_ && first_ + done < last_) {
            const auto rows = static_cast<std::size_t>(
                std::min<long long>(static_cast<long long>(per_block), last_ - first_ - done));
            const off_t offset =
                at_ + static_cast<off_t>(static_cast<std::size_t>(done) * row_bytes);
            const ssize_t got = ::pread(fd_, staging, rows * row_bytes, offset);
            const std::size_t whole = got > 0 ? static_cast<std::size_t>(got) / row_bytes : 0;
            std::size_t k = 0;
            for (; k < whole; ++k) {
                auto *row = static_cast<float *>(std::malloc(columns * sizeof(float)));
                if (row == nullptr) {
                    break;
                }
                const int i = first_ + done;
                binmat::detail::decode_rows(staging + k * row_bytes, 1, columns, false, &r_.rt[i],
                                            row);
                r_.m[i] = row;
                ++done;
            }
            if (k < rows) {
                break;
            }
        }
        std::free(staging);
        done_ = done;
    }

    int fd_;
    off_t at_;
    Rows &r_;
    int first_;
    int last_;
    std::atomic<bool> stop_{false};
    int done_ = 0;
    std::thread thread_;
};

// A block for the next row's values. Running out of memory here is fatal, as for any matrix.
float *new_row(Rows &r, float *column_title) {
    void *block = zr_alloc(byte_count(r.columns, sizeof(float)), nullptr);
    if (block == nullptr) {
        const bool first_rows = r.capacity == first_capacity;
        if (r.helper != nullptr) {
            r.helper->discard();
        }
        release(r);
        free_vector(column_title, 0, r.columns - 1);
        int_error(first_rows ? "not enough memory to create matrix"
                             : "not enough memory to extend matrix",
                  -1);
    }
    return static_cast<float *>(block);
}

enum class Ending { data_ended, failed };

// Reads rows long enough to go straight into their blocks: the title, then the values.
Ending read_long_rows(FILE *fin, Rows &r, float *ct) {
    const auto n = static_cast<std::size_t>(r.columns);
    for (;;) {
        float title = 0;
        if (std::fread(&title, sizeof title, 1, fin) != 1) {
            return Ending::data_ended;
        }
        if (!make_room(r)) {
            return Ending::failed;
        }
        float *row = new_row(r, ct);
        if (std::fread(row, sizeof(float), n, fin) != n) {
            std::free(row);
            return Ending::failed;
        }
        r.rt[r.count] = title;
        r.m[r.count] = row;
        ++r.count;
    }
}

// Reads short rows many at a time through a staging block: two stdio calls per row would cost
// more than the rows themselves. A partial row at the end of the data is a row cut short, unless
// it is too short to hold even a row title. Stops, having read more than it used, once `limit`
// rows are in.
Ending read_short_rows(FILE *fin, Rows &r, float *ct, Staging &scratch, int limit = max_rows) {
    const std::size_t row_bytes = sizeof(float) * (static_cast<std::size_t>(r.columns) + 1);
    std::size_t held = 0;
    for (;;) {
        unsigned char *staging = scratch.data();
        const std::size_t wanted = scratch.size() - held;
        const std::size_t got = std::fread(staging + held, 1, wanted, fin);
        held += got;
        std::size_t at = 0;
        for (; held - at >= row_bytes; at += row_bytes) {
            if (r.count == limit) {
                return Ending::data_ended;
            }
            if (!make_room(r)) {
                return Ending::failed;
            }
            float *row = new_row(r, ct);
            binmat::detail::decode_rows(staging + at, 1, static_cast<std::size_t>(r.columns), false,
                                        &r.rt[r.count], row);
            r.m[r.count] = row;
            ++r.count;
        }
        held -= at;
        std::memmove(staging, staging + at, held);
        if (got < wanted) {
            return held >= sizeof(float) ? Ending::failed : Ending::data_ended;
        }
        // The data filled the small block: a long file, worth reading in larger pieces.
        scratch.enlarge(held);
    }
}

// Reads a file of many short rows that the stream can measure in two halves, the second on a
// thread of its own, then whatever follows as any stream; false, with nothing read, for a stream
// that cannot be measured or holds fewer rows.
bool read_in_two_halves(FILE *fin, Rows &r, float *ct, Staging &scratch, std::size_t row_bytes,
                        Ending &ending) {
    const int fd = fileno(fin);
    struct stat st {};
    const off_t at = fd >= 0 ? ftello(fin) : -1;
    if (at < 0 || ::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_size < at) {
        return false;
    }
    const auto rows =
        static_cast<long long>(static_cast<std::uint64_t>(st.st_size - at) / row_bytes);
    if (rows < two_halves_from || rows > max_rows) {
        return false;
    }
    // Room for every row at once: the file's length has said how many there are.
    const int count = static_cast<int>(rows);
    r.m = static_cast<float **>(zr_alloc(byte_count(count, sizeof(float *)), "matrix"));
    r.rt = vector(0, count - 1);
    r.capacity = count;
    const int half = count / 2;
    second_half helper(fd, at + static_cast<off_t>(static_cast<std::size_t>(half) * row_bytes), r,
                       half, count);
    r.helper = &helper;
    ending = read_short_rows(fin, r, ct, scratch, half);
    if (ending == Ending::failed || r.count < half || std::ferror(fin) != 0) {
        helper.discard(); // the file ended early or could not be read: refused below
        r.helper = nullptr;
        return true;
    }
    r.count += helper.take();
    r.helper = nullptr;
    // The rest from where the helper stopped, and any rows the file has gained since it was
    // measured.
    if (fseeko(fin, at + static_cast<off_t>(static_cast<std::size_t>(r.count) * row_bytes),
               SEEK_SET) != 0) {
        ending = Ending::failed;
        return true;
    }
    ending = read_short_rows(fin, r, ct, scratch);
    return true;
}

} // namespace

TBOOLEAN fread_matrix(FILE *fin, float ***ret_matrix, int *nr, int *nc, float **row_title,
                      float **column_title) {
    // A read error after this point must not pass for the end of the data.
    const bool had_error = std::ferror(fin) != 0;
    float fdummy = 0;
    if (std::fread(&fdummy, sizeof fdummy, 1, fin) != 1) {
        return 0;
    }
    const int num_cols = binmat::column_count(fdummy);
    if (num_cols == 0) {
        return 0;
    }
    float *ct = read_column_titles(fin, num_cols);
    if (ct == nullptr) {
        return 0;
    }

    Rows r;
    r.columns = num_cols;
    // Rows are staged when several fit the staging block; longer ones go straight into their
    // blocks. Titles this long have already arrived, so the larger block is justified.
    const std::size_t row_bytes = sizeof(float) * (static_cast<std::size_t>(num_cols) + 1);
    Staging scratch;
    if (row_bytes > Staging::small_size / 4) {
        scratch.enlarge(0);
    }
    Ending ending = Ending::data_ended;
    if (row_bytes > scratch.size() / 4) {
        ending = read_long_rows(fin, r, ct);
    } else if (!read_in_two_halves(fin, r, ct, scratch, row_bytes, ending)) {
        ending = read_short_rows(fin, r, ct, scratch);
    }
    const bool read_error = !had_error && std::ferror(fin) != 0;
    if (ending == Ending::failed || read_error || r.count == 0) {
        release(r);
        free_vector(ct, 0, num_cols - 1);
        return 0;
    }

    // Trim to the rows read; no block was ever taken beyond them.
    *ret_matrix = resize_row_pointers(r.m, 0, r.count - 1, "retract matrix");
    *row_title = retract_vector(r.rt, 0, r.capacity - 1, r.count - 1);
    *column_title = ct;
    *nr = r.count;
    *nc = num_cols;
    return 1;
}
