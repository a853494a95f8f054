// The HTTP worker thread; see THttpThread.h.
#include "download/THttpThread.h"

#include <cstdio>
#include <cstring>
#include <thread>

#include "download/uHttpClient.h"
#include "platform/UiThread.h"
#include "settings/uHelpers.h"

namespace {
std::atomic<int> LiveThreads{0};
// The worker running on this thread, so that a cancel from inside a callback acts at once.
thread_local THttpThread* CurrentWorker = nullptr;
}  // namespace

THttpThread::THttpThread(const TUrlInfo& request, TUiThread& ui) : Request(request), Ui(ui) {
    ++LiveThreads;
}

THttpThread::~THttpThread() {
    --LiveThreads;
}

int THttpThread::LiveCount() {
    return LiveThreads.load();
}

void THttpThread::Resume() {
    // A second start would run the body twice and free the thread twice.
    if (!FStarted.exchange(true)) std::thread(&THttpThread::Main, this).detach();
}

void THttpThread::SetRequest(const TUrlInfo& request) {
    Request = request;
    if (Client) Client->Cookie = Request.Cookies;
}

void THttpThread::CancelRequest() {
    if (FTerminated) return;
    if (CurrentWorker == this && Client) {
        Client->Abort();
        return;
    }
    FCancelWanted = true;
    // The worker sleeps until an event: an empty task is one, and the pass after it cancels.
    std::lock_guard<std::mutex> lock(FLoopLock);
    FLoop.PostTask([] {});
}

std::string_view THttpThread::BodyBytes() const {
    return Body ? std::string_view(Body->Data()) : std::string_view();
}

void THttpThread::Main(THttpThread* self) {
    self->Execute();
    // The end notification runs on the UI thread while this thread waits, then the worker
    // frees itself: nothing of it may be used after OnTerminate.
    if (self->OnTerminate) self->Ui.RunAndWait([self] { self->OnTerminate(self); });
    delete self;
}

void THttpThread::Execute() {
    CurrentWorker = this;
    {
        std::lock_guard<std::mutex> lock(FLoopLock);
        FLoop = TEventLoop::Current().Ref();
        // A cancel that came before the loop was known still needs its wake-up.
        if (FCancelWanted) FLoop.PostTask([] {});
    }
    Client = std::make_unique<THttpClient>();
    THttpClient& c = *Client;
    c.URL = Request.Url;
    UseProxy(c, RequestProxy(Request));
    c.NoCache = true;
    c.Cookie = Request.Cookies;
    c.OnLocationChange = [this](THttpCli*) { CopyHeader(); };
    c.OnHeaderEnd = [this](THttpCli*) { HeaderEnded(); };
    if (!Request.FileName.empty()) {
        c.OnDocBegin = [this](THttpCli*) { OpenFile(); };
        c.OnDocData = [this](THttpCli*, const char* data, int length) { WriteBlock(data, length); };
    } else {
        Body = std::make_unique<TMemoryStream>();
        c.ReceiveStream = Body.get();
    }
    c.OnWaitPass = [this] { PumpPass(); };

    int32_t errorCode = 0;
    try {
        c.GetSync();
        // An empty body has no first block to ask for the file at: the empty file is asked
        // for and made now.
        if (!Request.FileName.empty() && !OutputFile && !AbortFlag) {
            OpenFile();
            if (!OutputFile) errorCode = 404;
        }
    } catch (const std::exception&) {
        errorCode = c.StatusCode();
    }
    if (OutputFile) {
        // The last gathered bytes go to the file now: a disk that refuses them is a failed
        // download, like a failed write in the middle. The file is closed before the owner
        // hears of the end, so that removing it gives the space back at once.
        if (!OutputFile->Flush()) {
            if (errorCode == 0) errorCode = 404;
            FileError = std::strerror(OutputFile->WriteError());
        }
        OutputFile.reset();
    }
    if (OnDone) OnDone(this, errorCode);
    Client.reset();
    FTerminated = true;
    CurrentWorker = nullptr;
}

// Runs between the waits of the blocking GET: the UI thread's cancel takes effect here, on the
// session's own thread, also while the session is paused.
void THttpThread::PumpPass() {
    if (FCancelWanted.exchange(false)) Client->Abort();
}

void THttpThread::CopyHeader() {
    HeaderLines = Client->ReceivedHeader();
    if (OnHeaders) OnHeaders(this);
}

void THttpThread::HeaderEnded() {
    CopyHeader();
    const int status = Client->StatusCode();
    if (OnSize && (status == 0 || status == 200 || status == 206)) {
        Client->PauseReceive();
        TotalSize =
            Client->InstanceLength() > 0 ? Client->InstanceLength() : Client->ContentLength64();
        OnSize(this);
        Client->ResumeReceive();
    }
}

void THttpThread::OpenFile() {
    if (AbortFlag || FileAsked) return;
    Client->PauseReceive();
    if (OnAskFile) {
        bool abort = false;
        OnAskFile(this, abort);
        AbortFlag = abort;
        FileAsked = true;
    }
    // A cancel that came while the owner was being asked must not leave a file behind.
    if (FCancelWanted.exchange(false)) AbortFlag = true;
    if (AbortFlag) {
        Client->Abort();
        return;
    }
    try {
        OutputFile =
            std::make_unique<TMyFileStream>(Request.FileName, fmOpenReadWrite | fmShareDenyNone);
    } catch (const EFOpenError&) {
        try {
            TMyFileStream(Request.FileName, fmCreate);
            OutputFile = std::make_unique<TMyFileStream>(Request.FileName,
                                                         fmOpenReadWrite | fmShareDenyNone);
        } catch (const std::runtime_error&) {
            OutputFile.reset();
        }
    }
    if (!OutputFile) {
        if (OnErrorBox)
            OnErrorBox("Error saving file...!", "Sorlen");
        else
            std::fprintf(stderr, "Sorlen: Error saving file...! (%s)\n", Request.FileName.c_str());
        AbortFlag = true;
        Client->Abort();
        return;
    }
    // An existing file is opened, not replaced: without cutting it, a shorter download would
    // keep the old file's tail behind the new bytes.
    OutputFile->SetSize(0);
    OutputFile->Seek(0, soBeginning);
    Client->ResumeReceive();
}

void THttpThread::WriteBlock(const char* data, int length) {
    if (AbortFlag || Client->StatusCode() >= 300 || !OutputFile) return;
    int64_t written = OutputFile->Write(data, length);
    if (written > 0) {
        Received += static_cast<uint64_t>(written);
        if (OnProgress) OnProgress(this, AbortFlag, Received);
    } else {
        CancelRequest();
    }
    if (AbortFlag) CancelRequest();
}
