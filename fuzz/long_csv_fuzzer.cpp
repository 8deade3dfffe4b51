// Long CSV from strangers, with and without missing cells filled: a grid that writes back to CSV
// and reads again the same bit for bit, or a refusal that says what is wrong.
// Never a crash, a hang or a grid larger than the lines can describe.
#include "bits.h"
#include <binmat/formats/error.h>
#include <binmat/formats/long_csv.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

bool parse(std::string text, bool fill, binmat::grid &g) {
    FILE *in =
        text.empty() ? std::fopen("/dev/null", "r") : fmemopen(text.data(), text.size(), "r");
    if (in == nullptr) {
        std::abort();
    }
    try {
        binmat::long_csv_options options;
        options.fill_missing = fill;
        g = binmat::read_long_csv(in, options);
        std::fclose(in);
        return true;
    } catch (const binmat::conversion_error &e) {
        std::fclose(in);
        if (e.reason().empty()) {
            std::abort(); // a refusal without a reason
        }
        return false;
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    // The text ends at its first zero byte, as a C string read through fmemopen does.
    std::string text(reinterpret_cast<const char *>(data), size);
    text = text.substr(0, text.find('\0'));
    for (const bool fill : {false, true}) {
        binmat::grid g;
        if (!parse(text, fill, g)) {
            continue;
        }
        if (g.values.size() != g.rows() * g.columns()) {
            std::abort();
        }
        char *buffer = nullptr;
        std::size_t length = 0;
        FILE *out = open_memstream(&buffer, &length);
        binmat::long_csv_writer csv(out, g.column_coordinates, true);
        for (std::size_t i = 0; i < g.rows(); ++i) {
            csv.put_row(g.row_coordinates[i], g.row(i));
        }
        csv.finish();
        std::fclose(out);
        binmat::grid back;
        const bool again = parse(std::string(buffer, length), false, back);
        std::free(buffer);
        if (!again || !same_bits(back.values, g.values) ||
            !same_bits(back.row_coordinates, g.row_coordinates) ||
            !same_bits(back.column_coordinates, g.column_coordinates)) {
            std::abort();
        }
    }
    return 0;
}
