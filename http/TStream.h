// Byte streams the HTTP engine reads request bodies from and writes response bodies to.
// TStream is the interface the engine sees; TMemoryStream keeps the bytes in memory.
// A stream belongs to one thread at a time; the engine never creates or frees its owner's streams.
#pragma once

#include <cstdint>
#include <string>

enum TSeekOrigin { soBeginning, soCurrent, soEnd };

class TStream {
public:
    virtual ~TStream() = default;
    // Both return the bytes moved; short only at the end (Read) or on an error.
    virtual std::int64_t Read(void* Buffer, std::int64_t Count) = 0;
    virtual std::int64_t Write(const void* Buffer, std::int64_t Count) = 0;
    // Returns the new position, or -1 when that position is not possible.
    virtual std::int64_t Seek(std::int64_t Offset, TSeekOrigin Origin) = 0;
    virtual std::int64_t Size() = 0;
    // Returns false when the stream cannot take that size.
    virtual bool SetSize(std::int64_t NewSize) = 0;
    std::int64_t Position() { return Seek(0, soCurrent); }
};

class TMemoryStream : public TStream {
public:
    TMemoryStream() = default;
    explicit TMemoryStream(std::string Initial) : FData(std::move(Initial)) {}

    std::int64_t Read(void* Buffer, std::int64_t Count) override;
    std::int64_t Write(const void* Buffer, std::int64_t Count) override;
    std::int64_t Seek(std::int64_t Offset, TSeekOrigin Origin) override;
    std::int64_t Size() override { return static_cast<std::int64_t>(FData.size()); }
    bool SetSize(std::int64_t NewSize) override;

    const std::string& Data() const { return FData; }

private:
    std::string FData;
    std::int64_t FPosition = 0;
};
