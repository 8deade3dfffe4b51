#include <binmat/binary.h>

#include "support/heap.h"
#include "support/host.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

namespace {

using testing::ExitedWithCode;
using testing::StrEq;

float value_at(long i, long j = 0) { return static_cast<float>(1000 * i + j); }

float *numbered_vector(int nl, int nh) {
    float *v = vector(nl, nh);
    for (int i = nl; i <= nh; ++i) {
        v[i] = value_at(i);
    }
    return v;
}

float **numbered_matrix(int nrl, int nrh, int ncl, int nch) {
    float **m = matrix(nrl, nrh, ncl, nch);
    for (int i = nrl; i <= nrh; ++i) {
        for (int j = ncl; j <= nch; ++j) {
            m[i][j] = value_at(i, j);
        }
    }
    return m;
}

TEST(extend_vector, keeps_elements_and_low_bound) {
    float *v = numbered_vector(0, 99);
    v = extend_vector(v, 0, 99, 149);
    for (int i = 0; i <= 99; ++i) {
        ASSERT_EQ(v[i], value_at(i)) << i;
    }
    v[149] = 1.0F; // the new end is addressable
    v = retract_vector(v, 0, 149, 41);
    for (int i = 0; i <= 41; ++i) {
        ASSERT_EQ(v[i], value_at(i)) << i;
    }
    free_vector(v, 0, 41);

    float *w = numbered_vector(10, 19);
    w = extend_vector(w, 10, 19, 29);
    for (int i = 10; i <= 19; ++i) {
        ASSERT_EQ(w[i], value_at(i)) << i;
    }
    w[29] = 0.0F;
    free_vector(w, 10, 29);
}

TEST(retract_vector, to_nothing_is_fatal) {
    EXPECT_EXIT(retract_vector(vector(3, 7), 3, 7, 2), ExitedWithCode(1),
                StrEq(host::fatal_report("out of memory for retract vector")));
}

TEST(extend_vector, oversized_growth_is_fatal) {
    EXPECT_EXIT(extend_vector(vector(0, 9), 0, 9, 1 << 29), ExitedWithCode(1),
                StrEq(host::fatal_report("out of memory for extend vector")));
}

TEST(extend_matrix, adding_rows_leaves_existing_rows_in_place) {
    float **m = numbered_matrix(0, 99, 0, 4);
    float *rows_before[100];
    for (int i = 0; i < 100; ++i) {
        rows_before[i] = m[i];
    }
    heap::watch();
    m = extend_matrix(m, 0, 99, 0, 4, 149, 4);
    const long acquired = heap::acquired();
    heap::unwatch();
    EXPECT_EQ(acquired, 50) << "one block per new row";
    for (int i = 0; i < 100; ++i) {
        ASSERT_EQ(m[i], rows_before[i]) << i;
        ASSERT_EQ(m[i][4], value_at(i, 4)) << i;
    }
    for (int i = 100; i <= 149; ++i) {
        m[i][0] = m[i][4] = 0.0F;
    }
    free_matrix(m, 0, 149, 0, 4);
}

TEST(extend_matrix, widening_keeps_the_old_corner) {
    float **m = numbered_matrix(0, 1, 0, 1);
    m = extend_matrix(m, 0, 1, 0, 1, 2, 3);
    for (int i = 0; i <= 1; ++i) {
        for (int j = 0; j <= 1; ++j) {
            EXPECT_EQ(m[i][j], value_at(i, j));
        }
    }
    for (int i = 0; i <= 2; ++i) {
        m[i][3] = 0.0F;
    }
    free_matrix(m, 0, 2, 0, 3);
}

TEST(extend_matrix, failed_new_row_releases_everything) {
    // Requests 1 to 3 make the matrix; 4 resizes its pointer block; 5 and 6 are the new rows.
    for (long k = 4; k <= 6; ++k) {
        const char *text =
            k == 4 ? "out of memory for extend matrix" : "not enough memory to extend matrix";
        EXPECT_EXIT(
            {
                heap::watch(k);
                float **m = matrix(1, 2, -1, 1);
                if (k > 4) {
                    heap::require_balance_at_exit();
                }
                extend_matrix(m, 1, 2, -1, 1, 4, 1);
            },
            ExitedWithCode(1), StrEq(host::fatal_report(text)))
            << "request " << k;
    }
}

TEST(retract_matrix, drops_rows_and_keeps_the_rest) {
    float **m = numbered_matrix(0, 149, 0, 4);
    heap::watch();
    m = retract_matrix(m, 0, 149, 0, 4, 41, 4);
    const long released = heap::released();
    heap::unwatch();
    EXPECT_EQ(released, 108) << "rows 42..149";
    for (int i = 0; i <= 41; ++i) {
        ASSERT_EQ(m[i][0], value_at(i, 0)) << i;
        ASSERT_EQ(m[i][4], value_at(i, 4)) << i;
    }
    m = retract_matrix(m, 0, 41, 0, 4, 41, 2);
    EXPECT_EQ(m[41][2], value_at(41, 2));
    free_matrix(m, 0, 41, 0, 2);
}

TEST(retract_matrix, to_no_rows_is_fatal) {
    EXPECT_EXIT(retract_matrix(matrix(0, 99, 0, 4), 0, 99, 0, 4, -1, 4), ExitedWithCode(1),
                StrEq(host::fatal_report("out of memory for retract matrix")));
}

TEST(convert_matrix, addresses_the_callers_block_row_by_row) {
    float block[6] = {0, 1, 2, 3, 4, 5};
    float **m = convert_matrix(block, 1, 2, 0, 2);
    EXPECT_EQ(&m[1][0], &block[0]);
    EXPECT_EQ(&m[2][0], &block[3]);
    EXPECT_EQ(&m[2][2], &block[5]);
    m[2][1] = 40.0F;
    free_convert_matrix(m, 1, 2, 0, 2);
    EXPECT_EQ(block[4], 40.0F) << "writes reach the caller's block, which stays the caller's";

    float **shifted = convert_matrix(block, -1, 0, 5, 7);
    EXPECT_EQ(&shifted[-1][5], &block[0]);
    EXPECT_EQ(&shifted[0][7], &block[5]);
    free_convert_matrix(shifted, -1, 0, 5, 7);
}

TEST(convert_matrix, empty_row_range_is_fatal) {
    float block[4] = {};
    EXPECT_EXIT(convert_matrix(block, 3, 2, 0, 3), ExitedWithCode(1),
                StrEq(host::fatal_report("out of memory for convert_matrix")));
}

} // namespace
