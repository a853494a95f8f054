// A SOCKS server's replies are network input. The input chooses the level, authentication and
// line mode, then holds the server's bytes as pieces (a length byte, then the bytes); each
// piece is taken off the client's socket before the next goes out, and the server closes at
// the end. Whatever the bytes, the client must end with exactly one OnSessionClosed, at most
// one OnSessionConnected, and no hang.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "fuzz/FuzzSockets.h"
#include "net/TWSocket.h"
#include "platform/EventLoop.h"

namespace {

int ListenFd = -1;
int ListenPort = 0;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* Data, std::size_t Size) {
    if (Size < 2) return 0;
    if (ListenFd < 0) ListenFd = FuzzListen(ListenPort);
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

    FeedPieces(
        fd, Data, 2, Size, [&] { return closed > 0; },
        [&] { return closed > 0 || FuzzClientTookAll(s.HSocket()); });
    FuzzServerClose(fd, (flags & 4) != 0);  // a reset instead of an orderly close
    Turn([&] { return closed > 0; });
    TEventLoop::Current().ProcessPending();
    if (closed != 1 || connected > 1 || s.State() != wsClosed) std::abort();
    return 0;
}
