// Line mode of the socket: with LineMode on, received bytes are gathered and handed to
// OnDataAvailable one complete line (LineEnd included) at a time; Receive then reads only from
// that line. With LineMode off and nothing buffered every call passes through. Same thread
// rules as TCustomWSocket; the layer owns its receive buffer.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

#include "net/TCustomSslWSocket.h"

// Notice to the socket's own target: deliver what is buffered after LineMode changed.
constexpr unsigned WM_TRIGGER_DATA_AVAILABLE = WM_USER + 20;

class TCustomLineWSocket : public TCustomSslWSocket {
public:
    using TLineLimitEvent =
        std::function<void(TCustomWSocket* Sender, int RcvdLength, bool& ClearData)>;

    TCustomLineWSocket() = default;

    // Raised when more than LineLimit bytes are buffered without a LineEnd; ClearData comes
    // in true, and left true the buffered bytes are dropped.
    TLineLimitEvent OnLineLimitExceeded;

    bool LineMode() const { return FLineMode; }
    virtual void SetLineMode(bool Value);
    const std::string& LineEnd() const { return FLineEnd; }
    void SetLineEnd(const std::string& Value) {
        FLineEnd = Value;
        FSearchFrom = FRcvStart;
    }
    int LineLimit() const { return FLineLimit; }
    void SetLineLimit(int Value) { FLineLimit = Value; }
    bool LineEcho() const { return FLineEcho; }
    void SetLineEcho(bool Value) { FLineEcho = Value; }
    bool LineEdit() const { return FLineEdit; }
    void SetLineEdit(bool Value) { FLineEdit = Value; }

    // Sends Str followed by LineEnd; 0 for an empty Str, else Str's length + 2.
    virtual int SendTextLine(const std::string& Str);
    int RcvdCount() override;

protected:
    void WndProc(unsigned Msg, std::uintptr_t WParam, std::intptr_t LParam) override;
    void FireDataAvailable(std::uint16_t Error) override;
    void FireSessionClosed(std::uint16_t Error) override;
    int ReadRaw(void* Buffer, int BufferSize) override;
    virtual void FireLineLimitExceeded(int RcvdLength, bool& ClearData);
    // Applies backspace and tab editing to New and appends it to the buffer, echoing with
    // LineEcho.
    virtual void EditLine(const char* New, std::size_t Len);

private:
    bool LineActive() const { return FLineMode && !FLineEnd.empty() && !Negotiating(); }
    std::size_t Buffered() const { return FRcvBuf.size() - FRcvStart; }
    // One delivery pass; false when the socket was closed or replaced meanwhile.
    bool DeliverLinePass();
    // Appends what the lower layers have pending.
    void ReadPending();
    bool DeliverLines();
    bool DeliverCurrentLine();
    // LineMode off: plain OnDataAvailable until the buffer is empty or the reader stops.
    bool DeliverBuffered();
    void Consumed(std::size_t Count);
    void FreeBuffer();

    bool FLineMode = false;
    std::string FLineEnd = "\r\n";
    int FLineLimit = 65536;
    bool FLineEcho = false;
    bool FLineEdit = false;

    // Bytes [FRcvStart, size) are buffered; the consumed front is cut off only once it is the
    // larger part, so reading a line piece by piece never moves the rest each time.
    std::string FRcvBuf;
    std::size_t FRcvStart = 0;
    // No LineEnd starts before this position.
    std::size_t FSearchFrom = 0;
    // Unread bytes of the line offered to the reader, counted from FRcvStart (0 = none).
    std::size_t FLineLength = 0;
    bool FLineFound = false;
    bool FLineClearData = false;
    bool FDelivering = false;
    // Column of the next byte in the line being typed, for tab stops.
    std::size_t FEditColumn = 0;
};
