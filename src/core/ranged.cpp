// Ranged vectors and matrices: creation, release, resizing, and wrapping of a contiguous block.
#include <binmat/alloc.h>
#include <binmat/binary.h>

#include "internal.h"

#include <cstdlib>

using binmat::detail::block_of;
using binmat::detail::byte_count;
using binmat::detail::element_count;
using binmat::detail::offset_handle;
using binmat::detail::release_matrix;
using binmat::detail::resize_row_pointers;

namespace {

[[maybe_unused]] constexpr const char RCSid[] = "$Id: ranged.cpp binmat $";

void free_rows(float **m, long long first, long long last, int ncl) {
    for (long long i = first; i <= last; ++i) {
        std::free(block_of(m[i], ncl));
    }
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

} // namespace

namespace binmat::detail {

void release_matrix(float **m, int nrl, long long last, int ncl) {
    free_rows(m, nrl, last, ncl);
    std::free(block_of(m, nrl));
}

float **resize_row_pointers(float **a, int nrl, int new_nrh, const char *message) {
    void *block = zr_realloc(block_of(a, nrl),
                             byte_count(element_count(nrl, new_nrh), sizeof(float *)), message);
    return offset_handle(static_cast<float **>(block), nrl);
}

} // namespace binmat::detail

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
