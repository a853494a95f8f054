// One HTTP GET on a worker thread of its own, into memory or into a file, reported through
// callbacks on the worker thread and one end notification (OnTerminate) on the UI thread, which
// it reaches through the UI-thread interface given at construction (the owner's handlers use the
// same one, so every crossing goes through it).
// The worker owns its THttpClient, its output file and its body buffer, and frees itself right
// after OnTerminate has run: owners must not touch it afterwards. CancelRequest is the one
// operation meant for the UI thread; SetRequest and the fields are for use inside callbacks.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "download/TMyFileStream.h"
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

    std::unique_ptr<THttpClient> Client;
    TUrlInfo Request;
    std::unique_ptr<TMyFileStream> OutputFile;
    // Why the output file refused bytes ("No space left on device"); empty when it did not.
    std::string FileError;
    uint64_t Received = 0;
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
    // Shows "Error saving file...!" when the output file cannot be opened; the window side sets
    // it to a message box. Unset, the text goes to standard error.
    TErrorBoxEvent OnErrorBox;

private:
    ~THttpThread();
    static void Main(THttpThread* self);
    void Execute();
    void CopyHeader();
    void HeaderEnded();
    void OpenFile();
    void WriteBlock(const char* data, int length);
    void PumpPass();

    TUiThread& Ui;
    std::atomic<bool> FCancelWanted{false};
    std::atomic<bool> FTerminated{false};
    std::atomic<bool> FStarted{false};
    // The worker's loop, so that a cancel from another thread wakes its wait.
    std::mutex FLoopLock;
    TLoopRef FLoop;
};
