// Extractor base: the single report, and the line cutter.
#include "sites/TVideo.h"

void TVideo::ReportDone() {
    if (Reported) return;
    Reported = true;
    if (Cancelled) ErrorCode = vidCancelled;
    // Copies: the handler may delete this object while it runs.
    TDoneEvent done = OnDone;
    const int32_t code = ErrorCode;
    if (done) done(this, code);
}

void SplitLines(std::vector<std::string>& list, std::string_view buffer) {
    size_t start = 0;
    size_t i = 0;
    while (i < buffer.size()) {
        const char c = buffer[i];
        if (c != '\r' && c != '\n') {
            ++i;
            continue;
        }
        list.emplace_back(buffer.substr(start, i - start));
        i += (c == '\r' && i + 1 < buffer.size() && buffer[i + 1] == '\n') ? 2 : 1;
        start = i;
    }
    if (start < buffer.size()) list.emplace_back(buffer.substr(start));
}
