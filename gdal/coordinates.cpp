#include "coordinates.h"

#include <cpl_conv.h>
#include <cpl_string.h>

#include <bit>
#include <cstdint>
#include <cstring>
#include <limits>
#include <memory>

namespace binmat_gdal {

namespace {

// "v1:COUNT:BASE64"
constexpr const char *version = "v1:";

struct cpl_deleter {
    void operator()(void *p) const { CPLFree(p); }
};

} // namespace

std::string encode_coordinates(const std::vector<float> &coordinates) {
    std::vector<unsigned char> deltas(4 * coordinates.size());
    std::uint32_t previous = 0;
    for (std::size_t i = 0; i < coordinates.size(); ++i) {
        const auto bits = std::bit_cast<std::uint32_t>(coordinates[i]);
        const std::uint32_t delta = bits - previous;
        previous = bits;
        for (int k = 0; k < 4; ++k) {
            deltas[4 * i + static_cast<std::size_t>(k)] =
                static_cast<unsigned char>(delta >> (8 * k));
        }
    }
    std::size_t size = 0;
    const std::unique_ptr<void, cpl_deleter> compressed(
        CPLZLibDeflate(deltas.data(), deltas.size(), 9, nullptr, 0, &size));
    if (!compressed || size > static_cast<std::size_t>(std::numeric_limits<int>::max())) {
        return {};
    }
    const std::unique_ptr<char, cpl_deleter> text(
        CPLBase64Encode(static_cast<int>(size), static_cast<const GByte *>(compressed.get())));
    return std::string(version) + std::to_string(coordinates.size()) + ":" + text.get();
}

std::optional<std::vector<float>> decode_coordinates(const char *text, std::size_t expected) {
    if (text == nullptr || std::strncmp(text, version, std::strlen(version)) != 0) {
        return std::nullopt;
    }
    char *end = nullptr;
    const unsigned long long count = std::strtoull(text + std::strlen(version), &end, 10);
    if (end == nullptr || *end != ':' || count == 0 || count != expected) {
        return std::nullopt;
    }
    std::string encoded(end + 1);
    const int size = CPLBase64DecodeInPlace(reinterpret_cast<GByte *>(encoded.data()));
    std::vector<unsigned char> deltas(4 * static_cast<std::size_t>(count));
    std::size_t inflated = 0;
    if (size <= 0 ||
        CPLZLibInflate(encoded.data(), static_cast<std::size_t>(size), deltas.data(), deltas.size(),
                       &inflated) == nullptr ||
        inflated != deltas.size()) {
        return std::nullopt;
    }
    std::vector<float> coordinates(static_cast<std::size_t>(count));
    std::uint32_t bits = 0;
    for (std::size_t i = 0; i < coordinates.size(); ++i) {
        std::uint32_t delta = 0;
        for (int k = 0; k < 4; ++k) {
            delta |= std::uint32_t{deltas[4 * i + static_cast<std::size_t>(k)]} << (8 * k);
        }
        bits += delta;
        coordinates[i] = std::bit_cast<float>(bits);
    }
    return coordinates;
}

} // namespace binmat_gdal
