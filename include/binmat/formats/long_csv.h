// Grids as long CSV, one line per cell: a header "x,y,z", then the row coordinate, the column
// coordinate and the value of each cell. Spreadsheets and databases take a grid this way.
#pragma once

#include <binmat/binmat.h>

#include <cstdint>
#include <cstdio>
#include <limits>
#include <span>
#include <string>
#include <vector>

namespace binmat {

// Writes the header, then the lines of a row at a time, each number the shortest text that reads
// back to the same float. A NaN value is an empty field, as pandas writes it and spreadsheets
// read it as missing; `exact` writes it as text that keeps its sign and payload instead.
// Throws std::system_error when a write fails.
class long_csv_writer {
  public:
    // The NaN that an empty value field stands for.
    static constexpr float blank = std::numeric_limits<float>::quiet_NaN();

    long_csv_writer(std::FILE *out, std::span<const float> y, bool exact = false);
    void put_row(float x, std::span<const float> z);
    void finish();
    // How many NaNs other than `blank` were written as empty fields, their payloads lost.
    [[nodiscard]] std::uint64_t dropped_payloads() const { return dropped_; }

  private:
    void flush();

    std::FILE *out_;
    bool exact_;
    std::uint64_t dropped_ = 0;
    std::vector<std::string> y_; // each column's coordinate as text, with its commas
    std::string text_;
};

struct long_csv_options {
    bool fill_missing = false; // missing cells become NaN instead of an error
    // The names of the x, y and z columns; empty: the header's three names, after an unnamed
    // index column.
    std::vector<std::string> columns;
};

// Rebuilds a grid from the distinct x and y values, whatever the order of the lines. Lines that go
// a row at a time, each row's cells in the same order, keep that order; lines in any other order
// give rows and columns sorted by coordinate (NaN last). Fields may be quoted, as with
// pandas' QUOTE_ALL, and an empty value is NaN. Throws conversion_error naming the line: a
// header without three names, a line without the header's number of fields, a field that is
// not a number, a repeated cell, a missing one (unless filled); and std::system_error when
// reading fails.
grid read_long_csv(std::FILE *in, const long_csv_options &options = {});

} // namespace binmat
