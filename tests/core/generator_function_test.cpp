// The generator's own routines, linked without its main.
#include "bf_test.h"

#include <binmat/alloc.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cmath>

namespace {

using testing::ExitedWithCode;
using testing::StrEq;

TEST(TheRange, bounds_each_plot) {
    EXPECT_EQ(TheRange[0].xmin, -3.0F);
    EXPECT_EQ(TheRange[0].xmax, 3.0F);
    EXPECT_EQ(TheRange[0].ymin, -2.0F);
    EXPECT_EQ(TheRange[0].ymax, 2.0F);
    for (int plot = 1; plot < 3; ++plot) {
        EXPECT_EQ(TheRange[plot].ymin, -3.0F);
        EXPECT_EQ(TheRange[plot].ymax, 3.0F);
    }
}

TEST(function, rounds_each_surface_to_single_precision) {
    EXPECT_EQ(function(0, 1.0, 2.0), static_cast<float>(1.0 / 6.0));
    EXPECT_EQ(function(1, 1.0, 1.0), static_cast<float>(std::sin(2.0) / 2.0));
    // The first factor is rounded before the product, and the product again.
    const auto first = static_cast<float>(std::sin(2.0) / 2.0);
    EXPECT_EQ(function(2, 1.0, 1.0), static_cast<float>(first * (std::sin(8.0) / 8.0)));
}

TEST(function, limit_is_one_at_and_near_the_origin) {
    for (int p = 0; p < 3; ++p) {
        EXPECT_EQ(function(p, 0.0, 0.0), 1.0F) << p;
        EXPECT_EQ(function(p, 3.84e-7, 1.46e-7), 1.0F) << p;
    }
}

TEST(function, unknown_surface_gives_notice_and_zero) {
    testing::internal::CaptureStderr();
    EXPECT_EQ(function(3, 1.0, 1.0), 0.0F);
    EXPECT_EQ(function(-1, 0.0, 0.0), 0.0F);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "Unknown function\nUnknown function\n");
}

TEST(int_error, writes_the_fatal_report_and_exits_one) {
    EXPECT_EXIT(int_error("Could not open file", 0), ExitedWithCode(1),
                StrEq("Fatal error..\nCould not open file\n...now exiting to system ...\n"));
}

} // namespace
