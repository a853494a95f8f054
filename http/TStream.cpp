// In-memory stream (see TStream.h).
#include "http/TStream.h"

#include <cstring>

std::int64_t TMemoryStream::Read(void* Buffer, std::int64_t Count) {
    std::int64_t left = Size() - FPosition;
    if (Count <= 0 || left <= 0) return 0;
    if (Count > left) Count = left;
    std::memcpy(Buffer, FData.data() + FPosition, static_cast<std::size_t>(Count));
    FPosition += Count;
    return Count;
}

std::int64_t TMemoryStream::Write(const void* Buffer, std::int64_t Count) {
    if (Count <= 0) return 0;
    std::int64_t end = FPosition + Count;
    if (end > Size()) FData.resize(static_cast<std::size_t>(end));
    std::memcpy(FData.data() + FPosition, Buffer, static_cast<std::size_t>(Count));
    FPosition = end;
    return Count;
}

std::int64_t TMemoryStream::Seek(std::int64_t Offset, TSeekOrigin Origin) {
    std::int64_t from = Origin == soBeginning ? 0 : Origin == soCurrent ? FPosition : Size();
    std::int64_t target = from + Offset;
    if (target < 0) return -1;
    FPosition = target;
    return FPosition;
}

bool TMemoryStream::SetSize(std::int64_t NewSize) {
    if (NewSize < 0) return false;
    FData.resize(static_cast<std::size_t>(NewSize));
    if (FPosition > NewSize) FPosition = NewSize;
    return true;
}
