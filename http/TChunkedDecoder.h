// Decoder of a chunked message body (sizes, extensions, data, the line end after each chunk and
// the trailer section). Its whole state is a few fields, so input may be split anywhere. Owned
// by the engine's response record and used on the engine's thread; it never copies data.
#pragma once

#include <cstdint>

class TChunkedDecoder {
public:
    enum class TPhase {
        Size,       // hexadecimal digits of the next chunk's size
        Extension,  // after the size: extensions and blanks up to the line end
        Data,       // the chunk's bytes
        DataEnd,    // the CR LF that must follow the chunk's bytes
        Trailer,    // trailer lines after the last chunk, up to the empty line
        Done,       // the empty line after the last chunk has been read
        Failed,     // the framing cannot be trusted; Error() says why
    };

    // Sizes beyond this are refused rather than trusted to fit the counters.
    static constexpr std::int64_t MaxChunkSize = std::int64_t(1) << 60;

    void Reset() { *this = TChunkedDecoder(); }

    // Consumes bytes from Data up to Len and returns how many it took. It stops right after a
    // run of chunk data (named by Chunk and ChunkLen, a part of Data; ChunkLen 0 when the call
    // took none), when the body is done, and when it failed.
    std::int64_t Take(const char* Data, std::int64_t Len, const char*& Chunk,
                      std::int64_t& ChunkLen);

    TPhase Phase() const { return FPhase; }
    bool Finished() const { return FPhase == TPhase::Done || FPhase == TPhase::Failed; }
    // Every chunk's data has arrived (the trailer may still be missing).
    bool DataComplete() const { return FPhase == TPhase::Trailer || FPhase == TPhase::Done; }
    const char* Error() const { return FError; }

private:
    void Fail(const char* Why);
    void SizeLineEnded();

    TPhase FPhase = TPhase::Size;
    std::int64_t FSize = 0;
    std::int64_t FTaken = 0;
    bool FDigitSeen = false;
    // DataEnd: the CR was seen; Trailer: the current line holds something.
    bool FLineStarted = false;
    const char* FError = "";
};
