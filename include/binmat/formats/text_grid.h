// The text form of a grid that dump writes and pack reads: a first line with the column count and
// the column coordinates, then a line per row with its coordinate and values. Numbers are
// separated by white space or commas, '#' starts a comment, and a last "# stray bytes: ee 01" line
// keeps the bytes after the last row, so that dump and pack give back a file byte for byte.
#pragma once

#include <binmat/binmat.h>

#include <cstdio>
#include <span>
#include <string>
#include <vector>

namespace binmat {

struct text_grid {
    float stored_count = 0; // as written, so that a count of 2.9 survives
    binmat::grid grid;
    std::vector<unsigned char> stray;
};

// Reads a text grid; throws conversion_error naming the line when the text is not one.
text_grid read_text_grid(FILE *in);

// Writes the text grid as a binary matrix file in `order`; throws std::system_error when a write
// fails.
void write_packed(FILE *out, const text_grid &t, binmat::byte_order order);

// Writes a grid as text, each number the shortest text that reads back to the same float, with
// the count as stored and the stray bytes as a last comment; throws std::system_error when a
// write fails.
void write_text(FILE *out, std::span<const float> row_coordinates,
                std::span<const float> column_coordinates, const strided_values &values,
                float stored_count, std::span<const unsigned char> stray, char separator);
inline void write_text(FILE *out, const grid &g, float stored_count,
                       std::span<const unsigned char> stray, char separator) {
    write_text(out, g.row_coordinates, g.column_coordinates, values_of(g), stored_count, stray,
               separator);
}

} // namespace binmat
