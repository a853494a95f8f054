#include <gtest/gtest.h>

#include <unistd.h>

#include <filesystem>

#include "settings/TIniFile.h"
#include "settings/uCrypt.h"
#include "settings/uHelpers.h"
#include "settings/uSettings.h"
#include "tests/support/TempFolder.h"

namespace {

class SettingsFile : public ::testing::Test {
protected:
    void SetUp() override {
        setenv("HOME", Home.Path.c_str(), 1);
        setenv("XDG_CONFIG_HOME", (Home.Path + "/config").c_str(), 1);
        std::filesystem::create_directory(Home.File("Documents"));
        InitSettingsModule();
        ProgramFolder = Folder.Path + "/";
    }
    std::string IniPath() const { return Folder.File("Settings.ini"); }
    std::string Docs() const { return Home.File("Documents"); }

    TTempFolder Home;
    TTempFolder Folder;
};

TEST_F(SettingsFile, FirstRunUsesDefaultsAndWritesTheKeysInOrder) {
    LoadSettings();
    TOptions expected;
    expected.SaveTo = Docs();
    EXPECT_EQ(Options, expected);
    ASSERT_TRUE(SaveSettings());
    EXPECT_EQ(ReadFile(IniPath()),
              "[Options]\nShowURL=0\nFormat=0\nSaveTo=" + Docs() +
                  "\nCloseOnComplete=0\nUseProxy=0\nProxyAddress=\nProxyPort=\n"
                  "ProxyUsername=\nProxyPassword=\nMonitorClipboard=0\nLoadOnStart=0\n"
                  "UseSocks=0\nSocksLevel=5\nSocksAddress=\nSocksPort=\nSocksUsername=\n"
                  "SocksPassword=\nNotifyWhenDone=1\nStallTimeout=30\nRetryCount=5\n"
                  "Connections=4\nSplitAboveKiB=8192\n");
}

TEST_F(SettingsFile, SaveThenLoadGivesTheSameOptionsWithThePasswordScrambled) {
    Options = TOptions{true,   1,           "/data/videos", true,  true,           "proxy.lan",
                       "3128", "me",        "pa ss word",   true,  true,           true,
                       "4A",   "localhost", "9050",         "you", "socks secret", false,
                       16};
    const TOptions saved = Options;
    ASSERT_TRUE(SaveSettings());
    EXPECT_EQ(ReadFile(IniPath()).find("pa ss word"), std::string::npos);
    EXPECT_EQ(ReadFile(IniPath()).find("socks secret"), std::string::npos);
    Options = TOptions{};
    LoadSettings();
    EXPECT_EQ(Options, saved);
}

TEST_F(SettingsFile, ValuesAreReadByTheProfileRules) {
    const std::string longValue(3000, 'v');
    const struct {
        std::string file;
        int32_t format;
        bool useProxy;
        std::string saveTo;
        std::string address;
        int32_t connections = 4;
    } rows[] = {
        {"[Options]\nFormat=1\nUseProxy=1\n", 1, true, "", ""},
        {"[options]\r\nformat = 0x10\r\nUSEPROXY=-7\r\n", 16, true, "", ""},
        {"[Options]\nFormat=0XFFFFFFFF\nUseProxy=yes\n", -1, false, "", ""},
        {"[Options]\nFormat=1.5\nUseProxy=0x\nSaveTo=  /v  \n", 0, false, "/v", ""},
        {"[Options]\nFormat=99999999999\nUseProxy=2\n", 0, true, "", ""},
        {"[Other]\nFormat=1\n[Options]\nFormat=2\n[Options]\nFormat=3\n", 2, false, "", ""},
        {"[Options]\nFormat=4\nFormat=5\nProxyAddress=a=b\n", 4, false, "", "a=b"},
        {"[Options]\nSaveTo=\nProxyAddress=" + longValue + "\n", 0, false, "",
         longValue.substr(0, 2047)},
        {"[Options]\nFormat=3\nProxyAddr", 3, false, "", ""},
        {"[Options\nFormat=6\n", 6, false, "", ""},
        {"[Options]\nConnections=1\n", 0, false, "", "", 1},
        {"[Options]\nConnections=0\n", 0, false, "", "", 1},
        {"[Options]\nConnections=0xFFFFFFFF\n", 0, false, "", "", 1},
        {"[Options]\nConnections=17\n", 0, false, "", "", 16},
        {"[Options]\nConnections=eight\n", 0, false, "", "", 4},
    };
    for (const auto& row : rows) {
        WriteFile(IniPath(), row.file);
        Options = TOptions{};
        LoadSettings();
        EXPECT_EQ(Options.Format, row.format) << row.file;
        EXPECT_EQ(Options.UseProxy, row.useProxy) << row.file;
        EXPECT_EQ(Options.SaveTo, row.saveTo.empty() ? Docs() : row.saveTo) << row.file;
        EXPECT_EQ(Options.ProxyAddress, row.address) << row.file;
        EXPECT_EQ(Options.Connections, row.connections) << row.file;
    }
}

TEST_F(SettingsFile, SocksLevelIsReadAsOneOfTheThreeLevels) {
    const std::pair<std::string, std::string> rows[] = {
        {"4", "4"}, {"4a", "4A"}, {"4A", "4A"}, {"5", "5"}, {"6", "5"}, {"", "5"}, {" 4", "4"}};
    for (const auto& [stored, level] : rows) {
        WriteFile(IniPath(), "[Options]\nSocksLevel=" + stored + "\n");
        LoadSettings();
        EXPECT_EQ(Options.SocksLevel, level) << stored;
    }
}

TEST_F(SettingsFile, StallTimeoutIsPositiveSecondsAndRetryCountNotNegative) {
    const struct {
        std::string stall, retries;
        int32_t seconds, count;
    } rows[] = {{"45", "0", 45, 0},  {"0", "-1", 30, 5}, {"-5", "12", 30, 12},
                {"soon", "", 30, 5}, {"", "x", 30, 5},   {"99999999999", "3", 30, 3}};
    for (const auto& row : rows) {
        WriteFile(IniPath(),
                  "[Options]\nStallTimeout=" + row.stall + "\nRetryCount=" + row.retries + "\n");
        LoadSettings();
        EXPECT_EQ(Options.StallTimeout, row.seconds) << row.stall;
        EXPECT_EQ(Options.RetryCount, row.count) << row.retries;
        EXPECT_EQ(StallMsFromOptions(Options), row.seconds * 1000);
    }
    Options.StallTimeout = 1 << 30;  // never a negative limit
    EXPECT_GT(StallMsFromOptions(Options), 0);
}

TEST(RequestProxy, EachPartOnlyWhenItsOptionIsOn) {
    TOptions o;
    o.ProxyAddress = "proxy.lan";
    o.ProxyPort = "3128";
    o.SocksAddress = "127.0.0.1";
    o.SocksPort = "1080";
    o.SocksLevel = "4A";
    o.SocksUsername = "me";
    o.SocksPassword = "pw";
    for (int on = 0; on < 4; ++on) {
        o.UseProxy = on & 1;
        o.UseSocks = on & 2;
        TUrlInfo request;
        ApplyProxy(ProxyFromOptions(o), request);
        EXPECT_EQ(request.ProxyAddress, o.UseProxy ? "proxy.lan" : "") << on;
        EXPECT_EQ(request.ProxyPort, o.UseProxy ? "3128" : "") << on;
        EXPECT_EQ(request.SocksAddress, o.UseSocks ? "127.0.0.1" : "") << on;
        EXPECT_EQ(
            request.SocksPort + request.SocksLevel + request.SocksUserName + request.SocksPassword,
            o.UseSocks ? "10804Amepw" : "")
            << on;
        EXPECT_EQ(RequestProxy(request), ProxyFromOptions(o)) << on;
    }
}

TEST_F(SettingsFile, BrokenFilesKeepTheCurrentOptions) {
    std::string binary;
    for (int i = 0; i < 4096; ++i) binary += static_cast<char>((i * 131) % 256);
    const std::string files[] = {"",           "\n\n",
                                 "Format=1\n", "[Optionsx]\nFormat=1\n",
                                 binary,       std::string("[Opt\0ions]\nFormat=1", 19)};
    for (const std::string& file : files) {
        WriteFile(IniPath(), file);
        Options = TOptions{};
        Options.Format = 7;
        LoadSettings();
        EXPECT_EQ(Options.Format, 7);
    }
}

TEST_F(SettingsFile, UnreadableFilesAreSetAsideUnchangedUnderAFreeName) {
    const std::string utf16("\xFF\xFE[\0O\0p\0t\0i\0o\0n\0s\0]\0\r\0\n\0", 24);
    const std::string files[] = {utf16, std::string("[Options]\nFormat=1\0\n", 20),
                                 "Format=1\r\nUseProxy=1\r\n"};
    const std::string keptAs[] = {IniPath() + ".unreadable", IniPath() + ".unreadable.1",
                                  IniPath() + ".unreadable.2"};
    for (size_t i = 0; i < std::size(files); ++i) {
        WriteFile(IniPath(), files[i]);
        Options.Format = 7;
        const TSettingsLoad loaded = LoadSettings();
        EXPECT_TRUE(loaded.Unreadable) << i;
        EXPECT_EQ(loaded.KeptAs, keptAs[i]);
        EXPECT_EQ(ReadFile(keptAs[i]), files[i]);
        EXPECT_EQ(Options.Format, 7);
        ASSERT_TRUE(SaveSettings());
        EXPECT_EQ(ReadFile(IniPath()).rfind("[Options]\nShowURL=0\n", 0), 0u);
    }
    EXPECT_FALSE(LoadSettings().Unreadable);
}

TEST_F(SettingsFile, SavingThroughLinksReplacesTheFileTheyEndAt) {
    const std::string real = Home.File("real.ini");
    const std::string middle = Home.File("middle.ini");
    WriteFile(real, "[Options]\nFormat=1\n");
    ASSERT_EQ(symlink("real.ini", middle.c_str()), 0);
    ASSERT_EQ(symlink(middle.c_str(), IniPath().c_str()), 0);
    LoadSettings();
    EXPECT_EQ(Options.Format, 1);
    Options.ProxyAddress = "through";
    ASSERT_TRUE(SaveSettings());
    EXPECT_TRUE(std::filesystem::is_symlink(IniPath()));
    EXPECT_TRUE(std::filesystem::is_symlink(middle));
    EXPECT_NE(ReadFile(real).find("ProxyAddress=through"), std::string::npos);
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(Folder.Path),
                            std::filesystem::directory_iterator{}),
              1);
}

TEST_F(SettingsFile, OldPasswordKeyIsTakenOnceAndRemovedAtOnce) {
    WriteFile(IniPath(), "[Options]\nProxtPassword=" + EncryptSetting("old one ") +
                             "\nProxyPassword=" + EncryptSetting("new") + "\n[Keep]\nx=1\n");
    LoadSettings();
    EXPECT_EQ(Options.ProxyPassword, "old one");
    const std::string afterLoad = ReadFile(IniPath());
    EXPECT_EQ(afterLoad.find("ProxtPassword"), std::string::npos);
    EXPECT_NE(afterLoad.find("[Keep]\nx=1"), std::string::npos);

    ASSERT_TRUE(SaveSettings());
    TIniFile ini(IniPath());
    ini.Load();
    EXPECT_EQ(ini.ReadString("Options", "ProxyPassword", ""), EncryptSetting("old one"));
    Options.ProxyPassword.clear();
    LoadSettings();
    EXPECT_EQ(Options.ProxyPassword, "old one");
}

TEST_F(SettingsFile, SavingKeepsOtherSectionsAndKeys) {
    WriteFile(IniPath(),
              "; note\n[Window]\nLeft=5\n\n[Options]\nExtra=x\nFormat=1\n\n[Tail]\ny=2\n");
    LoadSettings();
    ASSERT_TRUE(SaveSettings());
    const std::string text = ReadFile(IniPath());
    EXPECT_EQ(
        text.rfind("; note\n[Window]\nLeft=5\n\n[Options]\nExtra=x\nFormat=1\nShowURL=0\n", 0), 0u)
        << text;
    EXPECT_NE(text.find("SplitAboveKiB=8192\n\n[Tail]\ny=2\n"), std::string::npos) << text;
}

TEST_F(SettingsFile, UnwritableFileReportsFailureAndKeepsOptions) {
    std::filesystem::create_directory(IniPath());
    Options.Format = 1;
    Options.ProxyAddress = "kept";
    EXPECT_FALSE(SaveSettings());
    EXPECT_EQ(Options.Format, 1);
    EXPECT_EQ(Options.ProxyAddress, "kept");
    EXPECT_TRUE(std::filesystem::is_directory(IniPath()));
}

TEST_F(SettingsFile, ValueThatWouldBreakTheLineIsRefusedAndTheOldFileStays) {
    Options.ProxyAddress = "first";
    ASSERT_TRUE(SaveSettings());
    const std::string before = ReadFile(IniPath());
    Options.SaveTo = "/tmp/a\nUseProxy=1";
    EXPECT_FALSE(SaveSettings());
    EXPECT_EQ(ReadFile(IniPath()), before);
}

TEST_F(SettingsFile, ReadOnlyProgramFolderFallsBackToTheConfigFolder) {
    ProgramFolder = "/nonexistent-sorlen-folder/";
    EXPECT_EQ(SettingsFilePath(), Home.Path + "/config/sorlen/Settings.ini");
    ASSERT_TRUE(SaveSettings());
    EXPECT_TRUE(std::filesystem::exists(Home.Path + "/config/sorlen/Settings.ini"));
}

TEST(IniInteger, DecimalAndHexadecimalForms) {
    const struct {
        std::string text;
        std::optional<int32_t> value;
    } rows[] = {
        {"0", 0},
        {"42", 42},
        {"-5", -5},
        {"+7", 7},
        {"2147483647", INT32_MAX},
        {"-2147483648", INT32_MIN},
        {"2147483648", std::nullopt},
        {"0x1F", 31},
        {"0X10", 16},
        {"0xFFFFFFFF", -1},
        {"0x123456789", std::nullopt},
        {"0x", std::nullopt},
        {"0xG", std::nullopt},
        {"12a", std::nullopt},
        {"", std::nullopt},
        {"-", std::nullopt},
        {"1 2", std::nullopt},
    };
    for (const auto& row : rows) EXPECT_EQ(ParseIniInteger(row.text), row.value) << row.text;
}

}  // namespace
