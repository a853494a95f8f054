// Scrambling of the proxy password stored in Settings.ini: the PC1 stream cipher with a fixed
// 128-bit key, written as letters "A".."P". Pure functions, any thread.
#pragma once

#include <string>

// Pads to a multiple of 24 bytes with zero bytes and gives two letters per byte.
std::string EncryptSetting(const std::string& text);
// Inverse of EncryptSetting; blanks and control bytes at both ends of the result are removed
// (the padding, and blanks the password itself had at its ends). Any input is decoded.
std::string DecryptSetting(const std::string& text);
