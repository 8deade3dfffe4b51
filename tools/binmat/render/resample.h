// Where a grid's cells lie on a picture, and the value each pixel shows: the area average of the
// cells under it, or the cell under its centre when pixels are finer than cells.
#pragma once

#include <binmat/binmat.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <limits>
#include <new>
#include <span>
#include <string>
#include <sys/mman.h>
#include <vector>

namespace plot {

// Memory for the picture's large buffers, in huge pages where the system gives them on request:
// a fresh buffer of megabytes costs more in page faults than the work done in it.
template <typename T> struct big_buffer_allocator {
    using value_type = T;
    big_buffer_allocator() = default;
    template <typename U> big_buffer_allocator(const big_buffer_allocator<U> &) noexcept {}

    T *allocate(std::size_t n) {
        if (n > std::numeric_limits<std::size_t>::max() / sizeof(T)) {
            throw std::bad_alloc();
        }
        void *p = big_buffer(n * sizeof(T));
        if (p == nullptr) {
            throw std::bad_alloc();
        }
        return static_cast<T *>(p);
    }
    void deallocate(T *p, std::size_t) noexcept { std::free(p); }
    friend bool operator==(const big_buffer_allocator &, const big_buffer_allocator &) {
        return true;
    }

  private:
    static void *big_buffer(std::size_t bytes);
};

// Large enough for huge pages to pay: a page of them.
inline constexpr std::size_t huge_page = std::size_t{1} << 21;

template <typename T> void *big_buffer_allocator<T>::big_buffer(std::size_t bytes) {
    if (bytes < huge_page) {
        return std::malloc(bytes == 0 ? 1 : bytes);
    }
    const std::size_t rounded = (bytes + huge_page - 1) / huge_page * huge_page;
    void *p = std::aligned_alloc(huge_page, rounded);
    if (p != nullptr) {
        (void)::madvise(p, rounded, MADV_HUGEPAGE);
    }
    return p;
}

template <typename T> using big_vector = std::vector<T, big_buffer_allocator<T>>;

// The cells of one axis in coordinate order: each spans halfway to its neighbours, and the end
// cells as far again beyond their coordinate.
struct axis_cells {
    std::vector<double> edges;        // one more than the cells, ascending
    std::vector<std::uint32_t> index; // the cell's index in the file, in coordinate order

    double low() const { return edges.front(); }
    double high() const { return edges.back(); }
};

// Places the cells by `coordinates`, sorting them when they are not monotonic; throws
// picture_error naming `axis` when a coordinate is not finite or two are equal, since such cells
// have no place of their own.
axis_cells place_cells(std::span<const float> coordinates, const std::string &axis);

// What each of a row of pixels takes from the cells of one axis, as shares of the pixel.
struct pixel_weights {
    std::vector<std::size_t>
        start; // one more than the pixels; pixel p's cells are [start[p], start[p + 1])
    std::vector<std::uint32_t> cell;
    std::vector<float> weight;
    std::vector<double> total; // each pixel's weights summed
};

// `pixels` pixels across the axis from its low end, or from its high end when `reversed`.
pixel_weights spread(const axis_cells &cells, std::size_t pixels, bool reversed);

// The least and greatest finite values, and which values that are not finite occur.
struct value_range {
    float min = 0;
    float max = 0;
    bool finite = false; // whether any value is finite; min and max mean nothing otherwise
    bool nan = false;
    bool positive_infinity = false;
    bool negative_infinity = false;
};
value_range range_of(const binmat::strided_values &values);

// The grid's rows gathered into the picture's rows: `down` spreads the grid's rows over the
// picture's rows. This is the pass over every value, and it finds their range on the way, before
// the picture's width is known.
struct gathered_rows {
    std::size_t columns = 0;
    // When pixels are finer than rows, picture row r is grid row whole[r], as it is. Otherwise
    // sum[r * columns + j] is the weighted sum of the finite values it gathers from column j and
    // total[r] the sum of its weights; lost, positive and negative hold the weights of the values
    // that are not finite, NaN, +inf and -inf, and are empty when every value is finite.
    std::vector<std::uint32_t> whole;
    big_vector<float> sum;
    big_vector<float> total;
    big_vector<float> lost;
    big_vector<float> positive;
    big_vector<float> negative;
    value_range range;
};
gathered_rows gather_rows(const binmat::strided_values &values, const pixel_weights &down);
inline gathered_rows gather_rows(std::span<const float> values, std::size_t columns,
                                 const pixel_weights &down) {
    return gather_rows(
        {values.data(), columns, columns == 0 ? 0 : values.size() / columns, columns}, down);
}

// The value of every pixel, row by row from the top, with `across` spreading the grid's columns
// over the picture's columns. NaN cells are left out of a pixel's average; a pixel with none but
// NaN is NaN, and one that holds an infinity shows the infinity that covers more of it (NaN when
// they cover the same).
big_vector<float> resample(const binmat::strided_values &values, const gathered_rows &rows,
                           const pixel_weights &across);
inline big_vector<float> resample(std::span<const float> values, const gathered_rows &rows,
                                  const pixel_weights &across) {
    const std::size_t n = rows.columns;
    return resample({values.data(), n, n == 0 ? 0 : values.size() / n, n}, rows, across);
}

} // namespace plot
