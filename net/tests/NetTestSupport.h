// What the socket suites share beyond the common test support: an event recorder for sockets.
#pragma once

#include <string>
#include <vector>

#include "net/TWSocket.h"
#include "platform/EventLoop.h"
#include "tests/support/LoopWait.h"
#include "tests/support/Loopback.h"
#include "tests/support/Nginx.h"
#include "tests/support/ScriptedServer.h"

// Records a socket's events as short texts, in order.
struct TEventLog {
    std::vector<std::string> Lines;
    int Closed = 0;
    void Attach(TCustomWSocket& S) {
        S.OnChangeState = [this](TCustomWSocket*, TSocketState O, TSocketState N) {
            Lines.push_back("state " + std::to_string(O) + ">" + std::to_string(N));
        };
        S.OnDnsLookupDone = [this](TCustomWSocket*, std::uint16_t E) {
            Lines.push_back("dns " + std::to_string(E));
        };
        S.OnSessionConnected = [this](TCustomWSocket*, std::uint16_t E) {
            Lines.push_back("connected " + std::to_string(E));
        };
        S.OnDataSent = [this](TCustomWSocket*, std::uint16_t E) {
            Lines.push_back("sent " + std::to_string(E));
        };
        S.OnSessionClosed = [this](TCustomWSocket*, std::uint16_t E) {
            ++Closed;
            Lines.push_back("closed " + std::to_string(E));
        };
    }
    bool Has(const std::string& Line) const {
        for (const auto& l : Lines)
            if (l == Line) return true;
        return false;
    }
};
