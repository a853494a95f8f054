// The socket's notices and the bytes they move. Readiness from poll() is turned into the
// platform's notices (connect, read, write, accept, close) with its re-arming rules: a read
// notice is given again only after a read, a write notice only after a short or refused send.
#include "net/TCustomWSocket.h"

#include <netinet/in.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>

#include <algorithm>

// ---------------------------------------------------------------------------------------------
// Notices

void TCustomWSocket::WindowMessage(unsigned Msg, std::uintptr_t WParam, std::intptr_t LParam) {
    if (Msg == WM_WSOCKET_RELEASE) {
        // Deleting while one of our own notices is still on the stack (a handler pumping the
        // loop) would pull the socket out from under it; try again from the outer loop.
        if (FDispatchDepth > 0) {
            FWindow->Post(Msg, WParam, LParam);
            return;
        }
        delete this;
        return;
    }
    Guarded([&] { WndProc(Msg, WParam, LParam); });
}

void TCustomWSocket::WndProc(unsigned Msg, std::uintptr_t WParam, std::intptr_t LParam) {
    std::uint32_t word = static_cast<std::uint32_t>(LParam);
    switch (Msg) {
        case WM_ASYNCSELECT:
            HandleSelectNotice(WParam, word);
            break;
        case WM_ASYNCGETHOSTBYNAME:
        case WM_ASYNCGETHOSTBYADDR:
            HandleLookupNotice(WParam, word);
            break;
        case WM_CLOSE_DELAYED:
            Close();
            break;
        default:
            break;
    }
}

void TCustomWSocket::OnDescriptorReady(short Revents) {
    Guarded([&] {
        if (FHSocket < 0) return;
        if (FState == wsConnecting) {
            int err = FPendingConnectError;
            FPendingConnectError = 0;
            if (err == 0) {
                int soerr = 0;
                socklen_t len = sizeof soerr;
                getsockopt(FHSocket, SOL_SOCKET, SO_ERROR, &soerr, &len);
                err = WSocketErrorFromErrno(soerr);
            }
            // A refused or unreachable address gives way to the next one at once; a connect
            // ends the race.
            if (err != 0 && ConnectNextAddress()) return;
            if (err == 0) DropRace();
            FReadArmed = true;
            HandleSelectNotice(FSerial, FD_CONNECT | (static_cast<std::uint32_t>(err) << 16));
            return;
        }
        unsigned bits = 0;
        if ((Revents & POLLIN) && FReadArmed) {
            bits |= FD_READ;
            FReadArmed = false;
        }
        if ((Revents & POLLOUT) && FWriteArmed) {
            bits |= FD_WRITE;
            FWriteArmed = false;
        }
        bool closing = (Revents & (POLLRDHUP | POLLHUP | POLLERR)) && !FCloseNoticed && FType == 1;
        int closeErr = 0;
        if (closing) {
            FCloseNoticed = true;
            if (Revents & POLLERR) {
                int soerr = 0;
                socklen_t len = sizeof soerr;
                getsockopt(FHSocket, SOL_SOCKET, SO_ERROR, &soerr, &len);
                closeErr = WSocketErrorFromErrno(soerr);
            }
        }
        ApplySelectEvents();
        std::uint64_t serial = FSerial;
        if (bits != 0) HandleSelectNotice(serial, bits);
        // The close comes as a notice of its own, carrying its error, after read and write.
        if (closing)
            HandleSelectNotice(serial, FD_CLOSE | (static_cast<std::uint32_t>(closeErr) << 16));
    });
}

void TCustomWSocket::Rearm(unsigned Bit) {
    if (Bit == FD_READ) FReadArmed = true;
    if (Bit == FD_WRITE) FWriteArmed = true;
    if (Bit == FD_CLOSE) FCloseNoticed = false;
    ApplySelectEvents();
}

void TCustomWSocket::HandleSelectNotice(std::uint64_t Serial, std::uint32_t Word) {
    static constexpr unsigned Order[] = {FD_CONNECT, FD_READ, FD_WRITE, FD_ACCEPT, FD_CLOSE};
    unsigned bits = Word & 0xFFFF;
    std::uint16_t err = static_cast<std::uint16_t>(Word >> 16);
    for (unsigned bit : Order) {
        if ((bits & bit) == 0) continue;
        if (!TConnectionMark(this, Serial).Open()) return;
        // A handler paused us: keep the event for after ResumeEvents instead of losing it.
        if (FPaused) {
            Rearm(bit);
            continue;
        }
        FSelectMessage = bit;
        switch (bit) {
            case FD_CONNECT:
                Do_FD_CONNECT(err);
                break;
            case FD_READ:
                Do_FD_READ(err);
                break;
            case FD_WRITE:
                Do_FD_WRITE(err);
                break;
            case FD_ACCEPT:
                Do_FD_ACCEPT(err);
                break;
            case FD_CLOSE:
                Do_FD_CLOSE(err);
                break;
        }
        FSelectMessage = 0;
    }
}

void TCustomWSocket::Do_FD_CONNECT(std::uint16_t Error) {
    if (FState == wsConnected) return;
    const TConnectionMark mark = MarkConnection();
    ChangeState(wsConnected);
    FireSessionConnected(Error);
    // A handler that already closed, or closed and connected anew, has settled it.
    if (Error != 0 && FState != wsClosed && !mark.Replaced()) Close();
}

void TCustomWSocket::Do_FD_READ(std::uint16_t Error) {
    if (FState != wsConnected) {
        ChangeState(wsConnected);
        FireSessionConnected(Error);
    }
    ReceiveLoop(Error, FComponentOptions);
}

void TCustomWSocket::Do_FD_WRITE(std::uint16_t Error) {
    const TConnectionMark mark = MarkConnection();
    TryToSend();
    // A send that failed and closed the connection must not read as "all sent".
    if (FAllSent && mark.Open()) FireDataSent(Error);
}

void TCustomWSocket::Do_FD_ACCEPT(std::uint16_t Error) {
    FireSessionAvailable(Error);
}

void TCustomWSocket::Do_FD_CLOSE(std::uint16_t Error) {
    if (FState == wsConnecting || FHSocket < 0) return;
    const TConnectionMark mark = MarkConnection();
    ReceiveLoop(Error, TWSocketOptions(FComponentOptions).Exclude(wsoNoReceiveLoop));
    if (!mark.Open()) return;  // a handler closed it meanwhile
    if (!FCloseInvoked) {
        FCloseInvoked = true;
        FireSessionClosed(Error);
    }
    if (FState != wsClosed && !mark.Replaced()) Close();
}

void TCustomWSocket::ReceiveLoop(std::uint16_t Error, TWSocketOptions Options) {
    const TConnectionMark mark = MarkConnection();
    for (;;) {
        FLastError = 0;
        FReadDone = false;
        FireDataAvailable(Error);
        if (!mark.Open()) return;
        if (Options.Has(wsoNoReceiveLoop)) return;
        if (FLastError != 0) {
            if (FLastError == -1) FLastError = 0;
            return;
        }
        if (!FPaused && HeldInputTaken()) continue;
        // A handler that read nothing (or paused) would make this spin forever on the same
        // pending bytes; they stay pending and the next read re-arms the notice.
        if (!FReadDone || FPaused) return;
        // A short read already said nothing is pending; anything arriving after it comes with
        // a fresh notice, so the count is only asked for after full reads.
        if (FReadDrained) return;
        // Pending bytes only grow between our own reads, so while the last count is not used
        // up they are certainly there and asking again would only cost a system call.
        if (FKnownPending > 0) continue;
        int pending = 0;
        if (ioctl(FHSocket, FIONREAD, &pending) != 0) {
            FLastError = WSocketRecordErrno();
            return;
        }
        FKnownPending = pending;
        if (pending == 0) return;
    }
}

void TCustomWSocket::ApplySelectEvents() {
    if (FWatch == 0) return;
    short ev = 0;
    if (!FPaused && FHSocket >= 0 && FSelectEvents != 0) {
        if (FState == wsConnecting) {
            ev = POLLOUT;
        } else if (FState == wsConnected || FState == wsSocksConnected) {
            if (FReadArmed) ev |= POLLIN;
            if (FWriteArmed) ev |= POLLOUT;
            if (!FCloseNoticed && FType == 1) ev |= POLLRDHUP;
        }
    }
    FLoop.SetFdEvents(FWatch, ev);
}

// ---------------------------------------------------------------------------------------------
// Sending

void TCustomWSocket::DeleteBufferedData() {
    FBufList.clear();
}

bool TCustomWSocket::SendQueueEmpty() const {
    for (const TBuffer& b : FBufList) {
        int len;
        if (b.PeekData(len) != nullptr) return false;
    }
    return true;
}

void TCustomWSocket::QueueSendData(const void* Data, int Len) {
    if (Data == nullptr || Len <= 0) return;
    const char* p = static_cast<const char*>(Data);
    if (FBufList.empty()) FBufList.emplace_back(FBufSize);
    for (;;) {
        int n = FBufList.back().Append(p, Len);
        p += n;
        Len -= n;
        if (Len <= 0) break;
        FBufList.emplace_back(FBufSize);
    }
    FAllSent = false;
}

int TCustomWSocket::Send(const void* Data, int Len) {
    if (FState != wsConnected && FState != wsSocksConnected) {
        WSocketSetLastError(WSAENOTCONN);
        SocketError("Send");
        return -1;
    }
    FAllSent = false;
    int result = 0;
    if (Len > 0 && Data != nullptr) {
        QueueSendData(Data, Len);
        result = Len;
    }
    TryToSend();
    if (FAllSent && FHSocket >= 0) FWindow->Post(WM_ASYNCSELECT, FSerial, FD_WRITE);
    return result;
}

int TCustomWSocket::SendText(const std::string& Text) {
    if (Text.empty()) return 0;
    return Send(Text.data(), static_cast<int>(Text.size()));
}

int TCustomWSocket::RealSend(const char* Data, int Len) {
    ssize_t n;
    if (FType == 1) {
        n = ::send(FHSocket, Data, Len, FSendFlags | MSG_NOSIGNAL);
    } else {
        sockaddr_in sa{};
        sa.sin_family = AF_INET;
        sa.sin_port = htons(FSinPort);
        sa.sin_addr.s_addr = FSinAddr;
        n = ::sendto(FHSocket, Data, Len, FSendFlags | MSG_NOSIGNAL,
                     reinterpret_cast<sockaddr*>(&sa), sizeof sa);
    }
    if (n < 0) {
        WSocketRecordErrno();
        return -1;
    }
    return static_cast<int>(n);
}

void TCustomWSocket::TryToSend() {
    if (FHSocket < 0 || FBufList.empty()) {
        FAllSent = true;
        return;
    }
    const TConnectionMark mark = MarkConnection();
    for (;;) {
        int len = 0;
        const char* p = FBufList.front().PeekData(len);
        if (p == nullptr) {
            if (FBufList.size() == 1) {
                FAllSent = true;
                return;
            }
            FBufList.pop_front();
            continue;
        }
        int count = RealSend(p, len);
        if (count > 0) {
            // Consumed before the event: a handler that sends again must not resend these.
            FBufList.front().Consume(count);
            if (OnSendData && !FDestroying) OnSendData(this, count);
            if (!mark.Open() || FBufList.empty()) return;
            if (count < len) {
                if (!FWriteArmed) {
                    FWriteArmed = true;
                    ApplySelectEvents();
                }
                return;
            }
            continue;
        }
        if (count == 0) return;
        int err = WSocketGetLastError();
        if (err == WSAEWOULDBLOCK) {
            if (!FWriteArmed) {
                FWriteArmed = true;
                ApplySelectEvents();
            }
            return;
        }
        if (err == WSAEINVAL || err == WSAENOTSOCK || err == WSAECONNABORTED ||
            err == WSAECONNRESET || err == WSAENOTCONN) {
            FCloseInvoked = true;
            Close();
            FireSessionClosed(static_cast<std::uint16_t>(err));
            return;
        }
        FLastError = err;
        SocketError("TryToSend failed");
        return;
    }
}

// ---------------------------------------------------------------------------------------------
// Receiving

int TCustomWSocket::ReadRaw(void* Buffer, int BufferSize) {
    if (FHSocket < 0) {
        WSocketSetLastError(WSAENOTSOCK);
        return -1;
    }
    FReadDone = true;
    if (!FReadArmed) {
        FReadArmed = true;
        ApplySelectEvents();
    }
    ssize_t n = ::recv(FHSocket, Buffer, BufferSize < 0 ? 0 : BufferSize, 0);
    if (n < 0) {
        FReadDrained = false;
        FKnownPending = 0;
        WSocketRecordErrno();
        return -1;
    }
    FReadDrained = n < BufferSize;
    FKnownPending = FReadDrained ? 0 : std::max<std::int64_t>(FKnownPending - n, 0);
    return static_cast<int>(n);
}

int TCustomWSocket::Receive(void* Buffer, int BufferSize) {
    int n = ReadRaw(Buffer, BufferSize);
    if (n < 0)
        FLastError = WSocketGetLastError();
    else
        FReadCount += n;
    return n;
}

std::string TCustomWSocket::ReceiveText() {
    int n = RcvdCount();
    if (n < 0) return "";
    if (n == 0) n = 255;
    std::string s(static_cast<std::size_t>(n), '\0');
    int got = Receive(s.data(), n);
    if (got <= 0) return "";
    s.resize(static_cast<std::size_t>(got));
    return s;
}
