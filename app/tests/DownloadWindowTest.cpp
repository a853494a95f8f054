// The user's whole path through the real main window and the download windows it opens, against
// the demo-sites server as the proxy: address in, "OK", the save dialog answered by the seam,
// and what ends on disk, in the window and in the settings.
#include <gtest/gtest.h>

#include <QApplication>
#include <QCheckBox>
#include <QLabel>
#include <QLineEdit>
#include <QPointer>
#include <QProgressBar>
#include <QPushButton>
#include <QTest>
#include <QTimer>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>

#include "app/TQtUiThread.h"
#include "app/TfrmMain.h"
#include "app/tests/FakeDialogs.h"
#include "app/tests/SettingsSandbox.h"
#include "download/TDownloadJournal.h"
#include "download/THttpThread.h"
#include "download/TfrmDownload.h"
#include "settings/uSettings.h"
#include "sites/SiteVideos.h"
#include "tests/support/DemoSites.h"
#include "tests/support/LoopWait.h"
#include "tests/support/Loopback.h"
#include "tests/support/Nginx.h"
#include "tests/support/Process.h"
#include "tests/support/ScriptedServer.h"
#include "tests/support/TempFolder.h"
#include "tests/support/TestCa.h"

namespace {

constexpr int kDeadlineMs = 30000;

// An extractor that finds the given media at once: for media the demo sites do not link to.
class TFoundVideo : public TVideo {
public:
    explicit TFoundVideo(std::string media) { MediaUrl = std::move(media); }
    void Start() override {
        Title = "found";
        ReportDone();
    }
    void Cancel() override {}
};

// nginx that trickles a whole file, so that its download stays running until the test acts, and
// sends the rest asked for by a range at full speed.
struct TTrickleServer {
    // A file of 2 MiB whose bytes do not repeat within it; its contents.
    std::string Add(const std::string& name) {
        std::string bytes(2 << 20, '\0');
        uint32_t x = static_cast<unsigned char>(name[0]);
        for (char& c : bytes) c = static_cast<char>((x = x * 1664525u + 1013904223u) >> 24);
        Media.Write(name, bytes);
        return bytes;
    }
    bool Start() {
        return Nginx.Start({.Root = Media.Path,
                            .Server = "limit_rate $trickle;\naccess_log " + Log + ";\n",
                            .Http = "map $http_range $trickle { \"\" 8k; default 0; }\n"});
    }
    // The range answers that have ended, once there are count of them (nginx logs at the end).
    size_t Ranges(size_t count) const {
        size_t found = 0;
        PollUntil([&] {
            const std::string log = ReadFile(Log);
            found = 0;
            for (size_t at = log.find("\" 206 "); at != std::string::npos;
                 at = log.find("\" 206 ", at + 1))
                ++found;
            return found >= count;
        });
        return found;
    }
    TTempFolder Media;
    TTempFolder Logs;
    const std::string Log = Logs.File("access.log");
    TNginx Nginx;
};

// Every download window as it is shown, in order.
struct TShownWindows : QObject {
    std::vector<QPointer<TfrmDownload>> Windows;
    bool eventFilter(QObject* object, QEvent* event) override {
        if (event->type() == QEvent::Show) {
            if (auto* w = qobject_cast<TfrmDownload*>(object)) Windows.emplace_back(w);
        }
        return false;
    }
};

class DownloadWindow : public ::testing::Test, protected TSettingsSandbox {
protected:
    static void SetUpTestSuite() { Demo = new TDemoSites; }
    static void TearDownTestSuite() {
        delete Demo;
        Demo = nullptr;
    }

    void SetUp() override {
        ASSERT_NE(Demo->NumericPort(), 0) << "demo-sites server did not start";
        std::filesystem::create_directory(Films);
        Options.SaveTo = Films + "/";
        Options.UseProxy = true;
        Options.ProxyAddress = "127.0.0.1";
        Options.ProxyPort = Demo->Port();
        // A cut connection fails at once, unless a test wants to see the attempts.
        Options.RetryCount = 0;
        // Saved under the proposed name in the folder the dialog opens in.
        Dialogs.SaveAnswer = [](QWidget*, const TFakeDialogs::TSaveCall& call) {
            return std::optional<QString>(call.Folder + call.FileName);
        };
        qApp->installEventFilter(&Shown);
        OpenMain();
    }

    void TearDown() override {
        qApp->removeEventFilter(&Shown);
        Main.reset();
        EXPECT_TRUE(QTest::qWaitFor([] { return THttpThread::LiveCount() == 0; }, kDeadlineMs));
    }

    void OpenMain() {
        Main = std::make_unique<TfrmMain>(
            [this](int32_t kind, int32_t quality) -> std::unique_ptr<TVideo> {
                ++VideosMade;
                if (!FoundMedia.empty()) return std::make_unique<TFoundVideo>(FoundMedia);
                return CreateSiteVideo(kind, quality);
            },
            Dialogs, Ui);
        Main->show();
    }

    void Submit(const std::string& address) {
        Main->eURL->setText(QString::fromStdString(address));
        QTest::mouseClick(Main->bOk, Qt::LeftButton);
    }
    // Address in, "OK", and the download window that the found video opens; null once that
    // window has closed again, which a fast failure may do before this returns.
    QPointer<TfrmDownload> Request(const std::string& address) {
        const size_t before = Shown.Windows.size();
        Submit(address);
        const bool opened =
            QTest::qWaitFor([&] { return Shown.Windows.size() > before; }, kDeadlineMs);
        EXPECT_TRUE(opened) << address << ": " << Main->lInfo->text().toStdString();
        return opened ? Shown.Windows.back() : nullptr;
    }
    // Media the demo sites do not link to, through the same main window.
    QPointer<TfrmDownload> RequestMedia(const std::string& media) {
        FoundMedia = media;
        return Request("http://demo-sites.test/page");
    }

    static bool Finished(const QPointer<TfrmDownload>& w) {
        return QTest::qWaitFor([&] { return !w || w->Label1->text() == "Download complete..."; },
                               kDeadlineMs);
    }
    // Bytes are arriving and "Pause" can be pressed.
    static bool Transferring(const QPointer<TfrmDownload>& w) {
        return QTest::qWaitFor(
            [&] { return w && w->bPause->isEnabled() && !w->lDownloaded->text().isEmpty(); },
            kDeadlineMs);
    }
    static bool Closed(const QPointer<TfrmDownload>& w) {
        return QTest::qWaitFor([&] { return w.isNull(); }, kDeadlineMs);
    }
    std::vector<std::string> FilmsFolder() const {
        std::vector<std::string> names;
        for (const auto& entry : std::filesystem::directory_iterator(Films))
            names.push_back(entry.path().filename().string());
        std::sort(names.begin(), names.end());
        return names;
    }

    static TDemoSites* Demo;
    const std::string Films = Home.File("films");
    TQtUiThread Ui;
    TFakeDialogs Dialogs;
    TShownWindows Shown;
    std::unique_ptr<TfrmMain> Main;
    std::string FoundMedia;
    int VideosMade = 0;
};

TDemoSites* DownloadWindow::Demo = nullptr;

TEST_F(DownloadWindow, DemoVideosEndAsTheServedFiles) {
    const struct {
        const char* address;
        int32_t format;
        std::string name;
        QStringList filters;
    } rows[] = {
        {"http://www.youtube.com/watch?v=sorlen01",
         0,
         "Sorlen demo_ a walk in the park.flv",
         {".flv file (*.flv)", "All files (*)"}},
        {"http://www.youtube.com/watch?v=sorlen02",
         1,
         "Rain on the old bridge.mp4",
         {"MP4 file (*.mp4)", "All files (*)"}},
        {"http://www.youtube.com/watch?v=sorlen03", 2, ".._.._.._tmp_escaped", {"All files (*)"}},
        {"http://www.dailymotion.com/video/xdemo2_demo",
         1,
         "harbour-at-night.flv",
         {".flv file (*.flv)", "All files (*)"}},
        {"http://blip.tv/file/1001", 0, "show-ep1.mp4", {"MP4 file (*.mp4)", "All files (*)"}},
        // Media on an https host, through a CONNECT tunnel of the proxy.
        {"http://blip.tv/file/1003",
         0,
         "Sunrise-over-the-dunes.mp4",
         {"MP4 file (*.mp4)", "All files (*)"}},
    };
    TTrustedCa trusted(Demo->CaFile());
    for (const auto& row : rows) {
        SCOPED_TRACE(row.address);
        Options.Format = row.format;
        QPointer<TfrmDownload> w = Request(row.address);
        ASSERT_TRUE(w);
        EXPECT_EQ(w->size(), QSize(367, 160));
        ASSERT_TRUE(Finished(w));
        ASSERT_TRUE(w) << (Dialogs.Messages.empty() ? "" : Dialogs.Messages[0].Text.toStdString());
        ASSERT_FALSE(Dialogs.SaveCalls.empty());
        const auto& call = Dialogs.SaveCalls.back();
        EXPECT_EQ(call.FileName.toStdString(), row.name);
        EXPECT_EQ(call.Folder.toStdString(), Films + "/");
        EXPECT_EQ(call.Filters, row.filters);

        const std::string path = Films + "/" + row.name;
        ASSERT_TRUE(TDemoSites::Dump(w->MediaUrl, Home.File("expected")));
        EXPECT_EQ(ReadFile(path), ReadFile(Home.File("expected")));
        EXPECT_EQ(w->FileName, path);
        // Shortened in the middle when long, whole in the tip.
        EXPECT_EQ(w->lSaveAs->toolTip().toStdString(), path);
        EXPECT_LE(w->lSaveAs->sizeHint().width(), w->lSaveAs->width());
        EXPECT_TRUE(w->lSaveAs->text().endsWith(QString::fromStdString(row.name).right(8)));
        EXPECT_EQ(w->windowTitle(), "Download complete");
        EXPECT_EQ(w->pb1->value(), 100);
        EXPECT_TRUE(w->lDownloaded->text().contains(" in "))
            << w->lDownloaded->text().toStdString();
        EXPECT_TRUE(w->bOpen->isEnabled() && w->bFolder->isEnabled());
        EXPECT_EQ(w->bCancel->text(), "Close");
        EXPECT_TRUE(w->isVisible());
        QTest::mouseClick(w->bOpen, Qt::LeftButton);
        QTest::mouseClick(w->bFolder, Qt::LeftButton);
        EXPECT_EQ(Dialogs.Opened, (std::vector<QString>{QString::fromStdString(path),
                                                        QString::fromStdString(Films + "/")}));
        Dialogs.Opened.clear();
        QTest::keyClick(w, Qt::Key_Escape);  // "Close" now
        EXPECT_TRUE(Closed(w));
    }
    EXPECT_TRUE(Main->Downloads.empty());
    EXPECT_TRUE(Dialogs.Messages.empty());
    EXPECT_EQ(FilmsFolder().size(), std::size(rows));  // no temporary file left beside them
}

TEST_F(DownloadWindow, CancelInTheSaveDialogOrDuringTheTransferEndsSilently) {
    Dialogs.SaveAnswer = nullptr;
    QPointer<TfrmDownload> w = Request("http://www.youtube.com/watch?v=sorlen01");
    EXPECT_TRUE(Closed(w));
    EXPECT_EQ(Dialogs.SaveCalls.size(), 1u);

    // A body of unknown size trickling in: amounts without a bar or percentage.
    Dialogs.SaveAnswer = [](QWidget*, const TFakeDialogs::TSaveCall& call) {
        return std::optional<QString>(call.Folder + "slow.bin");
    };
    w = RequestMedia("http://demo-sites.test/slow");
    ASSERT_TRUE(QTest::qWaitFor(
        [&] { return w->lDownloaded->text().endsWith(" bytes so far (unknown file size)"); },
        kDeadlineMs));
    EXPECT_EQ(w->Label1->text(), "Downloading video file...");
    EXPECT_EQ(w->pb1->value(), 0);
    EXPECT_EQ(w->windowTitle(), "Commencing download, please wait...");
    EXPECT_TRUE(w->bCancel->isEnabled());
    QTest::keyClick(w, Qt::Key_Escape);  // "Cancel" while it runs
    EXPECT_EQ(w->Label1->text(), "Aborting download...");
    EXPECT_TRUE(Closed(w));
    EXPECT_TRUE(Dialogs.Messages.empty());
    EXPECT_TRUE(FilmsFolder().empty());
    EXPECT_TRUE(Main->Downloads.empty());
}

TEST_F(DownloadWindow, FailureSaysWhyOnceAndKeepsTheFileThatWasThere) {
    TRefusedPort refused;
    const struct {
        std::string media;
        bool asks;
        std::string why;
    } rows[] = {
        // An error page with a body: no file to ask for.
        {"http://demo-sites.test/status/404", false, "demo-sites.test: 404 Not Found"},
        {"http://demo-sites.test/length?v=1000",  // 100 of 1000 announced bytes, then the end
         true, "demo-sites.test: Connection closed before the whole body arrived"},
        {"http://127.0.0.1:" + refused.Port() + "/x.flv", false,
         "127.0.0.1: Connection refused (Error #10061)"},
    };
    const std::string existing = Films + "/kept.flv";
    for (const auto& row : rows) {
        SCOPED_TRACE(row.media);
        std::ofstream(existing) << "the user's old file";
        Dialogs.Messages.clear();
        Dialogs.Questions.clear();
        Dialogs.SaveCalls.clear();
        Dialogs.SaveAnswer = [&](QWidget*, const TFakeDialogs::TSaveCall&) {
            return std::optional<QString>(QString::fromStdString(existing));
        };
        Options.UseProxy = row.media.find("127.0.0.1") == std::string::npos;
        QPointer<TfrmDownload> w = RequestMedia(row.media);
        EXPECT_TRUE(Closed(w));
        EXPECT_EQ(Dialogs.SaveCalls.size(), row.asks ? 1u : 0u);
        EXPECT_EQ(Dialogs.Questions.size(), row.asks ? 1u : 0u);
        ASSERT_EQ(Dialogs.Messages.size(), 1u);
        EXPECT_EQ(Dialogs.Messages[0].Title, "Sorlen");
        EXPECT_EQ(Dialogs.Messages[0].Text.toStdString(),
                  "Error downloading video file!\n\n" + row.why);
        EXPECT_EQ(Dialogs.Messages[0].Icon, TDialogs::TIcon::Error);
        EXPECT_EQ(ReadFile(existing), "the user's old file");
        EXPECT_EQ(FilmsFolder(), std::vector<std::string>{"kept.flv"});
    }

    Options.UseProxy = true;
    // Answering "No" to the overwrite question offers the dialog again; a name typed without
    // an extension gets the offered type's.
    Dialogs.QuestionAnswer = false;
    int asked = 0;
    Dialogs.SaveAnswer = [&](QWidget*, const TFakeDialogs::TSaveCall& call) {
        return ++asked == 1 ? std::optional<QString>(QString::fromStdString(existing))
                            : std::optional<QString>(call.Folder + "new");
    };
    QPointer<TfrmDownload> w = RequestMedia("http://demo-sites.test/media?size=5000");
    ASSERT_TRUE(Finished(w));
    ASSERT_TRUE(w);
    EXPECT_EQ(asked, 2);
    EXPECT_EQ(Dialogs.SaveCalls.back().FileName.toStdString(), existing);
    EXPECT_EQ(ReadFile(existing), "the user's old file");
    EXPECT_EQ(ReadFile(Films + "/new.flv").size(), 5000u);
    // "Open" that fails says why: no desktop opener, or the file has gone since.
    Dialogs.OpenAnswer = false;
    Dialogs.Messages.clear();
    QTest::mouseClick(w->bOpen, Qt::LeftButton);
    std::filesystem::remove(Films + "/new.flv");
    QTest::mouseClick(w->bOpen, Qt::LeftButton);
    ASSERT_EQ(Dialogs.Messages.size(), 2u);
    EXPECT_TRUE(Dialogs.Messages[0].Text.startsWith("Could not open " + w->lSaveAs->toolTip()));
    EXPECT_EQ(Dialogs.Messages[1].Text, w->lSaveAs->toolTip() + " does not exist (any more).");
    w->close();
    EXPECT_TRUE(Closed(w));
}

TEST_F(DownloadWindow, AnEndTheUserIsNotLookingAtIsNotified) {
    const std::string media = "http://demo-sites.test/media?size=5000";
    const QString saved = QString::fromStdString(Films + "/found.flv");
    const QStringList done = {"Download complete", "found.flv", saved};
    const QStringList failed = {
        "Error downloading video file!",
        "found.flv\ndemo-sites.test: Connection closed before the whole body arrived", ""};
    const std::tuple<bool, bool, std::string, QStringList> rows[] = {
        {true, true, media, done},
        {true, false, media, {}},  // looking at it
        {false, true, media, {}},  // turned off
        {true, true, "http://demo-sites.test/length?v=1000", failed}};
    for (const auto& [option, away, address, notice] : rows) {
        Options.NotifyWhenDone = option;
        Dialogs.Notices.clear();
        Dialogs.SaveAnswer = [&](QWidget* owner, const TFakeDialogs::TSaveCall& call) {
            QApplication::setActiveWindow(away ? Main.get() : owner);
            return std::optional<QString>(call.Folder + call.FileName);
        };
        QPointer<TfrmDownload> w = RequestMedia(address);
        ASSERT_TRUE(Finished(w));
        EXPECT_EQ(Dialogs.Notices.empty() ? QStringList() : Dialogs.Notices.back(), notice);
        if (w) w->close();
        EXPECT_TRUE(Closed(w));
        std::filesystem::remove(saved.toStdString());
    }
}

// A media file's own address opens its window at once: no extractor, no page request.
TEST_F(DownloadWindow, DirectLinksOverHttpAndHttpsNeedNoPage) {
    TTestCa ca;
    TTrustedCa trust(ca.CaFile());
    ASSERT_TRUE(ca.Ok());
    TTempFolder media;
    const std::string clip(300000, 'v');
    media.Write("My clip.mp4", clip);
    TTempFolder logs;
    const auto logTo = [&](const std::string& name) {
        return "access_log " + logs.File(name) + ";\n";
    };
    TNginx plain;
    ASSERT_TRUE(plain.Start({.Root = media.Path, .Server = logTo("plain.log")}))
        << plain.ErrorLog();
    TNginx tls;
    ASSERT_TRUE(tls.Start({.Root = media.Path,
                           .Server = NginxTlsLines(ca.Issue("IP:127.0.0.1")) + logTo("tls.log"),
                           .ListenOptions = " ssl"}))
        << tls.ErrorLog();
    TNginx expired;
    ASSERT_TRUE(expired.Start({.Root = media.Path,
                               .Server = NginxTlsLines(ca.Issue("IP:127.0.0.1", -1)),
                               .ListenOptions = " ssl"}));
    Options.UseProxy = false;
    Main.reset();
    OpenMain();
    for (const std::string& address :
         {plain.Url("/My%20clip.mp4"), "https://127.0.0.1:" + tls.Port() + "/My%20clip.mp4"}) {
        SCOPED_TRACE(address);
        QPointer<TfrmDownload> w = Request(address);
        ASSERT_TRUE(Finished(w));
        ASSERT_TRUE(w);
        EXPECT_EQ(Dialogs.SaveCalls.back().FileName.toStdString(), "My clip.mp4");
        EXPECT_EQ(Dialogs.SaveCalls.back().Filters,
                  (QStringList{"MP4 file (*.mp4)", "All files (*)"}));
        EXPECT_EQ(ReadFile(Films + "/My clip.mp4"), clip);
        w->close();
        EXPECT_TRUE(Closed(w));
        std::filesystem::remove(Films + "/My clip.mp4");
    }
    EXPECT_EQ(VideosMade, 0);
    EXPECT_TRUE(Dialogs.Messages.empty());
    // Each server saw the media request and nothing else but the launcher's readiness probe
    // (nginx logs a request once it has ended).
    for (const char* log : {"plain.log", "tls.log"}) {
        SCOPED_TRACE(log);
        std::vector<std::string> requests;
        EXPECT_TRUE(PollUntil([&] {
            requests.clear();
            std::istringstream lines(ReadFile(logs.File(log)));
            for (std::string line; std::getline(lines, line);)
                if (line.find("\"GET / HTTP/1.0\"") == std::string::npos) requests.push_back(line);
            return !requests.empty();
        }));
        ASSERT_EQ(requests.size(), 1u);
        EXPECT_NE(requests[0].find("\"GET /My%20clip.mp4 HTTP/1.0\" 200"), std::string::npos)
            << requests[0];
    }

    // A refused certificate is named where the failure is reported.
    QPointer<TfrmDownload> w = Request("https://127.0.0.1:" + expired.Port() + "/My%20clip.mp4");
    EXPECT_TRUE(Closed(w));
    ASSERT_EQ(Dialogs.Messages.size(), 1u);
    EXPECT_TRUE(Dialogs.Messages[0].Text.startsWith(
        "Error downloading video file!\n\n127.0.0.1: certificate expired or not yet valid"))
        << Dialogs.Messages[0].Text.toStdString();
    EXPECT_EQ(FilmsFolder(), std::vector<std::string>{});
}

TEST_F(DownloadWindow, FolderThatCannotBeWrittenSaysSoOnceAndWritesNothing) {
    Dialogs.SaveAnswer = [&](QWidget*, const TFakeDialogs::TSaveCall&) {
        return std::optional<QString>(QString::fromStdString(Films + "/gone/video.flv"));
    };
    QPointer<TfrmDownload> w = Request("http://www.youtube.com/watch?v=sorlen01");
    EXPECT_TRUE(Closed(w));
    ASSERT_EQ(Dialogs.Messages.size(), 1u);
    EXPECT_EQ(Dialogs.Messages[0].Title, "Sorlen");
    EXPECT_EQ(Dialogs.Messages[0].Text, "Error saving file...!");
    EXPECT_TRUE(FilmsFolder().empty());
}

TEST_F(DownloadWindow, ClosingTheProgramClosesEveryWindowOnceThenTheProgram) {
    std::map<TfrmDownload*, int> closings;
    auto counted = [&](QPointer<TfrmDownload> w) {
        if (!w) return w;
        w->OnClosed = [&closings, inner = w->OnClosed](TfrmDownload* x) {
            ++closings[x];
            inner(x);
        };
        return w;
    };
    // Finished, and left open.
    QPointer<TfrmDownload> finished = counted(Request("http://blip.tv/file/1001"));
    ASSERT_TRUE(Finished(finished));
    // Taken once Qt has started what it keeps for the process (its pooled threads end by
    // themselves later, so the counts may only fall).
    const TProcessCounts before = CurrentCounts();
    // Transferring.
    QPointer<TfrmDownload> transferring = counted(RequestMedia("http://demo-sites.test/slow"));
    ASSERT_TRUE(
        QTest::qWaitFor([&] { return !transferring->lDownloaded->text().isEmpty(); }, kDeadlineMs));
    // Asking: its save dialog is open when a fourth download fails, and the user closes the
    // program while that failure's message is on the screen.
    QPointer<TfrmDownload> asking, failed;
    bool closeRequested = false;
    Dialogs.OnMessage = [&] {
        if (closeRequested) return;
        closeRequested = true;
        EXPECT_FALSE(Main->close());
        // Only the transfer is unfinished: it pauses, the others end as before.
        EXPECT_EQ(Dialogs.Questions, std::vector<QString>{"1 download is not finished. Quit and "
                                                          "keep it to resume later?"});
        EXPECT_EQ(Main->lInfo->text(), "Pausing downloads...");
        EXPECT_TRUE(Main->ClosePending);
    };
    Dialogs.SaveAnswer = [&](QWidget* owner, const TFakeDialogs::TSaveCall& call) {
        auto* w = static_cast<TfrmDownload*>(owner);
        if (call.FileName != "clip.flv") {
            failed = counted(w);
            return std::optional<QString>(call.Folder + "failed.bin");
        }
        asking = counted(w);
        FoundMedia = "http://demo-sites.test/length?v=1000";
        Submit("http://demo-sites.test/page");
        QDialog held(owner);
        QTimer::singleShot(kDeadlineMs, &held, &QDialog::reject);  // a hang fails, not blocks
        return held.exec() == QDialog::Accepted ? std::optional<QString>(call.Folder + "held")
                                                : std::nullopt;
    };
    FoundMedia.clear();
    Submit("http://www.dailymotion.com/video/xdemo1_demo");
    ASSERT_TRUE(QTest::qWaitFor([&] { return !Main->isVisible(); }, kDeadlineMs));

    EXPECT_TRUE(closeRequested);
    for (const auto* w : {&finished, &transferring, &asking, &failed}) EXPECT_TRUE(w->isNull());
    ASSERT_EQ(closings.size(), 4u);
    for (const auto& [window, count] : closings) EXPECT_EQ(count, 1);
    EXPECT_TRUE(Main->Downloads.empty());
    EXPECT_EQ(FilmsFolder(), (std::vector<std::string>{"found.flv.part", "show-ep1.mp4"}));
    EXPECT_EQ(Dialogs.Messages.size(), 1u);
    Main.reset();
    EXPECT_TRUE(QTest::qWaitFor([] { return THttpThread::LiveCount() == 0; }, kDeadlineMs));
    const TProcessCounts after = CountsBackTo(before);
    EXPECT_LE(after.Descriptors, before.Descriptors);
    EXPECT_LE(after.Threads, before.Threads);
}

TEST_F(DownloadWindow, CloseWhenDoneBoxCarriesToTheNextWindowAndAcrossARestart) {
    Options.CloseOnComplete = false;
    std::vector<bool> ticked;
    Dialogs.SaveAnswer = [&](QWidget* owner, const TFakeDialogs::TSaveCall& call) {
        auto* w = static_cast<TfrmDownload*>(owner);
        ticked.push_back(w->ckClose->isChecked());
        if (!w->ckClose->isChecked()) QTest::mouseClick(w->ckClose, Qt::LeftButton);
        return std::optional<QString>(call.Folder + call.FileName);
    };
    const char* address = "http://www.dailymotion.com/video/xdemo2_demo";
    QPointer<TfrmDownload> w = Request(address);
    EXPECT_TRUE(Closed(w)) << "a ticked box closes the window when the download completes";
    EXPECT_TRUE(Options.CloseOnComplete);
    w = Request(address);
    EXPECT_TRUE(Closed(w));

    Main.reset();
    InitSettingsModule();
    ProgramFolder = Home.Path + "/";
    OpenMain();
    EXPECT_TRUE(Options.CloseOnComplete);
    w = Request(address);
    EXPECT_TRUE(Closed(w));
    EXPECT_EQ(ticked, (std::vector<bool>{false, true, true}));
}

TEST_F(DownloadWindow, PausedTransferResumesFromItsBytesOrCancelRemovesThem) {
    TTrickleServer server;
    const std::string kept = server.Add("a.mp4");
    server.Add("b.mp4");
    ASSERT_TRUE(server.Start()) << server.Nginx.ErrorLog();
    Options.UseProxy = false;
    Main.reset();
    OpenMain();
    TDownloadJournal journal(TDownloadJournal::DefaultPath());
    for (const std::string name : {"a.mp4", "b.mp4"}) {
        SCOPED_TRACE(name);
        QPointer<TfrmDownload> w = Request(server.Nginx.Url("/" + name));
        ASSERT_TRUE(Transferring(w));
        QTest::mouseClick(w->bPause, Qt::LeftButton);
        ASSERT_TRUE(QTest::qWaitFor([&] { return w->bPause->isEnabled(); }, kDeadlineMs));
        EXPECT_EQ(QStringList({w->Label1->text(), w->bPause->text()}),
                  QStringList({"Paused", "Resume"}));
        EXPECT_TRUE(w->lDownloaded->text().endsWith(" of 2.0 MB"));
        EXPECT_LT(std::filesystem::file_size(Films + "/" + name + ".part"), 2u << 20);
        ASSERT_EQ(journal.Unfinished().size(), 1u);
        EXPECT_EQ(journal.Unfinished()[0].Target, Films + "/" + name);
        // "Resume" goes on with the rest; "Cancel" removes the kept bytes.
        QTest::mouseClick(name == "a.mp4" ? w->bPause : w->bCancel, Qt::LeftButton);
        if (name == "a.mp4") {
            ASSERT_TRUE(Finished(w));
            EXPECT_EQ(ReadFile(Films + "/a.mp4"), kept);
            EXPECT_EQ(server.Ranges(1), 1u);
            w->close();
        }
        EXPECT_TRUE(Closed(w));
        EXPECT_TRUE(journal.Unfinished().empty());
    }
    EXPECT_EQ(FilmsFolder(), std::vector<std::string>{"a.mp4"});
    EXPECT_TRUE(Dialogs.Messages.empty());
}

TEST_F(DownloadWindow, QuitKeepsUnfinishedDownloadsForTheNextStartToComplete) {
    TTrickleServer server;
    const std::string names[] = {"a.mp4", "b.mp4"};
    const std::string contents[] = {server.Add(names[0]), server.Add(names[1])};
    ASSERT_TRUE(server.Start()) << server.Nginx.ErrorLog();
    Options.UseProxy = false;
    // In pieces: the first connection trickles its first quarter while three more bring the
    // rest at once; the pieces kept are recorded, and the next start asks only for the gap.
    Options.SplitAboveKiB = 1024;
    Main.reset();
    OpenMain();
    std::vector<QPointer<TfrmDownload>> windows;
    for (const std::string& name : names) {
        windows.push_back(Request(server.Nginx.Url("/" + name)));
        ASSERT_TRUE(Transferring(windows.back()));
    }
    EXPECT_EQ(server.Ranges(2), 2u);
    Dialogs.QuestionAnswer = false;  // "No": the program stays, the downloads go on
    EXPECT_FALSE(Main->close());
    EXPECT_TRUE(Main->isVisible());
    EXPECT_EQ(windows[1]->Label1->text(), "Downloading video file...");
    Dialogs.QuestionAnswer = true;
    EXPECT_FALSE(Main->close());
    ASSERT_TRUE(QTest::qWaitFor([&] { return !Main->isVisible(); }, kDeadlineMs));
    const QString quit = "2 downloads are not finished. Quit and keep them to resume later?";
    EXPECT_EQ(Dialogs.Questions, (std::vector<QString>{quit, quit}));
    for (const auto& w : windows) EXPECT_TRUE(w.isNull());
    EXPECT_EQ(FilmsFolder(), (std::vector<std::string>{"a.mp4.part", "b.mp4.part"}));

    // The next start asks once; "No" keeps them for the start after.
    for (const bool yes : {false, true}) {
        Dialogs.Questions.clear();
        Dialogs.QuestionAnswer = yes;
        const size_t before = Shown.Windows.size();
        Main.reset();
        OpenMain();
        ASSERT_TRUE(QTest::qWaitFor([&] { return !Dialogs.Questions.empty(); }, kDeadlineMs));
        EXPECT_EQ(Dialogs.Questions, std::vector<QString>{"Resume 2 unfinished downloads?"});
        EXPECT_EQ(Shown.Windows.size(), before + (yes ? 2 : 0));
    }
    for (const QPointer<TfrmDownload>& w : {Shown.Windows.end()[-2], Shown.Windows.end()[-1]})
        ASSERT_TRUE(Finished(w));
    for (size_t i = 0; i < 2; ++i) EXPECT_EQ(ReadFile(Films + "/" + names[i]), contents[i]);
    EXPECT_EQ(server.Ranges(4), 4u);
    EXPECT_EQ(FilmsFolder(), (std::vector<std::string>{"a.mp4", "b.mp4"}));
    EXPECT_TRUE(TDownloadJournal(TDownloadJournal::DefaultPath()).Unfinished().empty());
    EXPECT_TRUE(Dialogs.Messages.empty());
}

// A cut body: the next attempt shows on the status line with the figures kept, a pause while it
// waits keeps the bytes, and a failure of the attempt after it offers "Retry"; both go on with a
// request for the rest only.
TEST_F(DownloadWindow, CutTransferShowsItsAttemptsAndGoesOnWithTheRest) {
    std::string body(1000, '\0');
    for (size_t i = 0; i < body.size(); ++i) body[i] = static_cast<char>('a' + i * 7 % 26);
    const std::string cut =
        "HTTP/1.1 200 OK\r\nContent-Length: 1000\r\nETag: \"v1\"\r\n\r\n" + body.substr(0, 400);
    const std::string rest =
        "HTTP/1.1 206 Partial Content\r\nContent-Range: bytes 400-999/1000\r\n"
        "Content-Length: 600\r\nETag: \"v1\"\r\n\r\n" +
        body.substr(400);
    const std::string gone = "HTTP/1.1 404 Not Found\r\nContent-Length: 0\r\n\r\n";
    using TExchange = TScriptedServer::TExchange;
    TScriptedServer server({{TExchange({cut})},
                            {TExchange({}, false)},  // silent until the pause closes it
                            {TExchange({rest})},
                            {TExchange({cut})},
                            {TExchange({gone})},
                            {TExchange({rest})}});
    Options.UseProxy = false;
    Options.RetryCount = 1;
    Main.reset();
    OpenMain();
    for (const char* name : {"paused.mp4", "failed.mp4"}) {
        SCOPED_TRACE(name);
        QPointer<TfrmDownload> w = Request(server.Url(std::string("/") + name));
        if (name == std::string("paused.mp4")) {
            // Paused while the next attempt waits for its answer, the notice shown.
            ASSERT_TRUE(QTest::qWaitFor(
                [&] {
                    return server.Requests().size() == 2 &&
                           w->Label1->text().startsWith("Connection lost, ");
                },
                kDeadlineMs));
            EXPECT_TRUE(w->lDownloaded->text().startsWith("400"));
            QTest::mouseClick(w->bPause, Qt::LeftButton);
        }
        ASSERT_TRUE(QTest::qWaitFor(
            [&] { return w->bPause->isEnabled() && w->bPause->text() != "Pause"; }, kDeadlineMs));
        EXPECT_EQ(w->bPause->text(), name == std::string("paused.mp4") ? "Resume" : "Retry");
        QTest::mouseClick(w->bPause, Qt::LeftButton);
        ASSERT_TRUE(Finished(w));
        EXPECT_EQ(ReadFile(Films + "/" + name), body);
        w->close();
    }
    ASSERT_EQ(Dialogs.Messages.size(), 1u);
    EXPECT_EQ(Dialogs.Messages[0].Text,
              "Error downloading video file!\n\n127.0.0.1: 404 Not Found\n\nWhat has "
              "arrived is kept: \"Retry\" goes on from there, \"Cancel\" removes it.");
    const std::vector<std::string> requests = server.Requests();
    ASSERT_EQ(requests.size(), 6u);
    for (const size_t i : {2, 5}) {
        EXPECT_NE(requests[i].find("\r\nRange: bytes=400-\r\nIf-Range: \"v1\"\r\n"),
                  std::string::npos)
            << requests[i];
    }
    EXPECT_EQ(FilmsFolder(), (std::vector<std::string>{"failed.mp4", "paused.mp4"}));
}

}  // namespace
