// NTLM version 1 messages for the HTTP engine's authentication exchanges: the negotiate and
// authenticate messages it sends, the challenge it decodes, and the responses and hashes under
// them. Pure functions on byte strings; callable from any thread.
#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <string>

#include "crypto/Des.h"

using TNtlmChallenge = std::array<std::uint8_t, 8>;

// A decoded challenge (type 2) message; only ServerChallenge is used to answer.
struct TNTLM_Msg2_Info {
    bool Decoded = false;  // a challenge text was present
    std::u16string TargetName;
    std::u16string AvDomainName;    // target information entry of type 2
    std::u16string AvComputerName;  // target information entry of type 1
    TNtlmChallenge ServerChallenge{};
};

// Base64 text of the 32-byte negotiate message; it never changes.
std::string BuildNtlmNegotiate();

// Reads the Base64 text that follows "NTLM " in a challenge. The bytes come from the network:
// fields that would lie beyond them stay empty.
TNTLM_Msg2_Info DecodeNtlmChallenge(const std::string& Text);

// Base64 text of the authenticate message. Domain, host and user are sent as UTF-16LE text
// (see Utf16LeOf).
std::string BuildNtlmAuthenticate(const std::string& Domain, const std::string& Host,
                                  const std::string& User, const std::string& Password,
                                  const TNtlmChallenge& Challenge);

// The 24-byte responses to a challenge.
std::string LmResponse(const std::string& Password, const TNtlmChallenge& Challenge);
std::string NtResponse(const std::string& Password, const TNtlmChallenge& Challenge);

// The 16-byte password hashes the responses are made from. LM upper-cases only "a"-"z" and uses
// the first 14 bytes; NT digests the whole password as UTF-16LE.
std::string LmHash(const std::string& Password);
std::string NtHash(const std::string& Password);

// Spreads 56 key bits over eight bytes, seven bits each from the top; parity bits stay 0.
TDesBlock DesKeyFrom7(std::span<const std::uint8_t, 7> Key);

// Each byte followed by a zero byte.
std::string WidenAscii(const std::string& Text);

// The settings hold UTF-8: valid UTF-8 becomes UTF-16LE (with surrogate pairs beyond U+FFFF);
// anything else is widened byte by byte as WidenAscii does.
std::string Utf16LeOf(const std::string& Text);
