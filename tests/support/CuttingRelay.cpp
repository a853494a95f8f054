// The cutting relay; see CuttingRelay.h.
#include "tests/support/CuttingRelay.h"

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>

#include "tests/support/Loopback.h"

namespace {
constexpr int kPollMs = 20;  // how soon a stopping relay notices
}

TCuttingRelay::TCuttingRelay(int TargetPort, std::vector<TStep> Plan)
    : Target(TargetPort), Plan(std::move(Plan)) {
    Listener = ListenOnLoopback(FPort);
    Acceptor = std::thread(&TCuttingRelay::Accept, this);
}

TCuttingRelay::~TCuttingRelay() {
    Stopping = true;
    Acceptor.join();
    std::lock_guard<std::mutex> guard(Lock);
    for (std::thread& t : Threads) t.join();
    if (Listener >= 0) close(Listener);
}

void TCuttingRelay::Accept() {
    while (!Stopping && Listener >= 0) {
        pollfd p{Listener, POLLIN, 0};
        if (poll(&p, 1, kPollMs) <= 0) continue;
        const int client = accept(Listener, nullptr, nullptr);
        if (client < 0) continue;
        const std::size_t n = static_cast<std::size_t>(FConnections++);
        const TStep* step = n < Plan.size() ? &Plan[n] : nullptr;
        std::lock_guard<std::mutex> guard(Lock);
        Threads.emplace_back(&TCuttingRelay::Pass, this, client, step);
    }
}

void TCuttingRelay::Pass(int Client, const TStep* Step) {
    const int server = ConnectLoopback(Target);
    uint64_t passed = 0;
    bool silent = false;
    char buffer[65536];
    while (!Stopping && server >= 0) {
        // Silent: only the client is watched, for its close.
        pollfd p[2] = {{Client, POLLIN, 0}, {server, short(silent ? 0 : POLLIN), 0}};
        if (poll(p, 2, kPollMs) <= 0) continue;
        if (p[0].revents) {
            const ssize_t n = read(Client, buffer, sizeof buffer);
            if (n <= 0 || (!silent && send(server, buffer, size_t(n), MSG_NOSIGNAL) != n)) break;
        }
        if (!silent && p[1].revents) {
            size_t room = sizeof buffer;
            if (Step) room = size_t(std::min<uint64_t>(room, Step->After - passed));
            const ssize_t n = read(server, buffer, room);
            // A client that closed mid-body (one that has what it asked for) is no signal.
            if (n <= 0 || send(Client, buffer, size_t(n), MSG_NOSIGNAL) != n) break;
            passed += uint64_t(n);
            if (Step && passed == Step->After) {
                if (!Step->Silent) break;
                silent = true;
            }
        }
    }
    if (server >= 0) close(server);
    close(Client);
}
