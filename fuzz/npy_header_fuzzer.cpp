// .npy files from strangers: the header parser and the reader behind it either give an array
// whose size the header promised, which writes and reads back the same bit for bit, or refuse
// it with a reason. Never a crash, a hang or an allocation the bytes do not back.
#include "bits.h"
#include <binmat/formats/error.h>
#include <binmat/formats/npy.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <span>
#include <string>

namespace {

binmat::npy_array read(const std::uint8_t *data, std::size_t size) {
    FILE *in = size == 0 ? std::fopen("/dev/null", "rb")
                         : fmemopen(const_cast<std::uint8_t *>(data), size, "rb");
    if (in == nullptr) {
        std::abort();
    }
    try {
        binmat::npy_array a = binmat::read_npy(in, 2);
        std::fclose(in);
        return a;
    } catch (const binmat::conversion_error &e) {
        std::fclose(in);
        if (e.reason().empty()) {
            std::abort(); // a refusal without a reason
        }
        return {};
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    binmat::npy_header h;
    std::uint64_t needed = 0;
    std::string error;
    bool parsed = false;
    try {
        parsed = binmat::parse_npy_header(std::span(data, size), h, needed);
    } catch (const binmat::conversion_error &e) {
        error = e.what();
        if (error.empty()) {
            std::abort(); // a refusal without a reason
        }
    }
    if (parsed && (h.data_offset > size || !error.empty())) {
        std::abort();
    }
    if (!parsed && error.empty() && needed <= size) {
        std::abort(); // asked for bytes it already had
    }
    const binmat::npy_array a = read(data, size);
    if (a.values.empty()) {
        return 0;
    }
    if (a.shape.size() != 2 || a.shape[0] * a.shape[1] != a.values.size()) {
        std::abort();
    }
    char *buffer = nullptr;
    std::size_t length = 0;
    FILE *out = open_memstream(&buffer, &length);
    binmat::write_npy(out, a.values, a.shape);
    std::fclose(out);
    const binmat::npy_array back = read(reinterpret_cast<const std::uint8_t *>(buffer), length);
    std::free(buffer);
    if (back.shape != a.shape || !same_bits(back.values, a.values)) {
        std::abort();
    }
    return 0;
}
