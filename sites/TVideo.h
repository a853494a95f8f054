// The extractor contract: an owner (the main window) sets PageUrl, Proxy, UiThread and OnDone,
// calls Start, may Cancel, and gets exactly one OnDone on the UI thread, possibly before Start
// returns. The owner owns the extractor and may release it inside OnDone. Also SplitLines, the
// extractors' line cutter; the system cookie store they read is settings/uSystem's
// GetSystemCookies.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "settings/TProxy.h"

class TUiThread;

// Values of TVideo::ErrorCode.
constexpr int32_t vidSuccess = 0;
constexpr int32_t vidCancelled = 1;
constexpr int32_t vidFailed = 2;

class TVideo {
public:
    using TDoneEvent = std::function<void(TVideo* video, int32_t errorCode)>;

    TVideo() = default;
    virtual ~TVideo() = default;
    TVideo(const TVideo&) = delete;
    TVideo& operator=(const TVideo&) = delete;

    std::string PageUrl;
    TProxy Proxy;
    // Where the extractor's workers report (OnDone comes from there); not owned, set before
    // Start, and it must outlive the workers.
    TUiThread* UiThread = nullptr;
    std::string MediaUrl;  // results, valid inside OnDone with vidSuccess
    std::string Title;
    std::string Cookies;
    std::atomic<bool> Cancelled{false};  // written on the UI thread, read by the worker
    int32_t ErrorCode = vidSuccess;
    // Why the last page request failed in the TLS handshake or at a proxy's CONNECT; empty
    // otherwise.
    std::string SecureFailure;
    TDoneEvent OnDone;

    // Begins fetching and parsing; returns at once. Clears Cancelled.
    virtual void Start() = 0;
    // Aborts the running fetch; the report follows with vidCancelled.
    virtual void Cancel() = 0;

protected:
    // The one reporting step, on the UI thread: a set Cancelled turns the code into vidCancelled,
    // then OnDone runs. A second call does nothing. The owner may delete this object inside
    // OnDone, so the caller must not touch the extractor after ReportDone returns.
    void ReportDone();

private:
    bool Reported = false;
};

// Appends the lines of buffer to list. CR, LF and CR LF each end a line; text after the last
// break is a last line; a trailing break adds no empty line.
void SplitLines(std::vector<std::string>& list, std::string_view buffer);
