#include <binmat/binary.h>

#include "support/bytes.h"
#include "support/heap.h"
#include "support/reading.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <random>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

using Bytes = std::vector<unsigned char>;
using Floats = std::vector<float>;

Bytes with_stray(const Floats &values, std::size_t stray) {
    Bytes data = bytes::of_floats(values);
    data.insert(data.end(), stray, 0xEE);
    return data;
}

Bytes byte_swapped(Bytes data) {
    for (std::size_t i = 0; i + 4 <= data.size(); i += 4) {
        std::swap(data[i], data[i + 3]);
        std::swap(data[i + 1], data[i + 2]);
    }
    return data;
}

struct Case {
    const char *name;
    Bytes data;
    TBOOLEAN status;
    int nr;
    int nc;
};

const float nan = std::numeric_limits<float>::quiet_NaN();
const float inf = std::numeric_limits<float>::infinity();

TEST(fread_matrix, judges_each_malformed_stream) {
    const Case cases[] = {
        {"empty", {}, 0, -1, -1},
        {"one byte", {0x00}, 0, -1, -1},
        {"two bytes", {0x00, 0x00}, 0, -1, -1},
        {"three bytes", {0x00, 0x00, 0x80}, 0, -1, -1},
        {"count 0", bytes::of_floats({0, 7, 8}), 0, -1, -1},
        {"count 0.75", bytes::of_floats({0.75F, 7, 8}), 0, -1, -1},
        {"count -5", bytes::of_floats({-5, 7, 8}), 0, -1, -1},
        {"count NaN", bytes::of_floats({nan, 7, 8}), 0, -1, -1},
        {"count +inf", bytes::of_floats({inf, 7, 8}), 0, -1, -1},
        {"count 1e30", bytes::of_floats({1e30F, 7, 8}), 0, -1, -1},
        {"count 2^29", bytes::of_floats({536870912.0F, 7, 8}), 0, -1, -1},
        {"count 5e8, nothing behind it", bytes::of_floats({5e8F}), 0, -1, -1},
        {"count 2.9 truncates", bytes::of_floats({2.9F, 1, 2, 10, 11, 12}), 1, 1, 2},
        {"titles cut short", bytes::of_floats({3, 1, 2}), 0, -1, -1},
        {"title cut inside a float", with_stray({2, 1}, 2), 0, -1, -1},
        {"no row", bytes::of_floats({2, 1, 2}), 0, -1, -1},
        {"row title without values", bytes::of_floats({2, 1, 2, 10, 11, 12, 20}), 0, -1, -1},
        {"row cut short", bytes::of_floats({2, 1, 2, 10, 11, 12, 20, 21}), 0, -1, -1},
        {"row cut inside a float", with_stray({2, 1, 2, 10, 11}, 3), 0, -1, -1},
        {"one stray byte", with_stray({1, 5, 7, 9}, 1), 1, 1, 1},
        {"two stray bytes", with_stray({1, 5, 7, 9, 8, 10}, 2), 1, 2, 1},
        {"three stray bytes", with_stray({1, 5, 7, 9}, 3), 1, 1, 1},
        {"byte-swapped file", byte_swapped(bytes::of_floats({2, 1, 2, 10, 11, 12})), 0, -1, -1},
    };
    for (const Case &c : cases) {
        FILE *f = bytes::stream_of(c.data);
        ASSERT_NE(f, nullptr);
        heap::watch();
        const Read r = read_one(f);
        const long balance = heap::acquired() - heap::released();
        heap::unwatch();
        EXPECT_EQ(r.status, c.status) << c.name;
        EXPECT_EQ(r.nr, c.nr) << c.name;
        EXPECT_EQ(r.nc, c.nc) << c.name;
        EXPECT_EQ(balance, 0) << c.name << ": everything acquired is released";
        std::fclose(f);
    }
}

TEST(fread_matrix, stops_cleanly_at_stray_bytes) {
    FILE *f = bytes::stream_of(with_stray({2, 0.5F, 1.5F, -1, 3, 4}, 3));
    const Read r = read_one(f);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.column_titles, (Floats{0.5F, 1.5F}));
    EXPECT_EQ(r.row_titles, (Floats{-1}));
    EXPECT_EQ(r.values, (Floats{3, 4}));
    std::fclose(f);
}

TEST(fread_matrix, huge_claimed_column_count_commits_next_to_nothing) {
    FILE *f = bytes::stream_of(bytes::of_floats({5e8F}));
    heap::watch();
    EXPECT_EQ(read_one(f).status, 0);
    const unsigned long largest = heap::largest_request();
    heap::unwatch();
    EXPECT_LE(largest, 4096UL);
    std::fclose(f);

    // Titles that do arrive are taken in chunks no larger than what has already come.
    Floats partial(1 + 100000, 1.0F);
    partial[0] = 5e8F;
    f = bytes::stream_of(bytes::of_floats(partial));
    heap::watch();
    EXPECT_EQ(read_one(f).status, 0);
    const unsigned long largest_partial = heap::largest_request();
    heap::unwatch();
    EXPECT_LE(largest_partial, 2UL * 4 * 100000 + 4096);
    std::fclose(f);
}

TEST(fread_matrix, stream_opened_for_writing_gives_zero) {
    FILE *f = std::fopen("/dev/null", "wb");
    ASSERT_NE(f, nullptr);
    EXPECT_EQ(read_one(f).status, 0);
    std::fclose(f);
}

// A random matrix with random bits everywhere, NaN payloads included.
struct Sample {
    int rows, columns;
    Floats row_titles, column_titles, values;
};

Sample random_sample(int rows, int columns, std::mt19937 &rng) {
    auto random_floats = [&rng](std::size_t n) {
        Floats v(n);
        for (float &x : v) {
            const auto bits = static_cast<std::uint32_t>(rng());
            std::memcpy(&x, &bits, sizeof x);
        }
        return v;
    };
    return {rows, columns, random_floats(static_cast<std::size_t>(rows)),
            random_floats(static_cast<std::size_t>(columns)),
            random_floats(static_cast<std::size_t>(rows) * static_cast<std::size_t>(columns))};
}

void write_sample(FILE *f, Sample &s) {
    float **m = convert_matrix(s.values.data(), 0, s.rows - 1, 0, s.columns - 1);
    ASSERT_EQ(fwrite_matrix(f, m, 0, s.rows - 1, 0, s.columns - 1, s.row_titles.data(),
                            s.column_titles.data()),
              1);
    free_convert_matrix(m, 0, s.rows - 1, 0, s.columns - 1);
}

bool same_bits(const Floats &a, const Floats &b) {
    return a.size() == b.size() && std::memcmp(a.data(), b.data(), a.size() * sizeof(float)) == 0;
}

void expect_read_back(const Read &r, const Sample &s) {
    ASSERT_EQ(r.status, 1);
    EXPECT_EQ(r.nr, s.rows);
    EXPECT_EQ(r.nc, s.columns);
    EXPECT_TRUE(same_bits(r.row_titles, s.row_titles));
    EXPECT_TRUE(same_bits(r.column_titles, s.column_titles));
    EXPECT_TRUE(same_bits(r.values, s.values));
}

TEST(fread_matrix, reads_back_what_fwrite_matrix_wrote_bit_for_bit) {
    std::mt19937 rng(20261208);
    const int shapes[][2] = {{1, 1},   {1, 257}, {257, 1}, {99, 3},  {100, 3},
                             {101, 3}, {149, 2}, {150, 2}, {151, 2}, {333, 17}};
    for (const auto &shape : shapes) {
        Sample s = random_sample(shape[0], shape[1], rng);
        FILE *f = std::tmpfile();
        write_sample(f, s);
        std::rewind(f);
        SCOPED_TRACE(std::to_string(s.rows) + " x " + std::to_string(s.columns));
        expect_read_back(read_one(f), s);
        std::fclose(f);
    }
}

TEST(fread_matrix, reads_from_the_current_position_of_a_shared_stream) {
    std::mt19937 rng(7);
    Sample first = random_sample(120, 4, rng);
    Sample second = random_sample(3, 9, rng);
    FILE *f = std::tmpfile();
    write_sample(f, first);
    const long second_starts = std::ftell(f);
    write_sample(f, second);
    ASSERT_EQ(std::fseek(f, second_starts, SEEK_SET), 0);
    expect_read_back(read_one(f), second);
    EXPECT_EQ(std::ftell(f), second_starts + 4L * (1 + 9 + 3 * 10)) << "left after the last row";
    std::fclose(f);
}

TEST(fread_matrix, reads_a_long_file_of_short_rows_in_two_halves_as_any_stream) {
    // Enough rows for the second half to be read on a thread of its own, after another matrix,
    // with stray bytes, and again with rows of odd length, for halves that do not split evenly.
    std::mt19937 rng(29);
    for (const auto &[rows, columns] : {std::pair{140001, 3}, std::pair{70001, 1}}) {
        Sample lead = random_sample(5, 2, rng);
        Sample s = random_sample(rows, columns, rng);
        FILE *f = std::tmpfile();
        write_sample(f, lead);
        const long starts = std::ftell(f);
        write_sample(f, s);
        ASSERT_EQ(std::fwrite("\x01\x02", 1, 2, f), 2U);
        ASSERT_EQ(std::fseek(f, starts, SEEK_SET), 0);
        expect_read_back(read_one(f), s);
        EXPECT_EQ(std::ftell(f), starts + 4L * (1 + columns) * (rows + 1) + 2) << "at the end";
        std::fclose(f);
    }
}

TEST(fread_matrix, appended_matrices_of_one_width_read_as_one) {
    // The format stores no row count: whatever follows a matrix in the stream is more rows.
    std::mt19937 rng(11);
    Sample top = random_sample(2, 3, rng);
    Sample bottom = random_sample(2, 3, rng);
    FILE *f = std::tmpfile();
    write_sample(f, top);
    write_sample(f, bottom);
    std::rewind(f);
    const Read r = read_one(f);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.nr, 2 + 3) << "the second count and titles form one more row";
    std::fclose(f);
}

TEST(fread_matrix, reads_from_a_pipe) {
    std::mt19937 rng(3);
    Sample s = random_sample(160, 5, rng);
    FILE *staging = std::tmpfile();
    write_sample(staging, s);
    const Bytes data = bytes::of_stream(staging);
    std::fclose(staging);

    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    std::thread writer([&data, fd = fds[1]] {
        std::size_t done = 0;
        while (done < data.size()) {
            const ssize_t n = write(fd, data.data() + done, data.size() - done);
            if (n <= 0) {
                break;
            }
            done += static_cast<std::size_t>(n);
        }
        close(fd);
    });
    FILE *in = fdopen(fds[0], "rb");
    ASSERT_NE(in, nullptr);
    expect_read_back(read_one(in), s);
    std::fclose(in);
    writer.join();
}

} // namespace
