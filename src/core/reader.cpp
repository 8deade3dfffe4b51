// The reader: one binary matrix file into ranged storage, with memory that follows the data.
#include <binmat/alloc.h>
#include <binmat/binary.h>
#include <binmat/layout.h>

#include "internal.h"
#include "rows.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>

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
