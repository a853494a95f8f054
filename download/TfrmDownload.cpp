// Download window layout, the worker's handlers and the end of a download.
#include "download/TfrmDownload.h"

#include <QCheckBox>
#include <QCloseEvent>
#include <QDialog>
#include <QFileInfo>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QTimer>
#include <atomic>
#include <cstdio>

#include "download/THttpThread.h"
#include "platform/UiThread.h"
#include "settings/uHelpers.h"
#include "settings/uSystem.h"
#include "ui/FormHelpers.h"
#include "ui/TDialogs.h"
#include "ui/Translate.h"

// What the worker's handlers share with the window. Both hold it, so a handler that runs after
// the window has gone finds Window empty instead of a freed window. Progress crosses without a
// round trip: the worker stores its latest figure and queues a display update only when the
// window is not already bound to show it, so updates that come faster than the window shows
// them merge into the latest.
struct TDownloadLink {
    TfrmDownload* Window = nullptr;     // UI thread only; null once the window is destroyed
    std::atomic<bool> Abort{false};     // CancelledByUser, as the worker reads it
    std::atomic<uint64_t> Received{0};  // the latest progress figure
    // A display update is queued, or the window's refresh pause runs and will show the figure.
    std::atomic<bool> ShowQueued{false};
    // Set by the UI thread while the worker waits for the chosen file, read by the worker after.
    std::string PartFile;
    std::string TargetFile;

    // Worker thread: runs fn on the window on the UI thread and waits for it.
    static void RunOnWindow(const std::shared_ptr<TDownloadLink>& link,
                            const std::function<void(TfrmDownload&)>& fn) {
        auto run = [&link, &fn] {
            if (link->Window) fn(*link->Window);
        };
        if (TUiThread* ui = GetUiThread())
            ui->RunAndWait(run);
        else
            run();
    }

    // Worker thread, at the end: the file goes to its name only when the download is whole
    // (a connection that ends before the announced size is not), otherwise it goes away. Done
    // here, not on the UI thread: replacing or removing a large file takes its time.
    static bool KeepFile(const std::shared_ptr<TDownloadLink>& link, THttpThread* thread,
                         int32_t errorCode) {
        if (link->PartFile.empty()) return false;
        const bool whole = errorCode == 0 && (thread->TotalSize <= 0 ||
                                              thread->Received == uint64_t(thread->TotalSize));
        if (whole && std::rename(link->PartFile.c_str(), link->TargetFile.c_str()) == 0)
            return true;
        std::remove(link->PartFile.c_str());
        return false;
    }

    // Worker thread, every written block.
    static void Progress(const std::shared_ptr<TDownloadLink>& link, bool& abort,
                         uint64_t received) {
        abort = link->Abort.load();
        if (abort) return;
        link->Received.store(received);
        // Mostly an update is already queued: a plain read spares the locked write per block.
        if (link->ShowQueued.load() || link->ShowQueued.exchange(true)) return;
        TUiThread* ui = GetUiThread();
        if (!ui) return;
        ui->Post([link] {
            if (link->Window) link->Window->ShowProgress();
        });
    }
};

namespace {

const QString kAppTitle = QStringLiteral("Sorlen");
constexpr const char* kCommencing = TrNoop("Commencing download, please wait...");
// The figures change faster than anyone reads them; between two showings the UI thread is free
// for everything else, and the pause's end shows whatever arrived meanwhile.
constexpr int kRefreshPauseMs = 100;

QLabel* Label(QWidget* parent, const QString& text, int x, int y, int width) {
    auto* label = new QLabel(text, parent);
    label->setGeometry(x, y, width, 13);
    return label;
}

QStringList FiltersFor(uint8_t mediaFormat) {
    QStringList filters;
    if (mediaFormat == 0) filters << Tr(".flv file (*.flv)");
    if (mediaFormat == 1) filters << Tr("MP4 file (*.mp4)");
    filters << Tr("All files (*)");
    return filters;
}

}  // namespace

TfrmDownload::TfrmDownload(TDialogs& dialogs)
    : QWidget(nullptr, Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                           Qt::WindowSystemMenuHint | Qt::WindowMinimizeButtonHint |
                           Qt::WindowCloseButtonHint),
      Dialogs(dialogs),
      Format(LocaleNumberFormat()),
      Link(std::make_shared<TDownloadLink>()) {
    Link->Window = this;
    setFont(FormFont());
    setFixedSize(367, 160);
    setWindowTitle(Tr("File Download"));

    Label1 = Label(this, Tr("Getting file information..."), 8, 8, 349);
    pb1 = new QProgressBar(this);
    pb1->setGeometry(8, 24, 349, 17);
    pb1->setRange(0, 100);
    pb1->setValue(0);
    pb1->setTextVisible(false);
    Label2 = Label(this, Tr("Downloaded:"), 8, 48, 74);
    lDownloaded = Label(this, QString(), 84, 48, 275);
    Label3 = Label(this, Tr("Save as:"), 8, 64, 74);
    lSaveAs = Label(this, QString(), 84, 64, 269);
    Label5 = Label(this, Tr("Transfer rate:"), 8, 80, 74);
    lRate = Label(this, QString(), 84, 80, 275);
    ckClose = new QCheckBox(Tr("Close when download completes"), this);
    ckClose->setGeometry(8, 100, 181, 17);
    bOpen = Button(this, Tr("Open"), 124, 128, 75, 25);
    bFolder = Button(this, Tr("Open Folder"), 204, 128, 75, 25);
    bCancel = Button(this, Tr("Cancel"), 284, 128, 75, 25);
    bOpen->setEnabled(false);
    bFolder->setEnabled(false);
    bCancel->setEnabled(false);

    connect(bCancel, &QPushButton::clicked, this, &TfrmDownload::bCancelClick);
    connect(bOpen, &QPushButton::clicked, this, &TfrmDownload::bOpenClick);
    connect(bFolder, &QPushButton::clicked, this, &TfrmDownload::bFolderClick);
    connect(ckClose, &QCheckBox::clicked, this, &TfrmDownload::ckCloseClick);
    RefreshPause = new QTimer(this);
    RefreshPause->setSingleShot(true);
    RefreshPause->setInterval(kRefreshPauseMs);
    connect(RefreshPause, &QTimer::timeout, this, &TfrmDownload::RefreshPauseEnded);

    SetCloseWhenDone(false);
}

TfrmDownload::~TfrmDownload() {
    Link->Window = nullptr;
}

void TfrmDownload::SetCloseWhenDone(bool value) {
    CloseWhenDone = value;
    ckClose->setChecked(value);
}

void TfrmDownload::StartDownload() {
    Label1->setText(Tr("Commencing download..."));
    lDownloaded->clear();
    Downloaded = 0;
    Request = SplitUrl(MediaUrl);
    Request.Url = MediaUrl;
    ShortName = Tr(kCommencing);
    setWindowTitle(ShortName);
    Request.FileName = FileName;
    if (Cookies.empty()) Cookies = GetSystemCookies(MediaUrl);
    Request.Cookies = Cookies;
    ApplyProxy(Proxy, Request);
    show();

    Thread = new THttpThread(Request);
    const std::shared_ptr<TDownloadLink> link = Link;
    Thread->OnSize = [link](THttpThread* thread) {
        const int64_t size = thread->TotalSize;
        TDownloadLink::RunOnWindow(link, [size](TfrmDownload& w) { w.TotalSize = size; });
    };
    Thread->OnAskFile = [link](THttpThread* thread, bool& abort) {
        std::optional<TUrlInfo> request;
        TDownloadLink::RunOnWindow(link, [&request](TfrmDownload& w) { request = w.AskFile(); });
        if (request)
            thread->SetRequest(*request);
        else
            abort = true;
    };
    Thread->OnProgress = [link](THttpThread*, bool& abort, uint64_t received) {
        TDownloadLink::Progress(link, abort, received);
    };
    Thread->OnDone = [link](THttpThread* thread, int32_t errorCode) {
        const bool complete = TDownloadLink::KeepFile(link, thread, errorCode);
        const uint64_t received = thread->Received;
        const std::string secure = thread->SecureFailure;
        TDownloadLink::RunOnWindow(link, [complete, received, &secure](TfrmDownload& w) {
            w.Finish(complete, received, secure);
        });
    };
    Thread->OnErrorBox = [link](const std::string& text, const std::string& title) {
        TDownloadLink::RunOnWindow(link, [&text, &title](TfrmDownload& w) {
            w.ShowSaveError(QString::fromStdString(text), QString::fromStdString(title));
        });
    };
    // The end notification already runs on the UI thread.
    Thread->OnTerminate = [link](THttpThread*) {
        if (link->Window) link->Window->Ended();
    };
    StartTime = TClock::now();
    Downloading = true;
    Thread->Resume();
}

std::optional<TUrlInfo> TfrmDownload::AskFile() {
    if (CancelledByUser) return std::nullopt;
    repaint();
    const QStringList filters = FiltersFor(MediaFormat);
    // A name the file system cannot hold would be refused by the dialog without a word.
    QString proposed = FromPath(FitFileName(ToPath(FromPath(FileName))));
    QString chosen;
    for (;;) {
        const std::optional<QString> answer =
            Dialogs.SaveFile(this, proposed, FromPath(SaveFolder), filters);
        if (!answer || answer->isEmpty() || CancelledByUser) {
            SetCancelled();
            return std::nullopt;
        }
        chosen = *answer;
        if (!QFileInfo::exists(chosen)) break;
        const bool replace = Dialogs.Question(
            this, Tr("Confirm Save As"),
            Tr("%1 already exists.\nDo you want to replace it?").arg(QFileInfo(chosen).fileName()));
        if (CancelledByUser) {
            SetCancelled();
            return std::nullopt;
        }
        if (replace) break;
        proposed = chosen;
    }
    FileName = ToPath(chosen);
    // The transfer goes into a file beside the target; an existing file is replaced only by a
    // complete download, so a failure never leaves the user with neither.
    Link->TargetFile = FileName;
    Link->PartFile = FileName + ".part";
    Request.FileName = Link->PartFile;
    lSaveAs->setText(chosen);
    bCancel->setEnabled(true);
    ShortName = QFileInfo(chosen).fileName();
    return Request;
}

void TfrmDownload::ShowProgress() {
    ShowFigures();
    RefreshPause->start();
}

void TfrmDownload::RefreshPauseEnded() {
    const auto changed = [this] { return Link->Received.load() != ShownReceived; };
    if (!changed()) {
        Link->ShowQueued.store(false);
        // A block written between the check and the release queued nothing: show it here.
        if (!changed() || Link->ShowQueued.exchange(true)) return;
    }
    ShowProgress();
}

void TfrmDownload::ShowFigures() {
    ShownReceived = Link->Received.load();
    if (CancelledByUser || !Downloading) return;
    Label1->setText(Tr("Downloading video file..."));
    Downloaded = static_cast<int64_t>(ShownReceived);
    const TProgressView view = DescribeProgress(TotalSize, Downloaded, ElapsedSeconds(), Format);
    if (view.SizeKnown) {
        pb1->setValue(view.Percent);
        setWindowTitle(Tr("%1% of %2").arg(view.Percent).arg(ShortName));
    }
    lDownloaded->setText(QString::fromStdString(view.Amount));
    if (view.HasRate) lRate->setText(QString::fromStdString(view.Rate));
}

void TfrmDownload::Finish(bool complete, uint64_t received, const std::string& SecureFailure) {
    Downloaded = static_cast<int64_t>(received);
    if (complete) {
        // The last blocks may have come during a refresh pause: the bar shows where they ended.
        const TProgressView last = DescribeProgress(TotalSize, Downloaded, 0, Format);
        if (last.SizeKnown) pb1->setValue(last.Percent);
        const TProgressView view = DescribeResult(Downloaded, ElapsedSeconds(), Format);
        lDownloaded->setText(QString::fromStdString(view.Amount));
        if (view.HasRate) lRate->setText(QString::fromStdString(view.Rate));
        Label1->setText(Tr("Download complete..."));
        bOpen->setEnabled(true);
        bFolder->setEnabled(true);
        bCancel->setText(Tr("Close"));
        bCancel->setEnabled(true);
        setWindowTitle(Tr("Download complete"));
        Downloading = false;
        return;
    }
    if (CancelledByUser) return;
    hide();
    QString text = Tr("Error downloading video file!");
    if (!SecureFailure.empty())
        text += QStringLiteral("\n\n") + QString::fromStdString(SecureFailure);
    Dialogs.MessageBox(this, kAppTitle, text, TDialogs::TIcon::Error);
    SetCancelled();
}

void TfrmDownload::Ended() {
    Thread = nullptr;
    Downloading = false;
    if (CancelledByUser || CloseWhenDone) close();
}

void TfrmDownload::ShowSaveError(const QString& text, const QString& title) {
    Dialogs.MessageBox(nullptr, title, text, TDialogs::TIcon::Error);
    // Shown once: the failed download that follows says nothing more.
    SetCancelled();
}

void TfrmDownload::SetCancelled() {
    CancelledByUser = true;
    Link->Abort.store(true);
}

double TfrmDownload::ElapsedSeconds() const {
    return std::chrono::duration<double>(TClock::now() - StartTime).count();
}

void TfrmDownload::AbortDownload() {
    if (!Downloading) {
        close();
        return;
    }
    SetCancelled();
    // Also before the first block, and from a server that has gone quiet: the request ends
    // now instead of at a next block that may never come.
    if (Thread) Thread->CancelRequest();
    // A save dialog or question still open would hold the worker; it ends as if cancelled.
    for (QDialog* dialog : findChildren<QDialog*>()) {
        if (dialog->isVisible()) dialog->reject();
    }
}

void TfrmDownload::bCancelClick() {
    Label1->setText(Tr("Aborting download..."));
    AbortDownload();
}

void TfrmDownload::bOpenClick() {
    Dialogs.OpenDocument(FromPath(FileName));
}

void TfrmDownload::bFolderClick() {
    const size_t slash = FileName.rfind('/');
    Dialogs.OpenDocument(FromPath(FileName.substr(0, slash == std::string::npos ? 0 : slash + 1)));
}

void TfrmDownload::ckCloseClick() {
    CloseWhenDone = ckClose->isChecked();
}

void TfrmDownload::closeEvent(QCloseEvent* event) {
    // The title bar's close acts as "Cancel" while the worker runs: freeing the window under
    // a running transfer would leave its file half written.
    if (Downloading) {
        event->ignore();
        bCancelClick();
        return;
    }
    event->accept();
    if (Closed) return;
    Closed = true;
    if (OnClosed) OnClosed(this);
    deleteLater();
}
