// Bytes as lower-case hex and back, for known-answer tests. Header-only; any thread.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>

inline std::string Hex(std::string_view bytes) {
    static const char digits[] = "0123456789abcdef";
    std::string out;
    for (unsigned char b : bytes) {
        out += digits[b >> 4];
        out += digits[b & 15];
    }
    return out;
}

template <std::size_t N>
std::string Hex(const std::array<std::uint8_t, N>& bytes) {
    return Hex(std::string_view(reinterpret_cast<const char*>(bytes.data()), N));
}

inline std::string Bytes(std::string_view hex) {
    std::string out;
    for (std::size_t i = 0; i + 1 < hex.size(); i += 2)
        out += static_cast<char>(std::stoul(std::string(hex.substr(i, 2)), nullptr, 16));
    return out;
}
