// Text from an input, fit to repeat in a message: a hostile file must not be able to fill the
// terminal or write to it.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace binmat {

// The field in single quotes: at most about 60 bytes of it, cut at a character and marked "..."
// when longer, with control bytes, backslashes and bytes that are not UTF-8 written as \xNN.
std::string quoted(std::string_view field);

// Text made safe to print without quotes, the same way, cut after about `limit` bytes.
std::string printable(std::string_view text, std::size_t limit);

// `text` with each piece that is not well-formed UTF-8 replaced by U+FFFD (one for each maximal
// piece that begins a character without completing it), for names shown to people.
std::string readable_utf8(std::string_view text);

} // namespace binmat
