// TRegExpr matcher: chooses attempt positions with the start hints and walks the program's node
// chains. Choices (alternatives, repetitions, loop iterations) and the state they must restore
// (group bounds, loop counters) go on a backtracking stack on the heap, bounded by
// MatchStackLimit, so the depth of a search does not depend on the thread's stack. Runs on the
// engine's thread.
#include <algorithm>
#include <cstring>

#include "regex/RegExprNodes.h"
#include "regex/TRegExpr.h"

using namespace regprog;

namespace {

constexpr uint8_t K(RegNode kind) {
    return static_cast<uint8_t>(kind);
}

bool IsDigitChar(unsigned char c) {
    return c >= '0' && c <= '9';
}

// A stack larger than this is given back after the search instead of kept for the next one.
constexpr size_t kKeptStackBytes = 1 << 20;

}  // namespace

namespace {

// Turns a character string into its 256-bit set; `source` remembers the string the set was
// made from, so an unchanged string costs one comparison.
void BuildSet(const std::string& chars, std::string& source, uint8_t* set) {
    if (chars == source) return;
    std::memset(set, 0, 32);
    for (char c : chars) {
        const auto u = static_cast<unsigned char>(c);
        set[u >> 3] |= static_cast<uint8_t>(1u << (u & 7));
    }
    source = chars;
}

}  // namespace

void TRegExpr::PrepareProgram() {
    if (program_ && modifiers_ != programModifiers_) DiscardProgram();
    BuildSet(LineSeparatorChars, separatorSource_, separatorSet_);
    if (!program_) {
        if (expression_.empty()) Error(1003);
        CompileProgram();
    }
    if (programSize_ == 0 || program_[0] != kMagic) Error(1004);
    if (LineSeparatorChars != startSetSeparators_) ComputeStartCharSet();
    BuildSet(WordCharacters, wordSource_, wordSet_);
    if (usesNoCase_) {
        for (int c = 0; c < 256; ++c) flipTable_[c] = Flip(static_cast<unsigned char>(c));
    }
}

bool TRegExpr::ExecPos(int offset) {
    ClearGroups();
    PrepareProgram();
    if (!hasInput_) Error(1005);
    if (offset < 1) Error(1006);
    const auto length = static_cast<size_t>(inputEnd_ - inputStart_);
    if (static_cast<size_t>(offset) > length + 1) return false;
    Pos p = inputStart_ + (offset - 1);

    const bool hints = UseHints;
    if (hints && mustString_) {
        if (!memmem(p, inputEnd_ - p, program_.get() + mustString_, mustLength_)) return false;
    }
    lastStart_ = inputEnd_;
    if (hints && requiredLiteral_ && !FindLastRequired(p)) return false;

    loopDepth_ = 0;
    maxFrames_ = MatchStackLimit > 0 ? static_cast<size_t>(MatchStackLimit) / sizeof(Frame)
                                     : stack_.max_size();
    struct ReleaseStack {
        std::vector<Frame>& stack;
        ~ReleaseStack() {
            if (stack.capacity() * sizeof(Frame) > kKeptStackBytes)
                std::vector<Frame>().swap(stack);
        }
    } release{stack_};

    const Pos stop = lastStart_;  // the last start that can still reach the required literal
    try {
        if (!hints) {
            for (Pos q = p; q <= stop; ++q)
                if (TryAt(q)) return true;
            return false;
        }
        if (anchored_) return TryAt(p);
        if (startChar_) {
            for (Pos q = p; q <= stop; ++q) {
                q = static_cast<Pos>(std::memchr(q, startChar_, stop + 1 - q));
                if (!q) return false;
                if (TryAt(q)) return true;
            }
            return false;
        }
        for (Pos q = p; q <= stop; ++q)
            if (InStartCharSet(*q) && TryAt(q)) return true;
        return false;
    } catch (...) {
        ClearGroups();
        throw;
    }
}

// Sets lastStart_ from the last occurrence of the required literal, found once per subject and
// program by a search from the end; false when no start at or after `from` can reach one.
bool TRegExpr::FindLastRequired(Pos from) {
    if (requiredLast_ == kRequiredUnknown) {
        requiredLast_ = kRequiredAbsent;
        const uint8_t* literal = program_.get() + requiredLiteral_;
        const ptrdiff_t length = requiredLength_;
        // Candidate starts of the literal lie in [low, low + room].
        const ptrdiff_t room = inputEnd_ - inputStart_ - length - requiredOffset_;
        const Pos low = room >= 0 ? inputStart_ + requiredOffset_ : nullptr;
        for (ptrdiff_t span = room + 1; span > 0;) {
            const auto* at = static_cast<Pos>(memrchr(low, literal[0], span));
            if (!at) break;
            if (std::memcmp(at, literal, length) == 0) {
                requiredLast_ = at - inputStart_;
                break;
            }
            span = at - low;
        }
    }
    if (requiredLast_ == kRequiredAbsent || requiredLast_ - requiredOffset_ < from - inputStart_)
        return false;
    lastStart_ = inputStart_ + (requiredLast_ - requiredOffset_);
    return true;
}

bool TRegExpr::TryAt(Pos at) {
    inputPos_ = at;
    steps_ = 0;
    stack_.clear();
    if (!Run(program_.get() + 1)) return false;
    startp_[0] = at;
    endp_[0] = inputPos_;
    return true;
}

bool TRegExpr::MatchBackRef(int group, bool noCase) {
    const Pos begin = startp_[group];
    const Pos end = endp_[group];
    if (!begin || !end) return false;
    if (end <= begin) return true;
    const ptrdiff_t len = end - begin;
    if (inputEnd_ - inputPos_ < len) return false;
    if (noCase) {
        for (ptrdiff_t i = 0; i < len; ++i) {
            const unsigned char c = inputPos_[i];
            if (c != begin[i] && c != flipTable_[begin[i]]) return false;
        }
    } else if (std::memcmp(inputPos_, begin, len) != 0) {
        return false;
    }
    inputPos_ += len;
    return true;
}

// Counts consecutive matches of a one-character operand (or copies of a captured text) from
// the current position, at most `max`, and moves the position after them.
int TRegExpr::Repeat(const uint8_t* op, int max) {
    const Pos s = inputPos_;
    const ptrdiff_t left = inputEnd_ - s;
    const ptrdiff_t limit = std::min<ptrdiff_t>(max, left);
    const uint8_t* operand = Operand(op);
    ptrdiff_t n = 0;
    switch (static_cast<RegNode>(Kind(op))) {
        case RegNode::AnyChar:
            n = limit;  // the subject copy holds no NUL before its end
            break;
        case RegNode::Literal: {
            const unsigned char c = operand[0];
            while (n < limit && s[n] == c) ++n;
            break;
        }
        case RegNode::LiteralNoCase: {
            const unsigned char c = operand[0];
            const unsigned char f = flipTable_[c];
            while (n < limit && (s[n] == c || s[n] == f)) ++n;
            break;
        }
        case RegNode::Digit:
            while (n < limit && IsDigitChar(s[n])) ++n;
            break;
        case RegNode::NonDigit:
            while (n < limit && !IsDigitChar(s[n])) ++n;
            break;
        case RegNode::SmallSet:
            while (n < limit && (s[n] == operand[0] || s[n] == operand[1] || s[n] == operand[2]))
                ++n;
            break;
        case RegNode::SmallSetNot:
            while (n < limit && s[n] != operand[0] && s[n] != operand[1] && s[n] != operand[2]) ++n;
            break;
        case RegNode::FullSet:
            while (n < limit && SetHas(operand, s[n])) ++n;
            break;
        case RegNode::BackRef:
        case RegNode::BackRefNoCase: {
            const bool noCase = Kind(op) == K(RegNode::BackRefNoCase);
            while (n < max && MatchBackRef(operand[0], noCase)) ++n;
            return static_cast<int>(n);
        }
        default:
            Error(1000);
    }
    inputPos_ = s + n;
    return static_cast<int>(n);
}

namespace {

// A repetition node decoded: its operand, bounds, and the first character of a following
// literal, which every continuation must begin with (-1 when there is none).
struct RepeatShape {
    const uint8_t* op;
    int32_t min;
    int32_t max;
    bool lazy;
    int lookAhead;
};

RepeatShape ShapeOf(const uint8_t* scan) {
    RepeatShape r{Operand(scan), 0, kStarMax, false, -1};
    switch (static_cast<RegNode>(Kind(scan))) {
        case RegNode::StarLazy:
            r.lazy = true;
            break;
        case RegNode::Plus:
            r.min = 1;
            break;
        case RegNode::PlusLazy:
            r.min = 1;
            r.lazy = true;
            break;
        case RegNode::Braces:
        case RegNode::BracesLazy:
            r.min = Read32(r.op);
            r.max = Read32(r.op + 4);
            r.lazy = Kind(scan) == K(RegNode::BracesLazy);
            r.op += kBracesOperandSize;
            break;
        default:
            break;
    }
    const uint8_t* next = Next(scan);
    if (next && Kind(next) == K(RegNode::Literal)) r.lookAhead = Operand(next)[0];
    return r;
}

bool IsBackRef(const uint8_t* op) {
    return Kind(op) == K(RegNode::BackRef) || Kind(op) == K(RegNode::BackRefNoCase);
}

}  // namespace

// Length of one repetition of the operand: a back-reference repeats its whole capture.
ptrdiff_t TRegExpr::RepeatUnit(const uint8_t* op) const {
    if (!IsBackRef(op)) return 1;
    const int group = Operand(op)[0];
    if (startp_[group] && endp_[group] && endp_[group] > startp_[group])
        return endp_[group] - startp_[group];
    return 1;
}

// The first position from `from` towards `limit` (down for greedy, up for lazy, in steps of
// `unit`) where the rest may be tried; null when there is none.
TRegExpr::Pos TRegExpr::RepeatCandidate(Pos from, Pos limit, ptrdiff_t unit, int lookAhead,
                                        bool lazy) const {
    if (lazy ? from > limit : from < limit) return nullptr;
    if (lookAhead < 0) return from;
    if (unit == 1) {
        return lazy ? static_cast<Pos>(std::memchr(from, lookAhead, limit - from + 1))
                    : static_cast<Pos>(memrchr(limit, lookAhead, from - limit + 1));
    }
    const ptrdiff_t count = (lazy ? limit - from : from - limit) / unit;
    for (ptrdiff_t i = 0; i <= count; ++i) {
        const Pos at = lazy ? from + i * unit : from - i * unit;
        if (*at == lookAhead) return at;
    }
    return nullptr;
}

// The first alternative from `alt` on that does not begin with a literal other than `c`: the
// others would fail at once, so they get no choice point. Null when none is left.
const uint8_t* TRegExpr::ViableAlternative(const uint8_t* alt, unsigned char c) {
    for (; alt && Kind(alt) == K(RegNode::Branch); alt = Next(alt)) {
        const uint8_t* first = Operand(alt);
        if (Kind(first) != K(RegNode::Literal) || Operand(first)[0] == c) return alt;
    }
    return nullptr;
}

[[gnu::always_inline]] inline void TRegExpr::Push(FrameType type, const uint8_t* node, Pos pos,
                                                  int a, int b) {
    CountStep();
    if (stack_.size() >= maxFrames_) Error(ErrStackBudget);
    stack_.push_back(Frame{pos, node ? static_cast<int32_t>(node - program_.get()) : 0, type,
                           static_cast<uint8_t>(a), static_cast<uint8_t>(b)});
}

// Changes the loop depth and one counter, keeping the old values for backtracking.
[[gnu::always_inline]] inline void TRegExpr::SetLoopState(int32_t depth, int32_t index,
                                                          int32_t counter) {
    CountStep();
    if (stack_.size() >= maxFrames_) Error(ErrStackBudget);
    stack_.push_back(Frame{nullptr, loopCounters_[index], kUndoLoop,
                           static_cast<uint8_t>(loopDepth_), static_cast<uint8_t>(index)});
    loopDepth_ = depth;
    loopCounters_[index] = counter;
}

// Runs the rest after a repetition of a one-character operand (or a back-reference) from its
// first candidate count, leaving the others on the stack; false when no count can do.
bool TRegExpr::StartRepeat(const uint8_t* scan) {
    const RepeatShape r = ShapeOf(scan);
    const Pos start = inputPos_;
    if (IsBackRef(r.op)) {
        const int group = Operand(r.op)[0];
        if (startp_[group] && endp_[group] && endp_[group] <= startp_[group]) {
            // An empty capture repeats without consuming anything: every count leaves the
            // position where it is, so one attempt stands for all of them.
            return r.lookAhead < 0 || *start == r.lookAhead;
        }
    }
    const ptrdiff_t unit = RepeatUnit(r.op);
    const int top = Repeat(r.op, r.max);
    if (top < r.min) return false;
    const Pos low = start + static_cast<ptrdiff_t>(r.min) * unit;
    const Pos high = start + static_cast<ptrdiff_t>(top) * unit;
    const Pos limit = r.lazy ? high : low;
    const Pos first = RepeatCandidate(r.lazy ? low : high, limit, unit, r.lookAhead, r.lazy);
    if (!first) return false;
    if (first != limit) {
        Push(kRepeatLimit, nullptr, limit);
        Push(r.lazy ? kLazy : kGreedy, scan, first);
    }
    inputPos_ = first;
    return true;
}

// Undoes state changes down to the latest choice and resumes it at `scan`; false when no
// choice is left.
bool TRegExpr::Backtrack(const uint8_t*& scan) {
    const uint8_t* prog = program_.get();
    while (!stack_.empty()) {
        Frame& f = stack_.back();
        const uint8_t* node = prog + f.node;
        switch (f.type) {
            case kUndoStart:
                startp_[f.a] = f.pos;
                break;
            case kUndoEnd:
                endp_[f.a] = f.pos;
                break;
            case kUndoLoop:
                loopDepth_ = f.a;
                loopCounters_[f.b] = f.node;
                break;
            case kAlt: {
                const Pos at = f.pos;
                stack_.pop_back();
                inputPos_ = at;
                if (const uint8_t* other = ViableAlternative(Next(node), *at))
                    Push(kAlt, other, at);
                scan = Operand(node);
                return true;
            }
            case kGreedy:
            case kLazy: {
                const RepeatShape r = ShapeOf(node);
                const ptrdiff_t unit = RepeatUnit(r.op);
                const Pos limit = stack_[stack_.size() - 2].pos;
                const Pos at = f.pos;
                Pos candidate = nullptr;
                if (r.lazy ? limit - at >= unit : at - limit >= unit)
                    candidate = RepeatCandidate(r.lazy ? at + unit : at - unit, limit, unit,
                                                r.lookAhead, r.lazy);
                if (!candidate || candidate == limit) {
                    stack_.pop_back();
                    stack_.pop_back();
                    if (!candidate) continue;
                } else {
                    f.pos = candidate;
                }
                CountStep();
                inputPos_ = candidate;
                scan = Next(node);
                return true;
            }
            case kLoopRest:
            case kLoopBody: {
                const bool rest = f.type == kLoopRest;
                inputPos_ = f.pos;
                stack_.pop_back();
                const int32_t depth = loopDepth_;
                const int32_t k = loopCounters_[depth];
                if (rest) {
                    SetLoopState(depth - 1, depth, k);
                    scan = Next(node);
                } else {
                    SetLoopState(depth, depth, k + 1);
                    scan = node - Read32(Operand(node) + 8);
                }
                return true;
            }
            default:  // kRepeatLimit lies under its repetition and is removed with it
                Error(1001);
        }
        stack_.pop_back();
    }
    return false;
}

// Matches one node at the current position; `next` is where matching goes on (a node may
// redirect it). False on a mismatch.
// Inlined into Run, the one caller, so the node loop keeps its state in registers.
[[gnu::always_inline]] inline bool TRegExpr::Step(const uint8_t* scan, const uint8_t*& next) {
    const uint8_t kind = Kind(scan);
    const uint8_t* op = Operand(scan);
    const unsigned char c = *inputPos_;
    switch (static_cast<RegNode>(kind)) {
        case RegNode::InputStart:
            return inputPos_ == inputStart_;
        case RegNode::InputEnd:
            return c == 0;
        case RegNode::AnyChar:
            if (c == 0) return false;
            ++inputPos_;
            return true;
        case RegNode::Digit:
            if (!IsDigitChar(c)) return false;
            ++inputPos_;
            return true;
        case RegNode::NonDigit:
            if (c == 0 || IsDigitChar(c)) return false;
            ++inputPos_;
            return true;
        case RegNode::SmallSet:
            if (c == 0 || (c != op[0] && c != op[1] && c != op[2])) return false;
            ++inputPos_;
            return true;
        case RegNode::SmallSetNot:
            if (c == 0 || c == op[0] || c == op[1] || c == op[2]) return false;
            ++inputPos_;
            return true;
        case RegNode::FullSet:
            if (c == 0 || !SetHas(op, c)) return false;
            ++inputPos_;
            return true;
        case RegNode::AnyButSeparator:
            if (c == 0 || IsSeparator(c)) return false;
            if (pairAssigned_ && c == pairHead_ && inputPos_[1] == pairTail_) return false;
            ++inputPos_;
            return true;
        case RegNode::Literal: {
            // A literal NUL (from "\x00") never matches: NUL only ends the subject.
            if (op[0] == 0 || c != op[0]) return false;
            Pos s = inputPos_ + 1;
            for (const uint8_t* o = op + 1; *o; ++o, ++s)
                if (*s != *o) return false;
            inputPos_ = s;
            return true;
        }
        case RegNode::LiteralNoCase: {
            if (op[0] == 0) return false;
            Pos s = inputPos_;
            for (const uint8_t* o = op; *o; ++o, ++s)
                if (*s == 0 || (*s != *o && *s != flipTable_[*o])) return false;
            inputPos_ = s;
            return true;
        }
        case RegNode::LineStart: {
            if (inputPos_ == inputStart_) return true;
            const unsigned char prev = inputPos_[-1];
            if (pairAssigned_ && prev == pairTail_ && inputPos_ - 2 >= inputStart_ &&
                inputPos_[-2] == pairHead_)
                return true;
            if (pairAssigned_ && prev == pairHead_ && c == pairTail_) return false;
            return IsSeparator(prev);
        }
        case RegNode::LineEnd: {
            if (c == 0) return true;
            if (pairAssigned_ && c == pairHead_ && inputPos_[1] == pairTail_) return true;
            if (pairAssigned_ && c == pairTail_ && inputPos_ > inputStart_ &&
                inputPos_[-1] == pairHead_)
                return false;
            return IsSeparator(c);
        }
        case RegNode::WordBoundary:
        case RegNode::NotWordBoundary: {
            const bool prevWord = inputPos_ > inputStart_ && IsWordChar(inputPos_[-1]);
            const bool curWord = c != 0 && IsWordChar(c);
            return (prevWord != curWord) == (kind == K(RegNode::WordBoundary));
        }
        case RegNode::BackRef:
        case RegNode::BackRefNoCase:
            return MatchBackRef(op[0], kind == K(RegNode::BackRefNoCase));
        case RegNode::Nothing:
        case RegNode::Comment:
        case RegNode::Back:
            return true;
        case RegNode::Branch: {
            // A single alternative needs no choice point.
            if (!next || Kind(next) != K(RegNode::Branch)) {
                next = op;
                return true;
            }
            const uint8_t* alt = ViableAlternative(scan, c);
            if (!alt) return false;
            if (const uint8_t* other = ViableAlternative(Next(alt), c))
                Push(kAlt, other, inputPos_);
            next = Operand(alt);
            return true;
        }
        case RegNode::Star:
        case RegNode::Plus:
        case RegNode::Braces:
        case RegNode::StarLazy:
        case RegNode::PlusLazy:
        case RegNode::BracesLazy:
            return StartRepeat(scan);
        case RegNode::LoopEntry:
            if (loopDepth_ >= LoopStackMax) Error(1014);
            SetLoopState(loopDepth_ + 1, loopDepth_ + 1, 0);
            return true;
        case RegNode::Loop:
        case RegNode::LoopLazy: {
            const int32_t depth = loopDepth_;
            if (depth <= 0) Error(1015);
            const int32_t k = loopCounters_[depth];
            const int32_t min = Read32(op);
            const int32_t max = Read32(op + 4);
            const uint8_t* body = scan - Read32(op + 8);
            if (k < min) {
                SetLoopState(depth, depth, k + 1);
                next = body;
            } else if (kind == K(RegNode::Loop)) {
                // Greedy: one more iteration first, leaving the loop as the fallback.
                if (k < max) {
                    Push(kLoopRest, scan, inputPos_);
                    SetLoopState(depth, depth, k + 1);
                    next = body;
                } else {
                    SetLoopState(depth - 1, depth, k);
                }
            } else {
                // Lazy: leave the loop first, one more iteration as the fallback.
                if (k < max) Push(kLoopBody, scan, inputPos_);
                SetLoopState(depth - 1, depth, k);
            }
            return true;
        }
        default:
            if (IsGroupOpen(kind)) {
                const int n = kind - K(RegNode::GroupOpen);
                Push(kUndoStart, nullptr, startp_[n], n);
                startp_[n] = inputPos_;
                return true;
            }
            if (IsGroupClose(kind)) {
                const int n = kind - K(RegNode::GroupClose);
                Push(kUndoEnd, nullptr, endp_[n], n);
                endp_[n] = inputPos_;
                return true;
            }
            Error(1001);
    }
}

bool TRegExpr::Run(const uint8_t* scan) {
    for (;;) {
        if (!scan) Error(1002);
        if (Kind(scan) == K(RegNode::End)) return true;
        const uint8_t* next = Next(scan);
        if (!Step(scan, next) && (stack_.empty() || !Backtrack(next))) return false;
        scan = next;
    }
}
