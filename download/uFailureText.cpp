// Failure wording; see uFailureText.h.
#include "download/uFailureText.h"

#include "http/THttpCli.h"
#include "settings/uHelpers.h"

std::string DescribeFailure(const THttpCli& client) {
    const std::string& reason = client.ReasonPhrase();
    std::string status = std::to_string(client.StatusCode());
    if (!reason.empty()) status += " " + reason;
    // The engine reports its own failures through the same two fields; only a status line that
    // reads exactly so came from the server.
    const auto& header = client.ReceivedHeader();
    const bool fromServer = client.RequestError() == 0 && !header.empty() && header[0].size() > 9 &&
                            header[0].compare(9, std::string::npos, status) == 0;
    if (!fromServer) return reason;
    return client.StatusCode() >= 300 ? status : std::string();
}

std::string FailureHost(const THttpCli& client) {
    return SplitUrl(client.Location()).Host;
}
