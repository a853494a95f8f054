#include "TestServers.h"

#include <dirent.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <thread>

TDemoSites* TDemoSitesTest::Demo = nullptr;

void TDemoSitesTest::SetUpTestSuite() {
    Demo = new TDemoSites;
}

void TDemoSitesTest::TearDownTestSuite() {
    delete Demo;
    Demo = nullptr;
}

void TDemoSitesTest::SetUp() {
    ASSERT_NE(Demo->Port, 0) << "demo-sites server did not start";
    SetUiThread(&Ui);
}

void TDemoSitesTest::TearDown() {
    SetUiThread(nullptr);
}

TUrlInfo TDemoSitesTest::ViaProxy(const std::string& url, const std::string& file) {
    TUrlInfo r;
    r.Url = url;
    r.ProxyAddress = "127.0.0.1";
    r.ProxyPort = std::to_string(Demo->Port);
    r.FileName = file;
    return r;
}

std::string TTestProcess::Start(const char* const argv[], int timeoutMs) {
    int in[2], out[2];
    if (pipe2(in, O_CLOEXEC) != 0 || pipe2(out, O_CLOEXEC) != 0) return {};
    FPid = fork();
    if (FPid == 0) {
        dup2(in[0], 0);
        dup2(out[1], 1);
        execvp(argv[0], const_cast<char* const*>(argv));
        _exit(127);
    }
    close(in[0]);
    close(out[1]);
    FStdin = in[1];
    std::string line;
    auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (line.find('\n') == std::string::npos && std::chrono::steady_clock::now() < until) {
        pollfd p{out[0], POLLIN, 0};
        if (poll(&p, 1, 100) <= 0) continue;
        char buf[256];
        ssize_t n = read(out[0], buf, sizeof buf);
        if (n <= 0) break;
        line.append(buf, static_cast<size_t>(n));
    }
    close(out[0]);
    return line.substr(0, line.find('\n'));
}

void TTestProcess::Stop() {
    if (FStdin >= 0) close(FStdin);
    FStdin = -1;
    if (FPid <= 0) return;
    for (int i = 0; i < 50; ++i) {
        if (waitpid(FPid, nullptr, WNOHANG) == FPid) {
            FPid = -1;
            return;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    kill(FPid, SIGKILL);
    waitpid(FPid, nullptr, 0);
    FPid = -1;
}

namespace {
const std::string Script = std::string(SORLEN_SOURCE_DIR) + "/tools/demo_sites.py";

int FreePort() {
    int s = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    bind(s, reinterpret_cast<sockaddr*>(&a), len);
    getsockname(s, reinterpret_cast<sockaddr*>(&a), &len);
    close(s);
    return ntohs(a.sin_port);
}

// A plain socket connected to port on 127.0.0.1, or -1.
int ConnectLoopback(int port) {
    int s = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(s, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0) return s;
    close(s);
    return -1;
}

bool PortOpen(int port) {
    int s = ConnectLoopback(port);
    if (s < 0) return false;
    close(s);
    return true;
}
}  // namespace

TDemoSites::TDemoSites() {
    const char* argv[] = {"python3", Script.c_str(), "--exit-with-stdin", nullptr};
    std::string line = FProcess.Start(argv, 10000);
    if (line.rfind("listening ", 0) == 0)
        Port = std::atoi(line.substr(line.rfind(' ') + 1).c_str());
}

bool TDemoSites::Dump(const std::string& url, const std::string& path) {
    std::string cmd = "python3 '" + Script + "' --dump '" + url + "' '" + path + "'";
    return std::system(cmd.c_str()) == 0;
}

TNginx::TNginx(const std::string& root) {
    TTempDir dir;
    FDir = dir.Path;
    dir.Path.clear();  // kept until nginx has gone
    int port = FreePort();
    std::ofstream(FDir + "/nginx.conf")
        << "daemon off;\nmaster_process off;\nworker_processes 1;\npid " << FDir
        << "/nginx.pid;\nerror_log " << FDir << "/error.log;\n"
        << "events { worker_connections 64; }\nhttp {\n access_log off;\n"
        << " client_body_temp_path " << FDir << "/tmp;\n proxy_temp_path " << FDir << "/tmp;\n"
        << " fastcgi_temp_path " << FDir << "/tmp;\n uwsgi_temp_path " << FDir << "/tmp;\n"
        << " scgi_temp_path " << FDir << "/tmp;\n sendfile on;\n"
        << " server { listen 127.0.0.1:" << port << "; root " << root << "; }\n}\n";
    std::string conf = FDir + "/nginx.conf";
    const char* argv[] = {"/usr/sbin/nginx", "-p", FDir.c_str(), "-c", conf.c_str(), nullptr};
    FProcess.Start(argv, 0);
    for (int i = 0; i < 200 && !PortOpen(port); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    if (PortOpen(port)) Port = port;
}

TNginx::~TNginx() {
    std::string pidText = ReadFile(FDir + "/nginx.pid");
    if (!pidText.empty()) kill(std::atoi(pidText.c_str()), SIGQUIT);
    FProcess.Stop();
    std::filesystem::remove_all(FDir);
}

// Read with a plain socket, not with the code under test.
std::string TDemoSites::Log() const {
    std::string reply;
    int s = ConnectLoopback(Port);
    if (s < 0) return reply;
    const char req[] = "GET http://demo-sites.test/log HTTP/1.0\r\n\r\n";
    if (write(s, req, sizeof req - 1) == static_cast<ssize_t>(sizeof req - 1)) {
        char buf[4096];
        for (ssize_t n; (n = read(s, buf, sizeof buf)) > 0;)
            reply.append(buf, static_cast<size_t>(n));
    }
    close(s);
    size_t body = reply.find("\r\n\r\n");
    return body == std::string::npos ? std::string() : reply.substr(body + 4);
}

TTempDir::TTempDir() {
    char tmpl[] = "/tmp/sorlen-test-XXXXXX";
    Path = mkdtemp(tmpl);
}

TTempDir::~TTempDir() {
    if (!Path.empty()) std::filesystem::remove_all(Path);
}

std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

namespace {
int CountEntries(const char* dir) {
    int n = 0;
    if (DIR* d = opendir(dir)) {
        while (readdir(d)) ++n;
        closedir(d);
    }
    return n;
}
}  // namespace

int OpenDescriptorCount() {
    return CountEntries("/proc/self/fd");
}
int ThreadCount() {
    return CountEntries("/proc/self/task");
}

TProcessCounts SettledCounts() {
    TProcessCounts last{OpenDescriptorCount(), ThreadCount()};
    for (int i = 0; i < 15; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        TProcessCounts now{OpenDescriptorCount(), ThreadCount()};
        if (now.Descriptors == last.Descriptors && now.Threads == last.Threads) return now;
        last = now;
    }
    return last;
}
