#include "tests/support/Loopback.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>

namespace {

sockaddr_in Loopback(int Port) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(Port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return a;
}

sockaddr_in6 Loopback6(int Port) {
    sockaddr_in6 a{};
    a.sin6_family = AF_INET6;
    a.sin6_port = htons(static_cast<uint16_t>(Port));
    a.sin6_addr = in6addr_loopback;
    return a;
}

}  // namespace

int BoundOnLoopback(int Type, int& Port) {
    int fd = socket(AF_INET, Type | SOCK_CLOEXEC, 0);
    sockaddr_in a = Loopback(0);
    socklen_t len = sizeof a;
    if (fd < 0 || bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
        getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len) != 0) {
        if (fd >= 0) close(fd);
        return -1;
    }
    Port = ntohs(a.sin_port);
    return fd;
}

int ListenOnLoopback(int& Port) {
    int fd = BoundOnLoopback(SOCK_STREAM, Port);
    if (fd >= 0 && listen(fd, 64) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

int ListenOnLoopback6(int& Port) {
    int fd = socket(AF_INET6, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in6 a = Loopback6(Port);
    socklen_t len = sizeof a;
    int on = 1;
    if (fd < 0 || setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &on, sizeof on) != 0 ||
        bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || listen(fd, 64) != 0 ||
        getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len) != 0) {
        if (fd >= 0) close(fd);
        return -1;
    }
    Port = ntohs(a.sin6_port);
    return fd;
}

int ConnectLoopback(int Port, bool Ipv6) {
    int fd = socket(Ipv6 ? AF_INET6 : AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a4 = Loopback(Port);
    sockaddr_in6 a6 = Loopback6(Port);
    sockaddr* a = Ipv6 ? reinterpret_cast<sockaddr*>(&a6) : reinterpret_cast<sockaddr*>(&a4);
    if (fd >= 0 && connect(fd, a, Ipv6 ? sizeof a6 : sizeof a4) == 0) return fd;
    if (fd >= 0) close(fd);
    return -1;
}

TRefusedPort::TRefusedPort() {
    Fd = BoundOnLoopback(SOCK_STREAM, FPort);
}

TRefusedPort::~TRefusedPort() {
    if (Fd >= 0) close(Fd);
}

bool WaitReadable(int Fd, int TimeoutMs) {
    pollfd p{Fd, POLLIN, 0};
    return poll(&p, 1, TimeoutMs) > 0;
}

std::string ReadUntilEof(int Fd, std::size_t Limit) {
    std::string got;
    char buf[4096];
    while (got.size() < Limit && WaitReadable(Fd)) {
        ssize_t n = recv(Fd, buf, sizeof buf, 0);
        if (n <= 0) break;
        got.append(buf, static_cast<std::size_t>(n));
    }
    return got;
}

std::string ReadExactly(int Fd, std::size_t Count) {
    std::string got;
    char buf[4096];
    while (got.size() < Count && WaitReadable(Fd)) {
        ssize_t n = recv(Fd, buf, std::min(sizeof buf, Count - got.size()), 0);
        if (n <= 0) break;
        got.append(buf, static_cast<std::size_t>(n));
    }
    return got;
}

void WriteAll(int Fd, const std::string& Data) {
    std::size_t off = 0;
    while (off < Data.size()) {
        ssize_t n = send(Fd, Data.data() + off, Data.size() - off, MSG_NOSIGNAL);
        if (n <= 0) return;
        off += static_cast<std::size_t>(n);
    }
}

void ResetClose(int Fd) {
    linger l{1, 0};
    setsockopt(Fd, SOL_SOCKET, SO_LINGER, &l, sizeof l);
    close(Fd);
}
