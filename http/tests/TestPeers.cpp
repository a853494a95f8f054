// Test peers on 127.0.0.1 (see TestPeers.h).
#include "http/tests/TestPeers.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <pwd.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>

extern char** environ;

namespace {

sockaddr_in Loopback(int Port) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(Port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return a;
}

// Waits for Fd to become readable; false on timeout or when stopping.
bool WaitReadable(int Fd, int TimeoutMs, const std::atomic<bool>& Stopping) {
    for (int waited = 0; waited < TimeoutMs && !Stopping; waited += 50) {
        pollfd p{Fd, POLLIN, 0};
        int r = ::poll(&p, 1, 50);
        if (r > 0) return true;
        if (r < 0 && errno != EINTR) return false;
    }
    return false;
}

}  // namespace

int FreePort() {
    int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a = Loopback(0);
    socklen_t len = sizeof a;
    int port = 0;
    if (::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 &&
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len) == 0)
        port = ntohs(a.sin_port);
    ::close(fd);
    return port;
}

bool WaitForPort(int Port, int TimeoutMs) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(TimeoutMs);
    while (std::chrono::steady_clock::now() < deadline) {
        int fd = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a = Loopback(Port);
        bool ok = ::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
        ::close(fd);
        if (ok) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return false;
}

bool TPeerProcess::Start(const std::vector<std::string>& Argv) {
    std::vector<char*> args;
    for (const std::string& a : Argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    int rc = posix_spawn(&Pid, args[0], &actions, nullptr, args.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (rc != 0) Pid = -1;
    return rc == 0;
}

void TPeerProcess::Stop() {
    if (Pid <= 0) return;
    ::kill(Pid, SIGTERM);
    for (int i = 0; i < 100; ++i) {
        if (::waitpid(Pid, nullptr, WNOHANG) == Pid) {
            Pid = -1;
            return;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    ::kill(Pid, SIGKILL);
    ::waitpid(Pid, nullptr, 0);
    Pid = -1;
}

TTempFolder::TTempFolder() {
    char pattern[] = "/tmp/sorlen-http-XXXXXX";
    FPath = ::mkdtemp(pattern);
    // squid drops to an unprivileged user when started as root and must still write here.
    ::chmod(FPath.c_str(), 0777);
}

TTempFolder::~TTempFolder() {
    std::error_code ignored;
    std::filesystem::remove_all(FPath, ignored);
}

void TTempFolder::Write(const std::string& Name, const std::string& Content) const {
    std::filesystem::create_directories(std::filesystem::path(FPath + "/" + Name).parent_path());
    std::ofstream(FPath + "/" + Name, std::ios::binary) << Content;
}

bool TNginx::Start() {
    FPort = FreePort();
    const std::string& d = Folder.Path();
    Folder.Write("html/hello.txt", "hello from nginx");
    Folder.Write("nginx.conf",
                 "daemon off;\nmaster_process off;\nworker_processes 1;\n"
                 "pid " +
                     d + "/nginx.pid;\nerror_log " + d +
                     "/error.log;\n"
                     "events { worker_connections 64; }\n"
                     "http {\n  access_log off;\n"
                     "  client_body_temp_path " +
                     d + "/body;\n  proxy_temp_path " + d +
                     "/proxy;\n"
                     "  fastcgi_temp_path " +
                     d + "/fastcgi;\n  uwsgi_temp_path " + d +
                     "/uwsgi;\n"
                     "  scgi_temp_path " +
                     d +
                     "/scgi;\n"
                     "  server {\n    listen 127.0.0.1:" +
                     std::to_string(FPort) +
                     ";\n"
                     "    root " +
                     d +
                     "/html;\n"
                     "    location = /r1 { return 302 /r2; }\n"
                     "    location = /r2 { return 302 /hello.txt; }\n  }\n}\n");
    return Process.Start(
               {"/usr/sbin/nginx", "-p", d, "-c", d + "/nginx.conf", "-e", d + "/error.log"}) &&
           WaitForPort(FPort, 10000);
}

TSquid::~TSquid() {
    Process.Stop();
    // Its shared-memory segments are named after the service name given at start.
    std::error_code ignored;
    for (const char* part : {"metadata", "queues", "readers"})
        std::filesystem::remove("/dev/shm/" + ServiceName + "-cf__" + part + ".shm", ignored);
}

bool TSquid::Start() {
    FPort = FreePort();
    ServiceName = "sorlentest" + std::to_string(::getpid());
    const std::string& d = Folder.Path();
    std::string user;
    if (::geteuid() == 0) user = ::getpwnam("proxy") ? "proxy" : "nobody";
    Folder.Write("squid.conf",
                 "http_port 127.0.0.1:" + std::to_string(FPort) +
                     "\nhttp_access allow all\ncache deny all\ncache_mem 8 MB\n"
                     "access_log none\ncache_log " +
                     d +
                     "/cache.log\n"
                     "pid_filename " +
                     d + "/squid.pid\ncoredump_dir " + d +
                     "\n"
                     "shutdown_lifetime 0 seconds\ndns_nameservers 127.0.0.1\n" +
                     (user.empty() ? std::string() : "cache_effective_user " + user + "\n"));
    return Process.Start({"/usr/sbin/squid", "-N", "-n", ServiceName, "-f", d + "/squid.conf"}) &&
           WaitForPort(FPort, 20000);
}

TScriptedServer::TScriptedServer(std::vector<TConnection> S, int Pause)
    : Script(std::move(S)), PauseMs(Pause) {
    Listener = ::socket(AF_INET, SOCK_STREAM, 0);
    int one = 1;
    ::setsockopt(Listener, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in a = Loopback(0);
    socklen_t len = sizeof a;
    ::bind(Listener, reinterpret_cast<sockaddr*>(&a), sizeof a);
    ::listen(Listener, 8);
    ::getsockname(Listener, reinterpret_cast<sockaddr*>(&a), &len);
    FPort = ntohs(a.sin_port);
    Worker = std::thread([this] { Run(); });
}

TScriptedServer::~TScriptedServer() {
    Stopping = true;
    Worker.join();
    ::close(Listener);
}

std::vector<std::string> TScriptedServer::Requests() {
    std::lock_guard<std::mutex> guard(Lock);
    return FRequests;
}

void TScriptedServer::Run() {
    for (const TConnection& connection : Script) {
        if (!WaitReadable(Listener, 10000, Stopping)) return;
        int fd = ::accept(Listener, nullptr, nullptr);
        if (fd < 0) return;
        ++FConnections;
        int one = 1;
        ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        bool keep = Serve(fd, connection);
        if (keep) {
            // Kept open: wait until the client closes it (or the test ends).
            char scratch[256];
            while (WaitReadable(fd, 10000, Stopping) &&
                   ::recv(fd, scratch, sizeof scratch, 0) > 0) {
            }
        }
        ::close(fd);
    }
}

bool TScriptedServer::Serve(int Fd, const TConnection& Exchanges) {
    std::string held;
    // Appends the next bytes from the client to held; false once it has closed or gone quiet.
    auto readMore = [&] {
        char buf[4096];
        if (!WaitReadable(Fd, 10000, Stopping)) return false;
        ssize_t n = ::recv(Fd, buf, sizeof buf, 0);
        if (n <= 0) return false;
        held.append(buf, n);
        return true;
    };
    for (const TExchange& ex : Exchanges) {
        std::size_t end;
        while ((end = held.find("\r\n\r\n")) == std::string::npos)
            if (!readMore()) return false;
        std::string request = held.substr(0, end + 4);
        held.erase(0, end + 4);
        if (!ex.Interim.empty()) ::send(Fd, ex.Interim.data(), ex.Interim.size(), MSG_NOSIGNAL);
        std::size_t length = 0;
        std::size_t at = request.find("\r\nContent-Length: ");
        if (at != std::string::npos) length = std::strtoul(request.c_str() + at + 18, nullptr, 10);
        while (held.size() < length)
            if (!readMore()) return false;
        request += held.substr(0, length);
        held.erase(0, length);
        {
            std::lock_guard<std::mutex> guard(Lock);
            FRequests.push_back(request);
        }
        for (std::size_t i = 0; i < ex.Pieces.size(); ++i) {
            if (i > 0) std::this_thread::sleep_for(std::chrono::milliseconds(PauseMs));
            std::string piece = ex.Pieces[i];
            std::size_t mark = piece.find("{port}");
            if (mark != std::string::npos) piece.replace(mark, 6, std::to_string(FPort));
            ::send(Fd, piece.data(), piece.size(), MSG_NOSIGNAL);
        }
        if (ex.Close) return false;
    }
    return true;
}
