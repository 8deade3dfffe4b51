#include "grid.h"

#include <binmat/binary.h>

#include <utility>

std::optional<Grid> Grid::read(FILE *in) {
    float **m = nullptr;
    float *rt = nullptr;
    float *ct = nullptr;
    int nr = 0;
    int nc = 0;
    if (fread_matrix(in, &m, &nr, &nc, &rt, &ct) == 0) {
        return std::nullopt;
    }
    return Grid(m, rt, ct, nr, nc);
}

Grid::Grid(Grid &&other) noexcept
    : m_(std::exchange(other.m_, nullptr)), rt_(std::exchange(other.rt_, nullptr)),
      ct_(std::exchange(other.ct_, nullptr)), nr_(std::exchange(other.nr_, 0)),
      nc_(std::exchange(other.nc_, 0)) {}

Grid &Grid::operator=(Grid &&other) noexcept {
    if (this != &other) {
        release();
        m_ = std::exchange(other.m_, nullptr);
        rt_ = std::exchange(other.rt_, nullptr);
        ct_ = std::exchange(other.ct_, nullptr);
        nr_ = std::exchange(other.nr_, 0);
        nc_ = std::exchange(other.nc_, 0);
    }
    return *this;
}

Grid::~Grid() { release(); }

void Grid::release() {
    if (m_ != nullptr) {
        free_matrix(m_, 0, nr_ - 1, 0, nc_ - 1);
        free_vector(rt_, 0, nr_ - 1);
        free_vector(ct_, 0, nc_ - 1);
        m_ = nullptr;
        rt_ = ct_ = nullptr;
    }
}
