// A SOCKS server's replies are network input. The input chooses the level, authentication and
// line mode, then holds the server's bytes as pieces (a length byte, then the bytes); each
// piece is taken off the client's socket before the next goes out, and the server closes at
// the end. Whatever the bytes, the client must end with exactly one OnSessionClosed, at most
// one OnSessionConnected, and no hang.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "net/TWSocket.h"
#include "platform/EventLoop.h"

namespace {

int ListenFd = -1;
int ListenPort = 0;

void Listen() {
    ListenFd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (bind(ListenFd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0 ||
        listen(ListenFd, 16) != 0)
        std::abort();
    socklen_t len = sizeof sa;
    getsockname(ListenFd, reinterpret_cast<sockaddr*>(&sa), &len);
    ListenPort = ntohs(sa.sin_port);
}

// Turns the loop until Done holds; a negotiation that never settles is a hang: abort.
template <typename P>
void Turn(P Done) {
    for (int i = 0; !Done(); ++i) {
        if (i > 20000) std::abort();
        TEventLoop::Current().WaitOne(1);
    }
}

// Takes whatever the client sent so far, so that closing never turns into a reset by accident.
void Drain(int Fd) {
    char buf[1024];
    while (recv(Fd, buf, sizeof buf, MSG_DONTWAIT) > 0) {
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* Data, std::size_t Size) {
    if (Size < 2) return 0;
    if (ListenFd < 0) Listen();
    static const char* const kLevels[] = {"4", "4A", "5"};
    const std::uint8_t flags = Data[1];

    TWSocket s;
    int connected = 0, closed = 0;
    s.OnSessionConnected = [&](TCustomWSocket*, std::uint16_t) { ++connected; };
    s.OnSessionClosed = [&](TCustomWSocket*, std::uint16_t) { ++closed; };
    s.OnDataAvailable = [](TCustomWSocket* Sender, std::uint16_t) {
        char buf[7];
        Sender->Receive(buf, sizeof buf);
    };
    s.SetLineMode((flags & 2) != 0);
    s.SetLineLimit(64);
    s.SetSocksServer("127.0.0.1");
    s.SetSocksPort(std::to_string(ListenPort));
    s.SetSocksLevel(kLevels[Data[0] % 3]);
    s.SetSocksAuthentication((flags & 1) ? socksAuthenticateUsercode : socksNoAuthentication);
    s.SetSocksUsercode("user");
    s.SetSocksPassword("pass");
    s.SetAddr("127.0.0.1");
    s.SetPort("80");
    s.Connect();
    int fd = accept4(ListenFd, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) std::abort();

    std::size_t pos = 2;
    while (pos < Size && closed == 0) {
        std::size_t len = std::min<std::size_t>(Data[pos], Size - pos - 1);
        ++pos;
        Drain(fd);
        if (len > 0 && send(fd, Data + pos, len, MSG_NOSIGNAL) < 0) break;
        pos += len;
        Turn([&] {
            int pending = 0;
            return closed > 0 || s.HSocket() < 0 || ioctl(s.HSocket(), FIONREAD, &pending) != 0 ||
                   pending == 0;
        });
    }
    Drain(fd);
    if (flags & 4) {
        linger l{1, 0};  // a reset instead of an orderly close
        setsockopt(fd, SOL_SOCKET, SO_LINGER, &l, sizeof l);
    }
    close(fd);
    Turn([&] { return closed > 0; });
    TEventLoop::Current().ProcessPending();
    if (closed != 1 || connected > 1 || s.State() != wsClosed) std::abort();
    return 0;
}
