// The progress window of one media download: starts a file-mode THttpThread, asks for the output
// file when the body is about to begin, shows amounts, percentage, time left and rate, and tells
// its owner when it closes. Everything runs on the UI thread except the worker's handlers, which
// hand their window work to it (run-and-wait where the worker needs the answer). The worker
// frees itself; the window frees itself after it has closed.
#pragma once

#include <QWidget>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "download/uFormat.h"
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
class THttpThread;
struct TDownloadLink;

class TfrmDownload : public QWidget {
    Q_OBJECT
public:
    using TClosedEvent = std::function<void(TfrmDownload* window)>;
    using TClock = std::chrono::steady_clock;

    // A top-level window of its own (no parent), so it has its own task-bar entry.
    explicit TfrmDownload(TDialogs& dialogs);
    ~TfrmDownload() override;

    void SetCloseWhenDone(bool value);
    void StartDownload();
    // Transferring (or asking): stop at the next block and close when the worker has ended;
    // otherwise close at once.
    void AbortDownload();

    std::string MediaUrl;
    std::string FileName;  // the proposed name, then the chosen full path
    uint8_t MediaFormat = 0;
    std::string SaveFolder;
    TProxy Proxy;           // HTTP proxy and SOCKS server; empty for a direct connection
    int64_t TotalSize = 0;  // <= 0: unknown
    int64_t Downloaded = 0;
    TClock::time_point StartTime;
    bool Downloading = false;
    bool CancelledByUser = false;
    QString ShortName;
    THttpThread* Thread = nullptr;  // not owned
    TUrlInfo Request;
    bool CloseWhenDone = false;
    // Called once, while the window closes; the window is freed right after.
    TClosedEvent OnClosed;
    // An end the user is not looking at (another window is active) is told by a desktop
    // notification.
    bool NotifyWhenDone = false;
    std::string Cookies;

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
    QPushButton* bCancel;

public slots:
    void bCancelClick();
    void bOpenClick();
    void bFolderClick();
    void ckCloseClick();

protected:
    void closeEvent(QCloseEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;

private:
    friend struct TDownloadLink;

    // UI-thread halves of the worker's handlers.
    std::optional<TUrlInfo> AskFile();
    void ShowProgress();
    void ShowFigures();
    void RefreshPauseEnded();
    // Reason: "host: why" for a failure the engine or the server can name, else empty.
    void Finish(bool complete, uint64_t received, const std::string& Reason = {});
    void NotifyIfAway(const QString& summary, const QString& body, const QString& file);
    void Ended();
    void ShowSaveError(const QString& text, const QString& title);

    void SetCancelled();
    double ElapsedSeconds() const;

    TDialogs& Dialogs;
    const TNumberFormat Format;
    std::shared_ptr<TDownloadLink> Link;
    bool Closed = false;
    QTimer* RefreshPause;
    uint64_t ShownReceived = 0;
};
