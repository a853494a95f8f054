// TRegExpr matcher: chooses attempt positions with the start hints and walks the program's node
// chains, recursing only at real choices (alternatives, groups, repetitions, loop iterations).
// Runs on the engine's thread; recursion is bounded by the thread's stack and a step budget.
#include <pthread.h>

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

// Lowest usable address of the calling thread's stack, 0 when unknown.
uintptr_t StackLow() {
    thread_local const uintptr_t low = [] {
        pthread_attr_t attr;
        if (pthread_getattr_np(pthread_self(), &attr) != 0) return uintptr_t{0};
        void* addr = nullptr;
        size_t size = 0;
        const int rc = pthread_attr_getstack(&attr, &addr, &size);
        pthread_attr_destroy(&attr);
        return rc == 0 ? reinterpret_cast<uintptr_t>(addr) : uintptr_t{0};
    }();
    return low;
}

// Room left below the deepest matcher frame for raising the error and for library calls (at
// most half of what the thread has left); the fallback depth when the stack is unknown.
constexpr uintptr_t kStackReserve = 256 * 1024;
constexpr uintptr_t kStackFallback = 512 * 1024;
constexpr uintptr_t kStackCeiling = 64u * 1024 * 1024;

}  // namespace

void TRegExpr::PrepareProgram() {
    if (program_ && modifiers_ != programModifiers_) DiscardProgram();
    std::memset(separatorSet_, 0, sizeof separatorSet_);
    for (char c : LineSeparatorChars) {
        const auto u = static_cast<unsigned char>(c);
        separatorSet_[u >> 3] |= static_cast<uint8_t>(1u << (u & 7));
    }
    if (!program_) {
        if (expression_.empty()) Error(1003);
        CompileProgram();
    }
    if (programSize_ == 0 || program_[0] != kMagic) Error(1004);
    if (LineSeparatorChars != startSetSeparators_) ComputeStartCharSet();
    std::memset(wordSet_, 0, sizeof wordSet_);
    for (char c : WordCharacters) {
        const auto u = static_cast<unsigned char>(c);
        wordSet_[u >> 3] |= static_cast<uint8_t>(1u << (u & 7));
    }
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
    const auto here = reinterpret_cast<uintptr_t>(__builtin_frame_address(0));
    const uintptr_t low = StackLow();
    if (low != 0 && low < here) {
        const uintptr_t reserve = std::min(kStackReserve, (here - low) / 2);
        stackLimit_ = std::max(low + reserve, here > kStackCeiling ? here - kStackCeiling : 0);
    } else {
        stackLimit_ = here > kStackFallback ? here - kStackFallback : 0;
    }

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
    if (!MatchPrim(program_.get() + 1)) return false;
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

bool TRegExpr::MatchRepeat(const uint8_t* scan, const uint8_t* next) {
    const uint8_t kind = Kind(scan);
    const uint8_t* op = Operand(scan);
    int32_t min = 0;
    int32_t max = kStarMax;
    bool lazy = false;
    switch (static_cast<RegNode>(kind)) {
        case RegNode::StarLazy:
            lazy = true;
            break;
        case RegNode::Plus:
            min = 1;
            break;
        case RegNode::PlusLazy:
            min = 1;
            lazy = true;
            break;
        case RegNode::Braces:
        case RegNode::BracesLazy:
            min = Read32(op);
            max = Read32(op + 4);
            lazy = kind == K(RegNode::BracesLazy);
            op += kBracesOperandSize;
            break;
        default:
            break;
    }
    const int lookAhead = next && Kind(next) == K(RegNode::Literal) ? Operand(next)[0] : -1;
    const Pos start = inputPos_;

    ptrdiff_t unit = 1;
    if (Kind(op) == K(RegNode::BackRef) || Kind(op) == K(RegNode::BackRefNoCase)) {
        const int group = Operand(op)[0];
        if (startp_[group] && endp_[group] && endp_[group] <= startp_[group]) {
            // An empty capture repeats without consuming anything: every count leaves the
            // position where it is, so one attempt stands for all of them.
            if (lookAhead >= 0 && *start != lookAhead) return false;
            return MatchPrim(next);
        }
        if (startp_[group] && endp_[group]) unit = endp_[group] - startp_[group];
    }

    const int top = Repeat(op, max);
    if (lazy) {
        for (ptrdiff_t count = min; count <= top; ++count) {
            Pos at = start + count * unit;
            if (lookAhead >= 0) {
                if (unit == 1) {
                    at = static_cast<Pos>(std::memchr(at, lookAhead, top - count + 1));
                    if (!at) return false;
                    count = at - start;
                } else if (*at != lookAhead) {
                    continue;
                }
            }
            inputPos_ = at;
            if (MatchPrim(next)) return true;
        }
        return false;
    }
    for (ptrdiff_t count = top; count >= min; --count) {
        Pos at = start + count * unit;
        if (lookAhead >= 0) {
            if (unit == 1) {
                at = static_cast<Pos>(memrchr(start + min, lookAhead, count - min + 1));
                if (!at) return false;
                count = at - start;
            } else if (*at != lookAhead) {
                continue;
            }
        }
        inputPos_ = at;
        if (MatchPrim(next)) return true;
    }
    return false;
}

bool TRegExpr::MatchPrim(const uint8_t* scan) {
    if (reinterpret_cast<uintptr_t>(__builtin_frame_address(0)) < stackLimit_)
        Error(ErrRecursionTooDeep);
    if (++steps_ > MatchStepLimit && MatchStepLimit > 0) Error(ErrStepLimit);

    while (scan) {
        const uint8_t kind = Kind(scan);
        const uint8_t* next = Next(scan);
        const uint8_t* op = Operand(scan);
        const unsigned char c = *inputPos_;
        switch (static_cast<RegNode>(kind)) {
            case RegNode::End:
                return true;
            case RegNode::InputStart:
                if (inputPos_ != inputStart_) return false;
                break;
            case RegNode::InputEnd:
                if (c != 0) return false;
                break;
            case RegNode::AnyChar:
                if (c == 0) return false;
                ++inputPos_;
                break;
            case RegNode::Digit:
                if (!IsDigitChar(c)) return false;
                ++inputPos_;
                break;
            case RegNode::NonDigit:
                if (c == 0 || IsDigitChar(c)) return false;
                ++inputPos_;
                break;
            case RegNode::SmallSet:
                if (c == 0 || (c != op[0] && c != op[1] && c != op[2])) return false;
                ++inputPos_;
                break;
            case RegNode::SmallSetNot:
                if (c == 0 || c == op[0] || c == op[1] || c == op[2]) return false;
                ++inputPos_;
                break;
            case RegNode::FullSet:
                if (c == 0 || !SetHas(op, c)) return false;
                ++inputPos_;
                break;
            case RegNode::AnyButSeparator:
                if (c == 0 || IsSeparator(c)) return false;
                if (pairAssigned_ && c == pairHead_ && inputPos_[1] == pairTail_) return false;
                ++inputPos_;
                break;
            case RegNode::Literal: {
                // A literal NUL (from "\x00") never matches: NUL only ends the subject.
                if (op[0] == 0 || c != op[0]) return false;
                Pos s = inputPos_ + 1;
                for (const uint8_t* o = op + 1; *o; ++o, ++s)
                    if (*s != *o) return false;
                inputPos_ = s;
                break;
            }
            case RegNode::LiteralNoCase: {
                if (op[0] == 0) return false;
                Pos s = inputPos_;
                for (const uint8_t* o = op; *o; ++o, ++s)
                    if (*s == 0 || (*s != *o && *s != flipTable_[*o])) return false;
                inputPos_ = s;
                break;
            }
            case RegNode::LineStart: {
                if (inputPos_ == inputStart_) break;
                const unsigned char prev = inputPos_[-1];
                if (pairAssigned_ && prev == pairTail_ && inputPos_ - 2 >= inputStart_ &&
                    inputPos_[-2] == pairHead_)
                    break;
                if (pairAssigned_ && prev == pairHead_ && c == pairTail_) return false;
                if (!IsSeparator(prev)) return false;
                break;
            }
            case RegNode::LineEnd: {
                if (c == 0) break;
                if (pairAssigned_ && c == pairHead_ && inputPos_[1] == pairTail_) break;
                if (pairAssigned_ && c == pairTail_ && inputPos_ > inputStart_ &&
                    inputPos_[-1] == pairHead_)
                    return false;
                if (!IsSeparator(c)) return false;
                break;
            }
            case RegNode::WordBoundary:
            case RegNode::NotWordBoundary: {
                const bool prevWord = inputPos_ > inputStart_ && IsWordChar(inputPos_[-1]);
                const bool curWord = c != 0 && IsWordChar(c);
                const bool boundary = prevWord != curWord;
                if (boundary != (kind == K(RegNode::WordBoundary))) return false;
                break;
            }
            case RegNode::BackRef:
            case RegNode::BackRefNoCase:
                if (!MatchBackRef(op[0], kind == K(RegNode::BackRefNoCase))) return false;
                break;
            case RegNode::Nothing:
            case RegNode::Comment:
            case RegNode::Back:
                break;
            case RegNode::Branch: {
                if (!next || Kind(next) != K(RegNode::Branch)) {
                    next = op;  // a single alternative needs no choice point
                    break;
                }
                const Pos save = inputPos_;
                for (const uint8_t* alt = scan; alt && Kind(alt) == K(RegNode::Branch);
                     alt = Next(alt)) {
                    if (MatchPrim(Operand(alt))) return true;
                    inputPos_ = save;
                }
                return false;
            }
            case RegNode::Star:
            case RegNode::Plus:
            case RegNode::Braces:
            case RegNode::StarLazy:
            case RegNode::PlusLazy:
            case RegNode::BracesLazy:
                return MatchRepeat(scan, next);
            case RegNode::LoopEntry: {
                if (loopDepth_ >= LoopStackMax) Error(1014);
                const int32_t depth = loopDepth_;
                const Pos save = inputPos_;
                loopCounters_[++loopDepth_] = 0;
                const bool matched = MatchPrim(next);
                loopDepth_ = depth;
                if (!matched) inputPos_ = save;
                return matched;
            }
            case RegNode::Loop:
            case RegNode::LoopLazy: {
                // A failed attempt leaves depth, counter and position as it found them, so
                // alternatives tried afterwards see the loop state they started with.
                const int32_t depth = loopDepth_;
                if (depth <= 0) Error(1015);
                const int32_t k = loopCounters_[depth];
                const int32_t min = Read32(op);
                const int32_t max = Read32(op + 4);
                const uint8_t* body = scan - Read32(op + 8);
                const Pos save = inputPos_;
                auto restore = [&] {
                    loopDepth_ = depth;
                    loopCounters_[depth] = k;
                    inputPos_ = save;
                };
                auto tryBody = [&] {
                    loopCounters_[depth] = k + 1;
                    if (MatchPrim(body)) return true;
                    restore();
                    return false;
                };
                auto tryRest = [&] {
                    loopDepth_ = depth - 1;
                    if (MatchPrim(next)) return true;
                    restore();
                    return false;
                };
                if (k < min) return tryBody();
                if (kind == K(RegNode::Loop)) {
                    if (k < max && tryBody()) return true;
                    return tryRest();
                }
                if (tryRest()) return true;
                return k < max && tryBody();
            }
            default:
                if (IsGroupOpen(kind)) {
                    const int n = kind - K(RegNode::GroupOpen);
                    const Pos saved = startp_[n];
                    startp_[n] = inputPos_;
                    if (MatchPrim(next)) return true;
                    startp_[n] = saved;
                    return false;
                }
                if (IsGroupClose(kind)) {
                    const int n = kind - K(RegNode::GroupClose);
                    const Pos saved = endp_[n];
                    endp_[n] = inputPos_;
                    if (MatchPrim(next)) return true;
                    endp_[n] = saved;
                    return false;
                }
                Error(1001);
        }
        scan = next;
    }
    Error(1002);
}
