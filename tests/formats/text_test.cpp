// Number text and text grids: what pack accepts, how it rounds, and what it refuses.
#include <binmat/formats/error.h>
#include <binmat/formats/number_text.h>
#include <binmat/formats/text_grid.h>

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstring>
#include <limits>
#include <string>

namespace {

using binmat::number;

std::uint32_t bits(float f) { return std::bit_cast<std::uint32_t>(f); }

TEST(parse_float, accepts_every_spelling_of_a_single_precision_value) {
    struct Case {
        const char *text;
        std::uint32_t expected;
    };
    const Case cases[] = {
        {"1e-48", 0x00000000},           // below the least subnormal: +0
        {"-1e-48", 0x80000000},          // and -0 with its sign
        {"1e-40", 0x000116C2},           // a subnormal, rounded once from the decimal
        {"1.4e-45", 0x00000001},         // the least subnormal
        {"7.1e-46", 0x00000001},         // just above half of it rounds up
        {"0.1", 0x3DCCCCCD},             //
        {"+2.5", 0x40200000},            // a leading plus
        {"0x1p3", 0x41000000},           // hex
        {"-0X1.8P-1", 0xBF400000},       //
        {"inf", 0x7F800000},             //
        {"-Infinity", 0xFF800000},       //
        {"INF", 0x7F800000},             //
        {"NaN", 0x7FC00000},             //
        {"-nan", 0xFFC00000},            //
        {"nan(0x7fc00001)", 0x7FC00001}, // a payload kept
        {"3.40282356e38", 0x7F7FFFFF},   // rounds down to the largest float, not up to infinity
        // Just above halfway between 1 and the next float: through double it would round to the
        // halfway point and then, to even, down to 1.
        {"1.00000005960464477539062500000000001", 0x3F800001},
    };
    for (const Case &c : cases) {
        float f = 0;
        ASSERT_EQ(binmat::parse_float(c.text, f), number::ok) << c.text;
        EXPECT_EQ(bits(f), c.expected) << c.text;
    }
}

TEST(parse_float, tells_numbers_beyond_the_range_from_words) {
    float f = 0;
    for (const char *big : {"3.5e38", "-1e39", "1e400", "0x1p200"}) {
        EXPECT_EQ(binmat::parse_float(big, f), number::out_of_range) << big;
    }
    for (const char *word : {"abc", "1e", "--1", "+-1", "0x", "1.5.2", "", "nan(0x1)", "infinit"}) {
        EXPECT_EQ(binmat::parse_float(word, f), number::not_a_number) << word;
    }
}

TEST(format_float, writes_the_shortest_text_that_reads_back) {
    for (float v : {0.1F, -0.0F, 1e-45F, 3.4028235e38F, 6.0000014F,
                    std::bit_cast<float>(0xFFC00000U), std::bit_cast<float>(0x7F800001U)}) {
        char text[binmat::float_text_max];
        const std::string s(text, binmat::format_float(text, v));
        float back = 0;
        ASSERT_EQ(binmat::parse_float(s, back), number::ok) << s;
        EXPECT_EQ(bits(back), bits(v)) << s;
    }
}

// Parses text as pack does: the error, or empty.
std::string parse(const std::string &text, binmat::text_grid &t) {
    FILE *f = fmemopen(const_cast<char *>(text.data()), text.size(), "r");
    std::string error;
    try {
        t = binmat::read_text_grid(f);
    } catch (const binmat::conversion_error &e) {
        error = e.what();
    }
    std::fclose(f);
    return error;
}

TEST(read_text_grid, takes_what_other_programs_write) {
    binmat::text_grid t;
    ASSERT_EQ(parse("\xEF\xBB\xBF"
                    "2,0x1p3,+1e-48\r\n0,inf,-INFINITY\r\n# stray bytes: ee 01\r\n",
                    t),
              "");
    EXPECT_EQ(t.grid.column_coordinates, (std::vector<float>{8, 0}));
    EXPECT_EQ(t.grid.values[0], std::numeric_limits<float>::infinity());
    EXPECT_EQ(t.stray, (std::vector<unsigned char>{0xEE, 0x01}));
}

TEST(read_text_grid, names_the_line_of_every_refusal) {
    struct Case {
        const char *text;
        const char *error;
    };
    const Case cases[] = {
        {"2 0 1\n0 3.5e38 1\n", "line 2: '3.5e38' is out of single-precision range"},
        {"2 0 1\n0 1 2\n# stray bytes: zz\n",
         "line 3: a stray bytes line holds one to three bytes, each two hex digits"},
        {"2 0 1\n0 1 2\n# stray bytes: 01 02 03 04\n",
         "line 3: a stray bytes line holds one to three bytes, each two hex digits"},
        {"# stray bytes: 01\n2 0 1\n", "line 1: a stray bytes line may only follow the rows, once"},
        {"2 0 1\n0 1 2\n# stray bytes: 01\n1 2 3\n", "line 4: nothing may follow the stray bytes"},
        {"1e9 1\n",
         "line 1: column count 1e+09 exceeds the limit of 536870911 columns (2^29 - 1, so that "
         "the column titles stay under 2^31 bytes)"},
        {"", "line 1: the text ends without a column count"},
    };
    for (const Case &c : cases) {
        binmat::text_grid t;
        EXPECT_EQ(parse(c.text, t), c.error) << c.text;
    }
}

} // namespace
