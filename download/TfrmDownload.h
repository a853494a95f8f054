// The progress window of one media download: it starts a TDownloadJob (the worker, the figures
// and the file's placement), asks for the output file when the job asks, draws the figures the
// job gives, and tells its owner when it closes. UI thread only: the job brings the worker's
// reports here. The worker frees itself; the window frees itself after it has closed.
// A transfer can be paused and resumed; one that failed after its retries with its bytes kept
// offers "Retry". Closing the window (or "Cancel") removes the kept bytes; only KeepForLater,
// when the program quits, leaves them to the journal.
#pragma once

#include <QWidget>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "download/uSegmentPlan.h"
#include "settings/TProxy.h"
#include "settings/TUrlInfo.h"

class QCheckBox;
class QCloseEvent;
class QKeyEvent;
class QLabel;
class QProgressBar;
class QPushButton;
class QTimer;
class TDialogs;
class TDownloadJob;
class TDownloadJournal;
struct TValidators;
enum class TDownloadEnd;
class TUiThread;

class TfrmDownload : public QWidget {
    Q_OBJECT
public:
    using TClosedEvent = std::function<void(TfrmDownload* window)>;

    // A top-level window of its own (no parent), so it has its own task-bar entry. ui is where
    // the worker's reports arrive; it must outlive the worker.
    TfrmDownload(TDialogs& dialogs, TUiThread& ui);
    ~TfrmDownload() override;

    void SetCloseWhenDone(bool value);
    void StartDownload();
    // Goes on with the ".part" of FileName (the full path), a download recorded in the journal,
    // without asking for the file.
    void ContinueDownload(const TValidators& validators, const std::optional<TByteRanges>& pieces);
    // Transferring, paused or failed with its bytes kept: what a quit would lose.
    bool Unfinished() const;
    // The program quits: a transfer pauses and the window closes once its worker has ended,
    // a paused or kept one closes at once, both left to the journal; one that has not got its
    // file yet ends as AbortDownload does.
    void KeepForLater();
    // Transferring (or asking): stop at the next block and close when the worker has ended;
    // otherwise close at once.
    void AbortDownload();

    std::string MediaUrl;
    std::string FileName;  // the proposed name, then the chosen full path
    uint8_t MediaFormat = 0;
    std::string SaveFolder;
    TProxy Proxy;  // HTTP proxy and SOCKS server; empty for a direct connection
    bool Downloading = false;
    bool CancelledByUser = false;
    QString ShortName;
    TUrlInfo Request;
    bool CloseWhenDone = false;
    // Called once, while the window closes; the window is freed right after.
    TClosedEvent OnClosed;
    // An end the user is not looking at (another window is active) is told by a desktop
    // notification.
    bool NotifyWhenDone = false;
    std::string Cookies;
    int32_t Connections = 0;  // as TUrlInfo::Connections and SplitFrom
    int64_t SplitFrom = TUrlInfo{}.SplitFrom;
    // Milliseconds without a body byte before the connection counts as lost, and the attempts
    // in a row without a new byte before the download gives up.
    int32_t StallMs = TUrlInfo{}.StallMs;
    int32_t RetryCount = TUrlInfo{}.RetryCount;
    // Where an unfinished download is recorded; none: not recorded. It must outlive the worker.
    TDownloadJournal* Journal = nullptr;

    QLabel* Label1;
    QProgressBar* pb1;
    QLabel* Label2;
    QLabel* lDownloaded;
    QLabel* Label3;
    QLabel* lSaveAs;
    QLabel* Label5;
    QLabel* lRate;
    QCheckBox* ckClose;
    QPushButton* bOpen;
    QPushButton* bFolder;
    QPushButton* bPause;  // "Pause", "Resume" while paused, "Retry" after a failure that kept
    QPushButton* bCancel;

public slots:
    void bCancelClick();
    void bPauseClick();
    void bOpenClick();
    void bFolderClick();
    void ckCloseClick();

protected:
    void closeEvent(QCloseEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;

private:
    enum class TStage {
        Starting,      // the request runs, no file chosen yet
        Transferring,  // into the chosen file
        Paused,
        Kept,  // failed after its retries, the bytes kept
        Over,  // complete or failed
    };

    // The request for MediaUrl and the job's events, as both ways of starting need them.
    void Prepare();
    // The job's events.
    std::optional<std::string> AskFile();
    void ShowProgress();
    void RefreshPauseEnded();
    // Reason: "host: why" for a failure the engine or the server can name, else empty.
    void Finish(TDownloadEnd end, const std::string& Reason);
    void ShowRetry(const QString& text);
    void ShowKept(const QString& status);
    void NotifyIfAway(const QString& summary, const QString& body, const QString& file);
    void Ended();
    void ShowSaveError(const QString& text, const QString& title);

    void SetCancelled();

    TDialogs& Dialogs;
    std::shared_ptr<TDownloadJob> Job;
    bool Closed = false;
    TStage Stage = TStage::Starting;
    bool Keeping = false;  // KeepForLater was called
    QTimer* RefreshPause;
};
