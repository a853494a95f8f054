// Main window layout, request flow, waiting state, and the download windows it opens.
#include "app/TfrmMain.h"

#include <QApplication>
#include <QClipboard>
#include <QCloseEvent>
#include <QDialog>
#include <QDir>
#include <QFileInfo>
#include <QLabel>
#include <QLineEdit>
#include <QMimeData>
#include <QPointer>
#include <QPushButton>
#include <QScreen>
#include <QTimer>
#include <algorithm>

#include "app/Banner.h"
#include "app/TfrmSelectFolder.h"
#include "download/TfrmDownload.h"
#include "settings/TfrmOptions.h"
#include "settings/uHelpers.h"
#include "settings/uSettings.h"
#include "settings/uSystem.h"
#include "sites/VideoKinds.h"
#include "ui/FormHelpers.h"
#include "ui/TDialogs.h"
#include "ui/Translate.h"

const QEvent::Type TMessageEvent::kType = static_cast<QEvent::Type>(QEvent::registerEventType());

namespace {

const QString kCaption = QStringLiteral("Sorlen");
constexpr const char* kBusyCaption = TrNoop("Sorlen - please wait...");
constexpr int kWaitInterval = 500;
constexpr int kWaitTicksBeforeCancel = 120;

// A labelled edit: the label sits just above the edit, as the form designer places it.
QLineEdit* LabelledEdit(QWidget* parent, const QString& caption, int x, int y, int width,
                        QLabel*& label) {
    auto* edit = new QLineEdit(parent);
    edit->setGeometry(x, y, width, 21);
    label = new QLabel(caption, parent);
    label->setGeometry(x, y - 16, width, 13);
    label->setBuddy(edit);
    return edit;
}

// The clipboard monitor takes only watch pages of the YouTube host, exactly as written: unlike
// the dispatch, an upper-case host is no match here. https too: browsers copy that today.
bool IsWatchPageAddress(const std::string& text) {
    const TUrlInfo url = SplitUrl(text);
    return (url.Scheme == urlSchemeHttp || url.Scheme == urlSchemeHttps) &&
           (url.Host == kYouTubeHost || url.Host == kYouTubeWwwHost) &&
           url.Path.rfind("/watch?v=", 0) == 0;
}

}  // namespace

TfrmMain::TfrmMain(TVideoFactory factory, TDialogs& dialogs, TUiThread& ui, QWidget* parent)
    : QWidget(parent, Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                          Qt::WindowSystemMenuHint | Qt::WindowMinimizeButtonHint |
                          Qt::WindowCloseButtonHint),
      Factory(std::move(factory)),
      Dialogs(dialogs),
      Ui(ui),
      Journal(TDownloadJournal::DefaultPath()) {
    setFont(FormFont());
    setFixedSize(344, 228);

    pTop = new QWidget(this);
    pTop->setGeometry(0, 0, 344, 60);
    pTop->setAutoFillBackground(true);
    QPalette white = pTop->palette();
    white.setColor(QPalette::Window, Qt::white);
    pTop->setPalette(white);
    Image2 = new QLabel(pTop);
    Image2->setGeometry(0, 0, 345, 60);
    Image2->setPixmap(MakeBanner());

    pWorkspace = new QWidget(this);
    pWorkspace->setGeometry(0, 60, 344, 168);
    eURL = LabelledEdit(pWorkspace, Tr("Enter Video URL:"), 16, 32, 313, eURLLabel);
    eFolder = LabelledEdit(pWorkspace, Tr("Save to folder:"), 16, 80, 289, eFolderLabel);
    bBrowse = Button(pWorkspace, QStringLiteral("..."), 308, 80, 21, 21);
    // Read-only: a folder typed here would change nothing, only "..." and the options do.
    eFolder->setReadOnly(true);
    QPalette unused = eFolder->palette();
    unused.setColor(QPalette::Base, unused.color(QPalette::Window));
    eFolder->setPalette(unused);
    lInfo = new QLabel(pWorkspace);
    // The status text runs on under the dots' label, whose dots are centred well to its right.
    // Two lines high, so that a failure can say why under "Error retrieving data...".
    lInfo->setGeometry(16, 104, 313, 30);
    lInfo->setAlignment(Qt::AlignLeft | Qt::AlignVCenter);
    lWait = new QLabel(pWorkspace);
    lWait->setGeometry(212, 112, 100, 13);
    lWait->setAlignment(Qt::AlignHCenter | Qt::AlignVCenter);
    bOptions = Button(pWorkspace, Tr("Options"), 77, 136, 65, 25);
    bOk = Button(pWorkspace, Tr("OK"), 145, 136, 65, 25);
    bExit = Button(pWorkspace, Tr("Exit"), 213, 136, 65, 25);
    bHelp = Button(pWorkspace, QStringLiteral("?"), 281, 136, 25, 25);
    bAbout = Button(pWorkspace, QStringLiteral("A"), 309, 136, 25, 25);
    bOk->setDefault(true);
    bHelp->setToolTip(Tr("Help"));
    bAbout->setToolTip(Tr("About"));
    setTabOrder(eURL, eFolder);
    setTabOrder(eFolder, bBrowse);
    setTabOrder(bBrowse, bOptions);
    setTabOrder(bOptions, bOk);
    setTabOrder(bOk, bExit);
    setTabOrder(bExit, bHelp);
    setTabOrder(bHelp, bAbout);

    Timer1 = new QTimer(this);
    Timer1->setInterval(kWaitInterval);

    connect(bOk, &QPushButton::clicked, this, &TfrmMain::bOkClick);
    connect(bExit, &QPushButton::clicked, this, &TfrmMain::bExitClick);
    connect(bBrowse, &QPushButton::clicked, this, &TfrmMain::bBrowseClick);
    connect(bOptions, &QPushButton::clicked, this, &TfrmMain::bOptionsClick);
    connect(bHelp, &QPushButton::clicked, this, &TfrmMain::bHelpClick);
    connect(bAbout, &QPushButton::clicked, this, &TfrmMain::bAboutClick);
    connect(eURL, &QLineEdit::textChanged, this, &TfrmMain::eURLChange);
    // A plain window has no default button of its own: Enter in the address is "OK".
    connect(eURL, &QLineEdit::returnPressed, bOk, &QPushButton::click);
    connect(Timer1, &QTimer::timeout, this, &TfrmMain::Timer1Timer);

    if (const QScreen* screen = QGuiApplication::primaryScreen()) {
        const QRect area = screen->availableGeometry();
        move(area.center() - QPoint(width() / 2, height() / 2));
    }
    FormCreate();
}

TfrmMain::~TfrmMain() {
    FormDestroy();
}

void TfrmMain::FormCreate() {
    Busy = false;
    ClosePending = false;
    Timer1->stop();
    Downloads.clear();
    setWindowTitle(kCaption);
    const TSettingsLoad loaded = LoadSettings();
    // Told once the window is up, so that the box has an owner on screen.
    if (loaded.Unreadable)
        QTimer::singleShot(0, this, [this, loaded] { ReportUnreadableSettings(loaded); });
    QTimer::singleShot(0, this, &TfrmMain::OfferUnfinished);
    connect(QGuiApplication::clipboard(), &QClipboard::dataChanged, this,
            &TfrmMain::ClipboardChanged);
    eFolder->setText(FromPath(Options.SaveTo));
    eURL->setFocus();
}

void TfrmMain::FormDestroy() {
    disconnect(QGuiApplication::clipboard(), nullptr, this, nullptr);
    Timer1->stop();
    if (!SaveSettings()) ReportSaveFailure();
    // Only reached with windows still open when the program is torn down without closing.
    for (TfrmDownload* window : Downloads) delete window;
    Downloads.clear();
}

void TfrmMain::ReportSaveFailure() {
    Dialogs.MessageBox(this, kCaption,
                       Tr("Unable to write to %1").arg(FromPath(SettingsFilePath())),
                       TDialogs::TIcon::Error);
}

void TfrmMain::ReportUnreadableSettings(const TSettingsLoad& loaded) {
    const QString kept = loaded.KeptAs.empty()
                             ? Tr("It was left as it is and will not be overwritten.")
                             : Tr("The old file was kept as %1.").arg(FromPath(loaded.KeptAs));
    Dialogs.MessageBox(this, kCaption,
                       Tr("The settings file %1 could not be read, so the default "
                          "settings are used. %2")
                           .arg(FromPath(SettingsFilePath()), kept),
                       TDialogs::TIcon::Warning);
}

void TfrmMain::bOkClick() {
    if (eURL->text().isEmpty()) {
        Dialogs.MessageBox(this, Tr("Warning"), Tr("Please enter a valid video URL!"),
                           TDialogs::TIcon::Warning);
        eURL->setFocus();
        return;
    }
    DispatchAddress();
}

void TfrmMain::DispatchAddress() {
    const std::string address = eURL->text().toStdString();
    // A media file itself: nothing to extract, so no page is fetched.
    if (const std::optional<TDirectLink> link = DirectMediaLink(address)) {
        PendingMediaUrl = TrimBlanks(address);
        PendingCookies.clear();
        OpenDownloadWindow(link->FileName, link->MediaFormat);
        return;
    }
    const int32_t kind = VideoKindForHost(SplitUrl(address).Host);

    StartWaiting();
    VideoKind = kind;
    std::unique_ptr<TVideo> video = Factory ? Factory(kind, Options.Format) : nullptr;
    if (!video) {
        // No extractor for this kind in this build: the request fails like a failed fetch.
        StopWaiting();
        ShowFailure(Tr("no extractor for this site"));
        return;
    }
    video->OnDone = [this](TVideo* v, int32_t code) { VideoDone(v, code); };
    video->PageUrl = address;
    video->Proxy = ProxyFromOptions(Options);
    video->UiThread = &Ui;
    CurrentVideo = std::move(video);
    // The report may arrive inside Start and release the extractor: nothing touches it after.
    CurrentVideo->Start();
}

void TfrmMain::SetBusy(bool busy) {
    Busy = busy;
    for (QWidget* control : {static_cast<QWidget*>(eURL), static_cast<QWidget*>(eFolder),
                             static_cast<QWidget*>(bBrowse), static_cast<QWidget*>(bOptions),
                             static_cast<QWidget*>(bOk)}) {
        control->setEnabled(!busy);
    }
    eURL->setReadOnly(busy);
    bExit->setText(busy ? Tr("Cancel") : Tr("Exit"));
    // The desktop shows the program by its windows' titles. Qt would append an application
    // display name to every other window's title ("Sorlen Options — Sorlen"), so none is set
    // and this caption alone says that the program is busy.
    setWindowTitle(busy ? Tr(kBusyCaption) : kCaption);
}

void TfrmMain::StartWaiting() {
    SetBusy(true);
    WaitTicks = 0;
    lInfo->setText(Tr("Retrieving video information, please wait"));
    Timer1->start();
}

void TfrmMain::StopWaiting() {
    Timer1->stop();
    lInfo->clear();
    lInfo->setToolTip(QString());
    lWait->clear();
    SetBusy(false);
}

void TfrmMain::Timer1Timer() {
    ++WaitTicks;
    lWait->setText(QString(WaitTicks % 6, QLatin1Char('.')));
    // About a minute without a report: keep asking the extractor to give up until it does.
    if (WaitTicks > kWaitTicksBeforeCancel && CurrentVideo) CurrentVideo->Cancel();
}

void TfrmMain::VideoDone(TVideo* video, int32_t errorCode) {
    if (video != CurrentVideo.get()) return;
    const bool timedOut = WaitTicks > kWaitTicksBeforeCancel;
    StopWaiting();
    if (errorCode != vidSuccess) {
        ShowFailure(errorCode == vidCancelled
                        ? (timedOut ? Tr("no answer within a minute") : Tr("cancelled"))
                    : video->FailureReason.empty() ? Tr("no video found on this page")
                                                   : QString::fromStdString(video->FailureReason));
    } else {
        PendingTitle = video->Title;
        PendingMediaUrl = video->MediaUrl;
        PendingCookies = video->Cookies;
    }
    // Released before the open request is handled: both go through the same queue, in order.
    ReleaseVideo();
    if (errorCode == vidSuccess) {
        QCoreApplication::postEvent(this, new TMessageEvent(WM_OPEN_DOWNLOAD, 0, VideoKind));
    }
}

void TfrmMain::ShowFailure(const QString& reason) {
    const QString head = Tr("Error retrieving data...") + QLatin1Char('\n');
    // A reason too long for the line (a refused certificate) is shortened; the tip has it whole.
    lInfo->setText(head + lInfo->fontMetrics().elidedText(reason, Qt::ElideRight, lInfo->width()));
    lInfo->setToolTip(head + reason);
}

void TfrmMain::ReleaseVideo() {
    Released.push_back(std::move(CurrentVideo));
    QMetaObject::invokeMethod(
        this, [this] { Released.clear(); }, Qt::QueuedConnection);
}

void TfrmMain::customEvent(QEvent* event) {
    if (event->type() != TMessageEvent::kType) return;
    const auto* message = static_cast<TMessageEvent*>(event);
    if (message->Message == WM_OPEN_DOWNLOAD)
        OpenDownloadWindow(static_cast<int32_t>(message->LParam));
}

void TfrmMain::OpenDownloadWindow(int32_t videoKind) {
    const TMediaKind kind = MediaKindFor(videoKind, Options.Format);
    OpenDownloadWindow(CleanFileName(PendingTitle) + kind.Extension, kind.MediaFormat);
}

TfrmDownload* TfrmMain::NewDownloadWindow() {
    auto* window = new TfrmDownload(Dialogs, Ui);
    window->SetCloseWhenDone(Options.CloseOnComplete);
    window->NotifyWhenDone = Options.NotifyWhenDone;
    window->OnClosed = [this](TfrmDownload* w) { DownloadClosed(w); };
    window->Proxy = ProxyFromOptions(Options);
    window->StallMs = StallMsFromOptions(Options);
    window->RetryCount = Options.RetryCount;
    window->Connections = Options.Connections;
    window->SplitFrom = int64_t{Options.SplitAboveKiB} * 1024;
    window->Journal = &Journal;
    Downloads.push_back(window);
    return window;
}

void TfrmMain::OpenDownloadWindow(const std::string& FileName, int32_t MediaFormat) {
    TfrmDownload* window = NewDownloadWindow();
    window->MediaUrl = PendingMediaUrl;
    window->FileName = FileName;
    window->MediaFormat = static_cast<uint8_t>(MediaFormat);
    // A save folder that has gone (an unplugged disk) would open the dialog in whatever folder
    // the program was started from.
    window->SaveFolder =
        QFileInfo(FromPath(Options.SaveTo)).isDir() ? Options.SaveTo : GetDefaultSaveFolder();
    window->Cookies = PendingCookies;
    window->StartDownload();
}

void TfrmMain::OfferUnfinished() {
    const std::vector<TJournalEntry> entries = Journal.Unfinished();
    if (entries.empty()) return;
    const QString question = entries.size() == 1
                                 ? Tr("Resume 1 unfinished download?")
                                 : Tr("Resume %1 unfinished downloads?").arg(entries.size());
    // No keeps them recorded: the next start asks again.
    if (!Dialogs.Question(this, Tr("Unfinished downloads"), question)) return;
    for (const TJournalEntry& entry : entries) {
        TfrmDownload* window = NewDownloadWindow();
        window->MediaUrl = entry.MediaUrl;
        window->Cookies = entry.Cookies;
        window->FileName = entry.Target;
        window->ContinueDownload(entry.Validators, entry.Pieces);
    }
}

void TfrmMain::DownloadClosed(TfrmDownload* window) {
    std::erase(Downloads, window);
    Options.CloseOnComplete = window->CloseWhenDone;
    // Queued: this may run inside our own close query, which would ignore a nested close.
    if (ClosePending && Downloads.empty()) {
        QMetaObject::invokeMethod(this, &QWidget::close, Qt::QueuedConnection);
    }
}

void TfrmMain::KeepDownloads() {
    // Windows that are not transferring leave the list while this runs; each one open at the
    // start still gets its request.
    std::vector<QPointer<TfrmDownload>> windows(Downloads.begin(), Downloads.end());
    for (const QPointer<TfrmDownload>& window : windows) {
        if (window) window->KeepForLater();
    }
}

void TfrmMain::bExitClick() {
    if (Busy) {
        if (CurrentVideo) CurrentVideo->Cancel();
        return;
    }
    close();
}

void TfrmMain::closeEvent(QCloseEvent* event) {
    if (Busy) {
        if (CurrentVideo) CurrentVideo->Cancel();
        event->ignore();
        return;
    }
    if (Downloads.empty()) {
        event->accept();
        return;
    }
    event->ignore();
    // Asked once: a second close while the downloads end changes nothing.
    if (ClosePending) return;
    const auto unfinished = std::count_if(Downloads.begin(), Downloads.end(),
                                          [](const TfrmDownload* w) { return w->Unfinished(); });
    if (unfinished > 0) {
        const QString question =
            unfinished == 1
                ? Tr("1 download is not finished. Quit and keep it to resume later?")
                : Tr("%1 downloads are not finished. Quit and keep them to resume later?")
                      .arg(unfinished);
        if (!Dialogs.Question(this, kCaption, question)) return;
    }
    ClosePending = true;
    lInfo->setText(unfinished > 0 ? Tr("Pausing downloads...") : Tr("Aborting downloads..."));
    KeepDownloads();
}

void TfrmMain::eURLChange() {
    lInfo->clear();
    lInfo->setToolTip(QString());
}

std::optional<QString> TfrmMain::PickFolder(QWidget* from, const QString& prompt) {
    const QPoint at = FolderPickerPosition(from->frameGeometry().topLeft(), from->screen()->size());
    return Dialogs.SelectFolder(from, prompt, QString(), at);
}

void TfrmMain::bBrowseClick() {
    const auto folder = PickFolder(this, Tr("Select default folder:"));
    if (!folder) return;
    eFolder->setText(*folder);
    Options.SaveTo = ToPath(*folder);
}

void TfrmMain::bOptionsClick() {
    TfrmOptions dialog(this);
    dialog.OnSelectFolder = [this](QWidget* from, const QString& prompt) {
        return PickFolder(from, prompt);
    };
    dialog.OnWarning = [this](QWidget* from, const QString& title, const QString& text) {
        Dialogs.MessageBox(from, title, text, TDialogs::TIcon::Warning);
    };
    dialog.LoadFromOptions(Options);
    if (Dialogs.ShowModal(&dialog) != QDialog::Accepted) return;

    // The session keeps the chosen options even when the file cannot hold them; the entry
    // started at log-on then stays as the file still describes it.
    Options = dialog.EditedOptions;
    const bool saved = SaveSettings();
    eFolder->setText(FromPath(Options.SaveTo));
    if (!saved) {
        ReportSaveFailure();
        return;
    }
    SetRunAtStartup("Sorlen",
                    Options.LoadOnStart ? ToPath(QCoreApplication::applicationFilePath()) : "");
}

void TfrmMain::ClipboardChanged() {
    // Before start-up has finished (an address copied before the program started) nothing is
    // taken; the option is read anew at every change.
    if (!AppStarted || !Options.MonitorClipboard) return;
    // Only text is ever asked of the clipboard's owner: an image or other data is not fetched.
    const QMimeData* data = QGuiApplication::clipboard()->mimeData(QClipboard::Clipboard);
    if (data == nullptr || !data->hasText()) return;
    QString text = data->text();
    const qsizetype nul = text.indexOf(QChar(0));
    if (nul >= 0) text.truncate(nul);
    // Text longer than the field holds would be cut short there: that is not the copied address.
    if (text.size() > eURL->maxLength() || !IsWatchPageAddress(text.toStdString())) return;
    eURL->setText(text);
    eURL->selectAll();
}

void TfrmMain::bHelpClick() {
    const QString chm = QStringLiteral("sorlen.chm");
    if (QFileInfo::exists(chm)) {
        OpenOrSayWhy(Dialogs, this, chm);
        return;
    }
    // On Linux the help is the README: installed beside the program's share folder, or in the
    // source tree a build tree was made from.
    const QString installed =
        QDir::cleanPath(FromPath(ProgramFolder) + QStringLiteral("../share/doc/sorlen/README.md"));
    QString found;
    for (const QString& readme : {installed, QStringLiteral(SORLEN_SOURCE_README)}) {
        if (!QFileInfo::exists(readme)) continue;
        if (Dialogs.OpenDocument(readme)) return;
        found = readme;
        break;
    }
    Dialogs.MessageBox(this, Tr("Help"),
                       found.isEmpty()
                           ? Tr("Sorlen's help is its README: share/doc/sorlen/README.md where "
                                "Sorlen is installed, README.md in its source folder.")
                           : Tr("Sorlen's help is its README: %1 (the desktop has no program to "
                                "open it).")
                                 .arg(found),
                       TDialogs::TIcon::Information);
}

void TfrmMain::bAboutClick() {
    if (About) Dialogs.ShowModal(About);
}
