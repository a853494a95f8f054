// What the socket fuzz targets share: a listening socket on 127.0.0.1 for the client under test,
// turning the loop with a watchdog that makes a hang a crash, and taking what the client sent.
// Header-only; the fuzzing thread alone uses them.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/ioctl.h>
#include <sys/socket.h>

#include <unistd.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "platform/EventLoop.h"

// A listening socket on 127.0.0.1 at a port the kernel picks; aborts when there is none.
inline int FuzzListen(int& Port) {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (bind(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0 || listen(fd, 16) != 0)
        std::abort();
    socklen_t len = sizeof sa;
    getsockname(fd, reinterpret_cast<sockaddr*>(&sa), &len);
    Port = ntohs(sa.sin_port);
    return fd;
}

// Turns the loop until Done holds; a client that never settles is a hang: abort.
template <typename P>
void Turn(P Done) {
    for (int i = 0; !Done(); ++i) {
        if (i > 20000) std::abort();
        TEventLoop::Current().WaitOne(1);
    }
}

// Takes whatever the client sent so far, so that closing never turns into a reset by accident.
inline void Drain(int Fd) {
    char buf[4096];
    while (recv(Fd, buf, sizeof buf, MSG_DONTWAIT) > 0) {
    }
}

// Whether the client's socket has taken everything that reached it (or is gone).
inline bool FuzzClientTookAll(int ClientFd) {
    int pending = 0;
    return ClientFd < 0 || ioctl(ClientFd, FIONREAD, &pending) != 0 || pending == 0;
}

// Sends Data[Pos, Size) over Fd as pieces, each a length byte and that many bytes, the next
// only once the client took the last (TookAll); stops early once Stop holds.
template <typename TStop, typename TTook>
void FeedPieces(int Fd, const std::uint8_t* Data, std::size_t Pos, std::size_t Size, TStop Stop,
                TTook TookAll) {
    while (Pos < Size && !Stop()) {
        std::size_t len = std::min<std::size_t>(Data[Pos], Size - Pos - 1);
        ++Pos;
        Drain(Fd);
        if (len > 0 && send(Fd, Data + Pos, len, MSG_NOSIGNAL) < 0) break;
        Pos += len;
        Turn(TookAll);
    }
}

// Ends the server's side: what the client sent is taken first, so that only Reset makes a reset.
inline void FuzzServerClose(int Fd, bool Reset) {
    Drain(Fd);
    if (Reset) {
        linger l{1, 0};
        setsockopt(Fd, SOL_SOCKET, SO_LINGER, &l, sizeof l);
    }
    close(Fd);
}
