// Download window layout, the job's events and the end of a download.
#include "download/TfrmDownload.h"

#include <QCheckBox>
#include <QCloseEvent>
#include <QDialog>
#include <QFileInfo>
#include <QKeyEvent>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QTimer>

#include "download/TDownloadJob.h"
#include "download/TDownloadJournal.h"
#include "download/uFormat.h"
#include "settings/uHelpers.h"
#include "settings/uSystem.h"
#include "ui/FormHelpers.h"
#include "ui/TDialogs.h"
#include "ui/Translate.h"

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

// The status line while the worker waits for its next attempt.
QString RetryText(const THttpThread::TRetryNotice& notice) {
    // An attempt that brought bytes is followed by the next at once, and counts none.
    const QString attempt = notice.Retry == 0 ? Tr("reconnecting...")
                                              : Tr("retrying in %1 sec (attempt %2 of %3)...")
                                                    .arg((notice.WaitMs + 999) / 1000)
                                                    .arg(notice.Retry)
                                                    .arg(notice.Retries);
    switch (notice.Cause) {
        case THttpThread::TRetryCause::ConnectionLost:
            return Tr("Connection lost, %1").arg(attempt);
        case THttpThread::TRetryCause::Stalled:
            return Tr("No data received, %1").arg(attempt);
        case THttpThread::TRetryCause::ServerBusy:
            return Tr("Server busy (%1), %2").arg(notice.Status).arg(attempt);
        case THttpThread::TRetryCause::RangeRefused:
            return Tr("Unusable part received, %1").arg(attempt);
    }
    return attempt;
}

QStringList FiltersFor(uint8_t mediaFormat) {
    QStringList filters;
    if (mediaFormat == 0) filters << Tr(".flv file (*.flv)");
    if (mediaFormat == 1) filters << Tr("MP4 file (*.mp4)");
    filters << Tr("All files (*)");
    return filters;
}

}  // namespace

TfrmDownload::TfrmDownload(TDialogs& dialogs, TUiThread& ui)
    : QWidget(nullptr, Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                           Qt::WindowSystemMenuHint | Qt::WindowMinimizeButtonHint |
                           Qt::WindowCloseButtonHint),
      Dialogs(dialogs),
      Job(std::make_shared<TDownloadJob>(ui, LocaleNumberFormat())) {
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
    // As wide as its caption needs: the fonts that stand in for Tahoma run wider.
    ckClose->setGeometry(QRect(QPoint(8, 100), ckClose->sizeHint().expandedTo(QSize(181, 17))));
    bOpen = Button(this, Tr("Open"), 44, 128, 75, 25);
    bFolder = Button(this, Tr("Open Folder"), 124, 128, 75, 25);
    bPause = Button(this, Tr("Pause"), 204, 128, 75, 25);
    bCancel = Button(this, Tr("Cancel"), 284, 128, 75, 25);
    bOpen->setEnabled(false);
    bFolder->setEnabled(false);
    bPause->setEnabled(false);
    bCancel->setEnabled(false);

    connect(bCancel, &QPushButton::clicked, this, &TfrmDownload::bCancelClick);
    connect(bPause, &QPushButton::clicked, this, &TfrmDownload::bPauseClick);
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
    Job->Detach();
}

void TfrmDownload::SetCloseWhenDone(bool value) {
    CloseWhenDone = value;
    ckClose->setChecked(value);
}

void TfrmDownload::Prepare() {
    lDownloaded->clear();
    Request = SplitUrl(MediaUrl);
    Request.Url = MediaUrl;
    Request.FileName = FileName;
    if (Cookies.empty()) Cookies = GetSystemCookies(MediaUrl);
    Request.Cookies = Cookies;
    Request.StallMs = StallMs;
    Request.RetryCount = RetryCount;
    Request.Connections = Connections;
    Request.SplitFrom = SplitFrom;
    ApplyProxy(Proxy, Request);

    Job->Journal = Journal;
    Job->OnAskFile = [this] { return AskFile(); };
    Job->OnProgress = [this] { ShowProgress(); };
    Job->OnFinish = [this](TDownloadEnd end, const std::string& reason) { Finish(end, reason); };
    Job->OnRetry = [this](const THttpThread::TRetryNotice& notice) {
        ShowRetry(RetryText(notice));
    };
    Job->OnErrorBox = [this](const std::string& text, const std::string& title) {
        ShowSaveError(QString::fromStdString(text), QString::fromStdString(title));
    };
    Job->OnTargetBusy = [this](const std::string& chosen) {
        Dialogs.MessageBox(this, kAppTitle,
                           Tr("Another download is saving to %1, or its temporary "
                              "file is in use. Please choose another name.")
                               .arg(FromPath(chosen)),
                           TDialogs::TIcon::Warning);
    };
    Job->OnEnded = [this] { Ended(); };
}

void TfrmDownload::StartDownload() {
    Label1->setText(Tr("Commencing download..."));
    ShortName = Tr(kCommencing);
    setWindowTitle(ShortName);
    Prepare();
    show();
    Downloading = true;
    Job->Start(Request);
}

void TfrmDownload::ContinueDownload(const TValidators& validators,
                                    const std::optional<TByteRanges>& pieces) {
    Label1->setText(Tr("Resuming download..."));
    const QString path = FromPath(FileName);
    ShortName = QFileInfo(path).fileName();
    setWindowTitle(ShortName);
    lSaveAs->setText(lSaveAs->fontMetrics().elidedText(path, Qt::ElideMiddle, lSaveAs->width()));
    lSaveAs->setToolTip(path);
    Prepare();
    show();
    if (!Job->StartKept(Request, FileName, validators, pieces)) {
        Dialogs.MessageBox(this, kAppTitle,
                           Tr("%1 cannot be resumed now: another download is using it.").arg(path),
                           TDialogs::TIcon::Warning);
        close();
        return;
    }
    Downloading = true;
    Stage = TStage::Transferring;
    bPause->setEnabled(true);
    bCancel->setEnabled(true);
}

bool TfrmDownload::Unfinished() const {
    return Stage == TStage::Transferring || Stage == TStage::Paused || Stage == TStage::Kept;
}

void TfrmDownload::KeepForLater() {
    Keeping = true;
    if (Downloading && Stage == TStage::Transferring) {
        Job->Pause();
        return;
    }
    AbortDownload();
}

std::optional<std::string> TfrmDownload::AskFile() {
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
        // A name typed without an extension gets the offered type's.
        if (MediaFormat <= 1 && QFileInfo(chosen).suffix().isEmpty())
            chosen += MediaFormat == 0 ? QStringLiteral(".flv") : QStringLiteral(".mp4");
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
    lSaveAs->setText(lSaveAs->fontMetrics().elidedText(chosen, Qt::ElideMiddle, lSaveAs->width()));
    lSaveAs->setToolTip(chosen);
    bCancel->setEnabled(true);
    bPause->setEnabled(true);
    Stage = TStage::Transferring;
    ShortName = QFileInfo(chosen).fileName();
    return FileName;
}

void TfrmDownload::ShowProgress() {
    const TProgressView view = Job->Progress();
    RefreshPause->start();
    if (CancelledByUser || !Downloading || Stage != TStage::Transferring) return;
    Label1->setText(Tr("Downloading video file..."));
    if (view.SizeKnown) {
        pb1->setValue(view.Percent);
        setWindowTitle(Tr("%1% of %2").arg(view.Percent).arg(ShortName));
    }
    lDownloaded->setText(QString::fromStdString(view.Amount));
    if (view.HasRate) lRate->setText(QString::fromStdString(view.Rate));
}

void TfrmDownload::RefreshPauseEnded() {
    if (Job->PauseEnded()) ShowProgress();
}

void TfrmDownload::Finish(TDownloadEnd end, const std::string& Reason) {
    if (end == TDownloadEnd::Complete) {
        Stage = TStage::Over;
        const TProgressView view = Job->Result();
        if (view.SizeKnown) pb1->setValue(view.Percent);
        lDownloaded->setText(QString::fromStdString(view.Amount));
        if (view.HasRate) lRate->setText(QString::fromStdString(view.Rate));
        Label1->setText(Tr("Download complete..."));
        bOpen->setEnabled(true);
        bFolder->setEnabled(true);
        bPause->setEnabled(false);
        bCancel->setText(Tr("Close"));
        bCancel->setEnabled(true);
        setWindowTitle(Tr("Download complete"));
        Downloading = false;
        NotifyIfAway(Tr("Download complete"), ShortName, FromPath(FileName));
        return;
    }
    if (CancelledByUser) return;
    if (end == TDownloadEnd::Paused) {
        Stage = TStage::Paused;
        ShowKept(Tr("Paused"));
        return;
    }
    const QString why = QString::fromStdString(Reason);
    const QString name = QFileInfo(FromPath(FileName)).fileName();
    if (end == TDownloadEnd::Kept) {
        Stage = TStage::Kept;
        ShowKept(Tr("Download failed, the part received is kept"));
        Label1->setToolTip(why);
        if (Keeping) return;
    }
    NotifyIfAway(Tr("Error downloading video file!"),
                 why.isEmpty() ? name : name + QStringLiteral("\n") + why, QString());
    QString text = Tr("Error downloading video file!");
    if (!why.isEmpty()) text += QStringLiteral("\n\n") + why;
    if (end == TDownloadEnd::Kept) {
        text += QStringLiteral("\n\n") +
                Tr("What has arrived is kept: \"Retry\" goes on from there, \"Cancel\" "
                   "removes it.");
        Dialogs.MessageBox(this, kAppTitle, text, TDialogs::TIcon::Error);
        return;
    }
    Stage = TStage::Over;
    hide();
    Dialogs.MessageBox(this, kAppTitle, text, TDialogs::TIcon::Error);
    SetCancelled();
}

void TfrmDownload::ShowRetry(const QString& text) {
    // A figure that arrived before the connection went is drawn now, so that the next drawing
    // brings bytes of the new attempt and may say "Downloading" again.
    ShowProgress();
    if (Stage == TStage::Transferring && !CancelledByUser) Label1->setText(text);
}

void TfrmDownload::ShowKept(const QString& status) {
    const TProgressView view = Job->KeptView();
    if (view.SizeKnown) pb1->setValue(view.Percent);
    lDownloaded->setText(QString::fromStdString(view.Amount));
    lRate->clear();
    Label1->setText(status);
    setWindowTitle(status + QStringLiteral(" - ") + ShortName);
}

void TfrmDownload::NotifyIfAway(const QString& summary, const QString& body, const QString& file) {
    if (NotifyWhenDone && !isActiveWindow()) Dialogs.Notify(summary, body, file);
}

void TfrmDownload::Ended() {
    Downloading = false;
    if (CancelledByUser || Keeping || (CloseWhenDone && Stage == TStage::Over)) {
        close();
        return;
    }
    // Only now can a new worker start: the old one has gone.
    if (Stage == TStage::Paused || Stage == TStage::Kept) {
        bPause->setText(Stage == TStage::Paused ? Tr("Resume") : Tr("Retry"));
        bPause->setEnabled(true);
    }
}

void TfrmDownload::ShowSaveError(const QString& text, const QString& title) {
    Dialogs.MessageBox(nullptr, title, text, TDialogs::TIcon::Error);
    // Shown once: the failed download that follows says nothing more.
    SetCancelled();
}

void TfrmDownload::SetCancelled() {
    CancelledByUser = true;
    Job->Abort();
}

void TfrmDownload::AbortDownload() {
    if (!Downloading) {
        close();
        return;
    }
    SetCancelled();
    // Also before the first block, and from a server that has gone quiet: the request ends
    // now instead of at a next block that may never come.
    Job->CancelRequest();
    // A save dialog or question still open would hold the worker; it ends as if cancelled.
    for (QDialog* dialog : findChildren<QDialog*>()) {
        if (dialog->isVisible()) dialog->reject();
    }
}

void TfrmDownload::bCancelClick() {
    Label1->setText(Tr("Aborting download..."));
    AbortDownload();
}

void TfrmDownload::bPauseClick() {
    bPause->setEnabled(false);
    if (Stage == TStage::Transferring) {
        Job->Pause();
        return;
    }
    if (Downloading || (Stage != TStage::Paused && Stage != TStage::Kept)) return;
    Stage = TStage::Transferring;
    Label1->setText(Tr("Resuming download..."));
    Label1->setToolTip(QString());
    setWindowTitle(ShortName);
    bPause->setText(Tr("Pause"));
    bPause->setEnabled(true);
    Downloading = true;
    Job->Resume();
}

void TfrmDownload::bOpenClick() {
    OpenOrSayWhy(Dialogs, this, FromPath(FileName));
}

void TfrmDownload::bFolderClick() {
    const size_t slash = FileName.rfind('/');
    OpenOrSayWhy(Dialogs, this,
                 FromPath(FileName.substr(0, slash == std::string::npos ? 0 : slash + 1)));
}

void TfrmDownload::ckCloseClick() {
    CloseWhenDone = ckClose->isChecked();
}

void TfrmDownload::keyPressEvent(QKeyEvent* event) {
    // Escape is the button's meaning of the moment: "Cancel" while it runs, "Close" after.
    if (event->key() == Qt::Key_Escape) {
        bCancelClick();
        return;
    }
    QWidget::keyPressEvent(event);
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
    // Bytes kept by a pause or a failure go with the window, as a cancelled transfer's do;
    // a quit leaves them to be resumed at the next start.
    if (!Keeping) Job->Discard();
    if (OnClosed) OnClosed(this);
    deleteLater();
}
