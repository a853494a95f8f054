// Connection racing (RFC 8305): the further addresses of a lookup connect beside the socket's
// own descriptor, on the socket's loop, and the first to connect becomes the socket's.
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "net/TCustomWSocket.h"
#include "platform/DebugOutput.h"

namespace {

// RFC 8305 section 5: the recommended wait before the next address is tried beside the others.
constexpr unsigned kRaceStepMs = 250;

// The connect record of an address literal with Port (host order); 0 for anything else.
socklen_t AddressRecord(const std::string& Text, std::uint16_t Port, sockaddr_storage& Ss) {
    Ss = {};
    TIpv6Bytes v6{};
    if (ParseIpv6Literal(Text, v6)) {
        auto* sa6 = reinterpret_cast<sockaddr_in6*>(&Ss);
        sa6->sin6_family = AF_INET6;
        sa6->sin6_port = htons(Port);
        std::memcpy(&sa6->sin6_addr, v6.data(), v6.size());
        return sizeof(sockaddr_in6);
    }
    if (!IsDottedAddress(Text)) return 0;
    auto* sa = reinterpret_cast<sockaddr_in*>(&Ss);
    sa->sin_family = AF_INET;
    sa->sin_port = htons(Port);
    sa->sin_addr.s_addr = WSocketResolveHost(Text);
    return sizeof(sockaddr_in);
}

}  // namespace

bool TCustomWSocket::ConnectNextAddress() {
    if (FType != 1) return false;
    StartRival();
    if (FRivals.empty()) return false;
    AdoptRival(0);
    RestartRaceTimer();
    return true;
}

bool TCustomWSocket::StartRival() {
    while (!FFallbacks.empty()) {
        const std::string addr = FFallbacks.front();
        FFallbacks.erase(FFallbacks.begin());
        sockaddr_storage ss{};
        const socklen_t len = AddressRecord(addr, FSinPort, ss);
        if (len == 0) continue;
        int fd = ::socket(ss.ss_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, FProtocol);
        if (fd < 0) continue;
        const TConnectionMark mark = MarkConnection();
        if (!SetStreamOptions(fd) || !mark.Open()) {
            ::close(fd);
            return false;  // reported, or the socket was closed meanwhile
        }
        // A refusal inside the call (loopback) moves on to the next address at once.
        if (::connect(fd, reinterpret_cast<sockaddr*>(&ss), len) != 0 && errno != EINPROGRESS) {
            ::close(fd);
            continue;
        }
        DebugOutput("socket also connecting to " + addr);
        TRival r;
        r.Fd = fd;
        r.Serial = NextSerial();
        const std::uint64_t serial = r.Serial;
        r.Watch = FLoop.WatchFd(fd, POLLOUT,
                                [this, serial](short) { Guarded([&] { OnRivalReady(serial); }); });
        FRivals.push_back(r);
        return true;
    }
    return false;
}

void TCustomWSocket::OnRivalReady(std::uint64_t Serial) {
    std::size_t i = 0;
    while (i < FRivals.size() && FRivals[i].Serial != Serial) ++i;
    if (i == FRivals.size()) return;
    int soerr = 0;
    socklen_t len = sizeof soerr;
    getsockopt(FRivals[i].Fd, SOL_SOCKET, SO_ERROR, &soerr, &len);
    if (soerr == 0) {
        // The winner: the others go before any of them could win as well.
        TRival winner = FRivals[i];
        FRivals.erase(FRivals.begin() + static_cast<long>(i));
        DropRace();
        FRivals.push_back(winner);
        AdoptRival(0);
        return;
    }
    FLoop.UnwatchFd(FRivals[i].Watch);
    ::close(FRivals[i].Fd);
    FRivals.erase(FRivals.begin() + static_cast<long>(i));
    StartRival();
    RestartRaceTimer();
}

// The rival becomes the socket's descriptor; its readiness then reaches the socket's own
// connect handling on the loop's next pass, like a connect of the socket's own.
void TCustomWSocket::AdoptRival(std::size_t Index) {
    const TRival r = FRivals[Index];
    FRivals.erase(FRivals.begin() + static_cast<long>(Index));
    FLoop.UnwatchFd(r.Watch);
    if (FWatch != 0) FLoop.UnwatchFd(FWatch);
    if (FHSocket >= 0) ::close(FHSocket);
    FHSocket = r.Fd;
    FSerial = r.Serial;
    FReadArmed = true;
    FWriteArmed = false;
    FPendingConnectError = 0;
    FWatch = FLoop.WatchFd(r.Fd, 0, [this](short Revents) { OnDescriptorReady(Revents); });
    ApplySelectEvents();
}

void TCustomWSocket::RestartRaceTimer() {
    if (FRaceTimer != 0) FLoop.KillTimer(FRaceTimer);
    FRaceTimer = 0;
    if (FFallbacks.empty() || FState != wsConnecting) return;
    FRaceTimer = FLoop.SetTimer(kRaceStepMs, [this] {
        Guarded([&] {
            // Each step starts one more address beside those still connecting.
            StartRival();
            if (FFallbacks.empty()) {
                FLoop.KillTimer(FRaceTimer);
                FRaceTimer = 0;
            }
        });
    });
}

void TCustomWSocket::DropRace() {
    if (FRaceTimer != 0) FLoop.KillTimer(FRaceTimer);
    FRaceTimer = 0;
    for (const TRival& r : FRivals) {
        FLoop.UnwatchFd(r.Watch);
        ::close(r.Fd);
    }
    FRivals.clear();
}
