// pack's text parser on arbitrary text: it either packs into a file that dumps back to the same
// numbers, bit for bit, or is refused with the line that made it fail.
#include "bits.h"
#include <binmat/formats/error.h>
#include <binmat/formats/text_grid.h>

#include <cstdint>
#include <cstdlib>
#include <functional>
#include <span>
#include <string>

namespace {

bool parse(std::string text, binmat::text_grid &t, std::string &error) {
    FILE *in =
        text.empty() ? std::fopen("/dev/null", "r") : fmemopen(text.data(), text.size(), "r");
    if (in == nullptr) {
        std::abort();
    }
    bool ok = true;
    try {
        t = binmat::read_text_grid(in);
    } catch (const binmat::conversion_error &e) {
        error = e.what();
        ok = false;
    }
    std::fclose(in);
    return ok;
}

std::string written(const std::function<void(FILE *)> &write) {
    char *buffer = nullptr;
    std::size_t length = 0;
    FILE *out = open_memstream(&buffer, &length);
    write(out);
    std::fclose(out);
    std::string s(buffer, length);
    std::free(buffer);
    return s;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    // The text ends at its first zero byte, as a C string read through fmemopen does.
    std::string text(reinterpret_cast<const char *>(data), size);
    text = text.substr(0, text.find('\0'));
    binmat::text_grid t;
    std::string error;
    if (!parse(text, t, error)) {
        if (!error.starts_with("line ")) {
            std::abort(); // a refusal that does not say where
        }
        return 0;
    }
    const std::string packed =
        written([&](FILE *out) { binmat::write_packed(out, t, binmat::byte_order::little); });
    const binmat::grid g = binmat::read(std::as_bytes(std::span(packed.data(), packed.size())));
    const std::string dumped =
        written([&](FILE *out) { binmat::write_text(out, g, t.stored_count, t.stray, ' '); });
    binmat::text_grid back;
    if (!parse(dumped, back, error) || !same_bits(back.grid.values, t.grid.values) ||
        !same_bits(back.grid.row_coordinates, t.grid.row_coordinates) ||
        !same_bits(back.grid.column_coordinates, t.grid.column_coordinates) ||
        !same_bits(back.stored_count, t.stored_count) || back.stray != t.stray) {
        std::abort();
    }
    return 0;
}
