// Test peers on 127.0.0.1: a scripted server thread on a kernel-chosen port, a closed port,
// nginx with a private configuration, and an event recorder for sockets.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "net/TWSocket.h"
#include "platform/EventLoop.h"
#include "platform/tests/LoopWait.h"

// A name no resolver can know: a label longer than 63 bytes is refused by the resolver library
// itself, so the answer is "host not found" at once, with or without a network.
inline const std::string kUnknownHost = std::string(64, 'x') + ".invalid";

// Keeps the loop turning for a while; for checking that nothing more arrives.
inline void Settle(int Ms = 100) {
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(Ms);
    while (std::chrono::steady_clock::now() < end) TEventLoop::Current().WaitOne(5);
}

// A socket of Type bound to 127.0.0.1 on a port the kernel picks, stored in Port; -1 when the
// bind failed.
inline int BoundOnLoopback(int Type, int& Port) {
    int fd = socket(AF_INET, Type | SOCK_CLOEXEC, 0);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (bind(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0) {
        close(fd);
        return -1;
    }
    socklen_t len = sizeof sa;
    getsockname(fd, reinterpret_cast<sockaddr*>(&sa), &len);
    Port = ntohs(sa.sin_port);
    return fd;
}

inline int ListenOnLoopback(int& Port) {
    int fd = BoundOnLoopback(SOCK_STREAM, Port);
    listen(fd, 8);
    return fd;
}

// A port nobody listens on: bound by the kernel's choice, then released.
inline std::string ClosedPort() {
    int port = 0;
    close(BoundOnLoopback(SOCK_STREAM, port));
    return std::to_string(port);
}

// Blocking helpers for server scripts, each bounded by a timeout so a fault cannot hang.
inline bool WaitReadable(int Fd, int TimeoutMs = 10000) {
    pollfd p{Fd, POLLIN, 0};
    return poll(&p, 1, TimeoutMs) > 0;
}

inline std::string ReadUntilEof(int Fd, std::size_t Limit = 1 << 20) {
    std::string got;
    char buf[4096];
    while (got.size() < Limit && WaitReadable(Fd)) {
        ssize_t n = recv(Fd, buf, sizeof buf, 0);
        if (n <= 0) break;
        got.append(buf, static_cast<std::size_t>(n));
    }
    return got;
}

inline std::string ReadExactly(int Fd, std::size_t Count) {
    std::string got;
    char buf[4096];
    while (got.size() < Count && WaitReadable(Fd)) {
        ssize_t n = recv(Fd, buf, std::min(sizeof buf, Count - got.size()), 0);
        if (n <= 0) break;
        got.append(buf, static_cast<std::size_t>(n));
    }
    return got;
}

inline void WriteAll(int Fd, const std::string& Data) {
    std::size_t off = 0;
    while (off < Data.size()) {
        ssize_t n = send(Fd, Data.data() + off, Data.size() - off, MSG_NOSIGNAL);
        if (n <= 0) return;
        off += static_cast<std::size_t>(n);
    }
}

// Closing with a zero linger sends a reset instead of a normal close.
inline void ResetClose(int Fd) {
    linger l{1, 0};
    setsockopt(Fd, SOL_SOCKET, SO_LINGER, &l, sizeof l);
    close(Fd);
}

// Accepts one connection on its own thread and runs Script on it. Script owns the descriptor.
class TScriptedServer {
public:
    explicit TScriptedServer(std::function<void(int Fd)> Script) {
        ListenFd = ListenOnLoopback(FPort);
        Worker = std::thread([this, Script] {
            if (!WaitReadable(ListenFd)) return;
            int fd = accept4(ListenFd, nullptr, nullptr, SOCK_CLOEXEC);
            if (fd >= 0) Script(fd);
        });
    }
    ~TScriptedServer() {
        shutdown(ListenFd, SHUT_RDWR);
        Worker.join();
        close(ListenFd);
    }
    std::string Port() const { return std::to_string(FPort); }

private:
    int ListenFd = -1;
    int FPort = 0;
    std::thread Worker;
};

// nginx in the foreground with a private prefix, serving Body as /index.html.
class TNginx {
public:
    explicit TNginx(const std::string& Body) {
        char tmpl[] = "/tmp/sorlen-nginx-XXXXXX";
        Dir = mkdtemp(tmpl);
        std::filesystem::create_directories(Dir + "/html");
        std::ofstream(Dir + "/html/index.html", std::ios::binary) << Body;
        // The port is chosen by the kernel, released, then given to nginx.
        FPort = ClosedPort();
        std::ofstream(Dir + "/nginx.conf")
            << "daemon off;\nmaster_process off;\nworker_processes 1;\nerror_log " << Dir
            << "/error.log;\npid " << Dir << "/nginx.pid;\nevents { worker_connections 64; }\n"
            << "http {\n  access_log off;\n  client_body_temp_path " << Dir
            << ";\n  proxy_temp_path " << Dir << ";\n  fastcgi_temp_path " << Dir
            << ";\n  uwsgi_temp_path " << Dir << ";\n  scgi_temp_path " << Dir
            << ";\n  server {\n    listen 127.0.0.1:" << FPort << ";\n    root " << Dir
            << "/html;\n  }\n}\n";
        Pid = fork();
        if (Pid == 0) {
            std::string conf = Dir + "/nginx.conf";
            execl("/usr/sbin/nginx", "nginx", "-p", Dir.c_str(), "-c", conf.c_str(), "-e",
                  (Dir + "/error.log").c_str(), static_cast<char*>(nullptr));
            _exit(127);
        }
        Ready = WaitListening();
    }
    ~TNginx() {
        if (Pid > 0) {
            kill(Pid, SIGTERM);
            waitpid(Pid, nullptr, 0);
        }
        std::error_code ec;
        std::filesystem::remove_all(Dir, ec);
    }
    bool Ready = false;
    std::string Port() const { return FPort; }

private:
    bool WaitListening() {
        for (int i = 0; i < 500; ++i) {
            int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
            sockaddr_in sa{};
            sa.sin_family = AF_INET;
            sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
            sa.sin_port = htons(static_cast<std::uint16_t>(std::stoi(FPort)));
            bool ok = connect(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) == 0;
            close(fd);
            if (ok) return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return false;
    }
    std::string Dir;
    std::string FPort;
    pid_t Pid = -1;
};

// Records a socket's events as short texts, in order.
struct TEventLog {
    std::vector<std::string> Lines;
    int Closed = 0;
    void Attach(TCustomWSocket& S) {
        S.OnChangeState = [this](TCustomWSocket*, TSocketState O, TSocketState N) {
            Lines.push_back("state " + std::to_string(O) + ">" + std::to_string(N));
        };
        S.OnDnsLookupDone = [this](TCustomWSocket*, std::uint16_t E) {
            Lines.push_back("dns " + std::to_string(E));
        };
        S.OnSessionConnected = [this](TCustomWSocket*, std::uint16_t E) {
            Lines.push_back("connected " + std::to_string(E));
        };
        S.OnDataSent = [this](TCustomWSocket*, std::uint16_t E) {
            Lines.push_back("sent " + std::to_string(E));
        };
        S.OnSessionClosed = [this](TCustomWSocket*, std::uint16_t E) {
            ++Closed;
            Lines.push_back("closed " + std::to_string(E));
        };
    }
    bool Has(const std::string& Line) const {
        for (const auto& l : Lines)
            if (l == Line) return true;
        return false;
    }
};
