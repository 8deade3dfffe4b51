#include "numbers.h"

#include <bit>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <system_error>

namespace {

constexpr std::uint32_t quiet_nan = 0x7FC00000U;
constexpr std::uint32_t negative_quiet_nan = 0xFFC00000U;

char *copy(char *first, std::string_view s) {
    for (char c : s) {
        *first++ = c;
    }
    return first;
}

} // namespace

char *format_float(char *first, float v) {
    if (std::isnan(v)) {
        const auto bits = std::bit_cast<std::uint32_t>(v);
        if (bits == quiet_nan) {
            return copy(first, "nan");
        }
        if (bits == negative_quiet_nan) {
            return copy(first, "-nan");
        }
        first = copy(first, "nan(0x");
        first = std::to_chars(first, first + 8, bits, 16).ptr;
        return copy(first, ")");
    }
    return std::to_chars(first, first + float_text_max, v).ptr;
}

bool parse_float(std::string_view text, float &out) {
    if (text == "nan") {
        out = std::bit_cast<float>(quiet_nan);
        return true;
    }
    if (text == "-nan") {
        out = std::bit_cast<float>(negative_quiet_nan);
        return true;
    }
    if (text.starts_with("nan(0x") && text.ends_with(")") && text.size() > 7) {
        const std::string_view digits = text.substr(6, text.size() - 7);
        std::uint32_t bits = 0;
        const auto [end, ec] =
            std::from_chars(digits.data(), digits.data() + digits.size(), bits, 16);
        if (ec != std::errc() || end != digits.data() + digits.size()) {
            return false;
        }
        out = std::bit_cast<float>(bits);
        return std::isnan(out);
    }
    // from_chars takes no leading '+'; a NaN spelled any other way would lose its bits.
    const std::string_view body = text.starts_with('-') ? text.substr(1) : text;
    if (body.empty() || body.front() == '+' || body.front() == 'n' || body.front() == 'N') {
        return false;
    }
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), out);
    return ec == std::errc() && end == text.data() + text.size();
}
