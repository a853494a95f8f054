// Output file stream over a POSIX descriptor; see TMyFileStream.h.
#include "download/TMyFileStream.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>
#include <algorithm>
#include <cerrno>
#include <cstring>

namespace {

int OpenFlags(uint16_t mode) {
    switch (mode & 0x0F) {
        case fmOpenWrite:
            return O_WRONLY;
        case fmOpenReadWrite:
            return O_RDWR;
        default:
            return O_RDONLY;
    }
}

// Share modes become advisory locks, taken without waiting.
bool LockFor(int fd, uint16_t mode) {
    int lock = 0;
    switch (mode & 0xF0) {
        case fmShareExclusive:
            lock = LOCK_EX;
            break;
        case fmShareDenyWrite:
            lock = LOCK_SH;
            break;
        default:
            return true;
    }
    return flock(fd, lock | LOCK_NB) == 0;
}

}  // namespace

TMyFileStream::TMyFileStream(const std::string& path, uint16_t mode) {
    const bool create = mode == fmCreate;
    FHandle = create ? open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0644)
                     : open(path.c_str(), OpenFlags(mode) | O_CLOEXEC);
    if (FHandle >= 0 && !LockFor(FHandle, create ? fmShareExclusive : mode)) {
        close(FHandle);
        FHandle = -1;
    }
    if (FHandle >= 0) return;
    if (create) throw EFCreateError("Cannot create file " + path);
    throw EFOpenError("Cannot open file " + path);
}

TMyFileStream::~TMyFileStream() {
    Flush();
    if (FHandle >= 0) close(FHandle);
}

bool TMyFileStream::WriteOut(const char* data, int64_t count, int64_t offset) {
    int64_t done = 0;
    while (done < count) {
        const size_t left = static_cast<size_t>(count - done);
        ssize_t n = offset < 0 ? write(FHandle, data + done, left)
                               : pwrite(FHandle, data + done, left, offset + done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            FWriteError = n < 0 ? errno : ENOSPC;
            return false;
        }
        done += n;
    }
    return true;
}

bool TMyFileStream::Flush() {
    if (FGathered > 0 && !FFailed && !WriteOut(FGather.get(), FGathered)) FFailed = true;
    FGathered = 0;
    return !FFailed;
}

bool TMyFileStream::WriteAt(const void* buffer, int64_t count, int64_t offset) {
    if (!Flush()) return false;
    if (!WriteOut(static_cast<const char*>(buffer), count, offset)) FFailed = true;
    return !FFailed;
}

int64_t TMyFileStream::Read(void* buffer, int64_t count) {
    if (!Flush()) return 0;
    int64_t done = 0;
    auto* at = static_cast<char*>(buffer);
    while (done < count) {
        ssize_t n = read(FHandle, at + done, static_cast<size_t>(count - done));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        done += n;
    }
    return done;
}

int64_t TMyFileStream::Write(const void* buffer, int64_t count) {
    if (FFailed) return 0;
    if (count >= GatherSize) {
        if (!Flush()) return 0;
        if (!WriteOut(static_cast<const char*>(buffer), count)) FFailed = true;
        return FFailed ? 0 : count;
    }
    if (!FGather) FGather = std::make_unique<char[]>(GatherSize);
    const auto* from = static_cast<const char*>(buffer);
    int64_t done = 0;
    while (done < count) {
        const int64_t take = std::min(count - done, GatherSize - FGathered);
        std::memcpy(FGather.get() + FGathered, from + done, static_cast<size_t>(take));
        FGathered += take;
        done += take;
        if (FGathered == GatherSize && !Flush()) return 0;
    }
    return done;
}

int64_t TMyFileStream::Seek(int64_t offset, TSeekOrigin origin) {
    if (!Flush()) return -1;
    int whence = origin == soBeginning ? SEEK_SET : origin == soCurrent ? SEEK_CUR : SEEK_END;
    off_t at = lseek(FHandle, static_cast<off_t>(offset), whence);
    return at < 0 ? -1 : static_cast<int64_t>(at);
}

int64_t TMyFileStream::Size() {
    Flush();
    struct stat st {};
    return fstat(FHandle, &st) == 0 ? static_cast<int64_t>(st.st_size) : -1;
}

bool TMyFileStream::SetSize(int64_t size) {
    if (!Flush()) return false;
    return size >= 0 && ftruncate(FHandle, static_cast<off_t>(size)) == 0;
}
