#include <gtest/gtest.h>

#include <QCheckBox>
#include <QComboBox>
#include <QGroupBox>
#include <QLineEdit>
#include <QPointer>
#include <QPushButton>
#include <QSpinBox>
#include <QTabWidget>
#include <QTest>
#include <climits>
#include <filesystem>

#include "app/TQtUiThread.h"
#include "app/TfrmMain.h"
#include "app/TfrmSelectFolder.h"
#include "app/tests/FakeDialogs.h"
#include "app/tests/SettingsSandbox.h"
#include "settings/TfrmOptions.h"
#include "settings/uSettings.h"
#include "settings/uSystem.h"
#include "tests/support/TempFolder.h"

namespace {

TOptions Everything() {
    TOptions o;
    o.ShowURL = true;
    o.Format = 1;
    o.SaveTo = "/srv/films/été/";
    o.CloseOnComplete = true;
    o.UseProxy = true;
    o.ProxyAddress = "proxy.example";
    o.ProxyPort = "not a number";
    o.ProxyUsername = "ünïcödé user";
    o.ProxyPassword = "s3cret \xe9t\xe9";  // Latin-1 bytes from an older build
    o.MonitorClipboard = true;
    o.LoadOnStart = true;
    o.UseSocks = true;
    o.SocksLevel = "4A";
    o.SocksAddress = "tunnel.example";
    o.SocksPort = "1080";
    o.SocksUsername = "socks user";
    o.SocksPassword = "socks \xe9";
    o.NotifyWhenDone = false;
    o.Connections = 16;
    return o;
}

class OptionsDialog : public ::testing::Test, protected TSettingsSandbox {
protected:
    void SetUp() override {
        for (const char* name :
             {"http_proxy", "HTTP_PROXY", "ftp_proxy", "FTP_PROXY", "all_proxy", "ALL_PROXY"}) {
            unsetenv(name);
        }
        Window = std::make_unique<TfrmMain>(nullptr, Dialogs, Ui);
        Window->show();
    }

    // Presses "Options" and lets the script act on the dialog as the user would.
    void Run(const std::function<void(TfrmOptions&)>& script) {
        Dialogs.ModalScript = [&](QDialog* dialog) {
            auto* options = qobject_cast<TfrmOptions*>(dialog);
            ASSERT_NE(options, nullptr);
            Dialog = options;
            script(*options);
        };
        QTest::mouseClick(Window->bOptions, Qt::LeftButton);
    }

    std::string Settings() const { return ReadFile(Home.File("Settings.ini")); }
    bool AutostartExists() const { return std::filesystem::exists(AutostartEntryPath("Sorlen")); }

    TQtUiThread Ui;
    TFakeDialogs Dialogs;
    std::unique_ptr<TfrmMain> Window;
    QPointer<TfrmOptions> Dialog;
};

TEST(OptionsForm, TabOrderMaskedPasswordAndFittedGroups) {
    TfrmOptions dialog;
    dialog.LoadFromOptions(TOptions{});
    dialog.show();
    EXPECT_EQ(dialog.PageControl->currentWidget(), dialog.tsGeneral);

    dialog.ePass->setText("abc");
    EXPECT_EQ(dialog.ePass->displayText(), "***");

    // The tab key walks the controls in this order, the two check boxes first.
    const QList<QWidget*> order = {dialog.ckLoadOnStart, dialog.ckClipboard, dialog.eDefFolder,
                                   dialog.bDefBrowse,    dialog.ckNotify,    dialog.cbYoutube,
                                   dialog.sbConnections, dialog.ckProxy,     dialog.eAddress,
                                   dialog.ePort,         dialog.bFind,       dialog.eUser,
                                   dialog.ePass,         dialog.bOk,         dialog.bCancel};
    QList<QWidget*> walked;
    for (QWidget* w = order[0]; walked.size() < order.size(); w = w->nextInFocusChain()) {
        if (order.contains(w)) walked.append(w);
    }
    EXPECT_EQ(walked, order);

    // Application fits its two boxes, Default Folder starts 12 pixels below it, and both the
    // General content and the proxy group fit the fixed-size dialog.
    EXPECT_EQ(dialog.gbApplication->height(), dialog.gbApplication->sizeHint().height());
    EXPECT_EQ(dialog.gbFolder->y(), dialog.gbApplication->geometry().bottom() + 1 + 12);
    EXPECT_LE(dialog.gbFolder->geometry().bottom(), dialog.tsGeneral->height());
    EXPECT_LE(dialog.gbHttpProxy->sizeHint().height(), dialog.tsGeneral->height());
    EXPECT_EQ(dialog.minimumSize(), dialog.maximumSize());
    dialog.PageControl->setCurrentWidget(dialog.tsConnection);
    EXPECT_TRUE(dialog.bFind->isVisible());
    EXPECT_GT(dialog.bFind->x(), dialog.ePort->geometry().right());
    EXPECT_EQ(dialog.bFind->geometry().center().y(), dialog.ePort->geometry().center().y());
}

TEST(OptionsForm, OkWithoutChangesGivesBackTheSameOptions) {
    TOptions longTexts;
    longTexts.SaveTo = std::string(3000, 'f');
    longTexts.ProxyAddress = std::string(3000, 'a');
    for (const TOptions& options : {TOptions{}, Everything(), longTexts}) {
        TfrmOptions dialog;
        dialog.LoadFromOptions(options);
        dialog.show();
        QTest::mouseClick(dialog.bOk, Qt::LeftButton);
        EXPECT_EQ(dialog.result(), QDialog::Accepted);
        EXPECT_TRUE(dialog.EditedOptions == options) << options.SaveTo;
    }
}

TEST(OptionsForm, FormatWithoutAnItemSelectsNothingAndStoresMinusOne) {
    for (const int32_t format : {7, 2, -1, INT32_MIN}) {
        TOptions options;
        options.Format = format;
        TfrmOptions dialog;
        dialog.LoadFromOptions(options);
        EXPECT_EQ(dialog.cbYoutube->currentIndex(), -1) << format;
        dialog.bOkClick();
        EXPECT_EQ(dialog.EditedOptions.Format, -1);
    }
}

TEST(OptionsForm, UntickingTheProxyGreysThePanelButKeepsItsTexts) {
    TfrmOptions dialog;
    dialog.LoadFromOptions(Everything());
    dialog.show();
    QWidgetList panel = dialog.pProxy->findChildren<QWidget*>();
    ASSERT_EQ(panel.size(), 9);  // four edits, their labels and "Find"
    for (const QWidget* w : panel) EXPECT_TRUE(w->isEnabled());

    dialog.ckProxy->click();
    for (const QWidget* w : panel) EXPECT_FALSE(w->isEnabled()) << w->metaObject()->className();
    EXPECT_EQ(dialog.ePort->palette().color(QPalette::Disabled, QPalette::Base),
              dialog.pProxy->palette().color(QPalette::Window));
    EXPECT_EQ(dialog.ePort->palette().color(QPalette::Active, QPalette::Base),
              dialog.eDefFolder->palette().color(QPalette::Active, QPalette::Base));
    dialog.ckProxy->click();
    EXPECT_TRUE(dialog.bFind->isEnabled());
    dialog.ckProxy->click();

    QTest::mouseClick(dialog.bOk, Qt::LeftButton);
    TOptions expected = Everything();
    expected.UseProxy = false;
    EXPECT_TRUE(dialog.EditedOptions == expected);
}

TEST_F(OptionsDialog, FindFillsHostAndPortOrWarnsAndChangesNothing) {
    const struct {
        const char* http;
        const char* ftp;
        const char* host;  // nullptr: not found
        const char* port;
    } rows[] = {
        {"http://user:pw@web.proxy:8080/", "ftp://ftp.proxy:2121", "web.proxy", "8080"},
        {"127.0.0.1:3128", nullptr, "127.0.0.1", "3128"},
        {nullptr, "ftp.proxy:2121", nullptr, nullptr},
        {"garbage", nullptr, nullptr, nullptr},
        {":8080", nullptr, nullptr, nullptr},
        {"proxy:", nullptr, nullptr, nullptr},
        {";", nullptr, nullptr, nullptr},
    };
    Options = Everything();
    for (const auto& row : rows) {
        SCOPED_TRACE(row.http ? row.http : "(unset)");
        row.http ? setenv("http_proxy", row.http, 1) : unsetenv("http_proxy");
        row.ftp ? setenv("ftp_proxy", row.ftp, 1) : unsetenv("ftp_proxy");
        Dialogs.Messages.clear();
        Run([&](TfrmOptions& d) {
            QTest::mouseClick(d.bFind, Qt::LeftButton);
            EXPECT_EQ(d.eAddress->text(), row.host ? row.host : "proxy.example");
            EXPECT_EQ(d.ePort->text(), row.port ? row.port : "not a number");
            EXPECT_EQ(d.eUser->text(), "ünïcödé user");
            EXPECT_TRUE(d.ckProxy->isChecked());
            d.reject();
        });
        if (row.host) {
            EXPECT_TRUE(Dialogs.Messages.empty());
        } else {
            ASSERT_EQ(Dialogs.Messages.size(), 1u);
            EXPECT_EQ(Dialogs.Messages[0].Title, "Warning");
            EXPECT_EQ(Dialogs.Messages[0].Text, "Could not find proxy server configuration.");
            EXPECT_EQ(Dialogs.Messages[0].Icon, TDialogs::TIcon::Warning);
        }
    }
    EXPECT_TRUE(Options == Everything());
}

TEST(OptionsForm, SocksGroupOnTheConnectionTab) {
    TfrmOptions dialog;
    dialog.LoadFromOptions(Everything());
    dialog.show();
    dialog.PageControl->setCurrentWidget(dialog.tsConnection);
    EXPECT_TRUE(dialog.gbSocksProxy->isVisible());
    EXPECT_GT(dialog.gbSocksProxy->y(), dialog.gbHttpProxy->geometry().bottom());
    EXPECT_EQ(dialog.cbSocksLevel->currentText(), "SOCKS 4A");
    EXPECT_EQ(dialog.eSocksPass->displayText(), "*******");
    EXPECT_TRUE(dialog.eSocksAddress->isEnabled());
    dialog.ckSocks->click();
    EXPECT_FALSE(dialog.eSocksAddress->isEnabled());
    EXPECT_FALSE(dialog.bSocksFind->isEnabled());
    // Every level is stored as the settings file spells it; an unknown one shows as SOCKS 5.
    const std::pair<std::string, int> levels[] = {{"4", 0}, {"4A", 1}, {"5", 2}, {"x", 2}};
    for (const auto& [level, index] : levels) {
        TOptions o = Everything();
        o.SocksLevel = level;
        dialog.LoadFromOptions(o);
        EXPECT_EQ(dialog.cbSocksLevel->currentIndex(), index) << level;
        dialog.bOkClick();
        EXPECT_EQ(dialog.EditedOptions.SocksLevel, level == "x" ? "5" : level);
    }
}

TEST_F(OptionsDialog, FindFillsTheSocksServerFromAllProxy) {
    Options = Everything();
    setenv("all_proxy", "socks5h://127.0.0.1:9050", 1);
    Run([&](TfrmOptions& d) {
        d.ckProxy->click();  // the HTTP group off: the SOCKS group's own Find is at hand
        QTest::mouseClick(d.bSocksFind, Qt::LeftButton);
        EXPECT_EQ(d.cbSocksLevel->currentText(), "SOCKS 5");
        EXPECT_EQ(d.eSocksAddress->text(), "127.0.0.1");
        EXPECT_EQ(d.eSocksPort->text(), "9050");
        EXPECT_EQ(d.eAddress->text(), "proxy.example");
        d.reject();
    });
    EXPECT_TRUE(Dialogs.Messages.empty());
}

TEST_F(OptionsDialog, SocksServerTypedInIsSavedAndReadBack) {
    Run([](TfrmOptions& d) {
        d.ckSocks->click();
        d.cbSocksLevel->setCurrentIndex(0);
        QTest::keyClicks(d.eSocksAddress, "127.0.0.1");
        QTest::keyClicks(d.eSocksPort, "1080");
        QTest::keyClicks(d.eSocksUser, "alice");
        QTest::keyClicks(d.eSocksPass, "s3cret");
        QTest::mouseClick(d.bOk, Qt::LeftButton);
    });
    const TOptions typed = Options;
    EXPECT_TRUE(typed.UseSocks);
    EXPECT_EQ(typed.SocksLevel + " " + typed.SocksAddress + ":" + typed.SocksPort + " " +
                  typed.SocksUsername + " " + typed.SocksPassword,
              "4 127.0.0.1:1080 alice s3cret");
    EXPECT_EQ(Settings().find("s3cret"), std::string::npos);  // scrambled on disk
    Options = TOptions{};
    LoadSettings();
    EXPECT_TRUE(Options == typed);
}

TEST_F(OptionsDialog, CancelEscapeAndCloseBoxLeaveOptionsUntouched) {
    const std::function<void(TfrmOptions&)> endings[] = {
        [](TfrmOptions& d) { QTest::mouseClick(d.bCancel, Qt::LeftButton); },
        [](TfrmOptions& d) { QTest::keyClick(&d, Qt::Key_Escape); },
        [](TfrmOptions& d) { d.close(); },
    };
    const TOptions before = Options;
    for (const auto& end : endings) {
        Run([&](TfrmOptions& d) {
            d.ckLoadOnStart->click();
            d.ckProxy->click();
            d.eDefFolder->setText("/elsewhere/");
            d.cbYoutube->setCurrentIndex(1);
            end(d);
            EXPECT_FALSE(d.isVisible());
        });
        EXPECT_TRUE(Options == before);
        EXPECT_EQ(Dialog, nullptr);
    }
    EXPECT_FALSE(std::filesystem::exists(Home.File("Settings.ini")));
    EXPECT_FALSE(AutostartExists());
}

TEST_F(OptionsDialog, OkTakesOverSavesAtOnceAndWritesOrRemovesTheAutostartEntry) {
    Options.UseProxy = true;
    Options.ProxyAddress = "kept.proxy";
    Options.ProxyPort = "3128";
    Run([](TfrmOptions& d) {
        d.ckLoadOnStart->click();
        d.ckClipboard->click();
        d.ckProxy->click();
        d.eDefFolder->setText("/srv/films/");
        d.cbYoutube->setCurrentIndex(1);
        d.ePass->setText("pässword");
        d.sbConnections->setValue(0);  // below the range: the least it allows
        QTest::mouseClick(d.bOk, Qt::LeftButton);
    });
    EXPECT_EQ(Dialog, nullptr);
    TOptions expected;
    expected.SaveTo = "/srv/films/";
    expected.Format = 1;
    expected.MonitorClipboard = true;
    expected.LoadOnStart = true;
    expected.ProxyAddress = "kept.proxy";
    expected.ProxyPort = "3128";
    expected.ProxyPassword = "pässword";
    expected.Connections = 1;
    EXPECT_TRUE(Options == expected);
    EXPECT_EQ(Window->eFolder->text(), "/srv/films/");
    EXPECT_EQ(Settings().find("pässword"), std::string::npos);  // scrambled on disk
    Options = TOptions{};
    LoadSettings();
    EXPECT_TRUE(Options == expected);
    ASSERT_TRUE(AutostartExists());
    EXPECT_NE(ReadFile(AutostartEntryPath("Sorlen"))
                  .find(QCoreApplication::applicationFilePath().toStdString()),
              std::string::npos);

    Run([](TfrmOptions& d) {
        d.ckLoadOnStart->click();
        QTest::keyClick(d.eDefFolder, Qt::Key_Return);  // Enter is "OK", not the folder's "..."
    });
    EXPECT_TRUE(Dialogs.FolderCalls.empty());
    EXPECT_FALSE(Options.LoadOnStart);
    EXPECT_FALSE(AutostartExists());
    EXPECT_NE(Settings().find("LoadOnStart=0"), std::string::npos);
    EXPECT_TRUE(Dialogs.Messages.empty());
}

TEST_F(OptionsDialog, ValueTheFileCannotHoldIsReportedAndKeptForTheSession) {
    WriteFile(Home.File("Settings.ini"), "[Options]\nFormat=0\n");
    Run([](TfrmOptions& d) {
        d.ckLoadOnStart->click();
        d.eDefFolder->setText("/films\nnew line/");
        QTest::mouseClick(d.bOk, Qt::LeftButton);
    });
    ASSERT_EQ(Dialogs.Messages.size(), 1u);
    EXPECT_EQ(Dialogs.Messages[0].Text,
              QString::fromStdString("Unable to write to " + Home.File("Settings.ini")));
    EXPECT_EQ(Options.SaveTo, "/films\nnew line/");
    EXPECT_TRUE(Options.LoadOnStart);
    EXPECT_EQ(Window->eFolder->text(), "/films\nnew line/");
    EXPECT_EQ(Settings(), "[Options]\nFormat=0\n");
    EXPECT_FALSE(AutostartExists());
}

TEST_F(OptionsDialog, FolderPickerIsPlacedFromTheDialog) {
    Window->move(10, 10);
    Dialogs.FolderAnswer = QStringLiteral("/srv/chosen/");
    Run([&](TfrmOptions& d) {
        d.move(300, 200);
        QTest::mouseClick(d.bDefBrowse, Qt::LeftButton);
        EXPECT_EQ(d.eDefFolder->text(), "/srv/chosen/");
        Dialogs.FolderAnswer.reset();
        QTest::mouseClick(d.bDefBrowse, Qt::LeftButton);
        EXPECT_EQ(d.eDefFolder->text(), "/srv/chosen/");
        ASSERT_EQ(Dialogs.FolderCalls.size(), 2u);
        EXPECT_EQ(Dialogs.FolderCalls[0].first, "Select default folder:");
        EXPECT_EQ(Dialogs.FolderCalls[0].second,
                  FolderPickerPosition(d.frameGeometry().topLeft(), d.screen()->size()));
        EXPECT_NE(Dialogs.FolderCalls[0].second,
                  FolderPickerPosition(Window->frameGeometry().topLeft(), d.screen()->size()));
        d.reject();
    });
}

}  // namespace
