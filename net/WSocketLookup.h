// Blocking name and number resolution for the socket layers, any thread. Each raises
// ESocketException (net/TCustomWSocket.h) with its own text. The socket's asynchronous lookups
// (TCustomWSocket::DnsLookup) are defined beside them in net/WSocketLookup.cpp.
#pragma once

#include <array>
#include <cstdint>
#include <string>

bool IsDottedAddress(const std::string& Text);
// IPv4 address in network byte order.
std::uint32_t WSocketResolveHost(const std::string& Text);
// Port number in host byte order.
std::uint16_t WSocketResolvePort(const std::string& Port, const std::string& Proto);
int WSocketResolveProto(const std::string& Text);
std::string LocalHostName();
// Dotted text of an IPv4 address in network byte order.
std::string DottedAddress(std::uint32_t NetAddr);
// An IPv6 address literal, bare or in brackets ("::1", "[::1]"), into its 16 bytes.
using TIpv6Bytes = std::array<std::uint8_t, 16>;
bool ParseIpv6Literal(const std::string& Text, TIpv6Bytes& Bytes);
// Names handed to the system resolver by this process so far, by any thread: lets a test show
// that a name went elsewhere (to a SOCKS server) without being looked up here.
std::uint64_t WSocketNameLookups();
