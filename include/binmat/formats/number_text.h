// Floats as text and back, exactly: the shortest digits that read back to the same float, in any
// locale, NaNs that keep their bits, and every spelling of a single-precision value that other
// programs write.
#pragma once

#include <string>
#include <string_view>

namespace binmat {

// Room for the longest text format_float writes.
inline constexpr int float_text_max = 24;

// Writes v at first and returns the end. The default quiet NaNs are "nan" and "-nan"; any other
// NaN is "nan(0xXXXXXXXX)" with its bit pattern.
char *format_float(char *first, float v);

// The same as a string.
std::string float_text(float v);

enum class number { ok, not_a_number, out_of_range };

// Reads a float: decimal (rounded correctly to the nearest float, subnormals and underflow to a
// signed zero included), hex ("0x1p3"), "inf", "infinity" and "nan" in any case, with an optional
// sign, and format_float's "nan(0xBITS)". A finite number beyond the float range is out_of_range.
number parse_float(std::string_view text, float &out);

} // namespace binmat
