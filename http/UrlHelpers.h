// URL splitting, Base64 and the HTTP date text that the HTTP engine rests on.
// Pure functions on 8-bit strings: no state, no exceptions, callable from any thread.
// Positions returned by FindLast count from 1; 0 means "not found".
#pragma once

#include <cstddef>
#include <string>

// Splits a URL into its parts. The previous value of `path` is the base that "./" and "../"
// forms are resolved against; every output is cleared first.
void DecomposeUrl(const std::string& url, std::string& protocol, std::string& user,
                  std::string& password, std::string& host, std::string& port, std::string& path);

// Position (from 1) of the last occurrence of `sub` in `text`; 0 when absent or `sub` is empty.
std::size_t FindLast(const std::string& sub, const std::string& text);

// The text up to and including the last "/" or ":" before the first "?"; empty when none.
std::string UrlBaseOf(const std::string& url);

// Replaces the extension of `name` (after its last ".") or appends one.
void SetDocExtension(std::string& name, const std::string& ext);

// A URI reference cut into its RFC 3986 components; a fragment is dropped.
struct TUriParts {
    std::string Scheme;  // lower-cased; empty for a relative reference
    bool HasAuthority = false;
    std::string User, Password, Host, Port;
    std::string Path;
    bool HasQuery = false;
    std::string Query;
};

TUriParts SplitUriReference(const std::string& Ref);
// The target of Ref seen from Base (RFC 3986 section 5.2), dot segments removed.
TUriParts ResolveUriReference(const TUriParts& Base, const TUriParts& Ref);
std::string RemoveDotSegments(const std::string& Path);
// Percent-encodes the bytes a request line cannot carry: controls, blanks, DEL and non-ASCII.
std::string EncodeUnsafeUrlBytes(const std::string& Text);
// A user name or password as written in an address, percent-decoded (RFC 3986 3.2.1): "%40"
// is "@". A "%" not followed by two hex digits stays as it is.
std::string DecodeUserInfo(const std::string& Text);

bool IsHexChar(char c);
// Value 0-15 of a character for which IsHexChar holds.
int HexCharValue(char c);

std::string EncodeBase64(const std::string& data);
// Groups of four characters; a partial last group yields the whole bytes it holds (two
// characters give one byte, three give two) and a lone character yields nothing.
std::string DecodeBase64(const std::string& text);

// 'Sun, 06 Nov 1994 08:49:37' for a date-time counted in days from 1899-12-30, the time of day
// as the fraction. No time-zone conversion; the caller appends " GMT".
std::string FormatHttpDate(double dateTime);
