// Page-fetching extractor base; see TPageVideo.h.
#include "sites/TPageVideo.h"

#include <utility>

#include "settings/uHelpers.h"

void TPageVideo::Fetch(TUrlInfo request, THttpThread::TNotifyEvent onHeaders) {
    Cancelled = false;
    ApplyProxy(Proxy, request);
    Thread = new THttpThread(request, *UiThread);
    Thread->OnDone = [this](THttpThread* t, int32_t code) {
        SecureFailure = t->SecureFailure;
        PageDone(t, code);
    };
    Thread->OnTerminate = [this](THttpThread*) { ThreadEnded(); };
    Thread->OnHeaders = std::move(onHeaders);
    Thread->Resume();
}

void TPageVideo::Cancel() {
    Cancelled = true;
    if (Thread) Thread->CancelRequest();
}

void TPageVideo::ThreadEnded() {
    Thread = nullptr;
    ReportDone();
}
