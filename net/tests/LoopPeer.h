// A scripted peer that runs on the test's own thread, between turns of its event loop: it
// hands the socket under test exactly the byte pieces a test names, each one taken off the
// socket before the next is sent, so replies split at a chosen byte really arrive split.
#pragma once

#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>

#include "net/TWSocket.h"
#include "tests/support/LoopWait.h"
#include "tests/support/Loopback.h"

class TLoopPeer {
public:
    TLoopPeer() { ListenFd = ListenOnLoopback(FPort); }
    ~TLoopPeer() {
        Close();
        close(ListenFd);
    }
    TLoopPeer(const TLoopPeer&) = delete;
    TLoopPeer& operator=(const TLoopPeer&) = delete;

    std::string Port() const { return std::to_string(FPort); }

    // Turns the loop until the client's connection can be taken.
    bool Accept() {
        if (!WaitFor([&] { return WaitReadable(ListenFd, 0); })) return false;
        Fd = accept4(ListenFd, nullptr, nullptr, SOCK_CLOEXEC);
        return Fd >= 0;
    }

    // Turns the loop until Count bytes from the client are in (fewer when it closed).
    std::string Read(std::size_t Count) {
        std::string got;
        char buf[4096];
        WaitFor([&] {
            while (got.size() < Count) {
                ssize_t n = recv(Fd, buf, std::min(sizeof buf, Count - got.size()), MSG_DONTWAIT);
                if (n == 0) return true;
                if (n < 0) return false;
                got.append(buf, static_cast<std::size_t>(n));
            }
            return true;
        });
        return got;
    }

    // Sends Bytes, then turns the loop until Client has taken them off its descriptor.
    void Feed(const std::string& Bytes, const TCustomWSocket& Client) {
        WriteAll(Fd, Bytes);
        WaitFor([&] {
            int pending = 0;
            return Client.HSocket() < 0 || ioctl(Client.HSocket(), FIONREAD, &pending) != 0 ||
                   pending == 0;
        });
    }

    // Feeds Bytes one at a time.
    void FeedBytewise(const std::string& Bytes, const TCustomWSocket& Client) {
        for (char c : Bytes) Feed(std::string(1, c), Client);
    }

    void Close() {
        if (Fd >= 0) close(Fd);
        Fd = -1;
    }

private:
    int ListenFd = -1;
    int Fd = -1;
    int FPort = 0;
};
