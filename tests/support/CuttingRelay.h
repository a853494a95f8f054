// A TCP relay on 127.0.0.1 in front of a server, for tests of lost connections: it passes each
// connection's bytes both ways and, following a plan for the first connections, cuts one (both
// sides closed) or falls silent once the server has sent a given number of bytes through it.
// Later connections pass whole. Each connection runs on a thread of its own, since a proxy in
// between may hold a silent one open while the client has moved on; the object stops them all.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

class TCuttingRelay {
public:
    struct TStep {
        uint64_t After;       // bytes from the server this connection passes on before the step
        bool Silent = false;  // hold both sides open and pass nothing more, instead of a cut
    };

    TCuttingRelay(int TargetPort, std::vector<TStep> Plan);
    ~TCuttingRelay();
    TCuttingRelay(const TCuttingRelay&) = delete;
    TCuttingRelay& operator=(const TCuttingRelay&) = delete;

    std::string Port() const { return std::to_string(FPort); }
    int Connections() const { return FConnections; }

private:
    void Accept();
    void Pass(int Client, const TStep* Step);

    const int Target;
    const std::vector<TStep> Plan;
    int Listener = -1;
    int FPort = 0;
    std::atomic<bool> Stopping{false};
    std::atomic<int> FConnections{0};
    std::mutex Lock;
    std::vector<std::thread> Threads;
    std::thread Acceptor;
};
