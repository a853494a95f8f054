// The download job's worker wiring, progress merging, transfer clock and file placement; see
// TDownloadJob.h.
#include "download/TDownloadJob.h"

#include <cstdio>

#include "download/THttpThread.h"
#include "platform/UiThread.h"

TDownloadJob::TDownloadJob(TUiThread& ui, TNumberFormat format, TClock clock)
    : Ui(ui), Format(std::move(format)), Clock(std::move(clock)) {}

void TDownloadJob::Start(const TUrlInfo& request) {
    Thread = new THttpThread(request, Ui);
    const std::shared_ptr<TDownloadJob> self = shared_from_this();
    Thread->OnSize = [self](THttpThread* thread) { self->SizeAnnounced(thread->TotalSize); };
    Thread->OnAskFile = [self](THttpThread* thread, bool& abort) {
        const std::optional<std::string> part = self->AskPartFile();
        abort = !part;
        if (abort) return;
        TUrlInfo chosen = thread->Request;
        chosen.FileName = *part;
        thread->SetRequest(chosen);
    };
    Thread->OnProgress = [self](THttpThread*, bool& abort, uint64_t received) {
        abort = self->BlockWritten(received);
    };
    Thread->OnDone = [self](THttpThread* thread, int32_t errorCode) {
        self->TransferEnded(errorCode, thread->Received, thread->TotalSize, thread->SecureFailure);
    };
    Thread->OnErrorBox = [self](const std::string& text, const std::string& title) {
        self->RunOnOwner([&] {
            if (self->OnErrorBox) self->OnErrorBox(text, title);
        });
    };
    // The end notification already runs on the UI thread.
    Thread->OnTerminate = [self](THttpThread*) { self->Ended(); };
    Thread->Resume();
}

void TDownloadJob::Abort() {
    AbortWanted.store(true);
}

void TDownloadJob::CancelRequest() {
    if (Thread) Thread->CancelRequest();
}

void TDownloadJob::Detach() {
    Attached = false;
}

TProgressView TDownloadJob::Progress() {
    Shown = Latest.load();
    return DescribeProgress(TotalSize, static_cast<int64_t>(Shown), ElapsedSeconds(), Format);
}

bool TDownloadJob::PauseEnded() {
    const auto changed = [this] { return Latest.load() != Shown; };
    if (changed()) return true;
    ShowQueued.store(false);
    // A block written between the check and the release posted nothing: it is shown here.
    return changed() && !ShowQueued.exchange(true);
}

TProgressView TDownloadJob::Result() const {
    const auto downloaded = static_cast<int64_t>(Shown);
    TProgressView view = DescribeResult(downloaded, ElapsedSeconds(), Format);
    // The last blocks may have come during a drawing pause: the bar shows where they ended.
    const TProgressView last = DescribeProgress(TotalSize, downloaded, 0, Format);
    view.SizeKnown = last.SizeKnown;
    view.Percent = last.Percent;
    return view;
}

void TDownloadJob::SizeAnnounced(int64_t totalSize) {
    RunOnOwner([this, totalSize] { TotalSize = totalSize; });
}

std::optional<std::string> TDownloadJob::AskPartFile() {
    std::optional<std::string> part;
    RunOnOwner([this, &part] {
        if (AbortWanted.load() || !OnAskFile) return;
        const std::optional<std::string> chosen = OnAskFile();
        if (!chosen) return;
        // The transfer goes into a file beside the target; an existing file is replaced only
        // by a complete download, so a failure never leaves the user with neither.
        TargetFile = *chosen;
        PartFile = TargetFile + ".part";
        part = PartFile;
    });
    return part;
}

bool TDownloadJob::BlockWritten(uint64_t received) {
    if (AbortWanted.load()) return true;
    if (FirstBlock.load(std::memory_order_relaxed) == kNotYet)
        FirstBlock.store(Clock().time_since_epoch().count());
    Latest.store(received);
    // Mostly a drawing is already due: a plain read spares the locked write per block.
    if (ShowQueued.load() || ShowQueued.exchange(true)) return false;
    const std::shared_ptr<TDownloadJob> self = shared_from_this();
    Ui.Post([self] {
        if (self->Attached && self->OnProgress) self->OnProgress();
    });
    return false;
}

void TDownloadJob::TransferEnded(int32_t errorCode, uint64_t received, int64_t totalSize,
                                 const std::string& secureFailure) {
    Finished.store(Clock().time_since_epoch().count());
    const bool complete = KeepFile(errorCode, received, totalSize);
    RunOnOwner([&] {
        Shown = received;
        if (OnFinish) OnFinish(complete, secureFailure);
    });
}

double TDownloadJob::ElapsedSeconds() const {
    const TTimePoint::rep first = FirstBlock.load();
    if (first == kNotYet) return 0;
    const TTimePoint::rep finished = Finished.load();
    const TTimePoint::rep end = finished != kNotYet ? finished : Clock().time_since_epoch().count();
    return std::chrono::duration<double>(TTimePoint::duration(end - first)).count();
}

bool TDownloadJob::KeepFile(int32_t errorCode, uint64_t received, int64_t totalSize) {
    if (PartFile.empty()) return false;
    const bool whole = errorCode == 0 && (totalSize <= 0 || received == uint64_t(totalSize));
    if (whole && std::rename(PartFile.c_str(), TargetFile.c_str()) == 0) return true;
    std::remove(PartFile.c_str());
    return false;
}

void TDownloadJob::RunOnOwner(const std::function<void()>& fn) {
    Ui.RunAndWait([this, &fn] {
        if (Attached) fn();
    });
}

void TDownloadJob::Ended() {
    Thread = nullptr;
    if (Attached && OnEnded) OnEnded();
}
