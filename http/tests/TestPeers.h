// Peers the live engine tests talk to on 127.0.0.1: nginx and squid started with private
// configurations in a temporary folder on free ports, and a scripted server of our own that
// answers with exact bytes. Each peer is stopped (and its folder removed) when destroyed.
#pragma once

#include <sys/types.h>

#include <atomic>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

// A port nobody listens on right now (the kernel's choice for port 0).
int FreePort();
// True once something accepts connections on 127.0.0.1:Port.
bool WaitForPort(int Port, int TimeoutMs);

class TPeerProcess {
public:
    ~TPeerProcess() { Stop(); }
    bool Start(const std::vector<std::string>& Argv);
    void Stop();

private:
    pid_t Pid = -1;
};

class TTempFolder {
public:
    TTempFolder();
    ~TTempFolder();
    const std::string& Path() const { return FPath; }
    void Write(const std::string& Name, const std::string& Content) const;

private:
    std::string FPath;
};

// nginx serving /hello.txt ("hello from nginx"), a 302 chain /r1 -> /r2 -> /hello.txt and a
// 404 for anything missing.
class TNginx {
public:
    bool Start();
    int Port() const { return FPort; }
    std::string Url(const std::string& Path) const {
        return "http://127.0.0.1:" + std::to_string(FPort) + Path;
    }

private:
    TTempFolder Folder;
    TPeerProcess Process;
    int FPort = 0;
};

// squid as a plain HTTP proxy without a disk cache.
class TSquid {
public:
    ~TSquid();
    bool Start();
    int Port() const { return FPort; }

private:
    TTempFolder Folder;
    TPeerProcess Process;
    std::string ServiceName;
    int FPort = 0;
};

// Answers connections in the order scripted. For each exchange it reads one request (header and
// a Content-Length body), records it, then writes the answer's pieces with a short pause between
// them (so the client sees them in separate reads) and closes when told to. "{port}" in a piece
// becomes the server's port.
class TScriptedServer {
public:
    struct TExchange {
        TExchange(std::vector<std::string> P, bool C = true, std::string I = {})
            : Pieces(std::move(P)), Close(C), Interim(std::move(I)) {}
        std::vector<std::string> Pieces;
        bool Close = true;
        // Written right after the request header, before its body is read ("100 Continue").
        std::string Interim;
    };
    using TConnection = std::vector<TExchange>;

    explicit TScriptedServer(std::vector<TConnection> Script, int PauseMs = 5);
    ~TScriptedServer();
    int Port() const { return FPort; }
    std::string Url(const std::string& Path) const {
        return "http://127.0.0.1:" + std::to_string(FPort) + Path;
    }
    std::vector<std::string> Requests();
    int Connections() const { return FConnections; }

private:
    void Run();
    bool Serve(int Fd, const TConnection& Exchanges);

    std::vector<TConnection> Script;
    int PauseMs;
    int Listener = -1;
    int FPort = 0;
    std::atomic<bool> Stopping{false};
    std::atomic<int> FConnections{0};
    std::mutex Lock;
    std::vector<std::string> FRequests;
    std::thread Worker;
};
