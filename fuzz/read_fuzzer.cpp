// The modern reader on arbitrary bytes, in each byte order and detected, from memory and from a
// stream (a pipe for a share of inputs). It must accept exactly what layout_of calls whole, with
// exactly the bytes' values, and refuse everything else with layout_of's defect and offset.
#include "bits.h"
#include "stream.h"
#include <binmat/binmat.h>

#include <cstdlib>
#include <cstring>
#include <span>

namespace {

using binmat::byte_order;

float stored_at(const std::uint8_t *data, std::size_t index, byte_order order) {
    return binmat::stored_float(data + 4 * index, order);
}

void check_grid(const binmat::grid &g, const std::uint8_t *data, const binmat::layout &l,
                byte_order order) {
    if (g.order != order || g.columns() != static_cast<std::size_t>(l.columns) ||
        g.rows() != l.rows || g.values.size() != g.rows() * g.columns()) {
        std::abort();
    }
    const std::size_t width = g.columns() + 1;
    for (std::size_t j = 0; j < g.columns(); ++j) {
        if (!same_bits(g.column_coordinates[j], stored_at(data, 1 + j, order))) {
            std::abort();
        }
    }
    for (std::size_t i = 0; i < g.rows(); ++i) {
        const std::size_t row = (i + 1) * width;
        if (!same_bits(g.row_coordinates[i], stored_at(data, row, order))) {
            std::abort();
        }
        for (std::size_t j = 0; j < g.columns(); ++j) {
            if (!same_bits(g(i, j), stored_at(data, row + 1 + j, order))) {
                std::abort();
            }
        }
    }
}

template <typename Read>
void check_two_sided(Read read, const std::uint8_t *data, const binmat::layout &l,
                     byte_order order) {
    try {
        const binmat::grid g = read();
        if (l.problem != binmat::defect::none) {
            std::abort(); // accepted what the layout refuses
        }
        check_grid(g, data, l, order);
    } catch (const binmat::format_error &e) {
        if (l.problem == binmat::defect::none || e.problem() != l.problem ||
            e.offset() != l.offset) {
            std::abort(); // refused what the layout accepts, or for another reason
        }
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    const std::span<const unsigned char> bytes(data, size);
    const bool through_pipe = size > 0 && data[size - 1] % 8 == 0;
    for (const byte_order asked : {byte_order::little, byte_order::big, byte_order::detect}) {
        const byte_order order =
            asked == byte_order::detect ? binmat::likely_order(bytes, size) : asked;
        const binmat::layout l = binmat::layout_of(size >= 4 ? stored_at(data, 0, order) : 0, size);
        check_two_sided([&] { return binmat::read(std::as_bytes(bytes), {asked}); }, data, l,
                        order);
        InputStream in(data, size, through_pipe);
        check_two_sided([&] { return binmat::read(in.get(), {asked}); }, data, l, order);
    }
    return 0;
}
