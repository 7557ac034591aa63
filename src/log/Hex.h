#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

// Digests shown as text: two lower-case hexadecimal digits per byte, no separators.
inline std::string lowerHex(std::span<const std::uint8_t> bytes) {
    static constexpr char digits[] = "0123456789abcdef";
    std::string text;
    text.reserve(bytes.size() * 2);
    for (auto b : bytes) {
        text.push_back(digits[b >> 4]);
        text.push_back(digits[b & 0x0f]);
    }
    return text;
}
