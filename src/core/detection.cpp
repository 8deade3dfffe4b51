// Telling binary streams from text by the bytes they begin with.
#include <binmat/binary.h>

#include <cstdio>

namespace {

[[maybe_unused]] constexpr const char RCSid[] = "$Id: detection.cpp binmat $";

constexpr int sample_size = 512;

// Bytes that do not belong in text. A zero byte settles the question on its own.
int odd_bytes(const unsigned char *buffer, int len) {
    int odd = 0;
    for (int i = 0; i < len; ++i) {
        const unsigned char c = buffer[i];
        if (c == 0x00) {
            return odd + len;
        }
        const bool text_control =
            c == 0x0A || c == 0x0D || c == 0x08 || c == 0x09 || c == 0x0C || c == 0x1B;
        if (c >= 0x7F || (c < 0x20 && !text_control)) {
            ++odd;
        }
    }
    return odd;
}

} // namespace

TBOOLEAN is_binary_file(FILE *fp) {
    const long where = std::ftell(fp);
    if (where == -1) {
        std::fprintf(stderr, "Notice: Assuming unseekable data is not binary\n");
        return 0;
    }
    // The sample always comes from the start of the stream, wherever the caller stands.
    std::rewind(fp);
    unsigned char buffer[sample_size];
    const int len = static_cast<int>(std::fread(buffer, 1, sizeof buffer, fp));
    const int odd = odd_bytes(buffer, len);
    std::fseek(fp, where, SEEK_SET);
    return 10 * odd > len ? 1 : 0;
}
