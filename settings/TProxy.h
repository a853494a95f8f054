// An HTTP proxy as handed to an extractor or a download; all fields empty means a direct
// connection. A plain value, copied to worker threads.
#pragma once

#include <string>

struct TProxy {
    std::string Address;
    std::string Port;
    std::string Username;
    std::string Password;

    bool operator==(const TProxy&) const = default;
};
