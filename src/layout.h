// What the bytes of a binary matrix file amount to: the one statement of the layout's rules, used
// by the reader and by the tools that check and describe files.
#pragma once

#include <cstdint>

namespace binmat {

// The number of columns a stored column count stands for, truncated toward zero (2.9 is 2), or 0
// when it stands for none: not finite, below 1, or so large that the column titles would take
// 2^31 bytes or more.
int column_count(float stored);

enum class defect {
    none,
    no_column_count,  // fewer than 4 bytes
    bad_column_count, // column_count() gives 0
    titles_cut_short,
    no_complete_row,
    row_cut_short,
};

// The shape of a file of `length` bytes whose first four hold `stored`.
struct layout {
    defect problem = defect::none;
    int columns = 0;          // when the count is usable
    std::uint64_t rows = 0;   // complete rows
    std::uint64_t stray = 0;  // bytes after the last complete row that cannot begin a row (0..3)
    std::uint64_t cut_at = 0; // with row_cut_short: the byte offset at which the cut row begins
    std::uint64_t titles = 0; // with titles_cut_short: the whole titles present
};

layout layout_of(float stored, std::uint64_t length);

} // namespace binmat
