// bf_test as a user runs it, and the three files it leaves.
#include <binmat/binary.h>

#include "support/bytes.h"
#include "support/host.h"
#include "support/process.h"
#include "support/reading.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<unsigned char>;

using process::fresh_directory;

process::Outcome run_generator(const fs::path &dir, const std::string &arguments = "") {
    return process::shell(dir, "'" BF_TEST_EXE "' " + arguments);
}

// A file split into the grid it holds, checking its layout on the way.
struct Grid {
    std::size_t rows = 0;
    std::size_t columns = 0;
    std::vector<float> column_titles;
    std::vector<float> row_titles;
    std::vector<float> values; // row-major

    float at(std::size_t i, std::size_t j) const { return values[i * columns + j]; }
};

Grid grid_of(const Bytes &file) {
    const std::vector<float> f = bytes::as_floats(file);
    Grid g;
    if (f.empty() || file.size() % sizeof(float) != 0) {
        ADD_FAILURE() << "not a whole number of floats";
        return g;
    }
    g.columns = static_cast<std::size_t>(f[0]);
    EXPECT_EQ(static_cast<float>(g.columns), f[0]) << "column count is a whole number";
    const std::size_t width = g.columns + 1;
    EXPECT_EQ(f.size() % width, 0U) << "file is a whole grid";
    g.rows = f.size() / width - 1;
    g.column_titles.assign(f.begin() + 1, f.begin() + static_cast<std::ptrdiff_t>(width));
    for (std::size_t i = 0; i < g.rows; ++i) {
        const auto row = f.begin() + static_cast<std::ptrdiff_t>((i + 1) * width);
        g.row_titles.push_back(*row);
        g.values.insert(g.values.end(), row + 1, row + static_cast<std::ptrdiff_t>(width));
    }
    return g;
}

std::uint64_t fnv1a(const Bytes &data) {
    std::uint64_t h = 14695981039346656037ULL;
    for (unsigned char c : data) {
        h = (h ^ c) * 1099511628211ULL;
    }
    return h;
}

class generator : public testing::Test {
  protected:
    void SetUp() override {
        dir = fresh_directory();
        ASSERT_FALSE(dir.empty());
    }
    void TearDown() override { fs::remove_all(dir); }
    Bytes file(const char *name) const { return bytes::of_file((dir / name).string()); }
    fs::path dir;
};

TEST_F(generator, writes_three_files_silently_and_exits_zero) {
    const process::Outcome run = run_generator(dir);
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.err, "");
    EXPECT_EQ(file("binary1").size(), 2816U);
    EXPECT_EQ(file("binary2").size(), 4096U);
    EXPECT_EQ(file("binary3").size(), 4096U);
}

TEST_F(generator, ignores_arguments_and_truncates_on_rerun) {
    ASSERT_EQ(run_generator(dir).status, 0);
    const Bytes first[] = {file("binary1"), file("binary2"), file("binary3")};
    {
        // A longer file in the way must be cut to the new content.
        FILE *f = std::fopen((dir / "binary1").c_str(), "ab");
        ASSERT_NE(f, nullptr);
        std::fputs(std::string(5000, 'x').c_str(), f);
        std::fclose(f);
    }
    const process::Outcome again = run_generator(dir, "--help binary9 -o x");
    EXPECT_EQ(again.status, 0);
    EXPECT_EQ(again.err, "");
    EXPECT_EQ(file("binary1"), first[0]);
    EXPECT_EQ(file("binary2"), first[1]);
    EXPECT_EQ(file("binary3"), first[2]);
}

TEST_F(generator, file_that_cannot_be_created_stops_the_run) {
    fs::create_directory(dir / "binary2");
    const process::Outcome run = run_generator(dir);
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.err, host::fatal_report("Could not open file"));
    EXPECT_EQ(file("binary1").size(), 2816U);
    EXPECT_FALSE(fs::exists(dir / "binary3"));
}

TEST_F(generator, full_device_is_a_failed_write_not_success) {
    fs::create_symlink("/dev/full", dir / "binary2");
    const process::Outcome run = run_generator(dir);
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.err, host::fatal_report("Could not write file"));
    EXPECT_EQ(file("binary1").size(), 2816U);
    EXPECT_FALSE(fs::exists(dir / "binary3"));
}

// The generated files, made once for the checks of their contents.
class generated_files : public testing::Test {
  protected:
    static void SetUpTestSuite() {
        const fs::path dir = fresh_directory();
        ASSERT_EQ(run_generator(dir).status, 0);
        for (int k = 0; k < 3; ++k) {
            files[k] = bytes::of_file((dir / ("binary" + std::to_string(k + 1))).string());
        }
        fs::remove_all(dir);
    }
    static Bytes files[3];
};

Bytes generated_files::files[3];

TEST_F(generated_files, binary1_begins_with_count_and_accumulated_titles) {
    const Bytes golden = {0x00, 0x00, 0xA8, 0x41, 0x00, 0x00, 0x00, 0xC0,
                          0x66, 0x66, 0xE6, 0xBF, 0xCC, 0xCC, 0xCC, 0xBF};
    ASSERT_GE(files[0].size(), golden.size());
    EXPECT_EQ(Bytes(files[0].begin(), files[0].begin() + 16), golden);
}

TEST_F(generated_files, grids_have_the_expected_shapes) {
    const std::size_t shapes[3][2] = {{31, 21}, {31, 31}, {31, 31}};
    for (int k = 0; k < 3; ++k) {
        const Grid g = grid_of(files[k]);
        EXPECT_EQ(g.rows, shapes[k][0]) << "binary" << k + 1;
        EXPECT_EQ(g.columns, shapes[k][1]) << "binary" << k + 1;
    }
}

TEST_F(generated_files, titles_carry_the_accumulated_rounding) {
    const Grid g = grid_of(files[0]);
    EXPECT_EQ(g.column_titles[0], -2.0F);
    EXPECT_NEAR(g.column_titles[10], 1.46e-7, 0.01e-7);
    EXPECT_EQ(g.column_titles[20], 2.00000024F);
    EXPECT_EQ(g.row_titles[0], -3.0F);
    EXPECT_NEAR(g.row_titles[15], 3.84e-7, 0.01e-7);
    EXPECT_EQ(g.row_titles[30], 3.00000072F);
    EXPECT_EQ(grid_of(files[1]).row_titles[15], g.row_titles[15]) << "same x axis in binary2";
}

TEST_F(generated_files, centre_is_the_only_value_of_one) {
    const std::size_t centre_column[3] = {10, 15, 15};
    for (int k = 0; k < 3; ++k) {
        const Grid g = grid_of(files[k]);
        for (std::size_t i = 0; i < g.rows; ++i) {
            for (std::size_t j = 0; j < g.columns; ++j) {
                const bool centre = i == 15 && j == centre_column[k];
                EXPECT_EQ(g.at(i, j) == 1.0F, centre)
                    << "binary" << k + 1 << " at " << i << ", " << j;
            }
        }
    }
}

TEST_F(generated_files, corner_values_follow_their_surfaces) {
    const Grid g1 = grid_of(files[0]);
    EXPECT_EQ(g1.at(0, 0), static_cast<float>(1.0 / 14.0));
    EXPECT_NEAR(g1.at(30, 20), 0.07142854, 1e-8);
    EXPECT_LT(g1.at(30, 20), g1.at(0, 0)) << "coordinates end slightly beyond 3 and 2";

    const Grid g2 = grid_of(files[1]);
    EXPECT_EQ(g2.at(0, 0), static_cast<float>(std::sin(18.0) / 18.0));
    EXPECT_NEAR(g2.at(0, 0), -0.0417215, 1e-7);

    EXPECT_NEAR(grid_of(files[2]).at(0, 0), -0.000147082, 1e-9);
}

TEST_F(generated_files, binary3_doubles_the_positive_titles_of_binary2) {
    const Grid g2 = grid_of(files[1]);
    const Grid g3 = grid_of(files[2]);
    for (std::size_t j = 0; j < 31; ++j) {
        const float factor = j < 15 ? 1.0F : 2.0F;
        EXPECT_EQ(g3.column_titles[j], factor * g2.column_titles[j]) << j;
        EXPECT_EQ(g3.row_titles[j], factor * g2.row_titles[j]) << j;
    }
    const double expected[] = {-0.39999962, -0.19999962, 7.689e-7, 0.40000078, 0.80000079};
    for (std::size_t j = 13; j <= 17; ++j) {
        EXPECT_NEAR(g3.column_titles[j], expected[j - 13], 5e-9) << j;
    }
    EXPECT_NEAR(g3.column_titles[30], 6.0000014, 1e-6);
    EXPECT_NE(g3.values, g2.values) << "a different surface on the same points";
}

TEST_F(generated_files, read_back_bit_for_bit) {
    for (const Bytes &data : files) {
        const Grid g = grid_of(data);
        FILE *f = bytes::stream_of(data);
        const Read r = read_one(f);
        std::fclose(f);
        ASSERT_EQ(r.status, 1);
        EXPECT_EQ(static_cast<std::size_t>(r.nr), g.rows);
        EXPECT_EQ(static_cast<std::size_t>(r.nc), g.columns);
        EXPECT_EQ(r.row_titles, g.row_titles);
        EXPECT_EQ(r.column_titles, g.column_titles);
        EXPECT_EQ(r.values, g.values);
    }
}

TEST_F(generated_files, are_detected_as_binary) {
    for (const Bytes &data : files) {
        FILE *f = fmemopen(const_cast<unsigned char *>(data.data()), data.size(), "rb");
        ASSERT_NE(f, nullptr);
        EXPECT_EQ(is_binary_file(f), 1);
        std::fclose(f);
    }
}

// Any change to the accumulation, the surfaces or their rounding shows up here.
TEST_F(generated_files, bytes_are_pinned) {
    EXPECT_EQ(fnv1a(files[0]), 0xbae88242e3487601ULL);
    EXPECT_EQ(fnv1a(files[1]), 0xc084b8eb80cc55e4ULL);
    EXPECT_EQ(fnv1a(files[2]), 0xa5f1b44fa639b4fULL);
}

} // namespace
