// TRegExpr compiler: recursive descent over the pattern, run twice. The first pass only counts
// the program size, the second writes the program into a block of exactly that size. Called on
// the engine's thread from Compile or the first execution after the program was discarded.
#include <cstring>

#include "regex/RegExprNodes.h"
#include "regex/TRegExpr.h"

using namespace regprog;

namespace {

constexpr int kHasWidth = 1;   // cannot match the empty string
constexpr int kSimple = 2;     // matches exactly one character
constexpr int kStarStart = 4;  // the branch starts with a "*", "+" or braces piece

constexpr int kStartSetDepth = 256;

constexpr uint8_t K(RegNode kind) {
    return static_cast<uint8_t>(kind);
}

bool IsMeta(unsigned char c) {
    return c != 0 && std::strchr("^$.[()|?+*\\{", c) != nullptr;
}

bool IsQuantifierChar(unsigned char c) {
    return c == '*' || c == '+' || c == '?' || c == '{';
}
bool IsBlank(unsigned char c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}
bool IsDigit(unsigned char c) {
    return c >= '0' && c <= '9';
}

int HexValue(unsigned char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

struct CharSet {
    uint8_t bits[32] = {};
    void Add(unsigned char c) { bits[c >> 3] |= static_cast<uint8_t>(1u << (c & 7)); }
    void AddRange(int from, int to) {
        for (int c = from; c <= to; ++c) Add(static_cast<unsigned char>(c));
    }
    void AddText(const std::string& text) {
        for (char c : text) Add(static_cast<unsigned char>(c));
    }
    bool Has(unsigned char c) const { return SetHas(bits, c); }
};

// Code page 1251: the Cyrillic letters sit at 192-255, with Yo out of line at 168 / 184.
void AddCyrillicLower(CharSet& set) {
    set.AddRange(224, 255);
    set.Add(184);
}
void AddCyrillicUpper(CharSet& set) {
    set.AddRange(192, 223);
    set.Add(168);
}

}  // namespace

unsigned char TRegExpr::Flip(unsigned char c) const {
    return static_cast<unsigned char>(FlipCase ? FlipCase(static_cast<char>(c))
                                               : DefaultFlipCase(static_cast<char>(c)));
}

void TRegExpr::Error(int number) {
    lastError_ = number;
    const int position = patternStart_ ? static_cast<int>(parse_ - patternStart_) : 0;
    std::string message = ErrorText(number);
    if (number < 1000) message += " (pos " + std::to_string(position) + ")";
    if (patternStart_) {
        // A failed compilation leaves no program behind.
        DiscardProgram();
        patternStart_ = nullptr;
        code_ = nullptr;
    }
    throw ERegExpr(message, number, position);
}

void TRegExpr::DiscardProgram() {
    program_.reset();
    programSize_ = 0;
    compiled_ = false;
    startChar_ = 0;
    anchored_ = false;
    mustString_ = 0;
    mustLength_ = 0;
    requiredLiteral_ = 0;
    requiredLength_ = 0;
    requiredOffset_ = 0;
    requiredLast_ = kRequiredUnknown;
    std::memset(startCharSet_, 0, sizeof startCharSet_);
}

void TRegExpr::CompileProgram() {
    if (expression_.empty()) Error(100);
    DiscardProgram();
    compileModifiers_ = modifiers_;
    programModifiers_ = modifiers_;
    const auto* pattern = reinterpret_cast<const unsigned char*>(expression_.c_str());

    // Pass one: sizes only.
    patternStart_ = pattern;
    parse_ = pattern;
    npar_ = 1;
    size_ = 0;
    emit_ = 0;
    code_ = nullptr;
    usesNoCase_ = false;
    int flags = 0;
    EmitByte(kMagic);
    ParseReg(false, flags);

    auto block = std::make_unique<uint8_t[]>(size_);
    code_ = block.get();
    parse_ = pattern;
    npar_ = 1;
    compileModifiers_ = modifiers_;
    emit_ = 0;
    EmitByte(kMagic);
    ParseReg(false, flags);
    if (emit_ != size_) Error(114);

    program_ = std::move(block);
    programSize_ = size_;
    code_ = nullptr;
    ComputeHints(flags);
    compiled_ = true;
    patternStart_ = nullptr;
}

// ---- emission ----

void TRegExpr::EmitByte(uint8_t byte) {
    if (code_)
        code_[emit_++] = byte;
    else
        ++size_;
}

void TRegExpr::EmitInt(int32_t value) {
    if (code_) {
        Write32(code_ + emit_, value);
        emit_ += 4;
    } else {
        size_ += 4;
    }
}

int TRegExpr::EmitNode(uint8_t kind) {
    if (!code_) {
        size_ += kHeadSize;
        return 1;  // any non-zero offset: links are not written in the first pass
    }
    const int at = static_cast<int>(emit_);
    code_[emit_] = kind;
    Write32(code_ + emit_ + 1, 0);
    emit_ += kHeadSize;
    return at;
}

// Moves the code from `at` up and puts a node head (plus operand room) in front of it.
void TRegExpr::InsertHead(uint8_t kind, int at, int operandBytes) {
    const int n = kHeadSize + operandBytes;
    if (!code_) {
        size_ += n;
        return;
    }
    std::memmove(code_ + at + n, code_ + at, emit_ - at);
    emit_ += n;
    code_[at] = kind;
    Write32(code_ + at + 1, 0);
}

// Links the last node of the chain starting at `node` to `target`.
void TRegExpr::Tail(int node, int target) {
    if (!code_) return;
    int scan = node;
    for (;;) {
        const int32_t offset = Read32(code_ + scan + 1);
        if (offset == 0) break;
        scan += offset;
    }
    Write32(code_ + scan + 1, target - scan);
}

// Tail on the operand chain of a Branch; nothing for other nodes.
void TRegExpr::OpTail(int node, int target) {
    if (!code_ || code_[node] != K(RegNode::Branch)) return;
    Tail(node + kHeadSize, target);
}

// ---- grammar ----

int TRegExpr::ParseReg(bool paren, int& flags) {
    const int savedModifiers = compileModifiers_;
    flags = kHasWidth;
    int ret = 0;
    int parno = 0;
    if (paren) {
        if (npar_ >= NSubExp) Error(102);
        parno = npar_++;
        ret = EmitNode(static_cast<uint8_t>(K(RegNode::GroupOpen) + parno));
    }
    int branchFlags = 0;
    int br = ParseBranch(branchFlags);
    if (ret)
        Tail(ret, br);
    else
        ret = br;
    int last = br;  // linking from the last branch keeps long alternations linear
    if (!(branchFlags & kHasWidth)) flags &= ~kHasWidth;
    flags |= branchFlags & kStarStart;
    while (*parse_ == '|') {
        ++parse_;
        br = ParseBranch(branchFlags);
        Tail(last, br);
        last = br;
        if (!(branchFlags & kHasWidth)) flags &= ~kHasWidth;
        flags |= branchFlags & kStarStart;
    }
    const int ender =
        EmitNode(paren ? static_cast<uint8_t>(K(RegNode::GroupClose) + parno) : K(RegNode::End));
    Tail(last, ender);
    if (code_) {
        for (int scan = ret; scan;) {
            OpTail(scan, ender);
            const int32_t offset = Read32(code_ + scan + 1);
            scan = offset ? scan + offset : 0;
        }
    }
    if (paren) {
        if (*parse_ != ')') Error(103);
        ++parse_;
    } else if (*parse_ != '\0') {
        Error(*parse_ == ')' ? 104 : 105);
    }
    compileModifiers_ = savedModifiers;
    return ret;
}

int TRegExpr::ParseBranch(int& flags) {
    flags = 0;
    const int ret = EmitNode(K(RegNode::Branch));
    int chain = 0;
    while (*parse_ != '\0' && *parse_ != '|' && *parse_ != ')') {
        int pieceFlags = 0;
        const int latest = ParsePiece(pieceFlags);
        flags |= pieceFlags & kHasWidth;
        if (chain == 0)
            flags |= pieceFlags & kStarStart;
        else
            Tail(chain, latest);
        chain = latest;
    }
    if (chain == 0) EmitNode(K(RegNode::Nothing));
    return ret;
}

bool TRegExpr::ValidBraces(const unsigned char* at) const {
    const unsigned char* p = at + 1;
    const unsigned char* digits = p;
    while (IsDigit(*p)) ++p;
    if (p == digits) return false;
    if (*p == '}') return true;
    if (*p != ',') return false;
    ++p;
    while (IsDigit(*p)) ++p;
    return *p == '}';
}

int32_t TRegExpr::ReadBraceNumber() {
    const unsigned char* first = parse_;
    int32_t value = 0;
    while (IsDigit(*parse_)) {
        if (parse_ - first < 8) value = value * 10 + (*parse_ - '0');
        ++parse_;
    }
    if (parse_ - first > 8) Error(122);
    return value;
}

int TRegExpr::ParsePiece(int& flags) {
    int atomFlags = 0;
    const int ret = ParseAtom(atomFlags);
    const unsigned char op = *parse_;
    if (!IsQuantifierChar(op) || (op == '{' && !ValidBraces(parse_))) {
        flags = atomFlags;
        return ret;
    }
    if (!(atomFlags & kHasWidth) && op != '?') Error(106);

    int32_t min = 0;
    int32_t max = 0;
    if (op == '{') {
        ++parse_;
        min = ReadBraceNumber();
        if (*parse_ == ',') {
            ++parse_;
            max = IsDigit(*parse_) ? ReadBraceNumber() : kOpenBraceMax;
        } else {
            max = min;
        }
        if (max < min) Error(124);
    }
    ++parse_;  // the quantifier character or the closing brace
    bool lazy = false;
    if (*parse_ == '?') {
        lazy = true;
        ++parse_;
    }
    if (!(compileModifiers_ & ModG)) lazy = true;
    const bool simple = atomFlags & kSimple;

    auto loopForm = [&](int32_t lo, int32_t hi, bool lazyLoop) {
        InsertHead(K(RegNode::LoopEntry), ret, 0);
        const int loop = EmitNode(lazyLoop ? K(RegNode::LoopLazy) : K(RegNode::Loop));
        EmitInt(lo);
        EmitInt(hi);
        EmitInt(loop - (ret + kHeadSize));
        Tail(ret, loop);
        Tail(ret + kHeadSize, loop);
    };
    auto bracesForm = [&](int32_t lo, int32_t hi, bool lazyBraces) {
        InsertHead(lazyBraces ? K(RegNode::BracesLazy) : K(RegNode::Braces), ret,
                   kBracesOperandSize);
        if (code_) {
            Write32(code_ + ret + kHeadSize, lo);
            Write32(code_ + ret + kHeadSize + 4, hi);
        }
    };

    switch (op) {
        case '*':
            if (simple) {
                InsertHead(lazy ? K(RegNode::StarLazy) : K(RegNode::Star), ret, 0);
            } else if (lazy) {
                loopForm(0, kOpenBraceMax, true);
            } else {
                InsertHead(K(RegNode::Branch), ret, 0);
                OpTail(ret, EmitNode(K(RegNode::Back)));
                OpTail(ret, ret);
                Tail(ret, EmitNode(K(RegNode::Branch)));
                Tail(ret, EmitNode(K(RegNode::Nothing)));
            }
            flags = kStarStart;
            break;
        case '+':
            if (simple) {
                InsertHead(lazy ? K(RegNode::PlusLazy) : K(RegNode::Plus), ret, 0);
            } else if (lazy) {
                loopForm(1, kOpenBraceMax, true);
            } else {
                const int next = EmitNode(K(RegNode::Branch));
                Tail(ret, next);
                Tail(EmitNode(K(RegNode::Back)), ret);
                Tail(next, EmitNode(K(RegNode::Branch)));
                Tail(ret, EmitNode(K(RegNode::Nothing)));
            }
            flags = kHasWidth | kStarStart;
            break;
        case '?':
            if (lazy && simple) {
                bracesForm(0, 1, true);
            } else if (lazy) {
                loopForm(0, 1, true);
            } else {
                InsertHead(K(RegNode::Branch), ret, 0);
                Tail(ret, EmitNode(K(RegNode::Branch)));
                const int next = EmitNode(K(RegNode::Nothing));
                Tail(ret, next);
                OpTail(ret, next);
            }
            flags = 0;
            break;
        default:  // braces
            if (simple)
                bracesForm(min, max, lazy);
            else
                loopForm(min, max, lazy);
            // Only a minimum above 0 gives width: {0,n} can match nothing, and an empty-width
            // operand under an outer loop would repeat without end.
            flags = (min > 0 ? kHasWidth : 0) | (max > 0 ? kStarStart : 0);
            break;
    }
    const unsigned char after = *parse_;
    if (after == '*' || after == '+' || after == '?' || (after == '{' && ValidBraces(parse_)))
        Error(107);
    return ret;
}

int TRegExpr::ParseAtom(int& flags) {
    flags = 0;
    const unsigned char first = *parse_;
    if ((compileModifiers_ & ModX) && !IsMeta(first)) {
        if (IsBlank(first)) {
            while (IsBlank(*parse_)) ++parse_;
            return EmitNode(K(RegNode::Comment));
        }
        if (first == '#') {
            while (*parse_ && *parse_ != '\r' && *parse_ != '\n') ++parse_;
            while (*parse_ == '\r' || *parse_ == '\n') ++parse_;
            return EmitNode(K(RegNode::Comment));
        }
    }
    const bool multiLine =
        (compileModifiers_ & ModM) && (!LineSeparatorChars.empty() || pairAssigned_);
    ++parse_;
    switch (first) {
        case '^':
            return EmitNode(multiLine ? K(RegNode::LineStart) : K(RegNode::InputStart));
        case '$':
            return EmitNode(multiLine ? K(RegNode::LineEnd) : K(RegNode::InputEnd));
        case '.':
            if (compileModifiers_ & ModS) {
                flags = kHasWidth | kSimple;
                return EmitNode(K(RegNode::AnyChar));
            }
            flags = kHasWidth;
            return EmitNode(K(RegNode::AnyButSeparator));
        case '[':
            flags = kHasWidth | kSimple;
            return ParseSet();
        case '(': {
            if (*parse_ == '?') {
                if (parse_[1] == '#') {
                    parse_ += 2;
                    while (*parse_ && *parse_ != ')') ++parse_;
                    if (*parse_ != ')') Error(125);
                    ++parse_;
                    return EmitNode(K(RegNode::Comment));
                }
                ++parse_;
                const unsigned char* text = parse_;
                while (*parse_ && *parse_ != ')') ++parse_;
                if (*parse_ != ')') Error(127);
                int mods = compileModifiers_;
                if (!ParseModifierString(
                        std::string(reinterpret_cast<const char*>(text), parse_ - text), mods))
                    Error(127);
                compileModifiers_ = mods;
                ++parse_;
                return EmitNode(K(RegNode::Comment));
            }
            int groupFlags = 0;
            const int ret = ParseReg(true, groupFlags);
            flags = groupFlags & (kHasWidth | kStarStart);
            return ret;
        }
        case '\0':
        case '|':
        case ')':
            Error(119);  // the branch loop stops before these
        case '?':
        case '+':
        case '*':
            Error(115);
        case '\\':
            return ParseEscape(flags);
        default:
            --parse_;
            return ParseLiteralRun(flags);
    }
}

int TRegExpr::ParseLiteralRun(int& flags) {
    const bool extended = compileModifiers_ & ModX;
    const unsigned char* run = parse_;
    // The first character belongs to the run even when it is "{" (not a quantifier here).
    size_t len = 1;
    while (run[len] && !IsMeta(run[len]) && !(extended && run[len] == '#')) ++len;
    if (len > 1 && IsQuantifierChar(run[len])) --len;  // the quantifier binds to one character

    const bool noCase = compileModifiers_ & ModI;
    if (noCase) usesNoCase_ = true;
    const int ret = EmitNode(noCase ? K(RegNode::LiteralNoCase) : K(RegNode::Literal));
    int emitted = 0;
    for (size_t i = 0; i < len; ++i) {
        if (extended && IsBlank(run[i])) continue;
        EmitByte(run[i]);
        ++emitted;
    }
    EmitByte(0);
    parse_ = run + len;
    flags = kHasWidth | (emitted == 1 ? kSimple : 0);
    return ret;
}

int TRegExpr::EmitCharLiteral(unsigned char c) {
    const bool noCase = compileModifiers_ & ModI;
    if (noCase) usesNoCase_ = true;
    const int ret = EmitNode(noCase ? K(RegNode::LiteralNoCase) : K(RegNode::Literal));
    EmitByte(c);
    EmitByte(0);
    return ret;
}

// After "\x": two hex digits, or "{" hex digits "}".
unsigned char TRegExpr::ParseHexCode() {
    int value = 0;
    if (*parse_ == '{') {
        ++parse_;
        for (;;) {
            const unsigned char c = *parse_;
            if (c == '\0') Error(111);
            if (c == '}') break;
            const int digit = HexValue(c);
            if (digit < 0) Error(108);
            if (value > 15) Error(112);
            value = value * 16 + digit;
            ++parse_;
        }
        ++parse_;
        return static_cast<unsigned char>(value);
    }
    for (int i = 0; i < 2; ++i) {
        const unsigned char c = *parse_;
        if (c == '\0') Error(111);
        const int digit = HexValue(c);
        if (digit < 0) Error(108);
        value = value * 16 + digit;
        ++parse_;
    }
    return static_cast<unsigned char>(value);
}

namespace {

// Control escapes shared by atoms and sets; 0 when `c` is not one.
unsigned char ControlEscape(unsigned char c) {
    switch (c) {
        case 't':
            return 9;
        case 'n':
            return 10;
        case 'r':
            return 13;
        case 'f':
            return 12;
        case 'a':
            return 7;
        case 'e':
            return 27;
        default:
            return 0;
    }
}

}  // namespace

int TRegExpr::ParseEscape(int& flags) {
    const unsigned char c = *parse_;
    if (c == '\0') Error(116);
    ++parse_;
    flags = kHasWidth | kSimple;
    if (c >= '1' && c <= '9') {
        const bool noCase = compileModifiers_ & ModI;
        if (noCase) usesNoCase_ = true;
        const int ret = EmitNode(noCase ? K(RegNode::BackRefNoCase) : K(RegNode::BackRef));
        EmitByte(static_cast<uint8_t>(c - '0'));
        return ret;
    }
    // Assertions consume nothing, so they carry none of the width flags.
    const auto assertion = [&](RegNode node) {
        flags = 0;
        return EmitNode(K(node));
    };
    switch (c) {
        case 'A':
            return assertion(RegNode::InputStart);
        case 'Z':
            return assertion(RegNode::InputEnd);
        case 'b':
            return assertion(RegNode::WordBoundary);
        case 'B':
            return assertion(RegNode::NotWordBoundary);
        case 'd':
            return EmitNode(K(RegNode::Digit));
        case 'D':
            return EmitNode(K(RegNode::NonDigit));
        case 's':
        case 'S':
        case 'w':
        case 'W': {
            CharSet set;
            set.AddText(c == 's' || c == 'S' ? SpaceCharacters : WordCharacters);
            return EmitSet(set.bits, c == 'S' || c == 'W');
        }
        case 'x':
            return EmitCharLiteral(ParseHexCode());
        default: {
            const unsigned char control = ControlEscape(c);
            return EmitCharLiteral(control ? control : c);
        }
    }
}

int TRegExpr::ParseSet() {
    CharSet set;
    bool negated = false;
    if (*parse_ == '^') {
        negated = true;
        ++parse_;
    }
    bool rangeAllowed = false;  // the previous member was one plain character
    unsigned char previous = 0;
    if (*parse_ == ']') {
        set.Add(']');
        previous = ']';
        rangeAllowed = true;
        ++parse_;
    }
    // Reads one escaped member code after "\"; false for a class escape (already added).
    auto readEscape = [&](unsigned char& code) -> bool {
        const unsigned char e = *parse_;
        if (e == '\0') Error(110);
        ++parse_;
        switch (e) {
            case 'd':
                set.AddRange('0', '9');
                return false;
            case 's':
                set.AddText(SpaceCharacters);
                return false;
            case 'w':
                set.AddText(WordCharacters);
                return false;
            case 'x':
                code = ParseHexCode();
                return true;
            default: {
                const unsigned char control = ControlEscape(e);
                code = control ? control : e;
                return true;
            }
        }
    };
    for (;;) {
        const unsigned char c = *parse_;
        if (c == '\0') Error(113);
        if (c == ']') break;
        if (c == '-' && rangeAllowed && parse_[1] != '\0' && parse_[1] != ']') {
            if (parse_[1] == '\\' && std::strchr("dDsSwW", parse_[2]) && parse_[2] != '\0') {
                // "[a-\d]": the dash is a member and the class escape is read next.
                set.Add('-');
                ++parse_;
                rangeAllowed = false;
                continue;
            }
            ++parse_;
            unsigned char last = 0;
            if (*parse_ == '\\') {
                ++parse_;
                readEscape(last);
            } else {
                last = *parse_++;
            }
            if ((compileModifiers_ & ModR) && previous == 224 && last == 255) {
                AddCyrillicLower(set);
            } else if ((compileModifiers_ & ModR) && previous == 192 && last == 223) {
                AddCyrillicUpper(set);
            } else if ((compileModifiers_ & ModR) && previous == 224 && last == 223) {
                AddCyrillicLower(set);
                AddCyrillicUpper(set);
            } else {
                if (last < previous) Error(109);
                set.AddRange(previous, last);
            }
            rangeAllowed = false;
            continue;
        }
        if (c == '\\') {
            ++parse_;
            unsigned char code = 0;
            if (readEscape(code)) {
                set.Add(code);
                previous = code;
                rangeAllowed = true;
            } else {
                rangeAllowed = false;
            }
            continue;
        }
        set.Add(c);
        previous = c;
        rangeAllowed = true;
        ++parse_;
    }
    ++parse_;  // "]"
    if (compileModifiers_ & ModI) {
        usesNoCase_ = true;
        CharSet flipped = set;
        for (int m = 0; m < 256; ++m)
            if (set.Has(static_cast<unsigned char>(m)))
                flipped.Add(Flip(static_cast<unsigned char>(m)));
        set = flipped;
    }
    return EmitSet(set.bits, negated);
}

int TRegExpr::EmitSet(const uint8_t* members, bool negated) {
    int count = 0;
    unsigned char small[3] = {0, 0, 0};
    for (int m = 0; m < 256; ++m) {
        if (SetHas(members, static_cast<unsigned char>(m))) {
            if (count < 3) small[count] = static_cast<unsigned char>(m);
            ++count;
        }
    }
    if (count <= 3) {
        const int ret = EmitNode(negated ? K(RegNode::SmallSetNot) : K(RegNode::SmallSet));
        const unsigned char largest = count ? small[count - 1] : 0;
        for (int i = 0; i < 3; ++i) EmitByte(i < count ? small[i] : largest);
        return ret;
    }
    const int ret = EmitNode(K(RegNode::FullSet));
    for (int i = 0; i < 32; ++i) {
        uint8_t byte = negated ? static_cast<uint8_t>(~members[i]) : members[i];
        if (i == 0) byte &= 0xFE;  // NUL is never a member
        EmitByte(byte);
    }
    return ret;
}

// ---- start hints ----

void TRegExpr::ComputeHints(int flags) {
    ComputeStartCharSet();
    ComputeRequiredLiteral();
    const uint8_t* prog = program_.get();
    startChar_ = 0;
    anchored_ = false;
    mustString_ = 0;
    mustLength_ = 0;
    const uint8_t* top = prog + 1;
    const uint8_t* after = Next(top);
    if (!after || Kind(after) != K(RegNode::End)) return;
    const uint8_t* scan = Operand(top);
    if (Kind(scan) == K(RegNode::Literal))
        startChar_ = Operand(scan)[0];
    else if (Kind(scan) == K(RegNode::InputStart))
        anchored_ = true;
    if (flags & kStarStart) {
        for (; scan; scan = Next(scan)) {
            if (Kind(scan) != K(RegNode::Literal)) continue;
            const auto len =
                static_cast<int32_t>(std::strlen(reinterpret_cast<const char*>(Operand(scan))));
            if (len >= mustLength_) {
                mustString_ = static_cast<int>(Operand(scan) - prog);
                mustLength_ = len;
            }
        }
        if (mustLength_ == 0) mustString_ = 0;
    }
}

// The set depends on the line separators (line ends may begin a match), so it is computed
// again whenever they differ from the ones it was made with.
void TRegExpr::ComputeStartCharSet() {
    std::memset(startCharSet_, 0, sizeof startCharSet_);
    int budget = static_cast<int>(programSize_) * 2 + 64;
    FillStartCharSet(program_.get() + 1, budget, 0);
    if (budget < 0) std::memset(startCharSet_, 0xFF, sizeof startCharSet_);
    startSetSeparators_ = LineSeparatorChars;
}

// Walks the chain every match runs through (choices are stepped over as a whole) and keeps
// the last plain literal on it, with the least width of what comes before it. A search then
// gives up at every start from which that literal's last occurrence is out of reach.
void TRegExpr::ComputeRequiredLiteral() {
    const uint8_t* prog = program_.get();
    requiredLiteral_ = 0;
    requiredLength_ = 0;
    requiredOffset_ = 0;
    int64_t width = 0;
    auto operandWidth = [](const uint8_t* op) {
        return Kind(op) == K(RegNode::BackRef) || Kind(op) == K(RegNode::BackRefNoCase) ? 0 : 1;
    };
    for (const uint8_t* scan = prog + 1; scan && width < kStarMax;) {
        const uint8_t kind = Kind(scan);
        const uint8_t* next = Next(scan);
        const uint8_t* op = Operand(scan);
        switch (static_cast<RegNode>(kind)) {
            case RegNode::Literal:
            case RegNode::LiteralNoCase: {
                const auto len =
                    static_cast<int32_t>(std::strlen(reinterpret_cast<const char*>(op)));
                if (kind == K(RegNode::Literal) && len > 0) {
                    requiredLiteral_ = static_cast<int>(op - prog);
                    requiredLength_ = len;
                    requiredOffset_ = static_cast<int32_t>(width);
                }
                width += len;
                break;
            }
            case RegNode::AnyChar:
            case RegNode::AnyButSeparator:
            case RegNode::Digit:
            case RegNode::NonDigit:
            case RegNode::SmallSet:
            case RegNode::SmallSetNot:
            case RegNode::FullSet:
                ++width;
                break;
            case RegNode::Plus:
            case RegNode::PlusLazy:
                width += operandWidth(op);
                break;
            case RegNode::Braces:
            case RegNode::BracesLazy:
                width += static_cast<int64_t>(Read32(op)) * operandWidth(op + kBracesOperandSize);
                break;
            case RegNode::Branch:
                if (!next || Kind(next) != K(RegNode::Branch)) {
                    next = op;
                    break;
                }
                // A real choice: continue where all alternatives meet again.
                while (next && Kind(next) == K(RegNode::Branch)) next = Next(next);
                break;
            case RegNode::End:
            case RegNode::Back:
                next = nullptr;
                break;
            default:  // zero width, or a loop whose Loop node leads on to the rest
                break;
        }
        scan = next;
    }
}

// Adds every character that can begin a match from `node`. The walk is bounded: a loop body
// that can match nothing would otherwise lead it round for ever, and a long run of optional
// pieces would recurse once per piece; running out of budget or depth makes the caller fall
// back to "any character", which is always correct.
void TRegExpr::FillStartCharSet(const uint8_t* node, int& budget, int depth) {
    if (depth > kStartSetDepth) {
        budget = -1;
        return;
    }
    auto add = [this](int c) { startCharSet_[c >> 3] |= static_cast<uint8_t>(1u << (c & 7)); };
    auto addAll = [&] { std::memset(startCharSet_, 0xFF, sizeof startCharSet_); };
    for (const uint8_t* scan = node; scan;) {
        if (--budget < 0) return;
        const uint8_t kind = Kind(scan);
        const uint8_t* next = Next(scan);
        const uint8_t* op = Operand(scan);
        switch (static_cast<RegNode>(kind)) {
            case RegNode::End:
            case RegNode::AnyChar:
            case RegNode::AnyButSeparator:
            case RegNode::BackRef:
            case RegNode::BackRefNoCase:
                addAll();
                return;
            case RegNode::InputEnd:
                add(0);
                return;
            case RegNode::LineEnd:
                // A LineEnd node exists only where m was in force, whatever the global flag.
                add(0);
                for (char c : LineSeparatorChars) add(static_cast<unsigned char>(c));
                if (pairAssigned_) add(pairHead_);
                return;
            case RegNode::Literal:
                add(op[0]);
                return;
            case RegNode::LiteralNoCase:
                add(op[0]);
                add(Flip(op[0]));
                return;
            case RegNode::SmallSet:
                add(op[0]);
                add(op[1]);
                add(op[2]);
                return;
            case RegNode::SmallSetNot:
                for (int c = 0; c < 256; ++c)
                    if (c != op[0] && c != op[1] && c != op[2]) add(c);
                return;
            case RegNode::FullSet:
                for (int i = 0; i < 32; ++i) startCharSet_[i] |= op[i];
                return;
            case RegNode::Digit:
                for (int c = '0'; c <= '9'; ++c) add(c);
                return;
            case RegNode::NonDigit:
                for (int c = 0; c < 256; ++c)
                    if (c < '0' || c > '9') add(c);
                return;
            case RegNode::InputStart:
            case RegNode::LineStart:
            case RegNode::WordBoundary:
            case RegNode::NotWordBoundary:
            case RegNode::Nothing:
            case RegNode::Comment:
            case RegNode::Back:
                scan = next;
                continue;
            case RegNode::Branch:
                if (!next || Kind(next) != K(RegNode::Branch)) {
                    scan = op;
                    continue;
                }
                for (const uint8_t* alt = scan; alt && Kind(alt) == K(RegNode::Branch);
                     alt = Next(alt))
                    FillStartCharSet(Operand(alt), budget, depth + 1);
                return;
            case RegNode::Star:
            case RegNode::StarLazy:
                FillStartCharSet(op, budget, depth + 1);
                scan = next;
                continue;
            case RegNode::Plus:
            case RegNode::PlusLazy:
                FillStartCharSet(op, budget, depth + 1);
                return;
            case RegNode::Braces:
            case RegNode::BracesLazy:
                FillStartCharSet(op + kBracesOperandSize, budget, depth + 1);
                if (Read32(op) > 0) return;
                scan = next;
                continue;
            case RegNode::LoopEntry:
                scan = next;
                continue;
            case RegNode::Loop:
            case RegNode::LoopLazy:
                FillStartCharSet(scan - Read32(op + 8), budget, depth + 1);
                if (Read32(op) != 0) return;
                scan = next;
                continue;
            default:
                if (IsGroupOpen(kind) || IsGroupClose(kind)) {
                    scan = next;
                    continue;
                }
                Error(1001);
        }
    }
}
