// numpy's .npy header, as numpy writes it and as strangers might.
#include <binmat/formats/error.h>
#include <binmat/formats/npy.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdint>
#include <span>
#include <string>
#include <utility>
#include <vector>

TEST(npy_header, parses_what_numpy_writes_and_refuses_the_rest) {
    const auto parse = [](const std::string &dict, int version = 1) {
        std::string b("\x93NUMPY", 6);
        b += static_cast<char>(version);
        b += '\0';
        const std::size_t n = dict.size();
        b += static_cast<char>(n & 0xFF);
        b += static_cast<char>(n >> 8);
        if (version > 1) {
            b += std::string(2, '\0');
        }
        b += dict;
        binmat::npy_header h;
        std::uint64_t needed = 0;
        try {
            const bool ok = binmat::parse_npy_header(
                {reinterpret_cast<const unsigned char *>(b.data()), b.size()}, h, needed);
            return std::make_pair(ok ? h : binmat::npy_header{}, std::string(ok ? "ok" : ""));
        } catch (const binmat::conversion_error &e) {
            return std::make_pair(binmat::npy_header{}, std::string(e.what()));
        }
    };
    auto [h, result] = parse("{'descr':'>i8','fortran_order':True,'shape':(3L,4,)}\n", 3);
    EXPECT_EQ(result, "ok");
    EXPECT_EQ(h.kind, 'i');
    EXPECT_EQ(h.item_size, 8);
    EXPECT_TRUE(h.big_endian);
    EXPECT_TRUE(h.fortran_order);
    EXPECT_EQ(h.shape, (std::vector<std::uint64_t>{3, 4}));
    EXPECT_EQ(h.data_offset, 12 + 53U);
    const struct {
        const char *dict;
        const char *error;
    } cases[] = {
        {"[1]", "the header is not a Python dictionary"},
        {"{'descr': '<f4', 'shape': (1,)}", "the header lacks 'fortran_order'"},
        {"{'descr': '<f4', 'fortran_order': 1, 'shape': ()}",
         "'fortran_order' is not True or False"},
        {"{'descr': '<f4', 'fortran_order': False, 'shape': (1, 'a')}",
         "'shape' holds something other than whole numbers"},
        {"{'descr': '<f4', 'fortran_order': False, 'shape': (99999999999999999999,)}",
         "a number in the header is too large"},
        {"{'descr': '<f4', 'fortran_order': False, 'shape': (1,), 'extra': 1}",
         "the header has a key 'extra' that numpy does not write"},
        {"{'descr': '<f4' 'fortran_order': False}", "expected ',' or '}' in the header"},
        {"{'descr' '<f4'}", "expected ':' after 'descr'"},
        {"{'descr': '<f3', 'fortran_order': False, 'shape': (1,)}",
         "element type '<f3' is not one this reads (floats of 2, 4 or 8 bytes, integers, "
         "booleans)"},
        {"{'descr': '<U8', 'fortran_order': False, 'shape': (1,)}",
         "the array holds text, not numbers"},
        {"{'descr': '<M8[s]', 'fortran_order': False, 'shape': (1,)}",
         "the array holds dates or times, not numbers"},
        {"{'descr': 'a\\'b'}", "escapes in the header's strings are not read"},
        {"{'descr': '<f4', 'fortran_order': False, 'shape': "
         "((((((((((((((((((1,),),),),),),),),),),),),),),),),),),)}",
         "the header nests too deeply"},
        {"{'descr': '<f4', 'fortran_order': False, 'shape': (1,)} x",
         "unexpected text after the header's dictionary"},
        {"{'descr': '<f4', 'fortran_order': False, 'shape': (1,",
         "the header ends inside its dictionary"},
    };
    for (const auto &c : cases) {
        EXPECT_EQ(parse(c.dict).second, c.error) << c.dict;
    }
    // A header longer than the bytes so far asks for the rest; one beyond the limit is refused.
    binmat::npy_header partial;
    std::uint64_t needed = 0;
    const unsigned char start[] = {0x93, 'N', 'U', 'M', 'P', 'Y', 2, 0, 0, 0, 1, 0};
    EXPECT_FALSE(binmat::parse_npy_header(std::span(start, 10), partial, needed));
    EXPECT_EQ(needed, 12U);
    EXPECT_FALSE(binmat::parse_npy_header(start, partial, needed));
    EXPECT_EQ(needed, 12U + 65536);
    const unsigned char huge[] = {0x93, 'N', 'U', 'M', 'P', 'Y', 2, 0, 0, 0, 0, 1};
    EXPECT_THAT([&] { binmat::parse_npy_header(huge, partial, needed); },
                ::testing::ThrowsMessage<binmat::conversion_error>(
                    "a header of 16777228 bytes is beyond the 1048576 this reads"));
}
