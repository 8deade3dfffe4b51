// is_binary_file on arbitrary bytes from an arbitrary starting position: the position must come
// back, and a zero byte in the sample must always mean binary.
#include "stream.h"
#include <binmat/binary.h>

#include <algorithm>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    if (size < 2) {
        return 0;
    }
    const std::size_t content = size - 2;
    const std::size_t start = (std::size_t{data[0]} << 8 | data[1]) % (content + 1);
    const std::uint8_t *bytes = data + 2;
    InputStream in(bytes, content, false);
    if (std::fseek(in.get(), static_cast<long>(start), SEEK_SET) != 0) {
        return 0;
    }
    const TBOOLEAN binary = is_binary_file(in.get());
    if (std::ftell(in.get()) != static_cast<long>(start)) {
        std::abort();
    }
    const std::uint8_t *sample_end = bytes + std::min<std::size_t>(content, 512);
    if (std::find(bytes, sample_end, 0) != sample_end && binary != 1) {
        std::abort();
    }
    if (binary != 0 && binary != 1) {
        std::abort();
    }
    return 0;
}
