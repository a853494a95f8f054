// The NTLM challenge text comes from a 401 or 407 header line, so any bytes may arrive. The
// decoder must stay inside the decoded bytes, end its target-information walk, and never hand
// back a field longer than the bytes it came from.
#include <cstddef>
#include <cstdint>
#include <string>

#include "http/Ntlm.h"
#include "http/UrlHelpers.h"

namespace {

// A decoded challenge of DecodedSize bytes cannot give a field longer than that.
void Check(const std::string& Challenge, std::size_t DecodedSize) {
    const TNTLM_Msg2_Info info = DecodeNtlmChallenge(Challenge);
    if (info.Decoded != !Challenge.empty()) __builtin_trap();
    if (info.TargetName.size() > DecodedSize || info.AvDomainName.size() > DecodedSize ||
        info.AvComputerName.size() > DecodedSize)
        __builtin_trap();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* Data, std::size_t Size) {
    const std::string bytes(reinterpret_cast<const char*>(Data), Size);
    // The raw bytes as a text, and the same bytes as the Base64 text a server would send.
    Check(bytes, DecodeBase64(bytes).size());
    Check(EncodeBase64(bytes), Size);
    return 0;
}
