// Text from inputs made fit to show: names kept readable whatever their bytes.
#include <binmat/formats/quote.h>

#include <nlohmann/json.hpp>

#include <gtest/gtest.h>

#include <string>

namespace {

// What a JSON library that replaces ill-formed UTF-8 makes of the text: the reference.
std::string replaced_by_json(const std::string &text) {
    return nlohmann::json::parse(
               nlohmann::json(text).dump(-1, ' ', false, nlohmann::json::error_handler_t::replace))
        .get<std::string>();
}

TEST(readable_utf8, replaces_each_broken_piece_as_a_json_library_does) {
    // Every string of up to four bytes from those that begin, continue, bound and break UTF-8.
    const unsigned char alphabet[] = {'a',  0x80, 0x8F, 0x90, 0x9F, 0xA0, 0xBF, 0xC0, 0xC2,
                                      0xDF, 0xE0, 0xED, 0xEF, 0xF0, 0xF4, 0xF5, 0xFF};
    constexpr std::size_t n = sizeof alphabet;
    for (std::size_t length = 1; length <= 4; ++length) {
        std::size_t combinations = 1;
        for (std::size_t k = 0; k < length; ++k) {
            combinations *= n;
        }
        for (std::size_t c = 0; c < combinations; ++c) {
            std::string text;
            for (std::size_t k = 0, rest = c; k < length; ++k, rest /= n) {
                text += static_cast<char>(alphabet[rest % n]);
            }
            ASSERT_EQ(binmat::readable_utf8(text), replaced_by_json(text))
                << testing::PrintToString(text);
        }
    }
    EXPECT_EQ(binmat::readable_utf8("odd\xffname"), "odd\xEF\xBF\xBDname");
    EXPECT_EQ(binmat::readable_utf8("\xE2\x82\xAC 5"), "\xE2\x82\xAC 5");
}

} // namespace
