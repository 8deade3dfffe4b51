// Grids as long CSV, one line per cell: a header "x,y,z", then the row coordinate, the column
// coordinate and the value of each cell. Spreadsheets and databases take a grid this way.
#pragma once

#include <binmat/binmat.h>

#include <cstdio>
#include <span>
#include <string>
#include <vector>

namespace binmat {

// Writes the header, then the lines of a row at a time, each number the shortest text that reads
// back to the same float. Throws std::system_error when a write fails.
class long_csv_writer {
  public:
    long_csv_writer(std::FILE *out, std::span<const float> y);
    void put_row(float x, std::span<const float> z);
    void finish();

  private:
    void flush();

    std::FILE *out_;
    std::vector<std::string> y_; // each column's coordinate as text, with its commas
    std::string text_;
};

struct long_csv_options {
    bool fill_missing = false; // missing cells become NaN instead of an error
};

// Rebuilds a grid from the distinct x and y values, whatever the order of the lines. Lines that go
// a row at a time, each row's cells in the same order, keep that order; lines in any other order
// give rows and columns sorted by coordinate (NaN last). Throws conversion_error naming the
// line: a line that is not three numbers, a repeated cell, a missing one (unless filled); and
// std::system_error when reading fails.
grid read_long_csv(std::FILE *in, const long_csv_options &options = {});

} // namespace binmat
