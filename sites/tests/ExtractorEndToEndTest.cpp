// The three extractors against the demo-sites server through the proxy path, then the media
// download of what they found; bad pages and cancels.
#include <gtest/gtest.h>

#include <filesystem>
#include <functional>

#include "download/THttpThread.h"
#include "platform/UiThread.h"
#include "settings/uHelpers.h"
#include "settings/uSettings.h"
#include "sites/TBlipTv.h"
#include "sites/TDailyMotion.h"
#include "sites/TYouTube.h"
#include "tests/support/DemoSites.h"
#include "tests/support/Process.h"
#include "tests/support/SocksServers.h"
#include "tests/support/Squid.h"
#include "tests/support/TempFolder.h"

namespace {

enum TSite { YouTube, DailyMotion, BlipTv };

struct TOutcome {
    int Reports = 0;
    int32_t Code = -1;
    bool CancelSent = false;  // the cancel went out before any report had arrived
    std::string Title, MediaUrl, Cookies;
};

class Extractors : public TDemoSitesTest {
protected:
    void TearDown() override {
        EXPECT_TRUE(
            Ui.WaitFor([] { return THttpThread::LiveCount() == 0; }, std::chrono::seconds(10)))
            << "a worker was left running";
    }

    static std::unique_ptr<TVideo> Make(TSite site, int quality = 0) {
        if (site == DailyMotion) return std::make_unique<TDailyMotion>();
        if (site == BlipTv) return std::make_unique<TBlipTv>();
        auto yt = std::make_unique<TYouTube>();
        yt->Quality = quality;
        return yt;
    }

    // Runs an extractor as the main window does; cancelAfterMs >= 0 cancels from this (UI)
    // thread after that long unless the report came first.
    TOutcome Extract(TSite site, const std::string& page, int quality = 0, int cancelAfterMs = -1) {
        TOutcome out;
        std::unique_ptr<TVideo> video = Make(site, quality);
        video->PageUrl = page;
        video->Proxy = Proxy.Address.empty() ? TProxy{"127.0.0.1", Demo->Port(), "", ""} : Proxy;
        video->UiThread = &Ui;
        video->OnDone = [&out](TVideo* v, int32_t code) {
            ++out.Reports;
            out.Code = code;
            out.Title = v->Title;
            out.MediaUrl = v->MediaUrl;
            out.Cookies = v->Cookies;
        };
        video->Start();
        if (cancelAfterMs >= 0) {
            Ui.WaitFor([&] { return out.Reports > 0; }, std::chrono::milliseconds(cancelAfterMs));
            out.CancelSent = out.Reports == 0;
            if (out.CancelSent) video->Cancel();
        }
        EXPECT_TRUE(Ui.WaitFor([&] { return out.Reports > 0; }, std::chrono::seconds(60)))
            << "no report for " << page;
        // A second report would arrive now if there were one.
        Ui.WaitFor([] { return THttpThread::LiveCount() == 0; }, std::chrono::seconds(10));
        Ui.ProcessPending();
        return out;
    }

    // Downloads url through the proxy into a file the way the download window does.
    std::string Download(const std::string& url, const std::string& cookies,
                         const std::string& file) {
        TUrlInfo r = ViaProxy(url, file);
        ApplyProxy(Proxy, r);
        r.Cookies = cookies;
        bool ended = false;
        int32_t code = -1;
        auto* t = new THttpThread(r, Ui);
        t->OnDone = [&code](THttpThread*, int32_t c) { code = c; };
        t->OnTerminate = [&ended](THttpThread*) { ended = true; };
        t->Resume();
        EXPECT_TRUE(Ui.WaitFor([&] { return ended; }, std::chrono::seconds(60)));
        EXPECT_EQ(code, 0) << url;
        return ReadFile(file);
    }

    // The proxy both steps go through; empty: the demo-sites server itself.
    TProxy Proxy;
};

const std::string YtMedia =
    "http://v12.lscache3.c.youtube.com/videoplayback?ip=0.0.0.0"
    "&sparams=id%2Cexpire%2Citag&itag=";
const std::string YtCookies =
    "VISITOR_INFO1_LIVE=dEmO6; PREF=f1=50000000; "
    "use_hitbox=72c46ff6cbcdb7c5585c36411b6b334e";

TEST_F(Extractors, FindVideoThenDownloadIt) {
    struct Row {
        TSite site;
        std::string page;
        int quality;
        std::string title, media, cookies;
    } rows[] = {
        {YouTube, "http://www.youtube.com/watch?v=sorlen01", 0, "Sorlen demo: a walk in the park",
         YtMedia + "5&id=sorlen01&expire=1262304000", YtCookies},
        {YouTube, "http://www.youtube.com/watch?v=sorlen01", 1, "Sorlen demo: a walk in the park",
         YtMedia + "18&id=sorlen01&expire=1262304000", YtCookies},
        // The bare host relocates to www; the relocating response's cookie goes along.
        {YouTube, "http://youtube.com/watch?v=sorlen02", 0, "Rain on the old bridge",
         YtMedia + "5&id=sorlen02&expire=1262304000", "GEO=demo; " + YtCookies},
        {DailyMotion, "http://www.dailymotion.com/video/xdemo1_demo", 0, "clip",
         "http://proxy-61.dailymotion.com/video/xdemo1/FLV-320x240/clip.flv?key=1", ""},
        {BlipTv, "http://blip.tv/file/1002", 0, "Cooking-Show-Ep7",
         "http://blip.tv/file/get/Cooking-Show-Ep7.mp4?referrer=blip.tv&source=1", ""},
    };
    for (const auto& row : rows) {
        TOutcome out = Extract(row.site, row.page, row.quality);
        ASSERT_EQ(out.Code, 0) << row.page;
        EXPECT_EQ(out.Reports, 1);
        EXPECT_EQ(out.Title, row.title);
        EXPECT_EQ(out.MediaUrl, row.media);
        EXPECT_EQ(out.Cookies, row.cookies);

        TTempFolder dir;
        ASSERT_TRUE(TDemoSites::Dump(out.MediaUrl, dir.File("expected")));
        const std::string got = Download(out.MediaUrl, out.Cookies, dir.File("video"));
        EXPECT_GT(got.size(), 100000u);
        EXPECT_TRUE(got == ReadFile(dir.File("expected"))) << "media bytes differ for " << row.page;
    }
    const std::string log = Demo->Log();
    EXPECT_NE(log.find("GET http://www.youtube.com/watch?v=sorlen02&hl=en_US&persist_hl=0\r\n"
                       "Cookie: GEO=demo\r\n"),
              std::string::npos)
        << "the relocated request must carry the cookie set by the relocation\n"
        << log;
}

TEST_F(Extractors, BehindAProxyThatAsksForAPassword) {
    struct Row {
        const char* scheme;
        std::function<TSquidConfig(const TSquid&)> config;
    } rows[] = {
        // "Gr\xC3\xBCn-7" hashed as htpasswd -1 would: the UTF-8 bytes as typed.
        {"Basic",
         [](const TSquid& squid) {
             return SquidBasicAuth(squid, "m\xC3\xBCller:$1$sorlen12$1zUP7ZYOu7Pilcmqn3MFx0\n");
         }},
        {"NTLM", [](const TSquid&) { return SquidNtlmAuth(); }},
    };
    for (const Row& row : rows) {
        TSquid squid;
        TSquidConfig config = row.config(squid);
        // Every request goes on to the demo-sites server, which knows the sites' names.
        config.Lines += "cache_peer 127.0.0.1 parent " + Demo->Port() +
                        " 0 no-query no-digest default\nnever_direct allow all\n";
        ASSERT_TRUE(squid.Start(config)) << squid.CacheLog();

        // The proxy as the options dialog saves it and the next start reads it back.
        TTempFolder settings;
        InitSettingsModule();
        ProgramFolder = settings.Path + "/";
        Options.UseProxy = true;
        Options.ProxyAddress = "127.0.0.1";
        Options.ProxyPort = squid.Port();
        Options.ProxyUsername = "m\xC3\xBCller";
        Options.ProxyPassword = "Gr\xC3\xBCn-7";
        ASSERT_TRUE(SaveSettings());
        InitSettingsModule();
        ProgramFolder = settings.Path + "/";
        LoadSettings();
        ASSERT_TRUE(Options.UseProxy);
        Proxy = {Options.ProxyAddress, Options.ProxyPort, Options.ProxyUsername,
                 Options.ProxyPassword};

        TOutcome out = Extract(YouTube, "http://www.youtube.com/watch?v=sorlen01");
        ASSERT_EQ(out.Code, 0) << row.scheme;
        TTempFolder dir;
        ASSERT_TRUE(TDemoSites::Dump(out.MediaUrl, dir.File("expected")));
        const std::string got = Download(out.MediaUrl, out.Cookies, dir.File("video"));
        EXPECT_GT(got.size(), 100000u) << row.scheme;
        EXPECT_TRUE(got == ReadFile(dir.File("expected"))) << "media bytes differ, " << row.scheme;
    }
}

TEST_F(Extractors, ThroughSocksServers) {
    TDante dante;
    ASSERT_TRUE(dante.Start()) << dante.Log();
    TMicrosocks microsocks;
    ASSERT_TRUE(microsocks.Start("alice", "s3cret"));
    const struct {
        std::string Port, Level, User, Password;
    } rows[] = {
        {dante.Port(), "5", "", ""},
        {dante.Port(), "4", "", ""},
        {microsocks.Port(), "5", "alice", "s3cret"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.Port + " level " + row.Level);
        // The demo server as the HTTP proxy, reached through the SOCKS server, as the options
        // save both and the next start reads them back.
        TTempFolder settings;
        InitSettingsModule();
        ProgramFolder = settings.Path + "/";
        Options.UseProxy = true;
        Options.ProxyAddress = "127.0.0.1";
        Options.ProxyPort = Demo->Port();
        Options.UseSocks = true;
        Options.SocksLevel = row.Level;
        Options.SocksAddress = "127.0.0.1";
        Options.SocksPort = row.Port;
        Options.SocksUsername = row.User;
        Options.SocksPassword = row.Password;
        ASSERT_TRUE(SaveSettings());
        InitSettingsModule();
        ProgramFolder = settings.Path + "/";
        LoadSettings();
        Proxy = ProxyFromOptions(Options);
        ASSERT_EQ(Proxy.SocksPort, row.Port);

        TOutcome out = Extract(YouTube, "http://www.youtube.com/watch?v=sorlen01");
        ASSERT_EQ(out.Code, 0);
        TTempFolder dir;
        ASSERT_TRUE(TDemoSites::Dump(out.MediaUrl, dir.File("expected")));
        const std::string got = Download(out.MediaUrl, out.Cookies, dir.File("video"));
        EXPECT_GT(got.size(), 100000u);
        EXPECT_TRUE(got == ReadFile(dir.File("expected"))) << "media bytes differ";
    }
}

TEST_F(Extractors, ProposedFileNameStaysInTheFolder) {
    TTempFolder dir;
    for (const std::string id : {"sorlen03", "sorlen04"}) {
        TOutcome out = Extract(YouTube, "http://www.youtube.com/watch?v=" + id, 2);
        ASSERT_EQ(out.Code, 0) << id;
        for (const std::string ext : {"", ".flv"}) {
            auto file = std::filesystem::path(dir.Path) / (CleanFileName(out.Title) + ext);
            EXPECT_EQ(file.lexically_normal().parent_path(), std::filesystem::path(dir.Path))
                << out.Title;
        }
    }
}

TEST_F(Extractors, BadPagesFailWithTwo) {
    const std::pair<TSite, std::string> rows[] = {
        {YouTube, "http://www.youtube.com/watch?v=empty"},
        {YouTube, "http://www.youtube.com/watch?v=binary"},
        {YouTube, "http://www.youtube.com/watch?v=huge"},
        {YouTube, "http://www.youtube.com/watch?v=truncated"},
        {YouTube, "http://www.youtube.com/watch?v=noconfig"},
        {YouTube, "http://www.youtube.com/watch?v=nomap"},
        {YouTube, "http://www.youtube.com/watch?v=notitle"},
        {YouTube, "http://www.youtube.com/watch?v=unknown"},
        {YouTube, "http://nosuchhost.example/watch?v=x"},
        {YouTube, "not an address"},
        {DailyMotion, "http://www.dailymotion.com/video/empty"},
        {DailyMotion, "http://www.dailymotion.com/video/binary"},
        {DailyMotion, "http://www.dailymotion.com/video/huge"},
        {DailyMotion, "http://www.dailymotion.com/video/xnothing"},
        {DailyMotion, "http://www.dailymotion.com"},
        {BlipTv, "http://blip.tv/file/empty"},
        {BlipTv, "http://blip.tv/file/binary"},
        {BlipTv, "http://blip.tv/file/huge"},
        {BlipTv, "http://blip.tv/file/9999"},
        {BlipTv, "http://blip.tv/"},
    };
    for (const auto& [site, page] : rows) {
        TOutcome out = Extract(site, page);
        EXPECT_EQ(out.Code, 2) << page;
        EXPECT_EQ(out.Reports, 1) << page;
    }
}

TEST_F(Extractors, CancelAtAnyTimeReportsOne) {
    const TProcessCounts before = CurrentCounts();
    const std::pair<TSite, std::string> pages[] = {
        {YouTube, "http://www.youtube.com/watch?v=slow"},
        {YouTube, "http://www.youtube.com/watch?v=sorlen01"},
        {DailyMotion, "http://www.dailymotion.com/video/xdemo2_demo"},
        {BlipTv, "http://blip.tv/file/1001"},
    };
    for (const auto& [site, page] : pages) {
        for (int after : {0, 1, 3, 10, 30, 100}) {
            // Whether the report or the cancel comes first is up to the scheduler (even "after
            // 0 ms" runs queued work first); each order has its own outcome.
            TOutcome out = Extract(site, page, 0, after);
            EXPECT_EQ(out.Reports, 1) << page << " after " << after;
            EXPECT_EQ(out.Code, out.CancelSent ? 1 : 0)
                << page << " after " << after << (out.CancelSent ? ", cancelled" : ", reported");
        }
    }
    const TProcessCounts after = CountsBackTo(before);
    EXPECT_LE(after.Descriptors, before.Descriptors) << "a socket was left open";
#if !defined(__SANITIZE_THREAD__)  // ThreadSanitizer starts a thread of its own at any time
    EXPECT_LE(after.Threads, before.Threads) << "a thread was left running";
#endif
}

}  // namespace
