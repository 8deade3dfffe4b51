#include <binmat/formats/quote.h>

namespace binmat {

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

// How many bytes from s[i] on begin a UTF-8 character without completing it: the lead and the
// continuation bytes that could still follow it, which one replacement character stands for.
std::size_t broken_at(std::string_view s, std::size_t i) {
    const auto lead = static_cast<unsigned char>(s[i]);
    std::size_t n = 0;
    if (lead >= 0xC2 && lead <= 0xDF) {
        n = 2;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        n = 3;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        n = 4;
    } else {
        return 1;
    }
    std::size_t k = 1;
    for (; k < n && i + k < s.size(); ++k) {
        const auto c = static_cast<unsigned char>(s[i + k]);
        // The second byte's range narrows for the leads whose shortest forms, surrogates or
        // code points beyond U+10FFFF it would otherwise allow.
        unsigned low = 0x80;
        unsigned high = 0xBF;
        if (k == 1) {
            low = lead == 0xE0 ? 0xA0 : lead == 0xF0 ? 0x90 : 0x80;
            high = lead == 0xED ? 0x9F : lead == 0xF4 ? 0x8F : 0xBF;
        }
        if (c < low || c > high) {
            break;
        }
    }
    return k;
}

} // namespace

std::string readable_utf8(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size();) {
        const auto c = static_cast<unsigned char>(text[i]);
        const std::size_t n = c < 0x80 ? 1 : character_at(text, i);
        if (n > 0) {
            out.append(text.substr(i, n));
            i += n;
            continue;
        }
        out += "\xEF\xBF\xBD";
        i += broken_at(text, i);
    }
    return out;
}

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

} // namespace binmat
