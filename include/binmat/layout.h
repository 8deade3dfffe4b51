// What the bytes of a binary matrix file amount to: the one statement of the layout's rules, used
// by both readers, the writer's checks, and the tools that check and describe files.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>

namespace binmat {

// The number of columns a stored column count stands for, truncated toward zero (2.9 is 2), or 0
// when it stands for none: not finite, below 1, or so large that the column titles would take
// 2^31 bytes or more.
int column_count(float stored);

// Whether a writer may store this many columns: the count is kept as a float, and a count the float
// cannot hold exactly would be read back as another.
bool storable_column_count(std::uint64_t columns);

enum class defect {
    none,
    no_column_count,  // fewer than 4 bytes
    bad_column_count, // column_count() gives 0
    titles_cut_short,
    no_complete_row,
    row_cut_short,
};

// The defect's name as code spells it: "row_cut_short".
const char *name_of(defect problem);

// The shape of a file of `length` bytes whose first four hold `stored`.
struct layout {
    defect problem = defect::none;
    int columns = 0;          // when the count is usable
    std::uint64_t rows = 0;   // complete rows
    std::uint64_t stray = 0;  // bytes after the last complete row that cannot begin a row (0..3)
    std::uint64_t titles = 0; // with titles_cut_short: the whole titles present
    // With a defect, the byte offset at which the file stops making sense: 0 for the count, the
    // first missing title, where the first row should begin, or where the row cut short begins.
    std::uint64_t offset = 0;
};

layout layout_of(float stored, std::uint64_t length);

// The defect in words, for a file whose first float is `stored`: "column titles cut short (2 of
// 3)".
std::string explain(const layout &l, float stored);

// Floats are stored little-endian; a file written on a big-endian machine holds them the other way
// round, and nothing in the file says so. `detect` asks a reader to choose.
enum class byte_order { little, big, detect };

// The float whose four stored bytes begin at p, in the given order (little or big).
float stored_float(const unsigned char *p, byte_order order);

// The order that makes sense of a file whose first bytes are `head` (the more the surer) and whose
// length is `length` when known: the one under which the layout is whole, or when both or neither
// are, big only when its values are plausible and the little-endian ones are not. Never `detect`.
byte_order likely_order(std::span<const unsigned char> head, std::optional<std::uint64_t> length);

} // namespace binmat
