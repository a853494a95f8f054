// PC1 (128-bit key) over 16-bit wrapping arithmetic. Each call starts from the initial state.
#include "settings/uCrypt.h"

#include <array>
#include <cstdint>

namespace {

constexpr size_t kBlock = 24;

// Six bytes of our own constant, then ten zero bytes. Changing them makes passwords saved by
// other builds unreadable.
constexpr std::array<uint8_t, 16> kInitialKey = {0x53, 0x6f, 0x72, 0x4c, 0x65, 0x6e, 0, 0,
                                                 0,    0,    0,    0,    0,    0,    0, 0};

class TPc1 {
public:
    // Runs the assemble step and gives cfc XOR cfd, the byte mixed into the text byte.
    uint8_t NextMask() {
        Assemble();
        return static_cast<uint8_t>((Inter >> 8) ^ (Inter & 0xff));
    }
    // The clear-text byte feeds back into the key.
    void MixKey(uint8_t clear) {
        for (uint8_t& k : Key) k ^= clear;
    }

private:
    uint16_t Code() {
        const uint16_t a = X1a0[I];
        const uint16_t t = static_cast<uint16_t>((X1a2 + I) * 0x4E35);
        const uint16_t u = static_cast<uint16_t>(a * 0x015A);
        const uint16_t d = static_cast<uint16_t>(Si + u + t);
        Si = u;
        X1a2 = d;
        X1a0[I] = static_cast<uint16_t>(a * 0x4E35 + 1);
        const uint16_t res = X1a0[I] ^ d;
        ++I;
        return res;
    }
    void Assemble() {
        I = 0;
        X1a0[0] = static_cast<uint16_t>(Key[0] * 256 + Key[1]);
        Inter = Code();
        for (int k = 1; k < 8; ++k) {
            X1a0[k] = static_cast<uint16_t>(X1a0[k - 1] ^ (Key[2 * k] * 256 + Key[2 * k + 1]));
            Inter ^= Code();
        }
    }

    std::array<uint8_t, 16> Key = kInitialKey;
    std::array<uint16_t, 8> X1a0{};
    uint16_t X1a2 = 0;
    uint16_t Si = 0;
    uint16_t Inter = 0;
    int I = 0;
};

}  // namespace

std::string EncryptSetting(const std::string& text) {
    if (text.empty()) return std::string();
    std::string padded = text;
    if (padded.size() % kBlock != 0) padded.append(kBlock - padded.size() % kBlock, '\0');

    TPc1 cipher;
    std::string out;
    out.reserve(padded.size() * 2);
    for (const char ch : padded) {
        const uint8_t clear = static_cast<uint8_t>(ch);
        const uint8_t mask = cipher.NextMask();
        cipher.MixKey(clear);
        const uint8_t c = clear ^ mask;
        out += static_cast<char>('A' + (c >> 4));
        out += static_cast<char>('A' + (c & 15));
    }
    return out;
}

std::string DecryptSetting(const std::string& text) {
    if (text.empty()) return std::string();
    TPc1 cipher;
    std::string out;
    out.reserve(text.size() / 2);
    for (size_t i = 0; i + 1 < text.size(); i += 2) {
        const int high = static_cast<uint8_t>(text[i]) - 'A';
        const int low = static_cast<uint8_t>(text[i + 1]) - 'A';
        uint8_t c = static_cast<uint8_t>((high * 16 + low) & 0xff);
        c ^= cipher.NextMask();
        cipher.MixKey(c);
        out += static_cast<char>(c);
    }
    size_t begin = 0;
    size_t end = out.size();
    while (begin < end && static_cast<uint8_t>(out[begin]) <= ' ') ++begin;
    while (end > begin && static_cast<uint8_t>(out[end - 1]) <= ' ') --end;
    return out.substr(begin, end - begin);
}
