// The input chooses a small matrix, its bounds and its titles (sometimes none); fwrite_matrix then
// fread_matrix must give back the same bits, with indices where the titles were missing.
#include "bits.h"
#include <binmat/binary.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace {

// Takes bytes from the front of the input, with zeros once it runs out.
class Bytes {
  public:
    Bytes(const std::uint8_t *data, std::size_t size) : data_(data), size_(size) {}
    std::uint8_t byte() { return pos_ < size_ ? data_[pos_++] : 0; }
    float value() {
        std::uint8_t raw[4] = {byte(), byte(), byte(), byte()};
        float f = 0;
        std::memcpy(&f, raw, sizeof f);
        return f;
    }

  private:
    const std::uint8_t *data_;
    std::size_t size_;
    std::size_t pos_ = 0;
};

void require(bool condition) {
    if (!condition) {
        std::abort();
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    Bytes in(data, size);
    const int rows = 1 + in.byte() % 160;
    const int columns = 1 + in.byte() % 24;
    // Low bounds from -128 to 127: not always 0, sometimes negative.
    const int nrl = in.byte() - 128;
    const int ncl = in.byte() - 128;
    const std::uint8_t flags = in.byte();
    const bool with_row_titles = (flags & 1) != 0;
    const bool with_column_titles = (flags & 2) != 0;
    const int nrh = nrl + rows - 1;
    const int nch = ncl + columns - 1;

    float **m = matrix(nrl, nrh, ncl, nch);
    float *rt = with_row_titles ? vector(nrl, nrh) : nullptr;
    float *ct = with_column_titles ? vector(ncl, nch) : nullptr;
    for (int j = ncl; ct != nullptr && j <= nch; ++j) {
        ct[j] = in.value();
    }
    for (int i = nrl; i <= nrh; ++i) {
        if (rt != nullptr) {
            rt[i] = in.value();
        }
        for (int j = ncl; j <= nch; ++j) {
            m[i][j] = in.value();
        }
    }

    char *buffer = nullptr;
    std::size_t length = 0;
    FILE *out = open_memstream(&buffer, &length);
    require(out != nullptr);
    require(fwrite_matrix(out, m, nrl, nrh, ncl, nch, rt, ct) == 1);
    require(std::fclose(out) == 0);
    require(length ==
            4 * static_cast<std::size_t>(rows + 1) * static_cast<std::size_t>(columns + 1));

    FILE *back = fmemopen(buffer, length, "rb");
    require(back != nullptr);
    float **m2 = nullptr;
    float *rt2 = nullptr;
    float *ct2 = nullptr;
    int nr = 0;
    int nc = 0;
    require(fread_matrix(back, &m2, &nr, &nc, &rt2, &ct2) == 1);
    std::fclose(back);
    require(nr == rows && nc == columns);
    for (int j = 0; j < columns; ++j) {
        const float expected = ct != nullptr ? ct[ncl + j] : static_cast<float>(ncl + j);
        require(same_bits(ct2[j], expected));
    }
    for (int i = 0; i < rows; ++i) {
        const float expected = rt != nullptr ? rt[nrl + i] : static_cast<float>(nrl + i);
        require(same_bits(rt2[i], expected));
        for (int j = 0; j < columns; ++j) {
            require(same_bits(m2[i][j], m[nrl + i][ncl + j]));
        }
    }

    free_matrix(m2, 0, nr - 1, 0, nc - 1);
    free_vector(rt2, 0, nr - 1);
    free_vector(ct2, 0, nc - 1);
    std::free(buffer);
    free_matrix(m, nrl, nrh, ncl, nch);
    if (rt != nullptr) {
        free_vector(rt, nrl, nrh);
    }
    if (ct != nullptr) {
        free_vector(ct, ncl, nch);
    }
    return 0;
}
