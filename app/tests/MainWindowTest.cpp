#include <gtest/gtest.h>

#include <unistd.h>
#include <QApplication>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTest>
#include <QTimer>

#include <filesystem>

#include "app/TQtUiThread.h"
#include "app/TfrmMain.h"
#include "app/TfrmSelectFolder.h"
#include "app/tests/FakeDialogs.h"
#include "app/tests/SettingsSandbox.h"
#include "download/TfrmDownload.h"
#include "settings/uSettings.h"
#include "sites/VideoKinds.h"
#include "tests/support/Loopback.h"
#include "tests/support/TempFolder.h"

namespace {

class MainWindow : public ::testing::Test, protected TSettingsSandbox {
protected:
    void TearDown() override { Window.reset(); }

    void Open(int32_t reportInStart = -1) {
        ReportInStart = reportInStart;
        Window = std::make_unique<TfrmMain>(
            [this](int32_t kind, int32_t quality) {
                ++Log.Created;
                Log.Kind = kind;
                Log.Quality = quality;
                auto video = std::make_unique<TFakeVideo>(Log, ReportInStart);
                Video = video.get();
                return video;
            },
            Dialogs, Ui);
        Window->show();
    }
    void Request(const QString& address) {
        Window->eURL->setText(address);
        QTest::mouseClick(Window->bOk, Qt::LeftButton);
    }
    // Runs what the window posted to itself.
    void Drain() {
        QCoreApplication::sendPostedEvents();
        QCoreApplication::processEvents();
    }
    bool LooksBusy() const {
        return Window->Busy && Window->windowTitle() == "Sorlen - please wait..." &&
               QGuiApplication::applicationDisplayName() == "Sorlen - please wait..." &&
               Window->bExit->text() == "Cancel" && !Window->bOk->isEnabled() &&
               !Window->eURL->isEnabled() && Window->eURL->isReadOnly() &&
               !Window->eFolder->isEnabled() && Window->eFolder->isReadOnly() &&
               !Window->bBrowse->isEnabled() && !Window->bOptions->isEnabled() &&
               Window->Timer1->isActive();
    }
    bool LooksIdle() const {
        return !Window->Busy && Window->windowTitle() == "Sorlen" &&
               QGuiApplication::applicationDisplayName() == "Sorlen" &&
               Window->bExit->text() == "Exit" && Window->bOk->isEnabled() &&
               Window->eURL->isEnabled() && !Window->eURL->isReadOnly() &&
               Window->eFolder->isEnabled() && Window->bBrowse->isEnabled() &&
               Window->bOptions->isEnabled() && !Window->Timer1->isActive() &&
               Window->lWait->text().isEmpty();
    }

    // The download windows a found video opens wait on a server that never answers; closing
    // the program aborts them silently.
    bool ProgramClosesAfterItsDownloads() {
        EXPECT_FALSE(Window->close());
        const bool closed = QTest::qWaitFor([&] { return !Window->isVisible(); }, 30000);
        return closed && Window->Downloads.empty() && Dialogs.Messages.empty();
    }
    std::string SilentMedia() {
        if (Silent < 0) Silent = ListenOnLoopback(SilentPort);
        return "http://127.0.0.1:" + std::to_string(SilentPort) + "/x.flv";
    }
    ~MainWindow() override {
        if (Silent >= 0) close(Silent);
    }

    int Silent = -1;
    int SilentPort = 0;
    TQtUiThread Ui;
    TFakeDialogs Dialogs;
    TVideoLog Log;
    TFakeVideo* Video = nullptr;
    int32_t ReportInStart = -1;
    std::unique_ptr<TfrmMain> Window;
};

TEST_F(MainWindow, EmptyAddressWarnsAndStartsNothing) {
    Open();
    QTest::mouseClick(Window->bOk, Qt::LeftButton);
    ASSERT_EQ(Dialogs.Messages.size(), 1u);
    EXPECT_EQ(Dialogs.Messages[0].Title, "Warning");
    EXPECT_EQ(Dialogs.Messages[0].Text, "Please enter a valid video URL!");
    EXPECT_EQ(Dialogs.Messages[0].Icon, TDialogs::TIcon::Warning);
    EXPECT_EQ(Log.Created, 0);
    EXPECT_TRUE(LooksIdle());

    Request(" ");  // blanks are an address too; the extractor finds out
    EXPECT_EQ(Log.Created, 1);
    EXPECT_EQ(Log.PageUrl, " ");
}

TEST_F(MainWindow, SuccessfulRequestGoesBusyThenOpensADownloadWindow) {
    Options.Format = 1;
    Open();
    EXPECT_TRUE(LooksIdle());
    Request("http://WWW.DailyMotion.com/video/x1");
    EXPECT_EQ(Log.Kind, videoKindDailyMotion);
    EXPECT_EQ(Log.PageUrl, "http://WWW.DailyMotion.com/video/x1");
    EXPECT_EQ(Log.Starts, 1);
    EXPECT_TRUE(LooksBusy());
    EXPECT_EQ(Window->lInfo->text(), "Retrieving video information, please wait");
    EXPECT_EQ(Window->CurrentVideo.get(), Video);

    const std::string media = SilentMedia();
    Video->Finish(vidSuccess, "A: title", media, "a=1; b=2");
    EXPECT_TRUE(LooksIdle());
    EXPECT_EQ(Window->lInfo->text(), "");
    EXPECT_EQ(Window->CurrentVideo, nullptr);
    EXPECT_EQ(Window->PendingTitle, "A: title");
    EXPECT_EQ(Window->PendingMediaUrl, media);
    EXPECT_EQ(Window->PendingCookies, "a=1; b=2");
    EXPECT_TRUE(Window->Downloads.empty());  // posted, not yet handled
    Drain();
    EXPECT_TRUE(Log.Destroyed);
    ASSERT_EQ(Window->Downloads.size(), 1u);
    const TfrmDownload* download = Window->Downloads[0];
    EXPECT_EQ(download->MediaUrl, media);
    EXPECT_EQ(download->FileName, "A_ title.flv");  // DailyMotion: .flv whatever the format
    EXPECT_EQ(download->MediaFormat, 0);
    EXPECT_EQ(download->SaveFolder, Options.SaveTo);
    EXPECT_EQ(download->Cookies, "a=1; b=2");
    EXPECT_EQ(download->Proxy, TProxy{});
    EXPECT_TRUE(download->isVisible());
    EXPECT_TRUE(ProgramClosesAfterItsDownloads());
}

TEST_F(MainWindow, DispatchByHostPassesQualityAndProxy) {
    const struct {
        QString address;
        int32_t kind;
    } rows[] = {
        {"http://www.youtube.com/watch?v=abc", videoKindYouTube},
        {"http://YouTube.COM/watch?v=abc", videoKindYouTube},
        {"http://blip.tv/file/1", videoKindBlipTv},
        {"http://WWW.BLIP.TV/file/1", videoKindBlipTv},
        {"http://dailymotion.com/video/x", videoKindDailyMotion},
        {"http://uk.youtube.com/watch?v=abc", videoKindYouTube},
        {"http://m.dailymotion.com/video/x", videoKindYouTube},
        {"http://youtu.be/abc", videoKindYouTube},
        {"dailymotion.com/video/x", videoKindYouTube},
    };
    Options.Format = 7;
    Options.UseProxy = true;
    Options.ProxyAddress = "proxy";
    Options.ProxyPort = "3128";
    Options.ProxyUsername = "u";
    Options.ProxyPassword = "p";
    Open();
    for (const auto& row : rows) {
        Request(row.address);
        EXPECT_EQ(Log.Kind, row.kind) << row.address.toStdString();
        EXPECT_EQ(Log.Quality, 7);
        EXPECT_EQ(Log.Proxy, (TProxy{"proxy", "3128", "u", "p"}));
        EXPECT_EQ(Window->VideoKind, row.kind);
        Video->Finish(vidFailed);
        Drain();
    }
    Options.UseProxy = false;
    Request("http://youtube.com/watch?v=x");
    EXPECT_EQ(Log.Proxy, TProxy{});
}

TEST_F(MainWindow, FailureOrCancelShowsErrorAndOpensNothing) {
    Open();
    for (const int32_t code : {vidCancelled, vidFailed}) {
        Request("http://www.youtube.com/watch?v=x");
        Video->Finish(code);
        Drain();
        EXPECT_TRUE(LooksIdle());
        EXPECT_EQ(Window->lInfo->text(), "Error retrieving data...");
        EXPECT_EQ(Window->CurrentVideo, nullptr);
        EXPECT_TRUE(Log.Destroyed);
        EXPECT_TRUE(Window->Downloads.empty());
        EXPECT_EQ(Window->eURL->text(), "http://www.youtube.com/watch?v=x");
        Window->eURL->setText("http://www.youtube.com/watch?v=y");
        EXPECT_EQ(Window->lInfo->text(), "");
        Log.Destroyed = false;
    }
    // A refused certificate is named instead.
    Request("https://www.youtube.com/watch?v=x");
    Video->SecureFailure = "certificate expired or not yet valid (certificate has expired)";
    Video->Finish(vidFailed);
    Drain();
    EXPECT_EQ(Window->lInfo->text(),
              "certificate expired or not yet valid (certificate has expired)");
}

TEST_F(MainWindow, ReportInsideStartEndsTheWaitAndLeavesNoExtractor) {
    Open(vidFailed);
    Request("http://www.blip.tv");
    EXPECT_TRUE(LooksIdle());
    EXPECT_EQ(Window->lInfo->text(), "Error retrieving data...");
    EXPECT_EQ(Window->CurrentVideo, nullptr);
    Drain();
    EXPECT_TRUE(Log.Destroyed);
}

TEST_F(MainWindow, SuccessInsideStartStillPostsTheRequest) {
    Log.Media = SilentMedia();
    Open(vidSuccess);
    Request("http://www.youtube.com/watch?v=x");
    EXPECT_TRUE(LooksIdle());
    Drain();
    EXPECT_EQ(Window->Downloads.size(), 1u);
    EXPECT_TRUE(ProgramClosesAfterItsDownloads());
}

TEST_F(MainWindow, DotsCycleAndTheWaitCancelsAfter120TicksOnEveryTick) {
    Open();
    EXPECT_EQ(Window->Timer1->interval(), 500);
    Request("http://www.youtube.com/watch?v=x");
    const QString expected[] = {".", "..", "...", "....", ".....", "", "."};
    for (const QString& dots : expected) {
        Window->Timer1Timer();
        EXPECT_EQ(Window->lWait->text(), dots);
    }
    while (Window->WaitTicks < 120) Window->Timer1Timer();
    EXPECT_EQ(Log.Cancels, 0);
    Window->Timer1Timer();
    EXPECT_EQ(Log.Cancels, 1);
    Window->Timer1Timer();
    Window->Timer1Timer();
    EXPECT_EQ(Log.Cancels, 3);
    EXPECT_TRUE(LooksBusy());
    Video->Finish(vidFailed);
    EXPECT_TRUE(LooksIdle());
    EXPECT_EQ(Window->WaitTicks, 123);
}

TEST_F(MainWindow, CancelAndCloseWhileWaitingNeverCloseTheWindow) {
    Open();
    Request("http://www.youtube.com/watch?v=x");
    QTest::mouseClick(Window->bExit, Qt::LeftButton);
    EXPECT_EQ(Log.Cancels, 1);
    EXPECT_TRUE(Window->isVisible());
    EXPECT_FALSE(Window->close());
    EXPECT_EQ(Log.Cancels, 2);
    EXPECT_TRUE(Window->isVisible());
    Video->Finish(vidCancelled);
    QTest::mouseClick(Window->bExit, Qt::LeftButton);
    EXPECT_FALSE(Window->isVisible());
}

TEST_F(MainWindow, AnyAddressTextIsHandled) {
    Open();
    const QString rows[] = {
        QString(100000, QLatin1Char('x')),
        QString::fromUtf8("http://www.youtube.com/watch?v=\xc3\xa9\xe2\x82\xac"),
        QString::fromUtf8("http://\xe4\xbe\x8b\xe3\x81\x88.jp/"),
        QStringLiteral("http://"),
        QStringLiteral("://"),
        QString(QChar(0)),
    };
    for (const QString& address : rows) {
        Request(address);
        ASSERT_NE(Video, nullptr);
        EXPECT_EQ(Log.Kind, videoKindYouTube);
        // The edit keeps at most its maximum length; whatever it holds is sent as typed.
        EXPECT_TRUE(Log.PageUrl == Window->eURL->text().toStdString());
        EXPECT_TRUE(address.startsWith(Window->eURL->text()));
        Video->Finish(vidFailed);
        Drain();
    }
}

TEST_F(MainWindow, BrowseSetsTheFolderHelpAndAboutGoThroughTheSeam) {
    Open();
    Dialogs.FolderAnswer.reset();
    QTest::mouseClick(Window->bBrowse, Qt::LeftButton);
    ASSERT_EQ(Dialogs.FolderCalls.size(), 1u);
    EXPECT_EQ(Dialogs.FolderCalls[0].first, "Select default folder:");
    const std::string before = Options.SaveTo;
    EXPECT_EQ(Options.SaveTo, before);

    Dialogs.FolderAnswer = QStringLiteral("/srv/videos/");
    QTest::mouseClick(Window->bBrowse, Qt::LeftButton);
    EXPECT_EQ(Window->eFolder->text(), "/srv/videos/");
    EXPECT_EQ(Options.SaveTo, "/srv/videos/");

    Window->eFolder->setText("/typed/by/hand");
    EXPECT_EQ(Options.SaveTo, "/srv/videos/");

    QTest::mouseClick(Window->bHelp, Qt::LeftButton);
    EXPECT_EQ(Dialogs.Opened, std::vector<QString>{"sorlen.chm"});
    QDialog about;
    Window->About = &about;
    QTest::mouseClick(Window->bAbout, Qt::LeftButton);
    EXPECT_EQ(Dialogs.Shown, std::vector<QDialog*>{&about});
}

TEST_F(MainWindow, KindWithoutAnExtractorFailsAtOnce) {
    Window = std::make_unique<TfrmMain>([](int32_t, int32_t) { return std::unique_ptr<TVideo>(); },
                                        Dialogs, Ui);
    Request("http://www.youtube.com/watch?v=x");
    EXPECT_TRUE(LooksIdle());
    EXPECT_EQ(Window->lInfo->text(), "Error retrieving data...");
    EXPECT_EQ(Window->CurrentVideo, nullptr);
}

TEST(FolderPicker, PlacedBesideTheOwnerOrInFromTheScreenEdge) {
    const struct {
        QPoint owner;
        QSize screen;
        QPoint at;
    } rows[] = {
        {{100, 100}, {1024, 768}, {150, 150}}, {{654, 398}, {1024, 768}, {704, 448}},
        {{655, 399}, {1024, 768}, {704, 448}}, {{655, 100}, {1024, 768}, {704, 150}},
        {{900, 500}, {1024, 768}, {704, 448}}, {{0, 0}, {300, 300}, {-20, -20}},
    };
    for (const auto& row : rows) {
        EXPECT_EQ(FolderPickerPosition(row.owner, row.screen), row.at)
            << row.owner.x() << "," << row.owner.y();
    }
}

TEST_F(MainWindow, StartsWithSettingsLoadedAndSavesThemWhenDestroyed) {
    WriteFile(Home.File("Settings.ini"), "[Options]\nSaveTo=/data/films\nFormat=1\n");
    Open();
    EXPECT_EQ(Window->eFolder->text(), "/data/films");
    EXPECT_EQ(Options.Format, 1);
    EXPECT_EQ(Window->windowTitle(), "Sorlen");
    EXPECT_EQ(Window->size(), QSize(344, 228));
    EXPECT_FALSE(Window->windowFlags() & Qt::WindowMaximizeButtonHint);
    QApplication::setActiveWindow(Window.get());
    EXPECT_TRUE(QTest::qWaitFor([&] { return Window->eURL->hasFocus(); }, 2000));

    Options.ProxyAddress = "saved at exit";
    Window.reset();
    EXPECT_NE(ReadFile(Home.File("Settings.ini")).find("ProxyAddress=saved at exit"),
              std::string::npos);
    EXPECT_TRUE(Dialogs.Messages.empty());
}

TEST_F(MainWindow, UnreadableSettingsAreSetAsideAndReportedOnceAtStart) {
    WriteFile(Home.File("Settings.ini"), std::string("[Options]\0Format=1\n", 19));
    Open();
    Drain();
    ASSERT_EQ(Dialogs.Messages.size(), 1u);
    EXPECT_EQ(Dialogs.Messages[0].Text,
              QString::fromStdString("The settings file " + Home.File("Settings.ini") +
                                     " could not be read, so the default settings are used. "
                                     "The old file was kept as " +
                                     Home.File("Settings.ini.unreadable") + "."));
}

TEST_F(MainWindow, UnwritableSettingsAreReportedAtExit) {
    std::filesystem::create_directory(Home.File("Settings.ini"));
    Open();
    Window.reset();
    ASSERT_EQ(Dialogs.Messages.size(), 1u);
    EXPECT_EQ(Dialogs.Messages[0].Text,
              QString::fromStdString("Unable to write to " + Home.File("Settings.ini")));
}

}  // namespace
