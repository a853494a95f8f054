// MD4 message digest (RFC 1320), used for the NT password hash. A context belongs to one caller
// at a time; Md4Digest is a pure function callable from any thread.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string_view>

using TMd4Digest = std::array<std::uint8_t, 16>;

// Raised only when a context is updated or finished before Init.
class MD4Exception : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

class TMd4Context {
public:
    void Init();
    void Update(std::string_view Data);
    // Returns the digest and clears the context; it must be initialized again for reuse.
    TMd4Digest Final();

private:
    void Transform(const std::uint8_t* Block);

    std::uint32_t State[4] = {};
    std::uint64_t BitCount = 0;
    std::uint8_t Block[64] = {};
    bool Initialized = false;
};

TMd4Digest Md4Digest(std::string_view Data);
