// The clipboard monitor against a real X server: the test starts its own Xvfb, and every clipboard
// content is owned by an xclip process, as when the user copies in another program.
#include <gtest/gtest.h>

#include <QApplication>
#include <QBuffer>
#include <QClipboard>
#include <QImage>
#include <QLabel>
#include <QLineEdit>
#include <QProcess>
#include <QPushButton>
#include <QTest>
#include <memory>
#include <string>

#include "app/TQtUiThread.h"
#include "app/TfrmMain.h"
#include "app/tests/FakeDialogs.h"
#include "app/tests/SettingsSandbox.h"
#include "settings/uSettings.h"
#include "tests/support/Process.h"

namespace {

constexpr int kDeadlineMs = 30000;  // a hang becomes a failure; never an expected wait

// Every xclip started so far. An owner is never killed while the run lasts: it leaves when the
// next one takes the clipboard, so each copy gives this program exactly one change notice.
std::vector<std::unique_ptr<QProcess>> Owners;

QProcess* StartOwner(const QByteArray& bytes, const QString& target) {
    auto process = std::make_unique<QProcess>();
    QStringList args = {"-selection", "clipboard", "-quiet"};
    if (!target.isEmpty()) args << "-target" << target;
    process->setStandardOutputFile(QProcess::nullDevice());
    process->setStandardErrorFile(QProcess::nullDevice());
    process->start("xclip", args);
    process->write(bytes);
    process->closeWriteChannel();
    Owners.push_back(std::move(process));
    return Owners.back().get();
}

class ClipboardMonitor : public ::testing::Test, protected TSettingsSandbox {
protected:
    void SetUp() override {
        Options.MonitorClipboard = true;
        QObject::connect(QGuiApplication::clipboard(), &QClipboard::dataChanged, &Context,
                         [this] { ++Notices; });
    }

    void Open() {
        Window = std::make_unique<TfrmMain>(
            [this](int32_t, int32_t) {
                auto video = std::make_unique<TFakeVideo>(Log, -1);
                Video = video.get();
                return video;
            },
            Dialogs, Ui);
        Window->show();
        QObject::connect(Window->eURL, &QLineEdit::textChanged, Window.get(),
                         [this](const QString& text) { Seen.append(text); });
    }

    // Another program copies; returns once this program has handled the change (the window's
    // handler and the counter run in the same notice, before the wait looks again).
    void Copy(const QByteArray& bytes, const QString& target = QString()) {
        const int before = Notices;
        StartOwner(bytes, target);
        ASSERT_TRUE(QTest::qWaitFor([&] { return Notices > before; }, kDeadlineMs))
            << "no clipboard notice for " << bytes.left(60).toStdString();
    }
    void ExpectTaken(const QString& text) {
        ASSERT_TRUE(QTest::qWaitFor([&] { return Window->eURL->text() == text; }, kDeadlineMs))
            << "not taken: " << text.toStdString()
            << " field: " << Window->eURL->text().toStdString();
        EXPECT_EQ(Window->eURL->selectedText(), text);
    }
    // What was copied since Seen was last cleared is judged by an accepted address copied after
    // it: when that marker arrives, the earlier changes have been handled too, and only the
    // marker may have landed in the field.
    void ExpectOnlyMarkerTaken(const std::string& why) {
        const QString marker = QStringLiteral("http://youtube.com/watch?v=marker%1").arg(++Markers);
        Copy(marker.toUtf8());
        ExpectTaken(marker);
        EXPECT_EQ(Seen, QStringList{marker}) << why;
    }

    QObject Context;
    TQtUiThread Ui;
    TFakeDialogs Dialogs;
    TVideoLog Log;
    TFakeVideo* Video = nullptr;
    std::unique_ptr<TfrmMain> Window;
    int Notices = 0;
    int Markers = 0;
    QStringList Seen;
};

TEST_F(ClipboardMonitor, TakesOnlyPlainHttpWatchPagesOfTheYouTubeHost) {
    const struct {
        QByteArray copied;
        const char* taken;  // nullptr: refused
    } rows[] = {
        {"http://www.youtube.com/watch?v=abc123", "http://www.youtube.com/watch?v=abc123"},
        {"http://youtube.com/watch?v=x&feature=related",
         "http://youtube.com/watch?v=x&feature=related"},
        {"http://www.youtube.com:80/watch?v=port", "http://www.youtube.com:80/watch?v=port"},
        {"http://youtube.com/watch?v=nl\n", "http://youtube.com/watch?v=nl\n"},  // not trimmed
        {QByteArray("http://youtube.com/watch?v=nul\0tail", 35), "http://youtube.com/watch?v=nul"},
        {"https://www.youtube.com/watch?v=abc", nullptr},
        {"http://WWW.YOUTUBE.COM/watch?v=abc", nullptr},
        {"http://YouTube.com/watch?v=abc", nullptr},
        {"http://uk.youtube.com/watch?v=abc", nullptr},
        {"http://www.youtube.com/user/abc", nullptr},
        {"http://www.youtube.com/watch?feature=x&v=abc", nullptr},
        {"http://www.youtube.com/Watch?v=abc", nullptr},
        {"www.youtube.com/watch?v=abc", nullptr},
        {"ftp://youtube.com/watch?v=abc", nullptr},
        {"http://youtu.be/abc", nullptr},
        {"", nullptr},
    };
    Open();
    AppStarted = true;
    for (const auto& row : rows) {
        SCOPED_TRACE(row.copied.toStdString());
        Seen.clear();
        Copy(row.copied);
        if (row.taken) {
            ExpectTaken(QString::fromUtf8(row.taken));
        } else {
            ExpectOnlyMarkerTaken(row.copied.toStdString());
        }
    }
}

TEST_F(ClipboardMonitor, HugeBinaryAndImageContentsAreSkippedWithoutHarm) {
    QImage image(64, 64, QImage::Format_RGB32);
    image.fill(Qt::red);
    QByteArray png;
    QBuffer buffer(&png);
    buffer.open(QIODevice::WriteOnly);
    image.save(&buffer, "PNG");
    QByteArray binary;
    for (int i = 0; i < 70000; ++i) binary.append(static_cast<char>(i * 7 % 256));
    const QByteArray huge(10 << 20, 'a');

    const struct {
        const char* what;
        QByteArray bytes;
        QString target;
    } rows[] = {
        {"image only", png, "image/png"},
        {"binary data", binary, "application/octet-stream"},
        {"binary as text", binary, "UTF8_STRING"},
        {"10 MiB of text", huge, ""},
        {"10 MiB watch-page address", "http://www.youtube.com/watch?v=" + huge, ""},
    };
    Open();
    AppStarted = true;
    for (const auto& row : rows) {
        Seen.clear();
        Copy(row.bytes, row.target);
        ExpectOnlyMarkerTaken(row.what);
    }
}

TEST_F(ClipboardMonitor, HundredsOfChangesInABurstLeaveTheWindowResponsive) {
    Open();
    AppStarted = true;
    constexpr int kBurst = 200;
    std::vector<QProcess*> burst;
    Seen.clear();
    for (int i = 0; i < kBurst; ++i)
        burst.push_back(StartOwner("junk " + QByteArray::number(i), ""));
    // Each owner leaves when a later one takes over; with one left, every change has been made.
    ASSERT_TRUE(QTest::qWaitFor(
        [&] {
            int running = 0;
            for (const QProcess* p : burst) running += p->state() != QProcess::NotRunning;
            return running <= 1;
        },
        kDeadlineMs));
    ExpectOnlyMarkerTaken("burst");
}

TEST_F(ClipboardMonitor, NothingIsTakenBeforeStartUpHasFinished) {
    Copy("http://youtube.com/watch?v=there-before-start");
    Open();
    EXPECT_EQ(Window->eURL->text(), "");
    Seen.clear();
    Copy("http://youtube.com/watch?v=during-start");
    AppStarted = true;
    ExpectOnlyMarkerTaken("copied before start-up finished");
}

TEST_F(ClipboardMonitor, TheOptionIsReadAtEveryChange) {
    Options.MonitorClipboard = false;
    Open();
    AppStarted = true;
    Seen.clear();
    Copy("http://youtube.com/watch?v=while-off");
    Options.MonitorClipboard = true;
    ExpectOnlyMarkerTaken("copied while the option was off");
    Options.MonitorClipboard = false;
    Seen.clear();
    Copy("http://youtube.com/watch?v=off-again");
    EXPECT_EQ(Seen, QStringList{});
}

TEST_F(ClipboardMonitor, ACopyDuringARequestReplacesTheTextWhileTheRequestGoesOn) {
    Open();
    AppStarted = true;
    Window->eURL->setText("http://www.youtube.com/watch?v=first");
    QTest::mouseClick(Window->bOk, Qt::LeftButton);
    ASSERT_TRUE(Window->Busy);
    Copy("http://www.youtube.com/watch?v=second");
    ExpectTaken("http://www.youtube.com/watch?v=second");
    EXPECT_TRUE(Window->Busy);
    EXPECT_TRUE(Window->eURL->isReadOnly());
    EXPECT_EQ(Window->lInfo->text(), "");
    EXPECT_EQ(Log.PageUrl, "http://www.youtube.com/watch?v=first");
    EXPECT_EQ(Log.Starts, 1);
    EXPECT_EQ(Log.Cancels, 0);
    EXPECT_EQ(Window->CurrentVideo.get(), Video);
    Video->Finish(vidFailed);
}

}  // namespace

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    // Xvfb picks a free display itself and names it once it accepts connections.
    TProcess server;
    std::string display;
    if (server.Start({"Xvfb", "-displayfd", "1", "-screen", "0", "800x600x24", "-nolisten", "tcp"},
                     {.StdoutPipe = true})) {
        display = server.ReadLine(kDeadlineMs);
    }
    if (display.empty()) {
        fprintf(stderr, "could not start Xvfb\n");
        return 1;
    }
    setenv("DISPLAY", (":" + display).c_str(), 1);
    setenv("QT_QPA_PLATFORM", "xcb", 1);
    int result = 0;
    {
        QApplication app(argc, argv);
        result = RUN_ALL_TESTS();
        for (const auto& owner : Owners) {
            owner->kill();
            owner->waitForFinished();
        }
    }
    return result;
}
