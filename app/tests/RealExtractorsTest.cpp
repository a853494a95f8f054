// The main window with the real extractors behind its dispatch, against the demo-sites server
// through the proxy option: an address and "OK" end with the title, the media address and the
// cookies kept for the download window.
#include <gtest/gtest.h>

#include <QLineEdit>
#include <QPushButton>
#include <QTest>

#include "app/TQtUiThread.h"
#include "app/TfrmMain.h"
#include "app/tests/FakeDialogs.h"
#include "download/THttpThread.h"
#include "settings/uSettings.h"
#include "sites/SiteVideos.h"
#include "tests/support/DemoSites.h"
#include "tests/support/TempFolder.h"

TEST(MainWindowWithSites, DemoAddressesFindTheirVideos) {
    TDemoSites demo;
    ASSERT_NE(demo.NumericPort(), 0) << "demo-sites server did not start";
    TTempFolder home;
    setenv("HOME", home.Path.c_str(), 1);
    setenv("XDG_CONFIG_HOME", home.File("cfg").c_str(), 1);
    InitSettingsModule();
    ProgramFolder = home.Path + "/";
    Options.UseProxy = true;
    Options.ProxyAddress = "127.0.0.1";
    Options.ProxyPort = demo.Port();
    TQtUiThread ui;
    {
        TFakeDialogs dialogs;
        TfrmMain window(CreateSiteVideo, dialogs, ui);
        window.show();
        struct Row {
            const char* address;
            std::string title, mediaStart, cookiesStart;
        } rows[] = {
            {"http://www.youtube.com/watch?v=sorlen01", "Sorlen demo: a walk in the park",
             "http://v12.lscache3.c.youtube.com/videoplayback?", "VISITOR_INFO1_LIVE="},
            {"http://www.dailymotion.com/video/xdemo2_demo", "harbour-at-night",
             "http://proxy-61.dailymotion.com/video/xdemo2/", ""},
            {"http://blip.tv/file/1001", "show-ep1", "http://blip.tv/file/get/show-ep1.mp4", ""},
        };
        for (const auto& row : rows) {
            window.eURL->setText(row.address);
            QTest::mouseClick(window.bOk, Qt::LeftButton);
            EXPECT_TRUE(QTest::qWaitFor([&] { return !window.Busy; }, 30000)) << row.address;
            EXPECT_TRUE(dialogs.Messages.empty()) << row.address;
            EXPECT_EQ(window.PendingTitle, row.title);
            EXPECT_EQ(window.PendingMediaUrl.rfind(row.mediaStart, 0), 0u)
                << window.PendingMediaUrl;
            EXPECT_EQ(window.PendingCookies.rfind(row.cookiesStart, 0), 0u)
                << window.PendingCookies;
        }
        // The download windows the reports opened end while what they report to is still here.
        EXPECT_TRUE(QTest::qWaitFor([] { return THttpThread::LiveCount() == 0; }, 30000));
    }
}
