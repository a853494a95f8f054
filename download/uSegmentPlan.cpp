// The pieces of a file fetched over several connections; see uSegmentPlan.h.
#include "download/uSegmentPlan.h"

#include <algorithm>

TSegmentPlan::TSegmentPlan(uint64_t total, const TByteRanges& written) : Total(total) {
    for (const TByteRange& piece : written) {
        const uint64_t end = std::min(piece.End, Total);
        if (piece.Begin < end) Add({piece.Begin, end});
    }
}

int TSegmentPlan::Open(TByteRange asked) {
    for (TLink& link : Links) {
        if (link.Open && !link.Sent && link.Asked.Begin < asked.Begin &&
            asked.Begin < link.Asked.End)
            link.Asked.End = asked.Begin;
    }
    Links.push_back({asked, asked.Begin});
    return static_cast<int>(Links.size()) - 1;
}

TByteRange TSegmentPlan::Send(int id) {
    Links[id].Sent = true;
    return Links[id].Asked;
}

bool TSegmentPlan::Verify(int id) {
    TLink& link = Links[id];
    if (IsWritten(link.At) || Reach(id, true) <= link.At) {
        link.Open = false;
        return false;
    }
    link.Verified = true;
    return true;
}

void TSegmentPlan::Close(int id) {
    Links[id].Open = false;
}

uint64_t TSegmentPlan::Room(int id, uint64_t length) const {
    const TLink& link = Links[id];
    if (!link.Open || !link.Verified) return 0;
    return std::min(length, Reach(id, true) - link.At);
}

uint64_t TSegmentPlan::Position(int id) const {
    return Links[id].At;
}

void TSegmentPlan::Written(int id, uint64_t count) {
    TLink& link = Links[id];
    Add({link.At, link.At + count});
    link.At += count;
}

bool TSegmentPlan::Reached(int id) const {
    return Links[id].Verified && Links[id].At >= Reach(id, true);
}

bool TSegmentPlan::CutShort(int id) const {
    return Reached(id) && Links[id].At < Links[id].Asked.End;
}

std::optional<TByteRange> TSegmentPlan::NextPiece(uint64_t leastSplit) const {
    // Fetched by no one: bytes not written and outside every open connection's reach.
    TByteRanges held = Complete;
    for (int id = 0; id < static_cast<int>(Links.size()); ++id) {
        if (Links[id].Open) held.push_back({Links[id].At, Reach(id, false)});
    }
    std::sort(held.begin(), held.end(),
              [](const TByteRange& a, const TByteRange& b) { return a.Begin < b.Begin; });
    uint64_t at = 0;
    for (const TByteRange& h : held) {
        if (h.Begin > at) return TByteRange{at, h.Begin};
        at = std::max(at, h.End);
    }
    if (at < Total) return TByteRange{at, Total};
    int largest = -1;
    uint64_t most = 0;
    for (int id = 0; id < static_cast<int>(Links.size()); ++id) {
        if (!Links[id].Open) continue;
        const uint64_t left = Reach(id, false) - Links[id].At;
        if (left > most) {
            most = left;
            largest = id;
        }
    }
    if (largest < 0 || most < std::max(leastSplit, kLeastSplit)) return std::nullopt;
    const uint64_t middle = Links[largest].At + most / 2;
    return TByteRange{middle, Links[largest].At + most};
}

int TSegmentPlan::OpenCount() const {
    return static_cast<int>(
        std::count_if(Links.begin(), Links.end(), [](const TLink& l) { return l.Open; }));
}

uint64_t TSegmentPlan::Reach(int id, bool provenOnly) const {
    const TLink& link = Links[id];
    if (IsWritten(link.At)) return link.At;
    uint64_t reach = std::min(link.Asked.End, Total);
    const auto next =
        std::upper_bound(Complete.begin(), Complete.end(), link.At,
                         [](uint64_t at, const TByteRange& piece) { return at < piece.Begin; });
    if (next != Complete.end()) reach = std::min(reach, next->Begin);
    for (int other = 0; other < static_cast<int>(Links.size()); ++other) {
        const TLink& o = Links[other];
        if (other == id || !o.Open || (provenOnly && !o.Verified)) continue;
        if (o.Asked.Begin >= link.At) reach = std::min(reach, o.Asked.Begin);
    }
    return std::max(reach, link.At);
}

bool TSegmentPlan::IsWritten(uint64_t at) const {
    const auto next = std::upper_bound(
        Complete.begin(), Complete.end(), at,
        [](uint64_t value, const TByteRange& piece) { return value < piece.Begin; });
    return next != Complete.begin() && std::prev(next)->End > at;
}

void TSegmentPlan::Add(TByteRange piece) {
    if (piece.Begin >= piece.End) return;
    // The pieces around it that it touches or overlaps merge into one.
    auto first =
        std::lower_bound(Complete.begin(), Complete.end(), piece.Begin,
                         [](const TByteRange& p, uint64_t begin) { return p.End < begin; });
    auto last = first;
    TByteRange merged = piece;
    while (last != Complete.end() && last->Begin <= piece.End) {
        merged.Begin = std::min(merged.Begin, last->Begin);
        merged.End = std::max(merged.End, last->End);
        Have -= last->End - last->Begin;
        ++last;
    }
    first = Complete.erase(first, last);
    Complete.insert(first, merged);
    Have += merged.End - merged.Begin;
}
