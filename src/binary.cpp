#include "binary.h"

#include "alloc.h"
#include "layout.h"

#include <cstdint>
#include <cstdlib>

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

// Storage the checked allocators would refuse: 2^31 bytes or more.
bool within_request_limit(long long count, std::size_t element_size) {
    return count > 0 && static_cast<unsigned long long>(count) <
                            (1ULL << 31) / static_cast<unsigned long long>(element_size);
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
    const std::size_t row_bytes = byte_count(element_count(ncl, sch), sizeof(float));
    for (long long i = static_cast<long long>(nrh) + 1; i <= srh; ++i) {
        void *row = zr_alloc(row_bytes, nullptr);
        if (row == nullptr) {
            free_rows(m, nrl, i - 1, ncl);
            std::free(block_of(m, nrl));
            int_error("not enough memory to extend matrix", -1);
        }
        m[i] = offset_handle(static_cast<float *>(row), ncl);
    }
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
bool row_capacity_allowed(long long rows) {
    return within_request_limit(rows, sizeof(float *)) && within_request_limit(rows, sizeof(float));
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

    int num_rows = 100;
    float *rt = vector(0, num_rows - 1);
    float **m = matrix(0, num_rows - 1, 0, num_cols - 1);
    int current_row = 0;
    bool ok = true;
    const auto row_length = static_cast<std::size_t>(num_cols);
    for (;;) {
        if (std::fread(&rt[current_row], sizeof(float), 1, fin) != 1) {
            ok = had_error || std::ferror(fin) == 0;
            break;
        }
        if (std::fread(&m[current_row][0], sizeof(float), row_length, fin) != row_length) {
            ok = false;
            break;
        }
        ++current_row;
        if (current_row == num_rows) {
            if (!row_capacity_allowed(static_cast<long long>(num_rows) + 50)) {
                ok = false;
                break;
            }
            float **temp_array =
                extend_matrix(m, 0, num_rows - 1, 0, num_cols - 1, num_rows + 49, num_cols - 1);
            rt = extend_vector(rt, 0, num_rows - 1, num_rows + 49);
            num_rows += 50;
            m = temp_array;
        }
    }
    if (!ok || current_row == 0) {
        free_matrix(m, 0, num_rows - 1, 0, num_cols - 1);
        free_vector(rt, 0, num_rows - 1);
        free_vector(ct, 0, num_cols - 1);
        return 0;
    }

    float **temp_array =
        retract_matrix(m, 0, num_rows - 1, 0, num_cols - 1, current_row - 1, num_cols - 1);
    rt = retract_vector(rt, 0, num_rows - 1, current_row - 1);
    *ret_matrix = temp_array;
    *row_title = rt;
    *column_title = ct;
    *nr = current_row;
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
