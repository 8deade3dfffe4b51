#include <binmat/formats/number_text.h>

#include <algorithm>
#include <bit>
#include <cctype>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <system_error>

namespace binmat {

namespace {

constexpr std::uint32_t quiet_nan = 0x7FC00000U;
constexpr std::uint32_t sign_bit = 0x80000000U;

char *copy(char *first, std::string_view s) { return std::copy(s.begin(), s.end(), first); }

bool equal_ignoring_case(std::string_view a, std::string_view b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return std::tolower(static_cast<unsigned char>(x)) ==
                      std::tolower(static_cast<unsigned char>(y));
           });
}

float with_sign(float v, bool negative) { return negative ? -v : v; }

// A NaN keeps its sign and payload only in format_float's spelling; "nan" is the default one.
bool parse_nan(std::string_view body, bool negative, float &out) {
    if (equal_ignoring_case(body, "nan")) {
        out = std::bit_cast<float>(quiet_nan | (negative ? sign_bit : 0));
        return true;
    }
    if (body.size() > 7 && body.starts_with("nan(0x") && body.ends_with(")")) {
        const std::string_view digits = body.substr(6, body.size() - 7);
        std::uint32_t bits = 0;
        const auto [end, ec] =
            std::from_chars(digits.data(), digits.data() + digits.size(), bits, 16);
        if (ec != std::errc() || end != digits.data() + digits.size()) {
            return false;
        }
        out = std::bit_cast<float>(bits);
        return std::isnan(out);
    }
    return false;
}

} // namespace

char *format_float(char *first, float v) {
    if (std::isnan(v)) {
        const auto bits = std::bit_cast<std::uint32_t>(v);
        if ((bits & ~sign_bit) == quiet_nan) {
            return copy(first, (bits & sign_bit) != 0 ? "-nan" : "nan");
        }
        first = copy(first, "nan(0x");
        first = std::to_chars(first, first + 8, bits, 16).ptr;
        return copy(first, ")");
    }
    return std::to_chars(first, first + float_text_max, v).ptr;
}

number parse_float(std::string_view text, float &out) {
    const bool negative = text.starts_with('-');
    std::string_view body = text;
    if (negative || text.starts_with('+')) {
        body.remove_prefix(1);
    }
    if (body.empty() || body.front() == '+' || body.front() == '-') {
        return number::not_a_number;
    }
    if (parse_nan(body, negative, out)) {
        return number::ok;
    }
    if (body.front() == 'n' || body.front() == 'N') {
        return number::not_a_number;
    }
    if (equal_ignoring_case(body, "inf") || equal_ignoring_case(body, "infinity")) {
        out = with_sign(std::numeric_limits<float>::infinity(), negative);
        return number::ok;
    }
    std::chars_format format = std::chars_format::general;
    if (body.size() > 2 && body[0] == '0' && (body[1] == 'x' || body[1] == 'X')) {
        format = std::chars_format::hex;
        body.remove_prefix(2);
    }
    float magnitude = 0;
    const auto [end, ec] =
        std::from_chars(body.data(), body.data() + body.size(), magnitude, format);
    if (end != body.data() + body.size() ||
        (ec != std::errc() && ec != std::errc::result_out_of_range)) {
        return number::not_a_number;
    }
    if (ec == std::errc::result_out_of_range) {
        // Too small for a float rounds to zero; too large is an error, not an infinity. The text
        // is a number; a double tells which way it left the range.
        const std::string copy_of_body(format == std::chars_format::hex ? "0x" : "");
        const double wide = std::strtod((copy_of_body + std::string(body)).c_str(), nullptr);
        if (std::fabs(wide) > 1) {
            return number::out_of_range;
        }
        magnitude = 0;
    }
    out = with_sign(magnitude, negative);
    return number::ok;
}

std::string float_text(float v) {
    char buffer[float_text_max];
    return {buffer, format_float(buffer, v)};
}

} // namespace binmat
