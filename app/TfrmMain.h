// The main window: takes a video page address, picks the extractor by host, waits for its one
// report and opens a download window for the video. UI thread only. It owns the running
// extractor (at most one) and releases it after the report; the extractors come from the factory
// it is given. Download windows free themselves when they close; the list only follows them, and
// the program does not close while one is open. Quitting with unfinished downloads asks first and
// keeps them in the journal of unfinished downloads, which the next start offers to resume.
#pragma once

#include <QEvent>
#include <QWidget>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "download/TDownloadJournal.h"
#include "sites/TVideo.h"

class QCloseEvent;
struct TSettingsLoad;
class QDialog;
class QLabel;
class QLineEdit;
class QPushButton;
class QTimer;
class TDialogs;
class TUiThread;
class TfrmDownload;

// The message the main window posts itself to open a download window after a report.
constexpr int WM_OPEN_DOWNLOAD = 1025;

// A posted window message: number and its two parameters.
class TMessageEvent : public QEvent {
public:
    static const QEvent::Type kType;
    TMessageEvent(int message, intptr_t wParam, intptr_t lParam)
        : QEvent(kType), Message(message), WParam(wParam), LParam(lParam) {}
    const int Message;
    const intptr_t WParam;
    const intptr_t LParam;
};

class TfrmMain : public QWidget {
    Q_OBJECT
public:
    // Builds the extractor for a kind (videoKind*); quality is Options.Format, used by YouTube.
    using TVideoFactory = std::function<std::unique_ptr<TVideo>(int32_t kind, int32_t quality)>;

    // ui: where the workers of the extractors and download windows report; it must outlive them.
    TfrmMain(TVideoFactory factory, TDialogs& dialogs, TUiThread& ui, QWidget* parent = nullptr);
    ~TfrmMain() override;

    std::string PendingTitle;
    std::string PendingMediaUrl;
    std::unique_ptr<TVideo> CurrentVideo;
    std::vector<TfrmDownload*> Downloads;  // open download windows in opening order, not owned
    int32_t WaitTicks = 0;
    int32_t VideoKind = 0;
    bool Busy = false;
    bool ClosePending = false;
    std::string PendingCookies;

    QDialog* About = nullptr;  // created hidden at start-up, not owned

    QWidget* pTop;
    QLabel* Image2;
    QWidget* pWorkspace;
    QLabel* eURLLabel;
    QLineEdit* eURL;
    QLabel* eFolderLabel;
    QLineEdit* eFolder;
    QPushButton* bBrowse;
    QLabel* lInfo;
    QLabel* lWait;
    QPushButton* bOptions;
    QPushButton* bOk;
    QPushButton* bExit;
    QPushButton* bHelp;
    QPushButton* bAbout;
    QTimer* Timer1;

public slots:
    void bOkClick();
    void bExitClick();
    void bBrowseClick();
    void bOptionsClick();
    void bHelpClick();
    void bAboutClick();
    void eURLChange();
    void Timer1Timer();
    // Every change of the desktop clipboard (the CLIPBOARD selection, not the mouse selection).
    void ClipboardChanged();
    // OnDone of every extractor; arrives on the UI thread, possibly inside Start.
    void VideoDone(TVideo* video, int32_t errorCode);
    // OnClosed of every download window.
    void DownloadClosed(TfrmDownload* window);

protected:
    void closeEvent(QCloseEvent* event) override;  // the close query
    void customEvent(QEvent* event) override;

private:
    void FormCreate();
    void FormDestroy();
    void DispatchAddress();
    void SetBusy(bool busy);
    void StartWaiting();
    void StopWaiting();
    // "Error retrieving data..." and, on a second line, why.
    void ShowFailure(const QString& reason);
    void ReleaseVideo();
    // The folder picker opened from a window of ours, placed beside it.
    std::optional<QString> PickFolder(QWidget* from, const QString& prompt);
    void ReportSaveFailure();
    void ReportUnreadableSettings(const TSettingsLoad& loaded);
    void OpenDownloadWindow(int32_t videoKind);
    // The window for PendingMediaUrl, proposing FileName and offering MediaFormat's file type.
    void OpenDownloadWindow(const std::string& FileName, int32_t MediaFormat);
    // Asks whether to resume the journal's downloads, and opens their windows.
    void OfferUnfinished();
    // Every download window ends: a transfer pauses and stays in the journal.
    void KeepDownloads();
    // The window a download window opens with, from Options.
    TfrmDownload* NewDownloadWindow();

    TVideoFactory Factory;
    TDialogs& Dialogs;
    TUiThread& Ui;
    // Handed to every download window. A quit waits for their workers; only a teardown without
    // closing (FormDestroy with windows open) could leave one running past it.
    TDownloadJournal Journal;
    // Extractors that have reported; freed from the event loop, after their report has unwound.
    std::vector<std::unique_ptr<TVideo>> Released;
};
