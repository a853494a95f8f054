// Which bytes of a file fetched in pieces over several connections are written, where each
// connection writes, and which part the next connection asks for. A connection writes only
// after its answer proved to be the part it asked for, and only bytes no one has written, so the
// sum of the written pieces counts every byte once. A connection stops at the first byte another
// proven connection is fetching or has written: the one that asked first gives the rest to the
// one split off from it. Pure bookkeeping, one thread.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

// Bytes [Begin, End) of a file.
struct TByteRange {
    uint64_t Begin = 0;
    uint64_t End = 0;

    bool operator==(const TByteRange&) const = default;
};
using TByteRanges = std::vector<TByteRange>;

class TSegmentPlan {
public:
    // The least part split for a new connection: a shorter one ends before the new
    // connection has its answer.
    static constexpr uint64_t kLeastSplit = 1 << 20;

    // total: the file's size; written: the pieces already in the file (any order, overlaps
    // allowed; parts beyond total are dropped).
    explicit TSegmentPlan(uint64_t total, const TByteRanges& written = {});

    // A connection asking for asked; returns its number. It writes nothing until Verify. A
    // connection whose request has not gone out yet and whose part holds asked's first byte
    // ends its part there, so that the parts asked for at once do not overlap.
    int Open(TByteRange asked);
    // The part the connection's request asks for; from now on it is not shortened.
    TByteRange Send(int id);
    // The connection's answer is the part it asked for. False when its first byte is written
    // already (another connection came first): it is closed then and must not write.
    bool Verify(int id);
    // The connection's request has ended or has been given up; what it has not written is free
    // for the next connection.
    void Close(int id);

    // How many of length bytes the connection may write now, at Position.
    uint64_t Room(int id, uint64_t length) const;
    uint64_t Position(int id) const;
    void Written(int id, uint64_t count);
    // The connection has written all it may: up to what it asked for, or up to a byte another
    // proven connection holds.
    bool Reached(int id) const;
    // It stopped short of what it asked for: its request must be ended by hand.
    bool CutShort(int id) const;

    // The part a new connection asks for: the first bytes no one has written or is fetching,
    // else the second half of the largest part still being fetched, when at least leastSplit
    // of it is left; none when there is nothing to give.
    std::optional<TByteRange> NextPiece(uint64_t leastSplit = kLeastSplit) const;

    bool Done() const { return Have == Total; }
    uint64_t WrittenBytes() const { return Have; }
    uint64_t Size() const { return Total; }
    const TByteRanges& Pieces() const { return Complete; }
    int OpenCount() const;

private:
    struct TLink {
        TByteRange Asked;
        uint64_t At = 0;
        bool Verified = false;
        bool Open = true;
        bool Sent = false;
    };
    // Where the connection's writing ends: what it asked for, the next written byte, or the
    // first byte of another open connection (only proven ones, or all when provenOnly is false).
    uint64_t Reach(int id, bool provenOnly) const;
    bool IsWritten(uint64_t at) const;
    void Add(TByteRange piece);

    uint64_t Total;
    uint64_t Have = 0;
    TByteRanges Complete;  // sorted, merged
    std::vector<TLink> Links;
};
