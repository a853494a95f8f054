// Send-queue block.
#include "net/TBuffer.h"

#include <algorithm>
#include <cstring>

void TBuffer::SetCapacity(int n) {
    int capacity = n <= 0 ? 1514 : n;
    if (capacity == FCapacity && FData) return;
    std::unique_ptr<char[]> data(new char[capacity]);
    // Shrinking below what is written would lose bytes; keep what fits from the front.
    FWrCount = std::min(FWrCount, capacity);
    FRdCount = std::min(FRdCount, FWrCount);
    if (FWrCount > 0) std::memcpy(data.get(), FData.get(), FWrCount);
    FData = std::move(data);
    FCapacity = capacity;
}

int TBuffer::Append(const void* Data, int Len) {
    if (Data == nullptr || Len <= 0) return 0;
    int n = std::min(Len, FCapacity - FWrCount);
    if (n <= 0) return 0;
    std::memcpy(FData.get() + FWrCount, Data, n);
    FWrCount += n;
    return n;
}

const char* TBuffer::PeekData(int& Len) const {
    Len = FWrCount - FRdCount;
    if (Len <= 0) {
        Len = 0;
        return nullptr;
    }
    return FData.get() + FRdCount;
}

void TBuffer::Consume(int n) {
    if (n <= 0) return;
    FRdCount += std::min(n, FWrCount - FRdCount);
    if (FRdCount >= FWrCount) {
        FRdCount = 0;
        FWrCount = 0;
    }
}
