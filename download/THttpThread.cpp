// The HTTP worker thread; see THttpThread.h.
#include "download/THttpThread.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <thread>

#include "download/uHttpClient.h"
#include "http/THttpResponse.h"
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
    if (CurrentWorker == this) {
        Cancelled = true;
        if (Client) Client->Abort();
        AbortLinks();
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
    SessionStart = Received;
    const int32_t errorCode = Request.FileName.empty() ? FetchIntoMemory() : FetchIntoFile();
    if (OnDone) OnDone(this, errorCode);
    Links.clear();
    Client.reset();
    FTerminated = true;
    CurrentWorker = nullptr;
}

void THttpThread::NewClient() {
    Client = std::make_unique<THttpClient>();
    THttpClient& c = *Client;
    Configure(c, Request.Url);
    c.OnLocationChange = [this](THttpCli*) {
        Relocated = true;
        CopyHeader();
    };
    c.OnHeaderEnd = [this](THttpCli*) { HeaderEnded(); };
    c.OnWaitPass = [this] { PumpPass(); };
}

// Every connection of a download goes the same way: the same proxy, SOCKS server and cookies.
void THttpThread::Configure(THttpClient& client, const std::string& url) {
    client.URL = url;
    UseProxy(client, RequestProxy(Request));
    client.NoCache = true;
    client.Cookie = Request.Cookies;
}

int32_t THttpThread::FetchIntoMemory() {
    NewClient();
    Body = std::make_unique<TMemoryStream>();
    Client->ReceiveStream = Body.get();
    try {
        Client->GetSync();
    } catch (const std::exception&) {
        return Client->StatusCode();
    }
    return 0;
}

int32_t THttpThread::FetchIntoFile() {
    int retry = 0;  // attempts in a row that brought no new byte
    int32_t errorCode = 0;
    // The most the file has held: bytes fetched again after a start over are not new.
    uint64_t most = Received;
    if (Pieces && Validators.CanResume()) {
        Segments = std::make_unique<TSegmentPlan>(uint64_t(Validators.Total), *Pieces);
        Received = Segments->WrittenBytes();
        TotalSize = Validators.Total;
        PiecesUrl = Request.Url;
        // The session that reports why the download failed, when the pieces' sessions cannot.
        NewClient();
        Placed = OpenOutput();
        if (!Placed) return 404;
    } else if (Pieces) {
        Pieces.reset();
        Received = 0;
    }
    for (;;) {
        const TAttempt attempt = Segments ? RunPieces() : RunAttempt();
        errorCode = attempt.Code;
        if (attempt.End != TAttemptEnd::Retry) break;
        // An attempt that brought new bytes shows the link works: the count and the waits start
        // over, and the next attempt goes at once (a server that ends every connection after
        // so many bytes is common, and waiting there only costs time).
        retry = Received > most ? 0 : retry + 1;
        most = std::max(most, Received);
        if (Request.RetryCount <= 0 || retry > Request.RetryCount) break;
        int64_t wait = retry == 0 ? 0 : RetryWaitMs(retry, Request.RetryWaitMs);
        if (attempt.WaitMs >= 0) wait = attempt.WaitMs;
        if (OnRetry) OnRetry(this, {attempt.Cause, AnswerStatus, wait, retry, Request.RetryCount});
        if (!WaitBeforeRetry(wait)) {
            errorCode = 404;
            break;
        }
    }
    if (Segments) Pieces = Segments->Pieces();
    // The owner's record of the end must come after any record of pieces, and the file must
    // stay open while one waits for it.
    AwaitRecord();
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
    return errorCode;
}

THttpThread::TAttempt THttpThread::RunAttempt() {
    NewClient();
    THttpClient& c = *Client;
    c.OnDocBegin = [this](THttpCli*) {
        // Only a success answer's body is the file; an error page or a relocation is not.
        if (AnswerStatus >= 200 && AnswerStatus <= 299) OpenFile();
    };
    c.OnDocData = [this](THttpCli*, const char* data, int length) { WriteBlock(data, length); };
    // Only the rest is asked for, and only of the version the kept bytes belong to.
    RangeAsked = Received > 0 && Validators.CanResume() ? Received : 0;
    if (RangeAsked > 0) {
        c.OnBeforeHeaderSend = [this](THttpCli*, const std::string&, std::vector<std::string>& h) {
            h.push_back("Range: bytes=" + std::to_string(RangeAsked) + "-");
            h.push_back("If-Range: " + Validators.IfRange());
        };
    }
    AnswerStatus = 0;
    Plan = TBodyPlan::StartOver;
    Placed = false;
    Stalled = false;
    FailureText.clear();
    LastActivity = std::chrono::steady_clock::now();
    const TEventLoop::TTimerId stallCheck = StartStallCheck();
    int32_t code = 0;
    try {
        c.GetSync();
    } catch (const std::exception&) {
        code = c.StatusCode();
    }
    if (stallCheck != 0) TEventLoop::Current().KillTimer(stallCheck);
    if (Segments) {
        // The first connection has done its part, or lost it: the others go on, and what it
        // left is a piece like any other.
        Segments->Close(MainPiece);
        if (Cancelled || AbortFlag || !FileError.empty()) {
            AbortLinks();
            Links.clear();
            return {TAttemptEnd::Failed, code != 0 ? code : 404};
        }
        if (OutputFile) {
            PlaceWrites();
            return RunPieces();
        }
        // Ended before its body: no file to put pieces in yet.
        Links.clear();
        Segments.reset();
        Pieces.reset();
    }
    if (code != 0) return JudgeFailure(code);
    // An empty body has no first block to ask for the file at: the empty file is asked for
    // and made now.
    if (!OutputFile && !AbortFlag) OpenFile();
    if (!OutputFile) return {TAttemptEnd::Failed, 404};
    PlaceWrites();
    if (!FileError.empty()) return {TAttemptEnd::Failed, 404};
    // The session checks the announced length; a total from a range is checked here.
    if (Validators.Total > 0 && Received < static_cast<uint64_t>(Validators.Total))
        return {TAttemptEnd::Retry, 404};
    return {TAttemptEnd::Whole, 0};
}

THttpThread::TAttempt THttpThread::JudgeFailure(int32_t code) {
    if (Cancelled || AbortFlag || !FileError.empty()) return {TAttemptEnd::Failed, code};
    if (Stalled) {
        FailureText = StallText();
        return {TAttemptEnd::Retry, code, TRetryCause::Stalled};
    }
    if (Plan == TBodyPlan::Refuse) {
        // Not the rest of the kept version: the next attempt asks for the whole resource.
        FailureText = "The server answered with another part of the file";
        Validators = TValidators{};
        return {TAttemptEnd::Retry, code, TRetryCause::RangeRefused};
    }
    if (AnswerStatus == 416 && RangeAsked > 0 &&
        RangeAsked == static_cast<uint64_t>(Validators.Total))
        return {TAttemptEnd::Whole, 0};
    if (RetryWorthyStatus(AnswerStatus)) return ServerBusy(code, HeaderLines);
    // Cut in the body, or no answer at all once this download has had one: the link dropped.
    const bool bodyCut = AnswerStatus >= 200 && AnswerStatus <= 299;
    if (bodyCut || (AnswerStatus == 0 && (HadAnswer || Received > 0)))
        return {TAttemptEnd::Retry, code, TRetryCause::ConnectionLost};
    return {TAttemptEnd::Failed, code};
}

THttpThread::TAttempt THttpThread::ServerBusy(int32_t code,
                                              const std::vector<std::string>& header) const {
    constexpr int64_t kLongestWait = 300;
    const std::optional<std::string> after = HeaderField(header, "Retry-After");
    const std::optional<int64_t> seconds =
        after ? RetryAfterSeconds(*after, std::time(nullptr)) : std::nullopt;
    // A server that asks for a longer pause is not waited for with the window open.
    if (seconds && *seconds > kLongestWait) return {TAttemptEnd::Failed, code};
    return {TAttemptEnd::Retry, code, TRetryCause::ServerBusy, seconds ? *seconds * 1000 : -1};
}

bool THttpThread::WaitBeforeRetry(int64_t ms) {
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    TEventLoop& loop = TEventLoop::Current();
    while (!FCancelWanted.exchange(false)) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            until - std::chrono::steady_clock::now());
        if (left.count() <= 0) return true;
        // A cancel posts to this loop, which ends the wait at once.
        loop.WaitOne(static_cast<int>(std::min<int64_t>(left.count() + 1, 60000)));
    }
    Cancelled = true;
    return false;
}

std::string THttpThread::StallText() const {
    return "No data received for " + std::to_string(Request.StallMs / 1000) + " sec";
}

TEventLoop::TTimerId THttpThread::StartStallCheck() {
    if (Request.StallMs <= 0) return 0;
    const unsigned checkMs = static_cast<unsigned>(std::clamp(Request.StallMs / 4, 10, 1000));
    return TEventLoop::Current().SetTimer(checkMs, [this] { CheckStall(); });
}

void THttpThread::CheckStall() {
    const auto now = std::chrono::steady_clock::now();
    const auto limit = std::chrono::milliseconds(Request.StallMs);
    // Pieces in the middle of a long part are recorded too: a crash there loses little.
    RecordPieces();
    for (const std::unique_ptr<TLink>& link : Links) {
        if (link->Stalled || now - link->LastActivity < limit || !link->Client->Running()) continue;
        link->Stalled = true;
        link->Client->Abort();
    }
    if (Stalled || now - LastActivity < limit || !Client || !Client->Running()) return;
    Stalled = true;
    Client->Abort();
}

// Runs between the waits of the blocking GET: the UI thread's cancel takes effect here, on the
// session's own thread, also while the session is paused.
void THttpThread::PumpPass() {
    if (FCancelWanted.exchange(false)) {
        Cancelled = true;
        Client->Abort();
        AbortLinks();
    }
    if (Segments) ServeLinks();
}

void THttpThread::CopyHeader() {
    HeaderLines = Client->ReceivedHeader();
    if (OnHeaders) OnHeaders(this);
}

void THttpThread::HeaderEnded() {
    CopyHeader();
    const int status = Client->StatusCode();
    if (!Request.FileName.empty()) {
        // A relocation's answer is not the final one: the relocated request's will be.
        AnswerStatus = status >= 300 && status <= 399 ? 0 : status;
        if (status == 200 || status == 206) PlanBody();
        if (Plan == TBodyPlan::Refuse) return;
    }
    if (OnSize && (status == 0 || status == 200 || status == 206)) {
        Client->PauseReceive();
        TotalSize =
            Client->InstanceLength() > 0 ? Client->InstanceLength() : Client->ContentLength64();
        OnSize(this);
        Client->ResumeReceive();
    }
}

void THttpThread::PlanBody() {
    HadAnswer = true;
    int64_t rangeFirst = -1;
    if (!THttpResponse::ParseDecimal(Client->ContentRangeBegin, rangeFirst)) rangeFirst = -1;
    Plan = ::PlanBody(Client->StatusCode(), RangeAsked, Validators, rangeFirst,
                      Client->InstanceLength());
    if (Plan == TBodyPlan::Refuse) {
        Client->Abort();
        return;
    }
    if (Plan == TBodyPlan::StartOver) {
        const int64_t total =
            Client->InstanceLength() > 0 ? Client->InstanceLength() : Client->ContentLength64();
        Validators = ValidatorsOf(HeaderLines, total);
    }
    if (MaySplit()) StartPieces();
}

void THttpThread::OpenFile() {
    if (AbortFlag || OutputFile) return;
    Client->PauseReceive();
    if (!FileAsked && OnAskFile) {
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
    if (!OpenOutput()) {
        Client->Abort();
        return;
    }
    // The time the owner took to answer is no silence of the server.
    LastActivity = std::chrono::steady_clock::now();
    Client->ResumeReceive();
}

bool THttpThread::OpenOutput() {
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
        return false;
    }
    return true;
}

void THttpThread::PlaceWrites() {
    if (Placed || !OutputFile) return;
    Placed = true;
    // An existing file is opened, not replaced: without cutting it, a shorter body would keep
    // the old file's tail behind the new bytes.
    const uint64_t keep = Plan == TBodyPlan::Append ? RangeAsked : 0;
    OutputFile->SetSize(static_cast<int64_t>(keep));
    OutputFile->Seek(static_cast<int64_t>(keep), soBeginning);
    Received = keep;
    if (keep == 0) SessionStart = 0;
}

void THttpThread::WriteBlock(const char* data, int length) {
    if (AbortFlag || Client->StatusCode() >= 300 || !OutputFile || Plan == TBodyPlan::Refuse)
        return;
    PlaceWrites();
    if (Segments) {
        if (WritePiece(MainPiece, *Client, data, length) > 0)
            LastActivity = std::chrono::steady_clock::now();
        return;
    }
    int64_t written = OutputFile->Write(data, length);
    if (written > 0) {
        Received += static_cast<uint64_t>(written);
        LastActivity = std::chrono::steady_clock::now();
        if (OnProgress) OnProgress(this, AbortFlag, Received);
    } else {
        CancelRequest();
    }
    if (AbortFlag) CancelRequest();
}
