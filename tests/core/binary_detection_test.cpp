#include <binmat/binary.h>

#include "support/bytes.h"

#include <gtest/gtest.h>

#include <string>
#include <unistd.h>
#include <vector>

namespace {

using Bytes = std::vector<unsigned char>;

// n bytes of text with `odd` of them replaced, evenly spread, by `odd_byte`.
Bytes sample(std::size_t n, std::size_t odd, unsigned char odd_byte) {
    Bytes data(n);
    for (std::size_t i = 0; i < n; ++i) {
        data[i] = static_cast<unsigned char>('a' + i % 26);
    }
    for (std::size_t k = 0; k < odd; ++k) {
        data[k * n / odd] = odd_byte;
    }
    return data;
}

Bytes text(const std::string &s) { return Bytes(s.begin(), s.end()); }

struct Case {
    const char *name;
    Bytes data;
    TBOOLEAN binary;
};

TEST(is_binary_file, judges_by_the_share_of_odd_bytes) {
    const Case cases[] = {
        {"512 bytes, 51 high", sample(512, 51, 0x80), 0},
        {"512 bytes, 52 high", sample(512, 52, 0xFF), 1},
        {"zero byte among letters", {'a', 'b', 'c', 0x00, 'd'}, 1},
        {"100 bytes, 10 odd", sample(100, 10, 0x01), 0},
        {"100 bytes, 11 odd", sample(100, 11, 0x01), 1},
        {"control bytes of text", text("a\tb\rc\fd\be\x1b[0m\n"), 0},
        {"0x01 is not text", {0x01, 'a'}, 1},
        {"0x7F is not text", {0x7F, 'a'}, 1},
        {"only the first 512 bytes count",
         [] {
             Bytes b = sample(512, 0, 0);
             b.resize(4096, 0x00);
             return b;
         }(),
         0},
        {"empty", {}, 0},
        {"binary1's first float", {0x00, 0x00, 0xA8, 0x41}, 1},
    };
    for (const Case &c : cases) {
        FILE *f = bytes::stream_of(c.data);
        ASSERT_NE(f, nullptr);
        EXPECT_EQ(is_binary_file(f), c.binary) << c.name;
        EXPECT_EQ(std::ftell(f), 0L) << c.name << ": position restored";
        std::fclose(f);
    }
}

TEST(is_binary_file, samples_from_the_start_and_restores_the_position) {
    Bytes data = sample(1000, 0, 0);
    data[3] = 0x00;
    FILE *f = bytes::stream_of(data);
    ASSERT_EQ(std::fseek(f, 100, SEEK_SET), 0);
    EXPECT_EQ(is_binary_file(f), 1);
    EXPECT_EQ(std::ftell(f), 100L);
    ASSERT_EQ(std::fseek(f, 0, SEEK_END), 0);
    EXPECT_EQ(is_binary_file(f), 1) << "at the end of the stream";
    EXPECT_EQ(std::ftell(f), 1000L);
    std::fclose(f);
}

TEST(is_binary_file, unseekable_stream_gives_notice_and_keeps_its_input) {
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    ASSERT_EQ(write(fds[1], "\0\0\0\0AB", 6), 6);
    close(fds[1]);
    FILE *in = fdopen(fds[0], "rb");
    ASSERT_NE(in, nullptr);
    testing::internal::CaptureStderr();
    EXPECT_EQ(is_binary_file(in), 0);
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "Notice: Assuming unseekable data is not binary\n");
    char rest[8] = {};
    EXPECT_EQ(std::fread(rest, 1, sizeof rest, in), 6U) << "nothing consumed";
    EXPECT_EQ(rest[4], 'A');
    std::fclose(in);
}

} // namespace
