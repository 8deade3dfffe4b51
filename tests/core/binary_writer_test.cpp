#include <binmat/binary.h>

#include "support/bytes.h"
#include "support/heap.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

using Floats = std::vector<float>;

// A ranged matrix over nrl..nrh x ncl..nch whose value at (i, j) is 10 i + j.
float **numbered_matrix(int nrl, int nrh, int ncl, int nch) {
    float **m = matrix(nrl, nrh, ncl, nch);
    for (int i = nrl; i <= nrh; ++i) {
        for (int j = ncl; j <= nch; ++j) {
            m[i][j] = static_cast<float>(10 * i + j);
        }
    }
    return m;
}

TEST(fwrite_matrix, one_by_one_matrix_is_sixteen_bytes) {
    float **m = matrix(0, 0, 0, 0);
    m[0][0] = 9.0F;
    float *rt = vector(0, 0);
    float *ct = vector(0, 0);
    rt[0] = 7.0F;
    ct[0] = 5.0F;
    FILE *f = std::tmpfile();
    ASSERT_NE(f, nullptr);
    EXPECT_EQ(fwrite_matrix(f, m, 0, 0, 0, 0, rt, ct), 1);
    const std::vector<unsigned char> golden = {0x00, 0x00, 0x80, 0x3F, 0x00, 0x00, 0xA0, 0x40,
                                               0x00, 0x00, 0xE0, 0x40, 0x00, 0x00, 0x10, 0x41};
    EXPECT_EQ(bytes::of_stream(f), golden);
    std::fclose(f);
    free_vector(rt, 0, 0);
    free_vector(ct, 0, 0);
    free_matrix(m, 0, 0, 0, 0);
}

TEST(fwrite_matrix, null_titles_stand_for_indices) {
    float **m = numbered_matrix(0, 1, 0, 2);
    FILE *f = std::tmpfile();
    heap::watch();
    EXPECT_EQ(fwrite_matrix(f, m, 0, 1, 0, 2, nullptr, nullptr), 1);
    const long acquired = heap::acquired();
    const long released = heap::released();
    heap::unwatch();
    EXPECT_EQ(acquired, 2) << "one temporary title vector per axis";
    EXPECT_EQ(released, 2);
    EXPECT_EQ(bytes::as_floats(bytes::of_stream(f)),
              (Floats{3, 0, 1, 2, 0, 0, 1, 2, 1, 10, 11, 12}));
    std::fclose(f);
    free_matrix(m, 0, 1, 0, 2);
}

TEST(fwrite_matrix, writes_exactly_the_given_bounds) {
    float **m = numbered_matrix(1, 2, 1, 3);
    float *ct = vector(1, 3);
    ct[1] = 0.5F;
    ct[2] = 0.75F;
    ct[3] = 1.0F;
    FILE *f = std::tmpfile();
    EXPECT_EQ(fwrite_matrix(f, m, 1, 2, 1, 3, nullptr, ct), 1);
    EXPECT_EQ(fwrite_matrix(f, m, 1, 2, 1, 3, nullptr, nullptr), 1);
    const Floats titled = {3, 0.5F, 0.75F, 1, 1, 11, 12, 13, 2, 21, 22, 23};
    const Floats indexed = {3, 1, 2, 3, 1, 11, 12, 13, 2, 21, 22, 23};
    Floats both = titled;
    both.insert(both.end(), indexed.begin(), indexed.end());
    EXPECT_EQ(bytes::as_floats(bytes::of_stream(f)), both) << "two calls append two matrices";
    std::fclose(f);
    free_vector(ct, 1, 3);
    free_matrix(m, 1, 2, 1, 3);
}

TEST(fwrite_matrix, stream_that_takes_nothing_gives_notice_and_zero) {
    float **m = numbered_matrix(0, 1, 0, 1);
    FILE *f = std::fopen("/dev/null", "rb");
    ASSERT_NE(f, nullptr);
    testing::internal::CaptureStderr();
    EXPECT_EQ(fwrite_matrix(f, m, 0, 1, 0, 1, nullptr, nullptr), 0);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "fwrite 1 returned 0\n");
    std::fclose(f);
    free_matrix(m, 0, 1, 0, 1);
}

TEST(fwrite_matrix, short_write_anywhere_gives_zero_quietly) {
    float **m = numbered_matrix(0, 2, 0, 1);
    // The file is 3 + 3 * 3 floats long; cut the stream's room short at every float boundary.
    for (std::size_t room = 1; room < 12; ++room) {
        std::vector<char> buffer(room * sizeof(float));
        FILE *f = fmemopen(buffer.data(), buffer.size(), "wb");
        ASSERT_NE(f, nullptr);
        std::setvbuf(f, nullptr, _IONBF, 0);
        testing::internal::CaptureStderr();
        heap::watch();
        EXPECT_EQ(fwrite_matrix(f, m, 0, 2, 0, 1, nullptr, nullptr), 0) << room;
        const long balance = heap::acquired() - heap::released();
        heap::unwatch();
        EXPECT_EQ(balance, 0) << "temporaries released after a failure, room " << room;
        EXPECT_EQ(testing::internal::GetCapturedStderr(), "") << room;
        std::fclose(f);
    }
    free_matrix(m, 0, 2, 0, 1);
}

TEST(fwrite_matrix, refuses_what_it_cannot_store_faithfully) {
    float **m = numbered_matrix(0, 1, 0, 1);
    FILE *f = std::tmpfile();
    EXPECT_EQ(fwrite_matrix(f, m, 1, 0, 0, 1, nullptr, nullptr), 0) << "no rows";
    EXPECT_EQ(fwrite_matrix(f, m, 0, 1, 1, 0, nullptr, nullptr), 0) << "no columns";
    EXPECT_EQ(fwrite_matrix(f, m, 0, 1, 5, 2, nullptr, nullptr), 0) << "reversed columns";
    // 2^24 + 1 columns: the stored count would read back as 2^24.
    EXPECT_EQ(fwrite_matrix(f, m, 0, 1, 0, 1 << 24, nullptr, nullptr), 0) << "inexact count";
    // 2^29 columns: a float holds the count exactly, but no reader takes titles of 2^31 bytes.
    EXPECT_EQ(fwrite_matrix(f, m, 0, 1, 0, (1 << 29) - 1, nullptr, nullptr), 0)
        << "count too large";
    EXPECT_TRUE(bytes::of_stream(f).empty()) << "nothing written";
    std::fclose(f);
    free_matrix(m, 0, 1, 0, 1);
}

} // namespace
