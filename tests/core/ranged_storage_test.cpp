#include <binmat/binary.h>

#include "support/heap.h"
#include "support/host.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

namespace {

using testing::ExitedWithCode;
using testing::StrEq;

// Writes every element of v[nl..nh] and reads it back: under AddressSanitizer any index outside
// the block is caught.
void fill_and_check(float *v, int nl, int nh) {
    for (int i = nl; i <= nh; ++i) {
        v[i] = static_cast<float>(i) * 0.5F;
    }
    for (int i = nl; i <= nh; ++i) {
        EXPECT_EQ(v[i], static_cast<float>(i) * 0.5F);
    }
}

TEST(vector, addresses_exactly_its_index_range) {
    struct Case {
        int nl, nh;
    };
    for (const Case c : {Case{5, 9}, Case{-3, 3}, Case{4, 4}, Case{0, 0}, Case{-7, -2}}) {
        heap::watch();
        float *v = vector(c.nl, c.nh);
        fill_and_check(v, c.nl, c.nh);
        free_vector(v, c.nl, c.nh);
        EXPECT_EQ(heap::acquired(), 1);
        EXPECT_EQ(heap::released(), 1);
        heap::unwatch();
    }
}

TEST(vector, empty_or_reversed_range_is_fatal) {
    const std::string report = host::fatal_report("not enough memory to create vector");
    EXPECT_EXIT(vector(0, -1), ExitedWithCode(1), StrEq(report));
    EXPECT_EXIT(vector(0, -5), ExitedWithCode(1), StrEq(report));
}

TEST(vector, range_of_two_gibibytes_is_fatal_without_overflow) {
    const std::string report = host::fatal_report("not enough memory to create vector");
    EXPECT_EXIT(vector(0, (1 << 29) - 1), ExitedWithCode(1), StrEq(report));
    EXPECT_EXIT(vector(-2147483647 - 1, 2147483647), ExitedWithCode(1), StrEq(report));
}

TEST(matrix, addresses_every_row_and_column) {
    float **m = matrix(-2, 1, 3, 5);
    for (int i = -2; i <= 1; ++i) {
        fill_and_check(m[i], 3, 5);
    }
    m[-2][3] = 7.0F;
    m[1][5] = 8.0F;
    EXPECT_EQ(m[-2][3], 7.0F);
    EXPECT_EQ(m[1][5], 8.0F);
    free_matrix(m, -2, 1, 3, 5);
}

TEST(free_matrix, releases_each_row_and_the_pointer_block_only) {
    struct Case {
        int nrl, nrh, ncl, nch;
        long blocks;
    };
    for (const Case c : {Case{2, 4, -1, 1, 4}, Case{-2, 1, 0, 0, 5}}) {
        heap::watch();
        float **m = matrix(c.nrl, c.nrh, c.ncl, c.nch);
        const long acquired = heap::acquired();
        free_matrix(m, c.nrl, c.nrh, c.ncl, c.nch);
        const long released = heap::released();
        heap::unwatch();
        EXPECT_EQ(acquired, c.blocks);
        EXPECT_EQ(released, c.blocks);
    }
}

TEST(matrix, empty_ranges_are_fatal) {
    EXPECT_EXIT(matrix(0, -1, 0, 3), ExitedWithCode(1),
                StrEq(host::fatal_report("out of memory for matrix")));
    EXPECT_EXIT(
        {
            heap::watch();
            heap::require_balance_at_exit();
            matrix(0, 3, 0, -1);
        },
        ExitedWithCode(1), StrEq(host::fatal_report("not enough memory to create matrix")));
}

TEST(matrix, failed_row_releases_the_rows_before_it) {
    for (long k = 2; k <= 4; ++k) {
        EXPECT_EXIT(
            {
                heap::watch(k);
                heap::require_balance_at_exit();
                matrix(0, 3, 0, 1);
            },
            ExitedWithCode(1), StrEq(host::fatal_report("not enough memory to create matrix")))
            << "request " << k;
    }
}

} // namespace
