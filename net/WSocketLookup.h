// Blocking name and number resolution for the socket layers, any thread. Each raises
// ESocketException (net/TCustomWSocket.h) with its own text. The socket's asynchronous lookups
// (TCustomWSocket::DnsLookup) are defined beside them in net/WSocketLookup.cpp.
#pragma once

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
