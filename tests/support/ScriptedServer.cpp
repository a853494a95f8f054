#include "tests/support/ScriptedServer.h"

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>

#include "tests/support/Loopback.h"

TScriptedServer::TScriptedServer(std::function<void(int Fd)> Script, bool Ipv6) {
    Listener = Ipv6 ? ListenOnLoopback6(FPort) : ListenOnLoopback(FPort);
    Worker = std::thread([this, Script = std::move(Script)] { Run({Script}); });
}

TScriptedServer::TScriptedServer(std::vector<TConnection> Script, int PauseMs) {
    Listener = ListenOnLoopback(FPort);
    std::vector<std::function<void(int)>> handlers;
    for (TConnection& connection : Script)
        handlers.push_back([this, connection = std::move(connection), PauseMs](int Fd) {
            int one = 1;
            setsockopt(Fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
            if (Serve(Fd, connection, PauseMs)) {
                // Kept open: wait until the client closes it (or the test ends).
                char scratch[256];
                while (Readable(Fd) && recv(Fd, scratch, sizeof scratch, 0) > 0) {
                }
            }
            close(Fd);
        });
    Worker = std::thread([this, handlers = std::move(handlers)] { Run(handlers); });
}

TScriptedServer::TScriptedServer(TAnswer Answer, int Connections) {
    Listener = ListenOnLoopback(FPort);
    Worker = std::thread([this, Answer = std::move(Answer), Connections] {
        std::vector<std::thread> served;
        for (int i = 0; i < Connections && Readable(Listener); ++i) {
            const int fd = accept4(Listener, nullptr, nullptr, SOCK_CLOEXEC);
            if (fd < 0) break;
            ++FConnections;
            served.emplace_back([this, fd, &Answer] {
                std::string request;
                if (ReadHeader(fd, request)) {
                    {
                        std::lock_guard<std::mutex> guard(Lock);
                        FRequests.push_back(request);
                    }
                    Answer(fd, request);
                }
                close(fd);
            });
        }
        for (std::thread& t : served) t.join();
    });
}

bool TScriptedServer::ReadHeader(int Fd, std::string& Request) {
    char c = 0;
    while (Request.size() < 4 || Request.compare(Request.size() - 4, 4, "\r\n\r\n") != 0) {
        if (!Readable(Fd) || recv(Fd, &c, 1, 0) != 1) return false;
        Request += c;
    }
    return true;
}

TScriptedServer::~TScriptedServer() {
    Stopping = true;
    // Wakes a worker still waiting for a connection.
    shutdown(Listener, SHUT_RDWR);
    Worker.join();
    close(Listener);
}

std::vector<std::string> TScriptedServer::Requests() {
    std::lock_guard<std::mutex> guard(Lock);
    return FRequests;
}

// Waits for Fd to become readable; false after ten quiet seconds or when stopping.
bool TScriptedServer::Readable(int Fd) {
    auto until = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (!Stopping && std::chrono::steady_clock::now() < until) {
        pollfd p{Fd, POLLIN, 0};
        int r = poll(&p, 1, 50);
        if (r > 0) return true;
        if (r < 0 && errno != EINTR) return false;
    }
    return false;
}

void TScriptedServer::Run(const std::vector<std::function<void(int)>>& Handlers) {
    for (const auto& handler : Handlers) {
        if (!Readable(Listener)) return;
        int fd = accept4(Listener, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0) return;
        ++FConnections;
        handler(fd);
    }
}

bool TScriptedServer::Serve(int Fd, const TConnection& Exchanges, int PauseMs) {
    std::string held;
    // Appends the next bytes from the client to held; false once it has closed or gone quiet.
    auto readMore = [&] {
        char buf[4096];
        if (!Readable(Fd)) return false;
        ssize_t n = recv(Fd, buf, sizeof buf, 0);
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
        if (!ex.Interim.empty()) WriteAll(Fd, ex.Interim);
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
            WriteAll(Fd, piece);
        }
        if (ex.Close) return false;
    }
    return true;
}
