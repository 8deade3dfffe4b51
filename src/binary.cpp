#include "binary.h"

#include "alloc.h"
#include "layout.h"

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>

namespace {

[[maybe_unused]] constexpr const char RCSid[] = "$Id: binary.cpp binmat $";

// A ranged handle addresses its block so that index `low` is the block's first element. It is
// formed with integer arithmetic because a pointer before the start of a block is undefined; these
// two are the only places that convert between the handle and the block.
template <typename T> T *offset_handle(T *block, long long low) {
    return reinterpret_cast<T *>( // NOLINT(performance-no-int-to-ptr)
        reinterpret_cast<std::uintptr_t>(block) - static_cast<std::uintptr_t>(low) * sizeof(T));
}

template <typename T> T *block_of(T *handle, long long low) {
    return reinterpret_cast<T *>( // NOLINT(performance-no-int-to-ptr)
        reinterpret_cast<std::uintptr_t>(handle) + static_cast<std::uintptr_t>(low) * sizeof(T));
}

// Bounds are ints, so an inclusive range holds at most 2^32 elements: 64 bits cannot overflow.
long long element_count(long long low, long long high) { return high - low + 1; }

// An empty or reversed range asks for zero bytes, which the checked allocators refuse.
std::size_t byte_count(long long count, std::size_t element_size) {
    return count > 0 ? static_cast<std::size_t>(count) * element_size : 0;
}

void free_rows(float **m, long long first, long long last, int ncl) {
    for (long long i = first; i <= last; ++i) {
        std::free(block_of(m[i], ncl));
    }
}

// Releases rows nrl..last and the row-pointer block. The last row is a long long so that a
// matrix that failed before its first row (last = nrl - 1) can be released whatever nrl is.
void release_matrix(float **m, int nrl, long long last, int ncl) {
    free_rows(m, nrl, last, ncl);
    std::free(block_of(m, nrl));
}

// Gives rows first..last of m a block of row_bytes each. If one cannot be had, the matrix so far
// (rows nrl up to the failure, and the pointer block) is released and `failure` reported.
void allocate_rows(float **m, int nrl, long long first, long long last, int ncl,
                   std::size_t row_bytes, const char *failure) {
    for (long long i = first; i <= last; ++i) {
        void *row = zr_alloc(row_bytes, nullptr);
        if (row == nullptr) {
            release_matrix(m, nrl, i - 1, ncl);
            int_error(failure, -1);
        }
        m[i] = offset_handle(static_cast<float *>(row), ncl);
    }
}

float *resize_vector(float *vec, int nl, int new_nh, const char *message) {
    void *block = zr_realloc(block_of(vec, nl),
                             byte_count(element_count(nl, new_nh), sizeof(float)), message);
    return offset_handle(static_cast<float *>(block), nl);
}

float **resize_row_pointers(float **a, int nrl, int new_nrh, const char *message) {
    void *block = zr_realloc(block_of(a, nrl),
                             byte_count(element_count(nrl, new_nrh), sizeof(float *)), message);
    return offset_handle(static_cast<float **>(block), nrl);
}

// Scratch space for gathering rows into large reads and writes: one stdio call per row costs more
// than copying the row. It starts as a small block of its own; work big enough to gain from more
// moves it to a megabyte of heap, when the heap can spare one.
class Staging {
  public:
    static constexpr std::size_t small_size = std::size_t{64} * 1024;

    Staging() = default;
    ~Staging() { std::free(heap_); }
    Staging(const Staging &) = delete;
    Staging &operator=(const Staging &) = delete;

    unsigned char *data() { return heap_ != nullptr ? heap_ : small_; }
    std::size_t size() const { return heap_ != nullptr ? large : small_size; }

    // Moves to the large block, keeping the first `keep` bytes; stays small if none is to be had.
    void enlarge(std::size_t keep) {
        if (heap_ == nullptr) {
            heap_ = static_cast<unsigned char *>(std::malloc(large));
            if (heap_ != nullptr) {
                std::memcpy(heap_, small_, keep);
            }
        }
    }

  private:
    static constexpr std::size_t large = std::size_t{1024} * 1024;
    unsigned char *heap_ = nullptr;
    unsigned char small_[small_size];
};

// Gathers small writes into large ones.
class Stager {
  public:
    Stager(FILE *out, unsigned long long total_bytes) : out_(out) {
        if (total_bytes > Staging::small_size) {
            staging_.enlarge(0);
        }
    }
    bool put(const void *data, std::size_t bytes) {
        if (bytes > staging_.size() - used_ && !flush()) {
            return false;
        }
        if (bytes >= staging_.size()) {
            return std::fwrite(data, 1, bytes, out_) == bytes;
        }
        std::memcpy(staging_.data() + used_, data, bytes);
        used_ += bytes;
        return true;
    }
    bool flush() {
        const std::size_t n = used_;
        used_ = 0;
        return n == 0 || std::fwrite(staging_.data(), 1, n, out_) == n;
    }

  private:
    FILE *out_;
    Staging staging_;
    std::size_t used_ = 0;
};

// Stands in for a missing title vector: each index as a float.
float *index_titles(int nl, int nh) {
    float *titles = vector(nl, nh);
    for (long long i = nl; i <= nh; ++i) {
        titles[i] = static_cast<float>(i);
    }
    return titles;
}

} // namespace

float *vector(int nl, int nh) {
    void *block = zr_alloc(byte_count(element_count(nl, nh), sizeof(float)), nullptr);
    if (block == nullptr) {
        int_error("not enough memory to create vector", -1);
    }
    return offset_handle(static_cast<float *>(block), nl);
}

void free_vector(float *vec, int nl, int /*nh*/) { std::free(block_of(vec, nl)); }

float **matrix(int nrl, int nrh, int ncl, int nch) {
    void *rows = zr_alloc(byte_count(element_count(nrl, nrh), sizeof(float *)), "matrix");
    float **m = offset_handle(static_cast<float **>(rows), nrl);
    allocate_rows(m, nrl, nrl, nrh, ncl, byte_count(element_count(ncl, nch), sizeof(float)),
                  "not enough memory to create matrix");
    return m;
}

void free_matrix(float **m, int nrl, int nrh, int ncl, int /*nch*/) {
    release_matrix(m, nrl, nrh, ncl);
}

float *extend_vector(float *vec, int old_nl, int /*old_nh*/, int new_nh) {
    return resize_vector(vec, old_nl, new_nh, "extend vector");
}

float *retract_vector(float *v, int old_nl, int /*old_nh*/, int new_nh) {
    return resize_vector(v, old_nl, new_nh, "retract vector");
}

float **extend_matrix(float **a, int nrl, int nrh, int ncl, int nch, int srh, int sch) {
    float **m = resize_row_pointers(a, nrl, srh, "extend matrix");
    if (sch != nch) {
        for (long long i = nrl; i <= nrh; ++i) {
            m[i] = extend_vector(m[i], ncl, nch, sch);
        }
    }
    allocate_rows(m, nrl, static_cast<long long>(nrh) + 1, srh, ncl,
                  byte_count(element_count(ncl, sch), sizeof(float)),
                  "not enough memory to extend matrix");
    return m;
}

float **retract_matrix(float **a, int nrl, int nrh, int ncl, int nch, int srh, int sch) {
    free_rows(a, static_cast<long long>(srh) + 1, nrh, ncl);
    float **m = resize_row_pointers(a, nrl, srh, "retract matrix");
    if (sch != nch) {
        for (long long i = nrl; i <= srh; ++i) {
            m[i] = retract_vector(m[i], ncl, nch, sch);
        }
    }
    return m;
}

float **convert_matrix(float *a, int nrl, int nrh, int ncl, int nch) {
    void *rows = zr_alloc(byte_count(element_count(nrl, nrh), sizeof(float *)), "convert_matrix");
    float **m = offset_handle(static_cast<float **>(rows), nrl);
    const long long ncol = element_count(ncl, nch);
    for (long long i = nrl; i <= nrh; ++i) {
        // Row i starts (i - nrl) * ncol floats into the caller's block.
        m[i] = offset_handle(a, ncl - (i - nrl) * ncol);
    }
    return m;
}

void free_convert_matrix(float **b, int nrl, int /*nrh*/, int /*ncl*/, int /*nch*/) {
    std::free(block_of(b, nrl));
}

TBOOLEAN fwrite_matrix(FILE *fout, const float *const *m, int nrl, int nrh, int ncl, int nch,
                       const float *row_title, const float *column_title) {
    const long long col_length = element_count(ncl, nch);
    const float length = static_cast<float>(col_length);
    // A count the float cannot hold exactly would be read back as another count.
    if (element_count(nrl, nrh) < 1 || col_length < 1 ||
        static_cast<long long>(length) != col_length) {
        return 0;
    }
    const std::size_t status = std::fwrite(&length, sizeof length, 1, fout);
    if (status != 1) {
        std::fprintf(stderr, "fwrite 1 returned %d\n", static_cast<int>(status));
        return 0;
    }
    const std::size_t row_bytes = static_cast<std::size_t>(col_length) * sizeof(float);
    const auto rows_and_head = static_cast<unsigned long long>(element_count(nrl, nrh)) + 1;
    Stager out(fout, rows_and_head * (row_bytes + sizeof(float)));

    float *own_columns = column_title == nullptr ? index_titles(ncl, nch) : nullptr;
    const float *columns = column_title == nullptr ? own_columns : column_title;
    bool ok = out.put(&columns[ncl], row_bytes);
    if (own_columns != nullptr) {
        free_vector(own_columns, ncl, nch);
    }
    if (!ok) {
        return 0;
    }

    float *own_rows = row_title == nullptr ? index_titles(nrl, nrh) : nullptr;
    const float *rows = row_title == nullptr ? own_rows : row_title;
    for (long long j = nrl; ok && j <= nrh; ++j) {
        ok = out.put(&rows[j], sizeof(float)) && out.put(&m[j][ncl], row_bytes);
    }
    ok = ok && out.flush();
    if (own_rows != nullptr) {
        free_vector(own_rows, nrl, nrh);
    }
    return ok ? 1 : 0;
}

namespace {

// Titles arrive in chunks that at most double what has been read, so a count the stream cannot
// back up never commits more memory than about twice the bytes that really arrived.
constexpr int first_title_chunk = 1024;

// Reads num_cols column titles into a new vector over 0..num_cols-1, or returns null (keeping
// nothing) when the stream holds fewer.
float *read_column_titles(FILE *fin, int num_cols) {
    float *ct = nullptr;
    int have = 0;
    while (have < num_cols) {
        const int want = have == 0 ? first_title_chunk : have;
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

// The rows read so far. Capacity doubles, so the pointer block and the row titles move a
// logarithmic number of times; each row's block is taken only once its data has arrived.
struct Rows {
    float **m = nullptr;
    float *rt = nullptr;
    int capacity = 0;
    int count = 0;
    int columns = 0;
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

// A block for the next row's values. Running out of memory here is fatal, as for any matrix.
float *new_row(Rows &r, float *column_title) {
    void *block = zr_alloc(byte_count(r.columns, sizeof(float)), nullptr);
    if (block == nullptr) {
        const bool first_rows = r.capacity == first_capacity;
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
// it is too short to hold even a row title.
Ending read_short_rows(FILE *fin, Rows &r, float *ct, Staging &scratch) {
    const std::size_t row_bytes = sizeof(float) * (static_cast<std::size_t>(r.columns) + 1);
    std::size_t held = 0;
    for (;;) {
        unsigned char *staging = scratch.data();
        const std::size_t wanted = scratch.size() - held;
        const std::size_t got = std::fread(staging + held, 1, wanted, fin);
        held += got;
        std::size_t at = 0;
        for (; held - at >= row_bytes; at += row_bytes) {
            if (!make_room(r)) {
                return Ending::failed;
            }
            float *row = new_row(r, ct);
            std::memcpy(&r.rt[r.count], staging + at, sizeof(float));
            std::memcpy(row, staging + at + sizeof(float), row_bytes - sizeof(float));
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
    const Ending ending = row_bytes <= scratch.size() / 4 ? read_short_rows(fin, r, ct, scratch)
                                                          : read_long_rows(fin, r, ct);
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

namespace {

constexpr int sample_size = 512;

// Bytes that do not belong in text. A zero byte settles the question on its own.
int odd_bytes(const unsigned char *buffer, int len) {
    int odd = 0;
    for (int i = 0; i < len; ++i) {
        const unsigned char c = buffer[i];
        if (c == 0x00) {
            return odd + len;
        }
        const bool text_control =
            c == 0x0A || c == 0x0D || c == 0x08 || c == 0x09 || c == 0x0C || c == 0x1B;
        if (c >= 0x7F || (c < 0x20 && !text_control)) {
            ++odd;
        }
    }
    return odd;
}

} // namespace

TBOOLEAN is_binary_file(FILE *fp) {
    const long where = std::ftell(fp);
    if (where == -1) {
        std::fprintf(stderr, "Notice: Assuming unseekable data is not binary\n");
        return 0;
    }
    // The sample always comes from the start of the stream, wherever the caller stands.
    std::rewind(fp);
    unsigned char buffer[sample_size];
    const int len = static_cast<int>(std::fread(buffer, 1, sizeof buffer, fp));
    const int odd = odd_bytes(buffer, len);
    std::fseek(fp, where, SEEK_SET);
    return 10 * odd > len ? 1 : 0;
}
