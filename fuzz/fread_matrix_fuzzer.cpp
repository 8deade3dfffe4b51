// fread_matrix on arbitrary bytes, from a seekable stream or, for a share of inputs, a pipe. It
// must accept exactly what layout_of calls whole, with exactly what the bytes hold, and refuse the
// rest; whatever it returns is freed with its bounds.
#include "bits.h"
#include "stream.h"
#include <binmat/binary.h>
#include <binmat/layout.h>

#include <cstdlib>
#include <cstring>

namespace {

float float_at(const std::uint8_t *data, std::size_t index) {
    float f = 0;
    std::memcpy(&f, data + 4 * index, sizeof f);
    return f;
}

void check_against_bytes(const std::uint8_t *data, std::size_t size, float **m, int nr, int nc,
                         const float *rt, const float *ct) {
    const auto rows = static_cast<std::size_t>(nr);
    const auto columns = static_cast<std::size_t>(nc);
    const std::size_t width = columns + 1;
    if (nr < 1 || nc < 1 || static_cast<int>(float_at(data, 0)) != nc ||
        4 * width * (rows + 1) > size || size - 4 * width * (rows + 1) >= 4) {
        std::abort(); // a shape the bytes do not hold, or data left unread
    }
    for (std::size_t j = 0; j < columns; ++j) {
        if (!same_bits(ct[j], float_at(data, 1 + j))) {
            std::abort();
        }
    }
    for (std::size_t i = 0; i < rows; ++i) {
        const std::size_t row = (i + 1) * width;
        if (!same_bits(rt[i], float_at(data, row))) {
            std::abort();
        }
        for (std::size_t j = 0; j < columns; ++j) {
            if (!same_bits(m[i][j], float_at(data, row + 1 + j))) {
                std::abort();
            }
        }
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    // One input in eight goes through a pipe: the reader must not need to seek.
    const bool through_pipe = size > 0 && data[size - 1] % 8 == 0;
    InputStream in(data, size, through_pipe);
    float **m = nullptr;
    float *rt = nullptr;
    float *ct = nullptr;
    int nr = 0;
    int nc = 0;
    const binmat::layout l = binmat::layout_of(size >= 4 ? float_at(data, 0) : 0, size);
    if (fread_matrix(in.get(), &m, &nr, &nc, &rt, &ct) == 1) {
        if (l.problem != binmat::defect::none || l.rows != static_cast<std::uint64_t>(nr)) {
            std::abort(); // accepted what the layout refuses
        }
        check_against_bytes(data, size, m, nr, nc, rt, ct);
        free_matrix(m, 0, nr - 1, 0, nc - 1);
        free_vector(rt, 0, nr - 1);
        free_vector(ct, 0, nc - 1);
    } else {
        // A failed read leaves its outputs alone, and only a file that is not whole, or a read
        // error, may fail.
        const bool touched = m != nullptr || rt != nullptr || ct != nullptr || nr != 0 || nc != 0;
        const bool whole = l.problem == binmat::defect::none && std::ferror(in.get()) == 0;
        if (touched || whole) {
            std::abort();
        }
    }
    return 0;
}
