#include "layout.h"

namespace binmat {

int column_count(float stored) {
    // NaN fails both comparisons; the bound keeps the title block under 2^31 bytes.
    constexpr float limit = 536870912.0F; // 2^29
    if (!(stored >= 1.0F && stored < limit)) {
        return 0;
    }
    return static_cast<int>(stored);
}

layout layout_of(float stored, std::uint64_t length) {
    layout l;
    if (length < 4) {
        l.problem = defect::no_column_count;
        return l;
    }
    l.columns = column_count(stored);
    if (l.columns == 0) {
        l.problem = defect::bad_column_count;
        return l;
    }
    // Every row, and the head (count and titles), is one float more than the column count.
    const std::uint64_t row_bytes = 4 * (static_cast<std::uint64_t>(l.columns) + 1);
    if (length < row_bytes) {
        l.problem = defect::titles_cut_short;
        l.titles = (length - 4) / 4;
        return l;
    }
    const std::uint64_t body = length - row_bytes;
    l.rows = body / row_bytes;
    const std::uint64_t rest = body % row_bytes;
    if (rest >= 4) {
        // A whole row title arrived, so the row had begun.
        l.problem = defect::row_cut_short;
        l.cut_at = row_bytes * (l.rows + 1);
    } else {
        l.stray = rest;
        if (l.rows == 0) {
            l.problem = defect::no_complete_row;
        }
    }
    return l;
}

} // namespace binmat
