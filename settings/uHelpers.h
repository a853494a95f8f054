// Address splitting, proxy settings for a request, title-to-file-name cleaning, and hex
// digits. Pure functions, any thread.
#pragma once

#include <string>
#include <string_view>

#include "platform/AsciiText.h"
#include "settings/TProxy.h"
#include "settings/TUrlInfo.h"

// Fills Url, Scheme, Host and Path the way the desktop's URL cracker does with no decoding:
// Host is what lies between "://" (after any user:password@) and the next ":" or "/", Path is
// everything after host and port, trimmed. Text that is not an absolute address gives
// Scheme 0 and empty Host and Path. The other fields are left empty.
TUrlInfo SplitUrl(const std::string& text);

// Gives Request the HTTP proxy of Proxy when it has an address and its SOCKS server when it has
// one; fields of a part Proxy leaves empty stay as they are.
void ApplyProxy(const TProxy& Proxy, TUrlInfo& Request);
// The other way: the HTTP proxy and SOCKS server Request carries.
TProxy RequestProxy(const TUrlInfo& Request);

// Replaces each of \ | / ? > < : " * (and NUL, which no Linux file name can hold) with "_";
// everything else stays, and the length does not change.
std::string CleanFileName(const std::string& text);

// The value of a hexadecimal digit, either case; -1 for any other character.
int HexDigit(char c);
