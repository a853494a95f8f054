// One HTTP GET on a worker thread of its own, into memory or into a file, reported through
// callbacks on the worker thread and one end notification (OnTerminate) on the UI thread, which
// it reaches through the UI-thread interface given at construction (the owner's handlers use the
// same one, so every crossing goes through it).
// In file mode a lost connection, a stall or a "try later" answer is tried again on a fresh
// session, asking only for the rest when the kept bytes provably belong to the same version
// (uResumeRules.h); the request's Retry fields set how often and how long it waits.
// A large file whose server takes ranges may be fetched in pieces over several connections of
// the request's Connections, all on the worker's own loop (THttpThreadPieces.cpp); each piece's
// answer is checked like a resumed one, and a piece that fails is fetched again by itself.
// The worker owns its THttpClient, its output file and its body buffer, and frees itself right
// after OnTerminate has run: owners must not touch it afterwards. CancelRequest is the one
// operation meant for the UI thread; SetRequest and the fields are for use inside callbacks.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <future>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "download/TMyFileStream.h"
#include "download/uResumeRules.h"
#include "download/uSegmentPlan.h"
#include "platform/EventLoop.h"
#include "settings/TUrlInfo.h"

class THttpClient;
class TMemoryStream;
class TUiThread;

class THttpThread {
public:
    using TNotifyEvent = std::function<void(THttpThread* thread)>;
    using TDoneEvent = std::function<void(THttpThread* thread, int32_t errorCode)>;
    using TAskFileEvent = std::function<void(THttpThread* thread, bool& abort)>;
    using TProgressEvent = std::function<void(THttpThread* thread, bool& abort, uint64_t received)>;
    using TErrorBoxEvent = std::function<void(const std::string& text, const std::string& title)>;

    // Why an attempt is followed by another.
    enum class TRetryCause { ConnectionLost, Stalled, ServerBusy, RangeRefused };
    struct TRetryNotice {
        TRetryCause Cause;
        int Status;      // the answer's, for ServerBusy
        int64_t WaitMs;  // before the next attempt
        // Attempts in a row that brought no new byte, this one included; 0 after one that
        // did, which is followed by the next at once.
        int Retry;
        int Retries;  // the most of those before the download gives up
    };
    using TRetryEvent = std::function<void(THttpThread* thread, const TRetryNotice& notice)>;

    // Created suspended with its own copy of the request; Resume starts it. A non-empty
    // FileName selects file mode, an empty one memory mode. ui must outlive the worker.
    THttpThread(const TUrlInfo& request, TUiThread& ui);
    THttpThread(const THttpThread&) = delete;
    THttpThread& operator=(const THttpThread&) = delete;

    void Resume();
    // Worker thread, inside a callback: replaces the request and the cookie text sent.
    void SetRequest(const TUrlInfo& request);
    // Any thread: ends the running request with 404 "Connection aborted on request". Works
    // before the session exists and while it is paused; does nothing once the session is done.
    void CancelRequest();

    // The body received in memory mode (empty in file mode).
    std::string_view BodyBytes() const;

    // Workers created and not yet freed, process-wide.
    static int LiveCount();

    // The session of the current (or last) attempt.
    std::unique_ptr<THttpClient> Client;
    TUrlInfo Request;
    std::unique_ptr<TMyFileStream> OutputFile;
    // Why the output file refused bytes ("No space left on device"); empty when it did not.
    std::string FileError;
    // Why the last attempt failed when the session cannot tell (a stall, a refused part).
    std::string FailureText;
    // Bytes in the output file. To go on from a file of kept bytes, the owner sets it, the
    // validators and FileAsked before Resume.
    uint64_t Received = 0;
    // The version of the bytes in the file; from the first answer on, when not set before.
    TValidators Validators;
    // Bytes the file held when this worker began, or 0 once it started the file over: the
    // figures' rate counts only what came after.
    uint64_t SessionStart = 0;
    // The pieces in the file of a download fetched over several connections; none for one
    // written from its first byte on. To go on from such a file, the owner sets it with Received.
    std::optional<TByteRanges> Pieces;
    int64_t TotalSize = -1;
    bool AbortFlag = false;
    std::unique_ptr<TMemoryStream> Body;
    bool FileAsked = false;
    std::vector<std::string> HeaderLines;

    TProgressEvent OnProgress;
    TDoneEvent OnDone;
    TNotifyEvent OnSize;
    TAskFileEvent OnAskFile;
    TNotifyEvent OnHeaders;
    TNotifyEvent OnTerminate;
    // What a record of the download must say of its pieces has changed: the split began, pieces
    // came in (those are on the disk before it runs) or the file started over. Runs on the
    // worker thread, or for pieces that came in on a thread of its own while the worker goes
    // on; never two at once, and never one after a later one.
    using TPiecesEvent = std::function<void(const std::optional<TByteRanges>& pieces)>;
    TPiecesEvent OnPieces;
    // Before each wait for another attempt.
    TRetryEvent OnRetry;
    // Shows "Error saving file...!" when the output file cannot be opened; the window side sets
    // it to a message box. Unset, the text goes to standard error.
    TErrorBoxEvent OnErrorBox;

private:
    ~THttpThread();
    static void Main(THttpThread* self);
    // How an attempt of a file download ended.
    enum class TAttemptEnd { Whole, Failed, Retry };
    struct TAttempt {
        TAttemptEnd End = TAttemptEnd::Failed;
        int32_t Code = 0;
        TRetryCause Cause = TRetryCause::ConnectionLost;
        int64_t WaitMs = -1;  // the server's own wait; -1: the usual one
    };

    // One further connection of a download fetched in pieces.
    struct TLink {
        std::unique_ptr<THttpClient> Client;
        int Id = 0;  // in the plan
        TByteRange Asked;
        uint64_t Brought = 0;
        int Status = 0;  // the final answer's, as AnswerStatus
        std::vector<std::string> Header;
        std::chrono::steady_clock::time_point LastActivity;
        bool Refused = false;     // not the part asked for
        bool Superseded = false;  // another connection wrote its first byte first
        bool Stalled = false;
    };

    void Execute();
    void NewClient();
    void Configure(THttpClient& client, const std::string& url);
    int32_t FetchIntoMemory();
    int32_t FetchIntoFile();
    TAttempt RunAttempt();
    TAttempt JudgeFailure(int32_t code);
    std::string StallText() const;
    TAttempt ServerBusy(int32_t code, const std::vector<std::string>& header) const;
    bool WaitBeforeRetry(int64_t ms);
    TEventLoop::TTimerId StartStallCheck();
    void CheckStall();
    void CopyHeader();
    void HeaderEnded();
    void PlanBody();
    void OpenFile();
    bool OpenOutput();
    void PlaceWrites();
    void WriteBlock(const char* data, int length);
    void PumpPass();

    // THttpThreadPieces.cpp
    bool MaySplit() const;
    void StartPieces();
    TAttempt RunPieces();
    void ServeLinks();
    uint64_t LeastSplit() const;
    void OpenLink(TByteRange piece);
    void LinkHeaderEnded(TLink& link);
    void LinkData(TLink& link, const char* data, int length);
    void EndLink(TLink& link);
    TAttempt JudgeLink(TLink& link, int32_t code);
    uint64_t WritePiece(int id, THttpClient& client, const char* data, int length);
    void AbortLinks();
    void RecordPieces();
    void AwaitRecord();

    TUiThread& Ui;
    // The current attempt, on the worker thread.
    int AnswerStatus = 0;     // the final answer's status; 0 before it (or after a relocation)
    bool HadAnswer = false;   // a success answer came in an attempt of this worker
    uint64_t RangeAsked = 0;  // the first byte asked for; 0: the whole resource
    TBodyPlan Plan = TBodyPlan::StartOver;
    bool Placed = false;  // the file is positioned for this attempt's body
    bool Stalled = false;
    bool Cancelled = false;
    std::chrono::steady_clock::time_point LastActivity;
    bool Relocated = false;  // the first connection followed a relocation
    // A download fetched in pieces: the plan, the first connection's number in it, the other
    // connections and the most of them the server is taking now.
    std::unique_ptr<TSegmentPlan> Segments;
    int MainPiece = -1;
    std::vector<std::unique_ptr<TLink>> Links;
    int LinkCap = 0;
    bool Refill = false;  // a connection went since the plan was last asked for more
    // A piece's answer was not the part asked for: no further split of this download.
    bool RangesDoubted = false;
    std::string PiecesUrl;
    TAttempt LinkFailure;
    int LinkFailureStatus = 0;
    std::chrono::steady_clock::time_point LastRecord;
    // The record of pieces that waits for the disk beside the worker.
    std::future<void> PendingRecord;
    // Since when and from how many bytes on the pieces' rate is counted.
    std::chrono::steady_clock::time_point PiecesSince;
    uint64_t PiecesFrom = 0;
    std::atomic<bool> FCancelWanted{false};
    std::atomic<bool> FTerminated{false};
    std::atomic<bool> FStarted{false};
    // The worker's loop, so that a cancel from another thread wakes its wait.
    std::mutex FLoopLock;
    TLoopRef FLoop;
};
