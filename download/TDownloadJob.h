// One media download's policy, without a window: it starts the file-mode worker, carries the
// worker's reports to the UI thread through the one UI-thread interface it was given, merges
// progress figures that come faster than they are shown, keeps the transfer's own clock, and
// puts the file in place at the end. The owner (the download window) sets the events and calls
// everything marked UI thread; the worker's handlers share the job, so a report that arrives
// after Detach finds no events instead of a freed owner.
// A download that stops unfinished (paused, or failed after its retries) keeps its ".part" file
// and its claim on the target when the bytes can be continued, and is recorded in the journal
// (when the owner gives one) until it completes or is cancelled.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <limits>
#include <memory>
#include <optional>
#include <string>

#include "download/THttpThread.h"
#include "download/uFormat.h"
#include "download/uResumeRules.h"
#include "settings/TUrlInfo.h"

class TDownloadJournal;
class TUiThread;

// How a download's worker ended.
enum class TDownloadEnd {
    Complete,  // the whole file is in place under the chosen name
    Failed,    // nothing kept
    Kept,      // failed, with the ".part" kept: Resume continues it
    Paused,    // stopped on request, the ".part" kept
};

class TDownloadJob : public std::enable_shared_from_this<TDownloadJob> {
public:
    using TTimePoint = std::chrono::steady_clock::time_point;
    // The clock of the figures; tests give one they move by hand.
    using TClock = std::function<TTimePoint()>;

    TDownloadJob(TUiThread& ui, TNumberFormat format,
                 TClock clock = &std::chrono::steady_clock::now);

    // Events, run on the UI thread while the worker waits (except OnProgress, which is posted);
    // an unset one is skipped. OnAskFile comes before the body's first byte: the chosen full
    // path, or none to end the download.
    std::function<std::optional<std::string>()> OnAskFile;
    // A figure newer than the one shown has arrived: draw Progress(), then pause the drawing and
    // call PauseEnded when the pause is over.
    std::function<void()> OnProgress;
    // reason: "host: why" for a failure the engine or the server can name, empty otherwise.
    std::function<void(TDownloadEnd end, const std::string& reason)> OnFinish;
    // Another attempt follows after a wait; the figures go on from the bytes kept.
    std::function<void(const THttpThread::TRetryNotice& notice)> OnRetry;
    // Where unfinished downloads are recorded; none: not recorded.
    TDownloadJournal* Journal = nullptr;
    std::function<void(const std::string& text, const std::string& title)> OnErrorBox;
    // The chosen file is the target of another running download, or its temporary file is in
    // use: the owner says so, and OnAskFile comes again.
    std::function<void(const std::string& chosen)> OnTargetBusy;
    // The worker has ended; it is gone once this returns.
    std::function<void()> OnEnded;

    // UI thread. Starts the worker on request (its FileName is the proposed name); the worker
    // frees itself just after OnEnded. The job must be held by a std::shared_ptr.
    void Start(const TUrlInfo& request);
    // UI thread: continues the ".part" of target, a download of request recorded before (its
    // FileName is ignored), asking nothing. False when the target or its temporary file is in
    // use by another download.
    // pieces: the ones in the file of a download fetched in pieces; none for one written from
    // its first byte on.
    bool StartKept(const TUrlInfo& request, const std::string& target,
                   const TValidators& validators, const std::optional<TByteRanges>& pieces = {});
    // UI thread: the connection closes and the ".part" stays (OnFinish with Paused).
    void Pause();
    // UI thread, after OnFinish with Paused or Kept: a new worker goes on from the kept bytes.
    void Resume();
    // UI thread, once the worker of a Paused or Kept download has ended: the ".part" is removed
    // and the journal forgets it, as a cancelled transfer's are; otherwise nothing happens.
    void Discard();
    // UI thread: the transfer stops at its next block, and the answer to the save question is
    // "none" from now on.
    void Abort();
    // UI thread: ends the running request now, also before the first block.
    void CancelRequest();
    // UI thread: the owner goes; no event runs after this.
    void Detach();

    // UI thread: the latest figure, marked as shown.
    TProgressView Progress();
    // UI thread, at the end of a drawing pause: true when a figure arrived that is not shown
    // yet; false releases the merging, so the next block posts OnProgress again.
    bool PauseEnded();
    // UI thread, after OnFinish: the completed transfer's amount, duration and average rate,
    // with the bar where the last block ended.
    TProgressView Result() const;
    // UI thread, after OnFinish with Paused or Kept: the bytes kept against the size, without
    // a rate or a time left, since nothing is moving.
    TProgressView KeptView() const;

    // The worker's side, on the worker thread (the handlers Start gives the worker call them).
    // The announced size (<= 0: none), handed to the UI thread.
    void SizeAnnounced(int64_t totalSize);
    // Asks the owner for the file, again while the one chosen is busy; the name to write
    // meanwhile, or none to end the download.
    std::optional<std::string> AskPartFile();
    // Every written block: stores the figure and posts OnProgress unless a drawing is already
    // due. Returns true when the transfer is to stop.
    // sessionStart: the bytes the file held when this transfer's figures began.
    bool BlockWritten(uint64_t received, uint64_t sessionStart = 0);
    // The end: the file is put in place, kept or removed, then OnFinish runs.
    void TransferEnded(int32_t errorCode, uint64_t received, int64_t totalSize,
                       const TValidators& validators, const std::optional<TByteRanges>& pieces,
                       const std::string& reason);

    // The temporary file beside target: "<name>.part", or, where that would pass the file
    // system's 255-byte name limit, the name cut short with a hash of the whole one.
    static std::string PartNameFor(const std::string& target);

private:
    // Takes target and its temporary file for this job, which creates that file exclusively and
    // holds its lock until the end; false when another download of this or another process has
    // either (the file is then left alone).
    bool Claim(const std::string& target);
    void Release();
    // Starts the worker; kept: it goes on from the bytes in the ".part" file.
    void StartWorker(bool kept);
    void Record(const std::optional<TByteRanges>& pieces);
    // Seconds of the transfer: from its first written block to now, or to its end once it has
    // ended; 0 before the first block. The save dialog's time is not the transfer's.
    double ElapsedSeconds() const;
    // The ".part" file goes to the chosen name only when the download is whole (a connection
    // that ends before the announced size is not); otherwise it stays when it can be continued
    // or goes away. On the worker: replacing or removing a large file takes its time.
    TDownloadEnd PlaceFile(int32_t errorCode, uint64_t received, int64_t totalSize);
    // Runs fn on the UI thread while the calling worker waits, unless the owner has gone.
    void RunOnOwner(const std::function<void()>& fn);
    void Ended();

    TUiThread& Ui;
    const TNumberFormat Format;
    const TClock Clock;
    THttpThread* Thread = nullptr;  // UI thread; null once the worker has ended
    bool Attached = true;           // UI thread
    int64_t TotalSize = 0;          // UI thread; <= 0: unknown
    uint64_t Shown = 0;             // UI thread: the figure drawn last, the final one at the end
    std::atomic<bool> AbortWanted{false};
    std::atomic<bool> PauseWanted{false};
    std::atomic<uint64_t> Latest{0};
    std::atomic<uint64_t> SessionStart{0};
    // A drawing is posted, or the owner's pause runs and will show the figure.
    std::atomic<bool> ShowQueued{false};
    // Clock readings of the first block and of the end; kNotYet until then.
    static constexpr TTimePoint::rep kNotYet = std::numeric_limits<TTimePoint::rep>::min();
    std::atomic<TTimePoint::rep> FirstBlock{kNotYet};
    std::atomic<TTimePoint::rep> Finished{kNotYet};
    // Set by the UI thread while the worker waits for the chosen file, read by the worker after.
    std::string PartFile;
    std::string TargetFile;
    int PartLock = -1;  // the temporary file, locked while this job owns it
    // The request and the version of the kept bytes, for going on from them; set on the UI
    // thread or by the worker while the UI thread waits for it.
    TUrlInfo Request;
    TValidators Kept;
    std::optional<TByteRanges> KeptPieces;
};
