// MD4 as RFC 1320 defines it: 512-bit blocks, three rounds of sixteen steps, little-endian
// words throughout.
#include "crypto/Md4.h"

#include <cstring>

namespace {

std::uint32_t Rotl(std::uint32_t x, int s) {
    return (x << s) | (x >> (32 - s));
}
std::uint32_t F(std::uint32_t x, std::uint32_t y, std::uint32_t z) {
    return (x & y) | (~x & z);
}
std::uint32_t G(std::uint32_t x, std::uint32_t y, std::uint32_t z) {
    return (x & y) | (x & z) | (y & z);
}
std::uint32_t H(std::uint32_t x, std::uint32_t y, std::uint32_t z) {
    return x ^ y ^ z;
}

// Round constants: square roots of 2 and 3 (RFC 1320, section 3.4).
constexpr std::uint32_t kRound2 = 0x5A827999;
constexpr std::uint32_t kRound3 = 0x6ED9EBA1;
constexpr int kOrder2[16] = {0, 4, 8, 12, 1, 5, 9, 13, 2, 6, 10, 14, 3, 7, 11, 15};
constexpr int kOrder3[16] = {0, 8, 4, 12, 2, 10, 6, 14, 1, 9, 5, 13, 3, 11, 7, 15};
constexpr int kShift1[4] = {3, 7, 11, 19};
constexpr int kShift2[4] = {3, 5, 9, 13};
constexpr int kShift3[4] = {3, 9, 11, 15};

}  // namespace

void TMd4Context::Init() {
    State[0] = 0x67452301;
    State[1] = 0xefcdab89;
    State[2] = 0x98badcfe;
    State[3] = 0x10325476;
    BitCount = 0;
    std::memset(Block, 0, sizeof Block);
    Initialized = true;
}

void TMd4Context::Transform(const std::uint8_t* Data) {
    std::uint32_t x[16];
    for (int i = 0; i < 16; ++i)
        x[i] = Data[4 * i] | (Data[4 * i + 1] << 8) | (Data[4 * i + 2] << 16) |
               (static_cast<std::uint32_t>(Data[4 * i + 3]) << 24);
    // v[0..3] hold a, b, c, d; each step rotates which of them is "a".
    std::uint32_t v[4] = {State[0], State[1], State[2], State[3]};
    for (int i = 0; i < 16; ++i) {
        std::uint32_t& a = v[(16 - i) % 4];
        a = Rotl(a + F(v[(17 - i) % 4], v[(18 - i) % 4], v[(19 - i) % 4]) + x[i], kShift1[i % 4]);
    }
    for (int i = 0; i < 16; ++i) {
        std::uint32_t& a = v[(16 - i) % 4];
        a = Rotl(a + G(v[(17 - i) % 4], v[(18 - i) % 4], v[(19 - i) % 4]) + x[kOrder2[i]] + kRound2,
                 kShift2[i % 4]);
    }
    for (int i = 0; i < 16; ++i) {
        std::uint32_t& a = v[(16 - i) % 4];
        a = Rotl(a + H(v[(17 - i) % 4], v[(18 - i) % 4], v[(19 - i) % 4]) + x[kOrder3[i]] + kRound3,
                 kShift3[i % 4]);
    }
    for (int i = 0; i < 4; ++i) State[i] += v[i];
}

void TMd4Context::Update(std::string_view Data) {
    if (!Initialized) throw MD4Exception("MD4 not initialized");
    const auto* p = reinterpret_cast<const std::uint8_t*>(Data.data());
    std::size_t left = Data.size();
    std::size_t used = (BitCount / 8) % 64;
    BitCount += static_cast<std::uint64_t>(left) * 8;
    while (left > 0) {
        const std::size_t take = std::min(left, 64 - used);
        std::memcpy(Block + used, p, take);
        used += take;
        p += take;
        left -= take;
        if (used == 64) {
            Transform(Block);
            used = 0;
        }
    }
}

TMd4Digest TMd4Context::Final() {
    if (!Initialized) throw MD4Exception("MD4 not initialized");
    const std::uint64_t bits = BitCount;
    // A single 1 bit, zeros up to 56 bytes mod 64, then the length in bits, low byte first.
    const std::size_t used = (bits / 8) % 64;
    const std::size_t padding = used < 56 ? 56 - used : 120 - used;
    char tail[72] = {};
    tail[0] = static_cast<char>(0x80);
    for (int i = 0; i < 8; ++i) tail[padding + i] = static_cast<char>(bits >> (8 * i));
    Update(std::string_view(tail, padding + 8));
    TMd4Digest digest;
    for (int i = 0; i < 16; ++i)
        digest[i] = static_cast<std::uint8_t>(State[i / 4] >> (8 * (i % 4)));
    *this = TMd4Context{};
    return digest;
}

TMd4Digest Md4Digest(std::string_view Data) {
    TMd4Context context;
    context.Init();
    context.Update(Data);
    return context.Final();
}
