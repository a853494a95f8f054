// Output file of a download: a stream over one POSIX file descriptor with 64-bit positions.
// Used on the worker thread that owns it; the descriptor is closed when the stream is destroyed.
// Small writes are gathered into whole 64 KiB pieces before they go to the file: blocks of a few
// KiB would start mid-page, and the kernel zeroes the rest of every such page first, which costs
// more than the copy. A write of 64 KiB or more goes to the file as it is, after the gathered
// bytes: one page in sixteen or more is no cost, a copy of it all would be. Every other
// operation writes the gathered bytes first.
#pragma once

#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string>

#include "http/TStream.h"

class EFCreateError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

class EFOpenError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// Open modes: the low nibble is the access, the next one the sharing. The sharing bits are
// advisory locks (flock) here, since Linux has no mandatory share modes.
constexpr uint16_t fmCreate = 0xFFFF;
constexpr uint16_t fmOpenRead = 0x0000;
constexpr uint16_t fmOpenWrite = 0x0001;
constexpr uint16_t fmOpenReadWrite = 0x0002;
constexpr uint16_t fmShareExclusive = 0x0010;
constexpr uint16_t fmShareDenyWrite = 0x0020;
constexpr uint16_t fmShareDenyNone = 0x0040;

class TMyFileStream : public TStream {
public:
    // fmCreate creates (or empties) the file for reading and writing, exclusively; any other
    // mode opens an existing file. Raises EFCreateError / EFOpenError naming the path.
    TMyFileStream(const std::string& path, uint16_t mode);
    ~TMyFileStream() override;
    TMyFileStream(const TMyFileStream&) = delete;
    TMyFileStream& operator=(const TMyFileStream&) = delete;

    // Both return the bytes moved; short only at end of file (Read). Write returns 0 once the
    // file has refused bytes, also bytes gathered earlier.
    int64_t Read(void* buffer, int64_t count) override;
    int64_t Write(const void* buffer, int64_t count) override;
    // Returns the new position, or -1 when the position is not possible.
    int64_t Seek(int64_t offset, TSeekOrigin origin) override;
    int64_t Size() override;
    // Returns false when the file cannot take that size.
    bool SetSize(int64_t size) override;

    // Writes the gathered bytes; false when the file refused them (now or earlier). The owner
    // calls it at the end of a download, so that a full disk is not reported as success.
    bool Flush();
    // Writes count bytes at offset, leaving the position alone: the pieces of a file fetched
    // over several connections go where they belong. Returns false, as Write does, once the file
    // has refused bytes.
    bool WriteAt(const void* buffer, int64_t count, int64_t offset);

    int Handle() const { return FHandle; }
    // Why the file refused bytes (an errno value, ENOSPC for a write that took nothing); 0
    // while it has refused none.
    int WriteError() const { return FWriteError; }

    static constexpr int64_t GatherSize = 64 * 1024;

private:
    bool WriteOut(const char* data, int64_t count, int64_t offset = -1);

    int FHandle = -1;
    std::unique_ptr<char[]> FGather;
    int64_t FGathered = 0;
    bool FFailed = false;
    int FWriteError = 0;
};
