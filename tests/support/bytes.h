// Helpers for looking at binary matrix files as bytes and floats.
#pragma once

#include <cstdio>
#include <string>
#include <vector>

namespace bytes {

// Everything from the start of the stream to its end; the stream is left at its end.
std::vector<unsigned char> of_stream(FILE *f);

// The whole file, or an empty vector when it cannot be read.
std::vector<unsigned char> of_file(const std::string &path);

// A temporary file holding data, positioned at its start.
FILE *stream_of(const std::vector<unsigned char> &data);

// The bytes read as native floats; a trailing partial float is dropped.
std::vector<float> as_floats(const std::vector<unsigned char> &data);

// The native bytes of the given floats.
std::vector<unsigned char> of_floats(const std::vector<float> &values);

} // namespace bytes
