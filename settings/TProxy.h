// An HTTP proxy and a SOCKS server as handed to an extractor or a download; all fields empty
// means a direct connection. A plain value, copied to worker threads.
#pragma once

#include <string>

struct TProxy {
    std::string Address;
    std::string Port;
    std::string Username;
    std::string Password;
    // A SOCKS server every connection goes through (to the HTTP proxy, when there is one);
    // empty SocksAddress: none. Level "4", "4A" or "5".
    std::string SocksAddress{};
    std::string SocksPort{};
    std::string SocksLevel{};
    std::string SocksUsername{};
    std::string SocksPassword{};

    bool operator==(const TProxy&) const = default;
};
