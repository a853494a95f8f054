// Address and port texts reach the socket from web pages (the host and port of a URL). The
// dotted-address test and the numeric resolution paths must accept or refuse any bytes without
// a crash, and whatever the dotted test accepts must convert. Names and service names are not
// fed: they would go to the system resolver.
#include <cstddef>
#include <cstdint>
#include <string>

#include "net/TWSocket.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* Data, std::size_t Size) {
    std::string text(reinterpret_cast<const char*>(Data), Size);
    if (IsDottedAddress(text)) {
        // Beyond 256 bytes the length rule refuses the text before any conversion.
        if (text.size() <= 256) WSocketResolveHost(text);
    }
    if (!text.empty() && text[0] >= '0' && text[0] <= '9') {
        try {
            WSocketResolvePort(text, "tcp");
        } catch (const ESocketException&) {
        }
        try {
            WSocketResolveProto(text);
        } catch (const ESocketException&) {
        }
    }
    return 0;
}
