// What the NetCDF helper sends back, as the command reads it: any bytes are a well-formed frame or
// a refusal, never a crash or a read outside them, and a frame that decodes encodes back to
// exactly the same bytes, so that nothing in it goes unchecked.
#include "protocol.h"

#include <cstdint>
#include <cstdlib>
#include <span>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    namespace protocol = binmat::netcdf_protocol;
    const std::span<const unsigned char> bytes(data, size);
    protocol::frame f;
    std::string error;
    if (!protocol::decode(bytes, f, error)) {
        if (error.empty()) {
            std::abort();
        }
        return 0;
    }
    const std::vector<unsigned char> again = protocol::encode(f);
    if (again.size() != size || !std::equal(again.begin(), again.end(), bytes.begin())) {
        std::abort();
    }
    std::uint32_t length = 0;
    if (!protocol::payload_length(bytes.first(protocol::header_bytes), length) ||
        length != size - protocol::header_bytes) {
        std::abort();
    }
    return 0;
}
