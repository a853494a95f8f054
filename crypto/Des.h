// DES (FIPS 46-3) on one 8-byte block, encrypting direction only: what NTLM's responses need.
// A pure function, callable from any thread. The low bit of every key byte is the parity bit
// and is ignored, as the standard says.
#pragma once

#include <array>
#include <cstdint>

using TDesBlock = std::array<std::uint8_t, 8>;

TDesBlock DesEncrypt(const TDesBlock& Key, const TDesBlock& Plain);
