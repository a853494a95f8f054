// A large file that shows where a byte went wrong, and a stream that checks what the engine
// writes against it without holding the file in memory: for the TLS suite and benchmark.
// Header-only; its users link the HTTP engine. One thread at a time.
#pragma once

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "http/TStream.h"

// A sparse file of Bytes whose every MiB begins with its own offset, so that a byte lost,
// doubled or moved anywhere shows.
inline bool WriteStampedFile(const std::string& Path, std::int64_t Bytes) {
    const int fd = open(Path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    bool ok = fd >= 0 && ftruncate(fd, Bytes) == 0;
    for (std::int64_t at = 0; ok && at < Bytes; at += 1 << 20)
        ok = pwrite(fd, &at, sizeof at, at) == static_cast<ssize_t>(sizeof at);
    if (fd >= 0) close(fd);
    return ok;
}

// Compares what the engine writes with a file, one block of the file in memory at a time.
class TCompareStream : public TStream {
public:
    explicit TCompareStream(const std::string& File) : In(File, std::ios::binary) {}
    std::int64_t Write(const void* Buffer, std::int64_t Count) override {
        const char* bytes = static_cast<const char*>(Buffer);
        for (std::int64_t done = 0; done < Count && !Differs;) {
            if (At == Block.size()) {
                Block.resize(1 << 20);
                In.read(Block.data(), static_cast<std::streamsize>(Block.size()));
                Block.resize(static_cast<std::size_t>(In.gcount()));
                At = 0;
                Differs = Block.empty();  // longer than the file
                continue;
            }
            const std::size_t n =
                std::min(static_cast<std::size_t>(Count - done), Block.size() - At);
            Differs = std::memcmp(bytes + done, Block.data() + At, n) != 0;
            done += static_cast<std::int64_t>(n);
            At += n;
        }
        Written += Count;
        return Count;
    }
    std::int64_t Read(void*, std::int64_t) override { return 0; }
    std::int64_t Seek(std::int64_t, TSeekOrigin) override { return Written; }
    std::int64_t Size() override { return Written; }
    bool SetSize(std::int64_t NewSize) override { return NewSize == Written; }

    std::int64_t Written = 0;
    bool Differs = false;

private:
    std::ifstream In;
    std::vector<char> Block;
    std::size_t At = 0;
};
