// TRegExpr: backtracking regular-expression engine over 8-bit text. A pattern compiles into one
// program block (RegExprNodes.h) that the matcher walks against a subject copy. An engine is used
// by one thread at a time and owns its pattern copy, subject copy and program; engines share
// nothing. Every failure is raised as ERegExpr.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

class ERegExpr : public std::runtime_error {
public:
    ERegExpr(const std::string& message, int number, int position)
        : std::runtime_error(message), ErrorNumber(number), ErrorPosition(position) {}
    int ErrorNumber;
    int ErrorPosition;  // pattern characters consumed when a compile error arose, else 0
};

class TRegExpr {
public:
    static constexpr int NSubExp = 15;       // group 0 (whole match) and groups 1-14
    static constexpr int LoopStackMax = 10;  // nested counted loops while matching

    // Modifier bits.
    static constexpr int ModI = 1;   // case-insensitive
    static constexpr int ModR = 2;   // code-page 1251 Cyrillic ranges in sets
    static constexpr int ModS = 4;   // "." matches line separators too
    static constexpr int ModG = 8;   // greedy quantifiers
    static constexpr int ModM = 16;  // multi-line anchors
    static constexpr int ModX = 32;  // extended syntax: white space and "#" comments

    // Errors this engine adds to the classic table: the search ends instead of growing its
    // backtracking stack beyond MatchStackLimit, or instead of backtracking for an unbounded time.
    static constexpr int ErrStackBudget = 1016;
    static constexpr int ErrStepLimit = 1017;

    TRegExpr();
    ~TRegExpr();
    TRegExpr(const TRegExpr&) = delete;
    TRegExpr& operator=(const TRegExpr&) = delete;

    const std::string& Expression() const { return expression_; }
    void SetExpression(const std::string& text);

    const std::string& InputString() const { return input_; }
    void SetInputString(const std::string& text);
    // Takes the text over instead of copying it (a page that is searched once, say).
    void SetInputString(std::string&& text);

    bool Exec(const std::string& text);
    bool Exec(std::string&& text);
    bool ExecPos(int offset = 1);
    bool ExecNext();
    // Compiles Expression now instead of at the next execution.
    void Compile();

    // Results of the last successful search; n is 0 (whole match) to 14.
    std::string MatchText(int n) const;
    int MatchPos(int n) const;  // 1-based offset, -1 when the group is not set
    int MatchLen(int n) const;  // -1 when the group is not set

    int Modifiers() const { return modifiers_; }
    void SetModifiers(int modifiers) { modifiers_ = modifiers & 63; }
    // Index 1-6 in the order i, r, s, g, m, x; any other index raises error 1013.
    bool ModifierFlag(int index) const;
    void SetModifierFlag(int index, bool on);
    // "irsgmx" letters: the ones switched on, then "-" and the ones switched off.
    std::string ModifierStr() const;
    void SetModifierStr(const std::string& text);  // invalid text raises error 1013
    // Applies "isx-gm" style text to a bit set; false when a character is not a modifier.
    static bool ParseModifierString(const std::string& text, int& modifiers);

    std::string LinePairedSeparator() const;
    void SetLinePairedSeparator(const std::string& text);

    std::string SpaceCharacters;
    std::string WordCharacters;
    std::string LineSeparatorChars;
    // Case flip for case-insensitive comparisons; defaults to the Windows-1252 mapping.
    std::function<char(char)> FlipCase;
    // Upper bound on match steps from one start position (0 = none); ends the search with
    // ErrStepLimit.
    int64_t MatchStepLimit = 100000000;
    // Memory for the backtracking stack of one start position, in bytes (0 = none); ends the
    // search with ErrStackBudget.
    int64_t MatchStackLimit = 256 << 20;
    // Start hints and the required literal; off only to cross-check that they skip nothing.
    bool UseHints = true;

    static std::string ErrorText(int number);
    int LastError() const { return lastError_; }

    // The compiled program and its start hints (empty / 0 / false before compilation).
    std::string_view Program() const;
    unsigned char StartChar() const { return startChar_; }
    bool Anchored() const { return anchored_; }
    std::string_view MustString() const;
    // A literal every match contains, and the least distance from the match start to it.
    std::string_view RequiredLiteral() const;
    int RequiredOffset() const { return requiredOffset_; }
    bool InStartCharSet(unsigned char c) const { return (startCharSet_[c >> 3] >> (c & 7)) & 1; }

    static char DefaultFlipCase(char c);

private:
    using Pos = const unsigned char*;

    // compiler (TRegExprCompile.cpp)
    [[noreturn]] void Error(int number);
    void DiscardProgram();
    void CompileProgram();
    int ParseReg(bool paren, int& flags);
    int ParseBranch(int& flags);
    int ParsePiece(int& flags);
    int ParseAtom(int& flags);
    int ParseSet();
    int ParseEscape(int& flags);
    int ParseLiteralRun(int& flags);
    int EmitNode(uint8_t kind);
    void EmitByte(uint8_t byte);
    void EmitInt(int32_t value);
    void InsertHead(uint8_t kind, int at, int operandBytes);
    void Tail(int node, int target);
    void OpTail(int node, int target);
    int EmitSet(const uint8_t* members, bool negated);
    int EmitCharLiteral(unsigned char c);
    unsigned char ParseHexCode();
    bool ValidBraces(const unsigned char* at) const;
    int32_t ReadBraceNumber();
    void ComputeHints(int flags);
    void ComputeStartCharSet();
    void FillStartCharSet(const uint8_t* node, int& budget, int depth);
    void ComputeRequiredLiteral();
    unsigned char Flip(unsigned char c) const;

    // matcher (TRegExprMatch.cpp)
    void PrepareProgram();
    bool FindLastRequired(Pos from);
    bool TryAt(Pos at);
    // One entry of the backtracking stack: a choice to resume, or a state change to undo.
    enum FrameType : uint8_t {
        kAlt,          // the next alternative of a Branch, from pos
        kGreedy,       // a repetition's next smaller count; the kRepeatLimit below holds the least
        kLazy,         // a repetition's next larger count; the kRepeatLimit below holds the most
        kRepeatLimit,  // pos: the last position a repetition's rest may start at
        kLoopRest,     // leave a greedy loop at pos
        kLoopBody,     // one more iteration of a lazy loop at pos
        kUndoStart,    // group a's start was pos
        kUndoEnd,      // group a's end was pos
        kUndoLoop,     // the loop depth was a and counter b was node
    };
    struct Frame {
        Pos pos;
        int32_t node;  // program offset of the node to resume, or a saved loop counter
        FrameType type;
        uint8_t a;
        uint8_t b;
    };
    bool Run(const uint8_t* scan);
    bool Step(const uint8_t* scan, const uint8_t*& next);
    bool Backtrack(const uint8_t*& scan);
    void Push(FrameType type, const uint8_t* node, Pos pos, int a = 0, int b = 0);
    void SetLoopState(int32_t depth, int32_t index, int32_t counter);
    void CountStep() {
        if (++steps_ > MatchStepLimit && MatchStepLimit > 0) Error(ErrStepLimit);
    }
    static const uint8_t* ViableAlternative(const uint8_t* alt, unsigned char c);
    bool StartRepeat(const uint8_t* scan);
    ptrdiff_t RepeatUnit(const uint8_t* op) const;
    Pos RepeatCandidate(Pos from, Pos limit, ptrdiff_t unit, int lookAhead, bool lazy) const;
    int Repeat(const uint8_t* op, int max);
    bool MatchBackRef(int group, bool noCase);
    bool IsWordChar(unsigned char c) const { return (wordSet_[c >> 3] >> (c & 7)) & 1; }
    bool IsSeparator(unsigned char c) const { return (separatorSet_[c >> 3] >> (c & 7)) & 1; }
    void StepOrFail();
    void ClearGroups();
    void AdoptInput();

    // match state
    Pos startp_[NSubExp] = {};
    Pos endp_[NSubExp] = {};
    int32_t loopCounters_[LoopStackMax + 1] = {};
    int32_t loopDepth_ = 0;

    // start hints
    unsigned char startChar_ = 0;
    bool anchored_ = false;
    int mustString_ = 0;  // program offset of the literal, 0 = none
    int32_t mustLength_ = 0;
    uint8_t startCharSet_[32] = {};
    std::string startSetSeparators_;  // LineSeparatorChars the start set was computed with
    int requiredLiteral_ = 0;         // program offset of the required literal, 0 = none
    int32_t requiredLength_ = 0;
    int32_t requiredOffset_ = 0;
    // Offset of the required literal's last occurrence in the subject: kRequiredUnknown until a
    // search looks for it, kRequiredAbsent when there is none.
    static constexpr ptrdiff_t kRequiredUnknown = -2;
    static constexpr ptrdiff_t kRequiredAbsent = -1;
    ptrdiff_t requiredLast_ = kRequiredUnknown;
    Pos lastStart_ = nullptr;  // attempts beyond this one cannot reach the required literal

    Pos inputPos_ = nullptr;
    Pos inputStart_ = nullptr;
    Pos inputEnd_ = nullptr;

    // compiler working state
    const unsigned char* parse_ = nullptr;
    int npar_ = 1;
    size_t size_ = 0;
    size_t emit_ = 0;
    const unsigned char* patternStart_ = nullptr;

    bool compiled_ = false;
    std::unique_ptr<uint8_t[]> program_;
    size_t programSize_ = 0;
    uint8_t* code_ = nullptr;  // program being written in the second pass, null in the first
    std::string expression_;
    std::string input_;
    bool hasInput_ = false;
    int lastError_ = 0;

    int modifiers_;
    int compileModifiers_ = 0;
    int programModifiers_ = 0;

    bool pairAssigned_ = true;
    unsigned char pairHead_ = 13;
    unsigned char pairTail_ = 10;
    uint8_t separatorSet_[32] = {};
    uint8_t wordSet_[32] = {};
    std::string separatorSource_;  // LineSeparatorChars separatorSet_ was built from
    std::string wordSource_;       // WordCharacters wordSet_ was built from
    uint8_t flipTable_[256] = {};
    bool usesNoCase_ = false;

    int64_t steps_ = 0;
    std::vector<Frame> stack_;
    size_t maxFrames_ = 0;
};
