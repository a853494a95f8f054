// One block of a socket's send queue: written bytes are appended at the end and consumed
// from the front; a fully consumed block starts over from its beginning. Owned by the socket's
// queue; used on the socket's thread only.
#pragma once

#include <cstddef>
#include <memory>

class TBuffer {
public:
    explicit TBuffer(int Capacity = 0) { SetCapacity(Capacity); }

    // n <= 0 means the default of 1514 bytes; written bytes are kept.
    void SetCapacity(int n);
    // Copies as much as fits and returns that count (0 when full).
    int Append(const void* Data, int Len);
    // First unconsumed byte and how many there are; (nullptr, 0) when none.
    const char* PeekData(int& Len) const;
    // Advances by at most the unconsumed count; all consumed: both counts back to 0.
    void Consume(int n);

    int Capacity() const { return FCapacity; }
    int WrCount() const { return FWrCount; }
    int RdCount() const { return FRdCount; }

private:
    std::unique_ptr<char[]> FData;
    int FCapacity = 0;
    int FWrCount = 0;
    int FRdCount = 0;
};
