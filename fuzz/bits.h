// Floats compared as stored: a round trip must keep NaN payloads and the sign of zero.
#pragma once

#include <bit>
#include <cstdint>
#include <span>

inline bool same_bits(float a, float b) {
    return std::bit_cast<std::uint32_t>(a) == std::bit_cast<std::uint32_t>(b);
}

inline bool same_bits(std::span<const float> a, std::span<const float> b) {
    if (a.size() != b.size()) {
        return false;
    }
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (!same_bits(a[i], b[i])) {
            return false;
        }
    }
    return true;
}
