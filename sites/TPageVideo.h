// Base of the extractors that fetch one page into memory on a THttpThread: it starts the worker
// with the proxy applied, cancels it, and reports once the worker has ended. Start and Cancel
// run on the UI thread, PageDone on the worker. The worker is not owned: it frees itself after
// its end notification.
#pragma once

#include <cstdint>

#include "download/THttpThread.h"
#include "sites/TVideo.h"

class TPageVideo : public TVideo {
public:
    void Cancel() override;

    THttpThread* Thread = nullptr;

protected:
    // Clears Cancelled and starts the worker on request, through Proxy when one is set.
    // onHeaders, when set, runs on the worker once the response headers are in.
    void Fetch(TUrlInfo request, THttpThread::TNotifyEvent onHeaders = nullptr);
    virtual void PageDone(THttpThread* thread, int32_t errorCode) = 0;

private:
    void ThreadEnded();
};
