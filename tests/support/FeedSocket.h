// Test double for the engine's socket: no network, the test (or fuzzer) feeds the server's bytes
// in pieces of its choosing and closes the connection where it likes. Lives on the test thread;
// CloseLater is queued on that thread's loop like the real one.
#pragma once

#include <algorithm>
#include <cstring>
#include <functional>
#include <memory>
#include <string>

#include "http/THttpCli.h"
#include "net/TWSocket.h"
#include "platform/EventLoop.h"

class TFeedSocket : public TWSocket {
public:
    std::string Sent;  // every byte the engine sent
    int Connects = 0;  // connections opened
    int Lookups = 0;   // name lookups started
    bool Paused = false;
    std::function<void()> OnRequest;  // a request header was flushed

    ~TFeedSocket() override { *Alive = false; }

    // Hands the bytes over the way the receive loop does: notices while bytes are pending.
    void Feed(const std::string& Bytes) {
        Pending += Bytes;
        // A handler that stops reading (a pause, a full line buffer it keeps) must not spin.
        int idle = 0;
        while (!Pending.empty() && State() == wsConnected && !Paused && idle < 2) {
            std::size_t before = Pending.size();
            if (OnDataAvailable) OnDataAvailable(this, 0);
            idle = Pending.size() == before ? idle + 1 : 0;
        }
    }
    // The server closes: what it sent is delivered first, then the close.
    void PeerClose(std::uint16_t Error = 0) {
        if (State() != wsConnected) return;
        Feed(std::string());
        Pending.clear();
        Shut(Error);
    }

    void DnsLookup(const std::string&) override {
        ++Lookups;
        if (OnDnsLookupDone) OnDnsLookupDone(this, 0);
    }
    void CancelLookup() override {}
    void Connect() override {
        ++Connects;
        Pending.clear();
        ChangeState(wsConnected);
        if (OnSessionConnected) OnSessionConnected(this, 0);
    }
    int Receive(void* Buffer, int BufferSize) override {
        if (Pending.empty() || BufferSize <= 0) return -1;
        int n = std::min<int>(BufferSize, static_cast<int>(Pending.size()));
        std::memcpy(Buffer, Pending.data(), n);
        Pending.erase(0, n);
        return n;
    }
    int Send(const void* Data, int Len) override {
        if (State() != wsConnected) return -1;
        if (Len > 0) Sent.append(static_cast<const char*>(Data), Len);
        std::shared_ptr<bool> alive = Alive;
        TLoopRef loop = TEventLoop::Current().Ref();
        // A flush ends a request header: the scripted server answers it from the loop.
        if (Len <= 0)
            loop.PostTask([this, alive] {
                if (*alive && OnRequest) OnRequest();
            });
        loop.PostTask([this, alive] {
            if (*alive && State() == wsConnected && OnDataSent) OnDataSent(this, 0);
        });
        return Len > 0 ? Len : 0;
    }
    void QueueSendData(const void* Data, int Len) override {
        if (Len > 0) Sent.append(static_cast<const char*>(Data), Len);
    }
    void Close() override { Shut(0); }
    void Abort() override { Shut(0); }
    void CloseLater() override {
        std::shared_ptr<bool> alive = Alive;
        TEventLoop::Current().Ref().PostTask([this, alive] {
            if (*alive) Close();
        });
    }
    void PauseEvents() override { Paused = true; }
    void ResumeEvents() override { Paused = false; }

    bool HasPending() const { return !Pending.empty(); }

private:
    void Shut(std::uint16_t Error) {
        if (State() == wsClosed) return;
        Pending.clear();
        ChangeState(wsClosed);
        if (OnSessionClosed) OnSessionClosed(this, Error);
    }

    std::string Pending;
    std::shared_ptr<bool> Alive = std::make_shared<bool>(true);
};

// The engine, or a subclass of it such as the program's session, over a TFeedSocket, with its
// inner state opened up for checks.
template <class TBase>
class TFeedClient : public TBase {
public:
    TFeedSocket* Feed() { return static_cast<TFeedSocket*>(this->Socket()); }
    using TBase::AuthBasicState;
    using TBase::AuthNTLMState;
    using TBase::InCount;
    using TBase::ProxyAuthBasicState;
    using TBase::ProxyAuthNTLMState;
    using TBase::RequestTarget;
    using TBase::StepServerBasic;
    using TBase::TargetHost;
    using TBase::TargetPort;

protected:
    std::unique_ptr<TWSocket> MakeSocket() override { return std::make_unique<TFeedSocket>(); }
};
using TFeedHttpCli = TFeedClient<THttpCli>;
