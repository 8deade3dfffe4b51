#include "quote.h"

namespace cli {

namespace {

constexpr std::size_t field_limit = 60;

// The length of the UTF-8 character that starts at s[i], or 0 when none does.
std::size_t character_at(std::string_view s, std::size_t i) {
    const auto lead = static_cast<unsigned char>(s[i]);
    std::size_t n = 0;
    unsigned least = 0;
    if (lead >= 0xC2 && lead <= 0xDF) {
        n = 2;
        least = 0x80;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        n = 3;
        least = 0x800;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        n = 4;
        least = 0x10000;
    } else {
        return 0;
    }
    if (i + n > s.size()) {
        return 0;
    }
    unsigned code = lead & (0x7FU >> n);
    for (std::size_t k = 1; k < n; ++k) {
        const auto c = static_cast<unsigned char>(s[i + k]);
        if ((c & 0xC0U) != 0x80U) {
            return 0;
        }
        code = code << 6 | (c & 0x3FU);
    }
    const bool surrogate = code >= 0xD800 && code <= 0xDFFF;
    return code < least || code > 0x10FFFF || surrogate ? 0 : n;
}

} // namespace

std::string printable(std::string_view text, std::size_t limit) {
    std::string out;
    std::size_t i = 0;
    while (i < text.size() && out.size() < limit) {
        const auto c = static_cast<unsigned char>(text[i]);
        if (c >= 0x20 && c < 0x7F && c != '\\') {
            out += static_cast<char>(c);
            ++i;
            continue;
        }
        const std::size_t n = c >= 0x80 ? character_at(text, i) : 0;
        if (n > 0) {
            out.append(text.substr(i, n));
            i += n;
            continue;
        }
        constexpr char hex[] = "0123456789abcdef";
        out += "\\x";
        out += hex[c >> 4];
        out += hex[c & 0xFU];
        ++i;
    }
    if (i < text.size()) {
        out += "...";
    }
    return out;
}

std::string quoted(std::string_view field) {
    // Built by appending: GCC 12 at -O3 warns falsely about "'" + text.
    std::string s(1, '\'');
    s += printable(field, field_limit);
    s += '\'';
    return s;
}

} // namespace cli
