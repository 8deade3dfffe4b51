// Floats as text and back, exactly: the shortest digits that read back to the same float, in any
// locale, and NaNs that keep their bits.
#pragma once

#include <string_view>

// Room for the longest text format_float writes.
inline constexpr int float_text_max = 24;

// Writes v at first and returns the end. The default quiet NaNs are "nan" and "-nan"; any other
// NaN is "nan(0xXXXXXXXX)" with its bit pattern.
char *format_float(char *first, float v);

// Reads a number as format_float writes it (or any decimal or "inf" form); false for anything else.
bool parse_float(std::string_view text, float &out);
