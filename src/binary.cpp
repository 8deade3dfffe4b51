#include "binary.h"

#include "alloc.h"

#include <cstdint>
#include <cstdlib>

namespace {

[[maybe_unused]] constexpr const char RCSid[] = "$Id: binary.cpp binmat $";

// A ranged handle addresses its block so that index `low` is the block's first element. It is
// formed with integer arithmetic because a pointer before the start of a block is undefined.
template <typename T> T *offset_handle(T *block, long long low) {
    return reinterpret_cast<T *>(reinterpret_cast<std::uintptr_t>(block) -
                                 static_cast<std::uintptr_t>(low) * sizeof(T));
}

template <typename T> T *block_of(T *handle, long long low) {
    return reinterpret_cast<T *>(reinterpret_cast<std::uintptr_t>(handle) +
                                 static_cast<std::uintptr_t>(low) * sizeof(T));
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

bool write_floats(FILE *fout, const float *data, std::size_t n) {
    return std::fwrite(data, sizeof(float), n, fout) == n;
}

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
    const std::size_t row_bytes = byte_count(element_count(ncl, nch), sizeof(float));
    for (long long i = nrl; i <= nrh; ++i) {
        void *row = zr_alloc(row_bytes, nullptr);
        if (row == nullptr) {
            free_rows(m, nrl, i - 1, ncl);
            std::free(rows);
            int_error("not enough memory to create matrix", -1);
        }
        m[i] = offset_handle(static_cast<float *>(row), ncl);
    }
    return m;
}

void free_matrix(float **m, int nrl, int nrh, int ncl, int /*nch*/) {
    free_rows(m, nrl, nrh, ncl);
    std::free(block_of(m, nrl));
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
    const auto n = static_cast<std::size_t>(col_length);

    float *own_columns = column_title == nullptr ? index_titles(ncl, nch) : nullptr;
    const float *columns = column_title == nullptr ? own_columns : column_title;
    bool ok = write_floats(fout, &columns[ncl], n);
    if (own_columns != nullptr) {
        free_vector(own_columns, ncl, nch);
    }
    if (!ok) {
        return 0;
    }

    float *own_rows = row_title == nullptr ? index_titles(nrl, nrh) : nullptr;
    const float *rows = row_title == nullptr ? own_rows : row_title;
    for (long long j = nrl; ok && j <= nrh; ++j) {
        ok = write_floats(fout, &rows[j], 1) && write_floats(fout, &m[j][ncl], n);
    }
    if (own_rows != nullptr) {
        free_vector(own_rows, nrl, nrh);
    }
    return ok ? 1 : 0;
}
