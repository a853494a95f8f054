#include <gtest/gtest.h>

#include <filesystem>

#include "settings/uSystem.h"
#include "tests/support/TempFolder.h"

namespace {

class UserEnvironment : public ::testing::Test {
protected:
    void SetUp() override {
        setenv("HOME", Home.Path.c_str(), 1);
        setenv("XDG_CONFIG_HOME", Home.File("cfg").c_str(), 1);
        std::filesystem::create_directory(Home.File("cfg"));
        for (const char* name : {"http_proxy", "HTTP_PROXY", "ftp_proxy", "FTP_PROXY"}) {
            unsetenv(name);
        }
    }
    TTempFolder Home;
};

TEST_F(UserEnvironment, DocumentsFolderFromUserDirsThenDocumentsThenNothing) {
    EXPECT_EQ(GetDocumentsFolder(), "");
    std::filesystem::create_directory(Home.File("Documents"));
    EXPECT_EQ(GetDocumentsFolder(), Home.File("Documents"));

    const struct {
        std::string line;
        std::string folder;
    } rows[] = {
        {"XDG_DOCUMENTS_DIR=\"$HOME/Dokumente\"", Home.File("Dokumente")},
        {"XDG_DOCUMENTS_DIR=\"/srv/docs/\"", "/srv/docs"},
        {"XDG_DOCUMENTS_DIR=\"$HOME/\"", Home.File("Documents")},
        {"XDG_DOCUMENTS_DIR=relative", Home.File("Documents")},
        {"# XDG_DOCUMENTS_DIR=\"/nope\"", Home.File("Documents")},
    };
    for (const auto& row : rows) {
        WriteFile(Home.File("cfg/user-dirs.dirs"), "XDG_MUSIC_DIR=\"$HOME/M\"\n" + row.line + "\n");
        EXPECT_EQ(GetDocumentsFolder(), row.folder) << row.line;
    }
}

TEST_F(UserEnvironment, DefaultSaveFolderIsTheFirstOneThatExists) {
    EXPECT_EQ(GetDefaultSaveFolder(), Home.Path);  // a fresh account
    const struct {
        const char* make;
        std::string dirs;
        std::string folder;
    } rows[] = {
        {"Downloads", "", Home.File("Downloads")},
        {"Dl", "XDG_DOCUMENTS_DIR=\"$HOME/Gone\"\nXDG_DOWNLOAD_DIR=\"$HOME/Dl\"\n",
         Home.File("Dl")},
        {"Documents", "", Home.File("Documents")},
    };
    for (const auto& row : rows) {
        std::filesystem::create_directories(Home.File(row.make));
        WriteFile(Home.File("cfg/user-dirs.dirs"), row.dirs);
        EXPECT_EQ(GetDefaultSaveFolder(), row.folder) << row.dirs;
    }
}

TEST_F(UserEnvironment, ProxyFromTheEnvironment) {
    const struct {
        std::string http;
        std::string ftp;
        int kind;
        bool found;
        std::string host;
        std::string port;
    } rows[] = {
        {"proxy.lan:3128", "", 1, true, "proxy.lan", "3128"},
        {"http://proxy.lan:3128/", "", 1, true, "proxy.lan", "3128"},
        {"http://user:p:w@proxy.lan:8080", "", 1, true, "proxy.lan", "8080"},
        {" proxy.lan:3128 ", "", 1, true, "proxy.lan", "3128"},
        {"http://[::1]:3128", "", 1, true, "::1", "3128"},
        {"http://h:1", "ftp://f:21", 2, true, "f", "21"},
        {"http://h:1", "ftp://f:21", 1, true, "h", "1"},
        {"http://h:1", "", 2, false, "", ""},
        {"http://h:1", "ftp://f:21", 3, false, "", ""},
        {"proxy.lan", "", 1, false, "", ""},
        {";", "", 1, false, "", ""},
        {"", "", 1, false, "", ""},
        {"http://:3128", "", 1, false, "", ""},
        {"h:", "", 1, false, "", ""},
        {"[::1]", "", 1, false, "", ""},
    };
    for (const auto& row : rows) {
        setenv("http_proxy", row.http.c_str(), 1);
        setenv("ftp_proxy", row.ftp.c_str(), 1);
        const TSystemProxy proxy = FindSystemProxy(row.kind);
        EXPECT_EQ(proxy.Found, row.found) << row.http << " " << row.kind;
        EXPECT_EQ(proxy.Host, row.host) << row.http;
        EXPECT_EQ(proxy.Port, row.port) << row.http;
    }
    unsetenv("http_proxy");
    setenv("HTTP_PROXY", "upper:1", 1);
    EXPECT_EQ(FindSystemProxy(1).Host, "upper");
}

TEST_F(UserEnvironment, SocksServerFromAllProxy) {
    const struct {
        std::string setting;
        bool found;
        std::string level, host, port;
    } rows[] = {
        {"socks5://127.0.0.1:1080", true, "5", "127.0.0.1", "1080"},
        {"SOCKS5H://user:pw@tor.lan:9050/", true, "5", "tor.lan", "9050"},
        {" socks4://h:1 ", true, "4", "h", "1"},
        {"socks4a://[::1]:9050", true, "4A", "::1", "9050"},
        {"http://proxy.lan:3128", false, "", "", ""},
        {"socks://h:1080", false, "", "", ""},
        {"socks5://h", false, "", "", ""},
        {"h:1080", false, "", "", ""},
        {"", false, "", "", ""},
    };
    for (const auto& row : rows) {
        setenv("all_proxy", row.setting.c_str(), 1);
        const TSystemSocksProxy socks = FindSystemSocksProxy();
        EXPECT_EQ(socks.Found, row.found) << row.setting;
        EXPECT_EQ(socks.Level, row.level) << row.setting;
        EXPECT_EQ(socks.Host, row.host) << row.setting;
        EXPECT_EQ(socks.Port, row.port) << row.setting;
    }
    unsetenv("all_proxy");
    setenv("ALL_PROXY", "socks5://upper:1", 1);
    EXPECT_EQ(FindSystemSocksProxy().Host, "upper");
    unsetenv("ALL_PROXY");
}

TEST_F(UserEnvironment, AutostartEntryIsWrittenAndRemoved) {
    EXPECT_TRUE(SetRunAtStartup("Sorlen", "/opt/my apps/sorlen"));
    const std::string entry = ReadFile(Home.File("cfg/autostart/Sorlen.desktop"));
    EXPECT_NE(entry.find("[Desktop Entry]\n"), std::string::npos);
    EXPECT_NE(entry.find("\nExec=\"/opt/my apps/sorlen\"\n"), std::string::npos) << entry;
    EXPECT_NE(entry.find("\nName=Sorlen\n"), std::string::npos);

    EXPECT_TRUE(SetRunAtStartup("Sorlen", "/a$b\\c%d"));
    EXPECT_NE(
        ReadFile(Home.File("cfg/autostart/Sorlen.desktop")).find("Exec=\"/a\\\\$b\\\\\\\\c%%d\""),
        std::string::npos);

    EXPECT_TRUE(SetRunAtStartup("Sorlen", ""));
    EXPECT_FALSE(std::filesystem::exists(Home.File("cfg/autostart/Sorlen.desktop")));
    EXPECT_TRUE(SetRunAtStartup("Sorlen", ""));
    EXPECT_FALSE(SetRunAtStartup("Sorlen", "/bin/x\nExec=evil"));
}

TEST_F(UserEnvironment, AutostartFailsWhenTheFolderCannotBeMade) {
    WriteFile(Home.File("cfg/autostart"), "a file where the folder should be");
    EXPECT_FALSE(SetRunAtStartup("Sorlen", "/usr/bin/sorlen"));
}

}  // namespace
