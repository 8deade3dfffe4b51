#include <binmat/layout.h>

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

namespace {

using binmat::defect;

TEST(column_count, takes_positive_counts_below_two_to_the_29) {
    EXPECT_EQ(binmat::column_count(21.0F), 21);
    EXPECT_EQ(binmat::column_count(2.9F), 2);
    EXPECT_EQ(binmat::column_count(1.0F), 1);
    EXPECT_EQ(binmat::column_count(536870880.0F), 536870880);
    for (float bad :
         {0.0F, 0.75F, -5.0F, 536870912.0F, 1e30F, std::numeric_limits<float>::infinity(),
          std::numeric_limits<float>::quiet_NaN()}) {
        EXPECT_EQ(binmat::column_count(bad), 0) << bad;
    }
}

TEST(layout_of, places_every_byte_of_a_file) {
    struct Case {
        float stored;
        defect problem;
        std::uint64_t length, rows, stray, offset, titles;
    };
    // With 2 columns, the head and each row are 12 bytes.
    const Case cases[] = {
        {2, defect::no_column_count, 0, 0, 0, 0, 0},
        {2, defect::no_column_count, 3, 0, 0, 0, 0},
        {-1, defect::bad_column_count, 40, 0, 0, 0, 0},
        {2, defect::titles_cut_short, 8, 0, 0, 8, 1},
        {2, defect::no_complete_row, 12, 0, 0, 12, 0},
        {2, defect::no_complete_row, 15, 0, 3, 12, 0},
        {2, defect::row_cut_short, 16, 0, 0, 12, 0},
        {2, defect::none, 24, 1, 0, 0, 0},
        {2, defect::none, 27, 1, 3, 0, 0},
        {2, defect::row_cut_short, 32, 1, 0, 24, 0},
        {2.9F, defect::none, 36, 2, 0, 0, 0},
        {31, defect::none, 4096, 31, 0, 0, 0},
    };
    for (const Case &c : cases) {
        const binmat::layout l = binmat::layout_of(c.stored, c.length);
        SCOPED_TRACE(std::to_string(c.stored) + " / " + std::to_string(c.length));
        EXPECT_EQ(l.problem, c.problem);
        EXPECT_EQ(l.rows, c.rows);
        EXPECT_EQ(l.stray, c.stray);
        EXPECT_EQ(l.offset, c.offset);
        EXPECT_EQ(l.titles, c.titles);
    }
}

} // namespace
