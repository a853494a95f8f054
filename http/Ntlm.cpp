// NTLM version 1 message building and challenge decoding (see Ntlm.h). All integers in the
// messages are little-endian; a buffer descriptor is length, allocated length, offset.
#include "http/Ntlm.h"

#include <cstring>
#include <optional>

#include "crypto/Md4.h"
#include "http/UrlHelpers.h"

namespace {

constexpr char kSignature[8] = {'N', 'T', 'L', 'M', 'S', 'S', 'P', '\0'};
// Negotiate: Unicode, OEM, request target, NTLM, always sign. Authenticate: the same but OEM.
constexpr std::uint32_t kNegotiateFlags = 0x8207;
constexpr std::uint32_t kAuthenticateFlags = 0x8205;
constexpr int kAuthenticateHeaderSize = 64;
constexpr int kResponseSize = 24;
// A buffer descriptor's length has 16 bits; a longer field is cut at an even length.
constexpr std::size_t kMaxFieldBytes = 0xFFFE;

void PutLe(std::string& out, std::size_t at, std::uint32_t value, int bytes) {
    for (int i = 0; i < bytes; ++i) out[at + i] = static_cast<char>(value >> (8 * i));
}

void PutDescriptor(std::string& out, std::size_t at, std::size_t length, std::size_t offset) {
    PutLe(out, at, static_cast<std::uint32_t>(length), 2);
    PutLe(out, at + 2, static_cast<std::uint32_t>(length), 2);
    PutLe(out, at + 4, static_cast<std::uint32_t>(offset), 4);
}

// A little-endian field of the decoded bytes, or nothing when it reaches past their end.
std::optional<std::uint32_t> GetLe(const std::string& bytes, std::uint64_t at, int size) {
    if (at + size > bytes.size()) return std::nullopt;
    std::uint32_t v = 0;
    for (int i = size - 1; i >= 0; --i) v = (v << 8) | static_cast<unsigned char>(bytes[at + i]);
    return v;
}

std::u16string WidenUnits(const std::string& bytes, std::uint64_t at, std::uint64_t length) {
    std::u16string out;
    for (std::uint64_t i = 0; i < length; ++i)
        out += static_cast<char16_t>(static_cast<unsigned char>(bytes[at + i]));
    return out;
}

// Appends DES of Plain under the 7 key bytes at Key[At].
void AppendDes7(std::string& Out, const std::string& Key, std::size_t At, const TDesBlock& Plain) {
    std::array<std::uint8_t, 7> key;
    std::memcpy(key.data(), Key.data() + At, 7);
    const TDesBlock block = DesEncrypt(DesKeyFrom7(key), Plain);
    Out.append(reinterpret_cast<const char*>(block.data()), block.size());
}

// DES of the challenge under the three 7-byte thirds of the hash padded to 21 bytes.
std::string ResponseFromHash(std::string hash, const TNtlmChallenge& challenge) {
    hash.resize(21, '\0');
    std::string out;
    for (int third = 0; third < 3; ++third) AppendDes7(out, hash, third * 7, challenge);
    return out;
}

// The code point of the UTF-8 sequence at text[at], advancing at; nothing for a malformed,
// overlong or surrogate sequence.
std::optional<char32_t> NextCodePoint(const std::string& text, std::size_t& at) {
    const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[i]); };
    const unsigned lead = byte(at);
    int extra;
    char32_t cp, min;
    if (lead < 0x80) {
        ++at;
        return lead;
    } else if ((lead & 0xE0) == 0xC0) {
        extra = 1, cp = lead & 0x1F, min = 0x80;
    } else if ((lead & 0xF0) == 0xE0) {
        extra = 2, cp = lead & 0x0F, min = 0x800;
    } else if ((lead & 0xF8) == 0xF0) {
        extra = 3, cp = lead & 0x07, min = 0x10000;
    } else {
        return std::nullopt;
    }
    if (at + extra >= text.size()) return std::nullopt;
    for (int i = 1; i <= extra; ++i) {
        if ((byte(at + i) & 0xC0) != 0x80) return std::nullopt;
        cp = (cp << 6) | (byte(at + i) & 0x3F);
    }
    if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return std::nullopt;
    at += extra + 1;
    return cp;
}

void AppendUnit(std::string& out, char32_t unit) {
    out += static_cast<char>(unit & 0xFF);
    out += static_cast<char>(unit >> 8);
}

}  // namespace

std::string WidenAscii(const std::string& Text) {
    std::string out;
    out.reserve(Text.size() * 2);
    for (char c : Text) {
        out += c;
        out += '\0';
    }
    return out;
}

std::string Utf16LeOf(const std::string& Text) {
    std::string out;
    out.reserve(Text.size() * 2);
    for (std::size_t at = 0; at < Text.size();) {
        const std::optional<char32_t> cp = NextCodePoint(Text, at);
        if (!cp) return WidenAscii(Text);
        if (*cp < 0x10000) {
            AppendUnit(out, *cp);
        } else {
            AppendUnit(out, 0xD800 + ((*cp - 0x10000) >> 10));
            AppendUnit(out, 0xDC00 + ((*cp - 0x10000) & 0x3FF));
        }
    }
    return out;
}

TDesBlock DesKeyFrom7(std::span<const std::uint8_t, 7> k) {
    TDesBlock b;
    b[0] = k[0];
    for (int i = 1; i < 7; ++i) b[i] = static_cast<std::uint8_t>(k[i - 1] << (8 - i) | k[i] >> i);
    b[7] = static_cast<std::uint8_t>(k[6] << 1);
    for (std::uint8_t& byte : b) byte &= 0xFE;
    return b;
}

std::string LmHash(const std::string& Password) {
    // The LanManager constant "KGS!@#$%".
    static constexpr TDesBlock kMagic = {0x4B, 0x47, 0x53, 0x21, 0x40, 0x23, 0x24, 0x25};
    std::string p = Password.substr(0, 14);
    for (char& c : p)
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 32);
    p.resize(14, '\0');
    std::string hash;
    for (int half = 0; half < 2; ++half) AppendDes7(hash, p, half * 7, kMagic);
    return hash;
}

std::string NtHash(const std::string& Password) {
    const TMd4Digest digest = Md4Digest(Utf16LeOf(Password));
    return std::string(reinterpret_cast<const char*>(digest.data()), digest.size());
}

std::string LmResponse(const std::string& Password, const TNtlmChallenge& Challenge) {
    return ResponseFromHash(LmHash(Password), Challenge);
}

std::string NtResponse(const std::string& Password, const TNtlmChallenge& Challenge) {
    return ResponseFromHash(NtHash(Password), Challenge);
}

std::string BuildNtlmNegotiate() {
    std::string message(32, '\0');
    std::memcpy(message.data(), kSignature, sizeof kSignature);
    PutLe(message, 8, 1, 4);
    PutLe(message, 12, kNegotiateFlags, 4);
    return EncodeBase64(message);
}

TNTLM_Msg2_Info DecodeNtlmChallenge(const std::string& Text) {
    TNTLM_Msg2_Info info;
    info.Decoded = !Text.empty();
    if (!info.Decoded) return info;
    const std::string bytes = DecodeBase64(Text);

    const auto nameLength = GetLe(bytes, 12, 2);
    const auto nameOffset = GetLe(bytes, 16, 4);
    if (nameLength && nameOffset && std::uint64_t{*nameOffset} + *nameLength <= bytes.size())
        info.TargetName = WidenUnits(bytes, *nameOffset, *nameLength);

    if (bytes.size() >= 32) std::memcpy(info.ServerChallenge.data(), bytes.data() + 24, 8);

    const auto infoOffset = GetLe(bytes, 44, 4);
    if (!infoOffset) return info;
    // Every entry moves the position on by at least four bytes, so the walk ends.
    for (std::uint64_t at = *infoOffset;;) {
        const auto type = GetLe(bytes, at, 2);
        const auto length = GetLe(bytes, at + 2, 2);
        if (!type || !length || (*type == 0 && *length == 0)) break;
        if (at + 4 + *length > bytes.size()) break;
        if (*type == 1) info.AvComputerName = WidenUnits(bytes, at + 4, *length);
        if (*type == 2) info.AvDomainName = WidenUnits(bytes, at + 4, *length);
        at += 4 + *length;
    }
    return info;
}

std::string BuildNtlmAuthenticate(const std::string& Domain, const std::string& Host,
                                  const std::string& User, const std::string& Password,
                                  const TNtlmChallenge& Challenge) {
    const auto field = [](const std::string& text) {
        std::string wide = Utf16LeOf(text);
        if (wide.size() > kMaxFieldBytes) wide.resize(kMaxFieldBytes);
        return wide;
    };
    const std::string d = field(Domain), u = field(User), h = field(Host);
    std::string message(kAuthenticateHeaderSize, '\0');
    std::memcpy(message.data(), kSignature, sizeof kSignature);
    PutLe(message, 8, 3, 4);
    const std::size_t payload = kAuthenticateHeaderSize;
    const std::size_t responses = payload + d.size() + u.size() + h.size();
    PutDescriptor(message, 12, kResponseSize, responses);
    PutDescriptor(message, 20, kResponseSize, responses + kResponseSize);
    PutDescriptor(message, 28, d.size(), payload);
    PutDescriptor(message, 36, u.size(), payload + d.size());
    PutDescriptor(message, 44, h.size(), payload + d.size() + u.size());
    PutLe(message, 60, kAuthenticateFlags, 4);
    message += d + u + h + LmResponse(Password, Challenge) + NtResponse(Password, Challenge);
    return EncodeBase64(message);
}
