// The one decoder of rows: a row as stored (its coordinate, then its values, each four bytes in the
// file's byte order) into native floats. Every reader of the format decodes through it, whether
// the bytes come from a stream's staging block, a map of the file or a ranged read.
#pragma once

#include "internal.h"

#include <cstddef>
#include <cstring>

namespace binmat::detail {

// Bytes in a row of `columns` values: its coordinate and its values.
constexpr std::size_t row_bytes(std::size_t columns) { return 4 * (columns + 1); }

// The values of one row, from the bytes after its coordinate. Short rows are copied float by
// float, which costs less than a call to memcpy.
inline void decode_values(const unsigned char *src, std::size_t columns, bool swap, float *values) {
    if (!swap && columns >= 16) {
        std::memcpy(values, src, 4 * columns);
        return;
    }
    for (std::size_t j = 0; j < columns; ++j) {
        values[j] = load_float(src + 4 * j, swap);
    }
}

// `rows` consecutive rows stored at `src`: their coordinates into coordinates[0..rows) and their
// values, row-major, into values[0..rows * columns).
inline void decode_rows(const unsigned char *src, std::size_t rows, std::size_t columns, bool swap,
                        float *coordinates, float *values) {
    const std::size_t stride = row_bytes(columns);
    for (std::size_t i = 0; i < rows; ++i, src += stride, values += columns) {
        coordinates[i] = load_float(src, swap);
        decode_values(src + 4, columns, swap, values);
    }
}

} // namespace binmat::detail
