// An owning handle on what fread_matrix hands back, so that the tools never release by hand.
#pragma once

#include <cstdio>
#include <optional>

class Grid {
  public:
    // Reads one matrix from the stream's current position; nothing when fread_matrix refuses it.
    static std::optional<Grid> read(FILE *in);

    Grid(Grid &&other) noexcept;
    Grid &operator=(Grid &&other) noexcept;
    Grid(const Grid &) = delete;
    Grid &operator=(const Grid &) = delete;
    ~Grid();

    int rows() const { return nr_; }
    int columns() const { return nc_; }
    const float *row_titles() const { return rt_; }    // [0, rows)
    const float *column_titles() const { return ct_; } // [0, columns)
    const float *row(int i) const { return m_[i]; }    // [0, columns)
    float **matrix() const { return m_; }

  private:
    Grid(float **m, float *rt, float *ct, int nr, int nc)
        : m_(m), rt_(rt), ct_(ct), nr_(nr), nc_(nc) {}
    void release();

    float **m_ = nullptr;
    float *rt_ = nullptr;
    float *ct_ = nullptr;
    int nr_ = 0;
    int nc_ = 0;
};
