// Line cutting over a growing buffer. Every byte is searched once (a search resumes where the
// last one gave up, minus a split LineEnd), so a long stream without line end costs linear
// time; the buffer holds the whole unfinished line, bounded only by LineLimit.
#include "net/TCustomLineWSocket.h"

#include <algorithm>
#include <climits>
#include <cstring>

namespace {

int ClampInt(std::size_t n) {
    return static_cast<int>(std::min<std::size_t>(n, INT_MAX));
}

}  // namespace

void TCustomLineWSocket::SetLineMode(bool Value) {
    if (Value == FLineMode) return;
    FLineMode = Value;
    FLineLength = 0;
    FSearchFrom = FRcvStart;
    if (Buffered() > 0) PostToSelf(WM_TRIGGER_DATA_AVAILABLE);
}

int TCustomLineWSocket::SendTextLine(const std::string& Str) {
    if (Str.empty()) return 0;
    QueueSendData(Str.data(), ClampInt(Str.size()));
    // An empty LineEnd still has to push the queued text out.
    if (FLineEnd.empty())
        Send(nullptr, 0);
    else
        SendText(FLineEnd);
    return ClampInt(Str.size() + 2);
}

// ---------------------------------------------------------------------------------------------
// Reading

int TCustomLineWSocket::RcvdCount() {
    if (LineActive()) return ClampInt(FLineLength);
    if (Buffered() > 0) return ClampInt(Buffered());
    return TCustomSslWSocket::RcvdCount();
}

int TCustomLineWSocket::ReadRaw(void* Buffer, int BufferSize) {
    std::size_t avail = LineActive() ? FLineLength : Buffered();
    if (avail == 0) {
        if (!LineActive()) return TCustomSslWSocket::ReadRaw(Buffer, BufferSize);
        // In line mode the platform's bytes come only through the buffer, as lines.
        WSocketSetLastError(WSAEWOULDBLOCK);
        return -1;
    }
    std::size_t n = std::min<std::size_t>(avail, static_cast<std::size_t>(std::max(BufferSize, 0)));
    std::memcpy(Buffer, FRcvBuf.data() + FRcvStart, n);
    Consumed(n);
    return static_cast<int>(n);
}

void TCustomLineWSocket::Consumed(std::size_t Count) {
    FRcvStart += Count;
    FLineLength -= std::min(Count, FLineLength);
    if (FRcvStart == FRcvBuf.size()) {
        FRcvBuf.clear();
        FRcvStart = 0;
        FSearchFrom = 0;
        return;
    }
    FSearchFrom = std::max(FSearchFrom, FRcvStart);
    // Moving the rest only once the consumed part is the larger keeps this linear overall.
    if (FRcvStart > 4096 && FRcvStart > FRcvBuf.size() / 2) {
        FRcvBuf.erase(0, FRcvStart);
        FSearchFrom -= FRcvStart;
        FRcvStart = 0;
    }
}

void TCustomLineWSocket::FreeBuffer() {
    std::string().swap(FRcvBuf);
    FRcvStart = 0;
    FSearchFrom = 0;
    FLineLength = 0;
    FEditColumn = 0;
}

void TCustomLineWSocket::ReadPending() {
    int n = TCustomSslWSocket::RcvdCount();
    if (n < 0) return;
    if (n == 0) n = 255;
    if (FLineEdit) {
        std::string fresh(static_cast<std::size_t>(n), '\0');
        int got = TCustomSslWSocket::ReadRaw(fresh.data(), n);
        if (got > 0) EditLine(fresh.data(), static_cast<std::size_t>(got));
        return;
    }
    std::size_t old = FRcvBuf.size();
    FRcvBuf.resize(old + static_cast<std::size_t>(n));
    int got = TCustomSslWSocket::ReadRaw(FRcvBuf.data() + old, n);
    FRcvBuf.resize(old + static_cast<std::size_t>(std::max(got, 0)));
    if (got > 0 && FLineEcho) Send(FRcvBuf.data() + old, got);
}

void TCustomLineWSocket::EditLine(const char* New, std::size_t Len) {
    std::string echo;
    for (std::size_t i = 0; i < Len; ++i) {
        char c = New[i];
        if (c == '\b') {
            if (FEditColumn == 0 || Buffered() == 0) continue;
            FRcvBuf.pop_back();
            --FEditColumn;
            echo += "\b \b";
        } else if (c == '\t') {
            std::size_t spaces = 8 - FEditColumn % 8;
            FRcvBuf.append(spaces, ' ');
            echo.append(spaces, ' ');
            FEditColumn += spaces;
        } else {
            FRcvBuf += c;
            echo += c;
            ++FEditColumn;
            if (FRcvBuf.size() - FRcvStart >= FLineEnd.size() && !FLineEnd.empty() &&
                c == FLineEnd.back() &&
                FRcvBuf.compare(FRcvBuf.size() - FLineEnd.size(), FLineEnd.size(), FLineEnd) == 0)
                FEditColumn = 0;
        }
    }
    FSearchFrom = std::min(FSearchFrom, FRcvBuf.size());
    if (FLineEcho && !echo.empty()) SendText(echo);
}

// ---------------------------------------------------------------------------------------------
// Delivery

void TCustomLineWSocket::FireDataAvailable(std::uint16_t Error) {
    if (LineActive()) {
        DeliverLinePass();
        return;
    }
    if (Buffered() > 0 && !DeliverBuffered()) return;
    if (Buffered() == 0) TCustomSslWSocket::FireDataAvailable(Error);
}

bool TCustomLineWSocket::DeliverLinePass() {
    FLineFound = false;
    ReadPending();
    // A line the reader left unread last time comes first.
    if (FLineLength > 0) {
        if (!DeliverCurrentLine()) return false;
        if (FLineLength > 0) return true;
    }
    return DeliverLines();
}

bool TCustomLineWSocket::DeliverLines() {
    while (LineActive()) {
        std::size_t end = FRcvBuf.find(FLineEnd, FSearchFrom);
        if (end == std::string::npos) {
            // A LineEnd split between reads starts within its own length of the end.
            std::size_t keep = FLineEnd.size() - 1;
            FSearchFrom = std::max(FRcvStart, FRcvBuf.size() > keep ? FRcvBuf.size() - keep : 0);
            if (FLineLimit > 0 && Buffered() > static_cast<std::size_t>(FLineLimit)) {
                const TConnectionMark mark = MarkConnection();
                FLineClearData = true;
                FireLineLimitExceeded(ClampInt(Buffered()), FLineClearData);
                if (mark.Replaced()) return false;
                if (FLineClearData) FreeBuffer();
            }
            return true;
        }
        FLineLength = end + FLineEnd.size() - FRcvStart;
        FLineFound = true;
        if (!DeliverCurrentLine()) return false;
        if (FLineLength > 0) return true;  // the reader took nothing; offered again later
    }
    return true;
}

bool TCustomLineWSocket::DeliverCurrentLine() {
    const TConnectionMark mark = MarkConnection();
    FDelivering = true;
    while (FLineLength > 0) {
        std::size_t before = FLineLength;
        TCustomSslWSocket::FireDataAvailable(0);
        if (!mark.Open()) {
            FDelivering = false;
            return false;
        }
        if (FLineLength == before) break;
    }
    FDelivering = false;
    return true;
}

bool TCustomLineWSocket::DeliverBuffered() {
    const TConnectionMark mark = MarkConnection();
    while (Buffered() > 0) {
        std::size_t before = Buffered();
        TCustomSslWSocket::FireDataAvailable(0);
        if (!mark.Open()) return false;
        if (Buffered() == before) break;
    }
    return true;
}

void TCustomLineWSocket::WndProc(unsigned Msg, std::uintptr_t WParam, std::intptr_t LParam) {
    if (Msg != WM_TRIGGER_DATA_AVAILABLE) {
        TCustomSslWSocket::WndProc(Msg, WParam, LParam);
        return;
    }
    int passesWithoutLine = 0;
    while (Buffered() > 0) {
        if (!LineActive()) {
            std::size_t before = Buffered();
            if (!DeliverBuffered() || Buffered() == before) return;
            continue;
        }
        if (!DeliverLinePass()) return;
        if (!FLineFound && ++passesWithoutLine > 3) return;
    }
}

void TCustomLineWSocket::FireSessionClosed(std::uint16_t Error) {
    // What is left is the last line, even without its LineEnd. Not when the reader closed the
    // socket from its own handler: it stopped reading there.
    if (LineActive() && Buffered() > 0 && !FDelivering) {
        FLineLength = Buffered();
        FDelivering = true;
        while (FLineLength > 0) {
            std::size_t before = FLineLength;
            TCustomSslWSocket::FireDataAvailable(0);
            if (FLineLength == before) break;
        }
        FDelivering = false;
    }
    FreeBuffer();
    TCustomSslWSocket::FireSessionClosed(Error);
}

void TCustomLineWSocket::FireLineLimitExceeded(int RcvdLength, bool& ClearData) {
    if (OnLineLimitExceeded) OnLineLimitExceeded(this, RcvdLength, ClearData);
}
