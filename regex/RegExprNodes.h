// Layout of a compiled TRegExpr program: node kinds and the accessors both the compiler and the
// matcher use. A program is one byte block: the magic byte, then nodes of
// kind (1 byte) + next (signed 32-bit little-endian offset, 0 = end of chain) + operand.
// Kind numbers follow the classic table; 4, 5, 21, 22 (set flavours) and 14-17 never occur.
#pragma once

#include <cstdint>

enum class RegNode : uint8_t {
    End = 0,               // end of the program: success
    InputStart = 1,        // only at the start of the subject
    InputEnd = 2,          // only at the terminating NUL
    AnyChar = 3,           // any character except NUL
    Branch = 6,            // one alternative; its chain starts right after the head
    Back = 7,              // nothing; loop-back link
    Literal = 8,           // the operand string (NUL-terminated)
    Nothing = 9,           // the empty string
    Star = 10,             // greedy 0..max of a one-character operand that follows the head
    Plus = 11,             // greedy 1..max of a one-character operand
    Digit = 12,            // "0"-"9"
    NonDigit = 13,         // any character except NUL and "0"-"9"
    Braces = 18,           // greedy min..max of a one-character operand
    Comment = 19,          // nothing: comments, modifier groups, skipped white space
    LiteralNoCase = 20,    // the operand string, each character in either case
    LoopEntry = 23,        // nothing; starts a counted loop over a complex operand
    Loop = 24,             // end of a loop body, greedy
    SmallSet = 25,         // one of three operand bytes
    SmallSetNot = 26,      // any character except NUL and the three operand bytes
    FullSet = 27,          // a member of the 256-bit operand set (never NUL)
    BackRef = 28,          // the text captured by a group
    BackRefNoCase = 29,    // the captured text, each character in either case
    StarLazy = 30,         // non-greedy Star
    PlusLazy = 31,         // non-greedy Plus
    BracesLazy = 32,       // non-greedy Braces
    LoopLazy = 33,         // end of a loop body, non-greedy
    LineStart = 34,        // start of a line (multi-line mode)
    LineEnd = 35,          // end of a line (multi-line mode)
    AnyButSeparator = 36,  // any character except NUL and line separators
    WordBoundary = 37,     // "\b"
    NotWordBoundary = 38,  // "\B"
    GroupOpen = 39,        // GroupOpen + n (n = 1..14) records the start of group n
    GroupClose = 54,       // GroupClose + n records the end of group n
};

namespace regprog {

constexpr uint8_t kMagic = 216;
constexpr int kHeadSize = 5;           // kind + next
constexpr int kBracesOperandSize = 8;  // min, max
constexpr int32_t kStarMax = 2147483647;
constexpr int32_t kOpenBraceMax = 2147483646;

inline int32_t Read32(const uint8_t* p) {
    return static_cast<int32_t>(static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
                                static_cast<uint32_t>(p[2]) << 16 |
                                static_cast<uint32_t>(p[3]) << 24);
}

inline void Write32(uint8_t* p, int32_t value) {
    const auto v = static_cast<uint32_t>(value);
    p[0] = static_cast<uint8_t>(v);
    p[1] = static_cast<uint8_t>(v >> 8);
    p[2] = static_cast<uint8_t>(v >> 16);
    p[3] = static_cast<uint8_t>(v >> 24);
}

inline uint8_t Kind(const uint8_t* node) {
    return node[0];
}
inline const uint8_t* Operand(const uint8_t* node) {
    return node + kHeadSize;
}

inline const uint8_t* Next(const uint8_t* node) {
    const int32_t offset = Read32(node + 1);
    return offset == 0 ? nullptr : node + offset;
}

inline bool IsGroupOpen(uint8_t kind) {
    return kind > static_cast<uint8_t>(RegNode::GroupOpen) &&
           kind < static_cast<uint8_t>(RegNode::GroupOpen) + 15;
}
inline bool IsGroupClose(uint8_t kind) {
    return kind > static_cast<uint8_t>(RegNode::GroupClose) &&
           kind < static_cast<uint8_t>(RegNode::GroupClose) + 15;
}

inline bool SetHas(const uint8_t* bits, uint8_t c) {
    return (bits[c >> 3] >> (c & 7)) & 1;
}

}  // namespace regprog
