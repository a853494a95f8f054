// The download job's worker wiring, progress merging, transfer clock and file placement; see
// TDownloadJob.h.
#include "download/TDownloadJob.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <functional>
#include <iomanip>
#include <mutex>
#include <set>
#include <sstream>

#include "download/TDownloadJournal.h"
#include "download/uFailureText.h"
#include "download/uHttpClient.h"
#include "platform/UiThread.h"

namespace {

// Targets and temporary files of the running downloads of this process.
std::mutex ClaimsLock;
std::set<std::string> Claims;

constexpr std::size_t kNameMax = 255;

}  // namespace

std::string TDownloadJob::PartNameFor(const std::string& target) {
    static const std::string kSuffix = ".part";
    const std::size_t slash = target.rfind('/');
    const std::size_t nameStart = slash == std::string::npos ? 0 : slash + 1;
    const std::string name = target.substr(nameStart);
    if (name.size() + kSuffix.size() <= kNameMax) return target + kSuffix;
    std::ostringstream hash;
    hash << '~' << std::hex << std::setw(8) << std::setfill('0')
         << (std::hash<std::string>{}(name)&0xFFFFFFFFu);
    std::size_t keep = kNameMax - kSuffix.size() - hash.str().size();
    // Never half a UTF-8 character: the file manager would show a broken name.
    while (keep > 0 && (static_cast<unsigned char>(name[keep]) & 0xC0) == 0x80) --keep;
    return target.substr(0, nameStart) + name.substr(0, keep) + hash.str() + kSuffix;
}

TDownloadJob::TDownloadJob(TUiThread& ui, TNumberFormat format, TClock clock)
    : Ui(ui), Format(std::move(format)), Clock(std::move(clock)) {}

void TDownloadJob::Start(const TUrlInfo& request) {
    Request = request;
    StartWorker(false);
}

bool TDownloadJob::StartKept(const TUrlInfo& request, const std::string& target,
                             const TValidators& validators,
                             const std::optional<TByteRanges>& pieces) {
    if (!Claim(target)) return false;
    Request = request;
    Request.FileName = PartFile;
    Kept = validators;
    KeptPieces = pieces;
    TotalSize = validators.Total;
    StartWorker(true);
    return true;
}

void TDownloadJob::Pause() {
    PauseWanted.store(true);
    CancelRequest();
}

void TDownloadJob::Resume() {
    if (Thread || PartFile.empty()) return;
    PauseWanted.store(false);
    StartWorker(true);
}

void TDownloadJob::Discard() {
    if (Thread || PartFile.empty()) return;
    std::remove(PartFile.c_str());
    if (Journal) Journal->Forget(TargetFile);
    Release();
}

void TDownloadJob::StartWorker(bool kept) {
    Thread = new THttpThread(Request, Ui);
    FirstBlock.store(kNotYet);
    Finished.store(kNotYet);
    if (kept) {
        struct stat st {};
        const uint64_t size = stat(PartFile.c_str(), &st) == 0 ? uint64_t(st.st_size) : 0;
        Thread->FileAsked = true;
        // Bytes beyond the recorded size are no part of that version: the file starts over.
        if (Kept.Total <= 0 || size <= uint64_t(Kept.Total)) {
            Thread->Received = size;
            Thread->Validators = Kept;
        }
        if (KeptPieces && Kept.CanResume() && size <= uint64_t(Kept.Total)) {
            // A piece the file does not reach was never written (a crash before the bytes
            // reached the disk, or a file cut short since).
            TByteRanges inFile;
            for (const TByteRange& piece : *KeptPieces) {
                if (piece.Begin < size) inFile.push_back({piece.Begin, std::min(piece.End, size)});
            }
            Thread->Pieces = inFile;
            Thread->Received = TSegmentPlan(uint64_t(Kept.Total), inFile).WrittenBytes();
        } else if (KeptPieces) {
            // Pieces of an unknown version are no start: the file starts over.
            Thread->Received = 0;
            Thread->Validators = TValidators{};
        }
        Latest.store(Thread->Received);
        Shown = Thread->Received;
    }
    const std::shared_ptr<TDownloadJob> self = shared_from_this();
    Thread->OnSize = [self](THttpThread* thread) { self->SizeAnnounced(thread->TotalSize); };
    Thread->OnAskFile = [self](THttpThread* thread, bool& abort) {
        self->Kept = thread->Validators;
        self->KeptPieces = thread->Pieces;
        const std::optional<std::string> part = self->AskPartFile();
        abort = !part;
        if (abort) return;
        TUrlInfo chosen = thread->Request;
        chosen.FileName = *part;
        thread->SetRequest(chosen);
    };
    Thread->OnProgress = [self](THttpThread* thread, bool& abort, uint64_t received) {
        abort = self->BlockWritten(received, thread->SessionStart);
    };
    // Maybe beside the worker: only the pieces change, which the worker does not touch.
    Thread->OnPieces = [self](const std::optional<TByteRanges>& pieces) { self->Record(pieces); };
    Thread->OnRetry = [self](THttpThread*, const THttpThread::TRetryNotice& notice) {
        self->Ui.Post([self, notice] {
            if (self->Attached && self->OnRetry) self->OnRetry(notice);
        });
    };
    Thread->OnDone = [self](THttpThread* thread, int32_t errorCode) {
        std::string why =
            thread->FailureText.empty() ? DescribeFailure(*thread->Client) : thread->FailureText;
        if (!why.empty()) why = FailureHost(*thread->Client) + ": " + why;
        // A disk that refused the bytes is the cause, whatever the connection did after.
        if (!thread->FileError.empty()) why = self->TargetFile + ": " + thread->FileError;
        self->TransferEnded(errorCode, thread->Received, thread->TotalSize, thread->Validators,
                            thread->Pieces, why);
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
    // A kept file whose window goes is left to the journal; a running worker releases it.
    if (!Thread) Release();
}

TProgressView TDownloadJob::Progress() {
    Shown = Latest.load();
    return DescribeProgress(TotalSize, static_cast<int64_t>(Shown), ElapsedSeconds(), Format,
                            static_cast<int64_t>(SessionStart.load()));
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
    TProgressView view = DescribeResult(downloaded, ElapsedSeconds(), Format,
                                        static_cast<int64_t>(SessionStart.load()));
    // The last blocks may have come during a drawing pause: the bar shows where they ended.
    const TProgressView last = DescribeProgress(TotalSize, downloaded, 0, Format);
    view.SizeKnown = last.SizeKnown;
    view.Percent = last.Percent;
    return view;
}

TProgressView TDownloadJob::KeptView() const {
    return DescribeProgress(TotalSize, static_cast<int64_t>(Shown), 0, Format);
}

void TDownloadJob::SizeAnnounced(int64_t totalSize) {
    RunOnOwner([this, totalSize] { TotalSize = totalSize; });
}

std::optional<std::string> TDownloadJob::AskPartFile() {
    std::optional<std::string> part;
    RunOnOwner([this, &part] {
        while (!AbortWanted.load() && OnAskFile) {
            const std::optional<std::string> chosen = OnAskFile();
            if (!chosen) return;
            if (Claim(*chosen)) {
                part = PartFile;
                // Recorded before the first byte, so that a crash still leaves it to resume.
                Request.FileName = PartFile;
                Record(KeptPieces);
                return;
            }
            if (!OnTargetBusy) return;
            OnTargetBusy(*chosen);
        }
    });
    return part;
}

bool TDownloadJob::BlockWritten(uint64_t received, uint64_t sessionStart) {
    if (AbortWanted.load() || PauseWanted.load()) return true;
    // A file started over is a transfer started over: its clock starts again too.
    if (FirstBlock.load(std::memory_order_relaxed) == kNotYet ||
        sessionStart != SessionStart.load(std::memory_order_relaxed)) {
        SessionStart.store(sessionStart);
        FirstBlock.store(Clock().time_since_epoch().count());
    }
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
                                 const TValidators& validators,
                                 const std::optional<TByteRanges>& pieces,
                                 const std::string& reason) {
    Finished.store(Clock().time_since_epoch().count());
    Kept = validators;
    KeptPieces = pieces;
    const TDownloadEnd end = PlaceFile(errorCode, received, totalSize);
    if (end == TDownloadEnd::Kept || end == TDownloadEnd::Paused) {
        Record(KeptPieces);
    } else {
        if (Journal && !TargetFile.empty()) Journal->Forget(TargetFile);
        Release();
    }
    RunOnOwner([&] {
        Shown = received;
        if (OnFinish) OnFinish(end, end == TDownloadEnd::Paused ? std::string() : reason);
    });
}

double TDownloadJob::ElapsedSeconds() const {
    const TTimePoint::rep first = FirstBlock.load();
    if (first == kNotYet) return 0;
    const TTimePoint::rep finished = Finished.load();
    const TTimePoint::rep end = finished != kNotYet ? finished : Clock().time_since_epoch().count();
    return std::chrono::duration<double>(TTimePoint::duration(end - first)).count();
}

TDownloadEnd TDownloadJob::PlaceFile(int32_t errorCode, uint64_t received, int64_t totalSize) {
    if (PartFile.empty()) return TDownloadEnd::Failed;
    const bool whole = errorCode == 0 && (totalSize <= 0 || received == uint64_t(totalSize));
    if (whole && std::rename(PartFile.c_str(), TargetFile.c_str()) == 0)
        return TDownloadEnd::Complete;
    if (!AbortWanted.load()) {
        if (PauseWanted.load()) return TDownloadEnd::Paused;
        if (!whole && received > 0 && Kept.CanResume()) return TDownloadEnd::Kept;
    }
    std::remove(PartFile.c_str());
    return TDownloadEnd::Failed;
}

void TDownloadJob::Record(const std::optional<TByteRanges>& pieces) {
    if (!Journal || TargetFile.empty()) return;
    Journal->Record({Request.Url, Request.Cookies, TargetFile, Kept, pieces});
}

bool TDownloadJob::Claim(const std::string& target) {
    // The transfer goes into a file beside the target; an existing file is replaced only by a
    // complete download, so a failure never leaves the user with neither.
    const std::string part = PartNameFor(target);
    std::lock_guard<std::mutex> lock(ClaimsLock);
    if (Claims.count(target) > 0 || Claims.count(part) > 0) return false;
    int fd = open(part.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    if (fd < 0 && errno == EEXIST) {
        // Left by a run that ended without cleaning up, unless a process still holds its lock;
        // a link is never followed.
        fd = open(part.c_str(), O_RDWR | O_NOFOLLOW | O_CLOEXEC);
        if (fd < 0) return false;
    }
    if (fd >= 0 && flock(fd, LOCK_EX | LOCK_NB) != 0) {
        close(fd);
        return false;
    }
    // A folder that takes no file at all is the worker's to report, as a save that failed.
    Claims.insert(target);
    Claims.insert(part);
    TargetFile = target;
    PartFile = part;
    PartLock = fd;
    return true;
}

void TDownloadJob::Release() {
    std::lock_guard<std::mutex> lock(ClaimsLock);
    if (PartFile.empty()) return;
    if (PartLock >= 0) close(PartLock);
    PartLock = -1;
    Claims.erase(TargetFile);
    Claims.erase(PartFile);
    PartFile.clear();
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
