// Chunked body decoding; see TChunkedDecoder.h.
#include "http/TChunkedDecoder.h"

#include <algorithm>

#include "http/UrlHelpers.h"

void TChunkedDecoder::Fail(const char* Why) {
    FPhase = TPhase::Failed;
    FError = Why;
}

void TChunkedDecoder::SizeLineEnded() {
    FTaken = 0;
    FLineStarted = false;
    FPhase = FSize == 0 ? TPhase::Trailer : TPhase::Data;
}

std::int64_t TChunkedDecoder::Take(const char* Data, std::int64_t Len, const char*& Chunk,
                                   std::int64_t& ChunkLen) {
    Chunk = Data;
    ChunkLen = 0;
    std::int64_t at = 0;
    while (at < Len && !Finished()) {
        const char c = Data[at];
        switch (FPhase) {
            case TPhase::Size:
                if (IsHexChar(c)) {
                    if (FSize > (MaxChunkSize >> 4)) {
                        Fail("Chunk size too big");
                        return at;
                    }
                    FSize = FSize * 16 + HexCharValue(c);
                    FDigitSeen = true;
                } else if (!FDigitSeen) {
                    // "ILLEGAL" is no size, and certainly not the last chunk.
                    Fail("Bad chunk size");
                    return at;
                } else if (c == '\n') {
                    SizeLineEnded();
                } else if (c == ';' || c == ' ' || c == '\t' || c == '\r') {
                    FPhase = TPhase::Extension;
                } else {
                    Fail("Bad chunk size");
                    return at;
                }
                ++at;
                break;
            case TPhase::Extension:
                if (c == '\n') SizeLineEnded();
                ++at;
                break;
            case TPhase::Data: {
                const std::int64_t k = std::min(Len - at, FSize - FTaken);
                FTaken += k;
                if (FTaken == FSize) {
                    FPhase = TPhase::DataEnd;
                    FLineStarted = false;
                }
                Chunk = Data + at;
                ChunkLen = k;
                return at + k;
            }
            case TPhase::DataEnd:
                // Anything but CR LF here means the size did not describe the data.
                if (c == '\r' && !FLineStarted) {
                    FLineStarted = true;
                } else if (c == '\n') {
                    FPhase = TPhase::Size;
                    FSize = 0;
                    FDigitSeen = false;
                } else {
                    Fail("Chunk data longer than its size");
                    return at;
                }
                ++at;
                break;
            case TPhase::Trailer:
                if (c == '\n') {
                    if (!FLineStarted) FPhase = TPhase::Done;
                    FLineStarted = false;
                } else if (c != '\r') {
                    FLineStarted = true;
                }
                ++at;
                break;
            case TPhase::Done:
            case TPhase::Failed:
                break;
        }
    }
    return at;
}
