// A server of our own on 127.0.0.1 that answers with exact bytes, on a port the kernel picks
// (known from construction on). It runs on its own thread; the object stops it when it goes.
// Three ways to script it: a function that is handed the one connection's descriptor, HTTP
// exchanges, one list per connection in the order they arrive, or a function that answers each
// of several connections at once, on threads of its own, after their request has been read.
#pragma once

#include <atomic>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

class TScriptedServer {
public:
    // For each exchange it reads one request (header and a Content-Length body), records it,
    // then writes the answer's pieces with a short pause between them (so the client sees them
    // in separate reads) and closes when told to. "{port}" in a piece becomes the server's port.
    struct TExchange {
        TExchange(std::vector<std::string> P, bool C = true, std::string I = {})
            : Pieces(std::move(P)), Close(C), Interim(std::move(I)) {}
        std::vector<std::string> Pieces;
        bool Close = true;
        // Written right after the request header, before its body is read ("100 Continue").
        std::string Interim;
    };
    using TConnection = std::vector<TExchange>;

    // Accepts one connection (on [::1] with Ipv6) and runs Script on it; Script owns (and
    // closes) the descriptor.
    explicit TScriptedServer(std::function<void(int Fd)> Script, bool Ipv6 = false);
    // Serves the connections in order. A connection whose last exchange keeps it open is held
    // until the client closes it.
    explicit TScriptedServer(std::vector<TConnection> Script, int PauseMs = 5);
    // Serves up to Connections connections at the same time: reads each one's request header,
    // records it and hands it to Answer, which writes what it likes; the connection closes when
    // Answer returns.
    using TAnswer = std::function<void(int Fd, const std::string& Request)>;
    TScriptedServer(TAnswer Answer, int Connections);
    ~TScriptedServer();
    TScriptedServer(const TScriptedServer&) = delete;
    TScriptedServer& operator=(const TScriptedServer&) = delete;

    // The port as text, the way sockets take it.
    std::string Port() const { return std::to_string(FPort); }
    int NumericPort() const { return FPort; }
    std::string Url(const std::string& Path) const {
        return "http://127.0.0.1:" + std::to_string(FPort) + Path;
    }
    // The requests read so far, each with its body.
    std::vector<std::string> Requests();
    int Connections() const { return FConnections; }

private:
    void Run(const std::vector<std::function<void(int)>>& Handlers);
    bool Serve(int Fd, const TConnection& Exchanges, int PauseMs);
    bool Readable(int Fd);
    bool ReadHeader(int Fd, std::string& Request);

    int Listener = -1;
    int FPort = 0;
    std::atomic<bool> Stopping{false};
    std::atomic<int> FConnections{0};
    std::mutex Lock;
    std::vector<std::string> FRequests;
    std::thread Worker;
};
