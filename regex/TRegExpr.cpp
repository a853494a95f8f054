// TRegExpr interface: pattern and subject storage, modifiers, separators, results and error
// texts; the compiler lives in TRegExprCompile.cpp, the matcher in TRegExprMatch.cpp. Called on
// the engine's one thread; the engine owns its pattern, subject and program copies.
#include "regex/TRegExpr.h"

#include <cstring>

namespace {

constexpr char kModifierLetters[] = "irsgmx";

// The length up to the first NUL: the engine treats NUL as the end of a text.
size_t LengthToNul(const std::string& text) {
    const void* nul = std::memchr(text.data(), 0, text.size());
    return nul ? static_cast<const char*>(nul) - text.data() : text.size();
}

}  // namespace

char TRegExpr::DefaultFlipCase(char ch) {
    // Windows-1252 upper/lower pairs, byte by byte.
    const auto c = static_cast<unsigned char>(ch);
    int flipped = c;
    if (c >= 'a' && c <= 'z')
        flipped = c - 32;
    else if (c >= 'A' && c <= 'Z')
        flipped = c + 32;
    else if (c >= 224 && c <= 254 && c != 247)
        flipped = c - 32;
    else if (c >= 192 && c <= 222 && c != 215)
        flipped = c + 32;
    else if (c == 154 || c == 156 || c == 158)
        flipped = c - 16;
    else if (c == 138 || c == 140 || c == 142)
        flipped = c + 16;
    else if (c == 255)
        flipped = 159;
    else if (c == 159)
        flipped = 255;
    return static_cast<char>(flipped);
}

TRegExpr::TRegExpr()
    : SpaceCharacters(" \t\n\r\f"),
      WordCharacters("0123456789abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ_"),
      LineSeparatorChars("\r\n"),
      FlipCase(DefaultFlipCase),
      modifiers_(ModR | ModS | ModG) {}

TRegExpr::~TRegExpr() = default;

void TRegExpr::SetExpression(const std::string& text) {
    const std::string pattern = text.substr(0, LengthToNul(text));
    if (pattern == expression_ && compiled_) return;
    // An empty pattern also drops the program, so the next execution reports the missing
    // pattern instead of running a stale one.
    expression_ = pattern;
    DiscardProgram();
}

void TRegExpr::SetInputString(const std::string& text) {
    input_.assign(text.data(), LengthToNul(text));
    AdoptInput();
}

void TRegExpr::SetInputString(std::string&& text) {
    text.resize(LengthToNul(text));
    input_ = std::move(text);
    AdoptInput();
}

void TRegExpr::AdoptInput() {
    ClearGroups();
    requiredLast_ = kRequiredUnknown;
    hasInput_ = true;
    inputStart_ = reinterpret_cast<Pos>(input_.c_str());
    inputEnd_ = inputStart_ + input_.size();
    inputPos_ = inputStart_;
}

bool TRegExpr::Exec(const std::string& text) {
    SetInputString(text);
    return ExecPos(1);
}

bool TRegExpr::Exec(std::string&& text) {
    SetInputString(std::move(text));
    return ExecPos(1);
}

bool TRegExpr::ExecNext() {
    if (!startp_[0] || !endp_[0]) Error(1007);
    ptrdiff_t offset = endp_[0] - inputStart_ + 1;
    if (startp_[0] == endp_[0]) ++offset;  // an empty match never repeats at the same place
    if (offset > static_cast<ptrdiff_t>(input_.size()) + 1) {
        ClearGroups();
        return false;
    }
    return ExecPos(static_cast<int>(offset));
}

void TRegExpr::Compile() {
    CompileProgram();
}

void TRegExpr::ClearGroups() {
    for (int i = 0; i < NSubExp; ++i) {
        startp_[i] = nullptr;
        endp_[i] = nullptr;
    }
}

std::string TRegExpr::MatchText(int n) const {
    if (n < 0 || n >= NSubExp || !hasInput_ || !startp_[n] || !endp_[n] || endp_[n] < startp_[n])
        return std::string();
    return std::string(reinterpret_cast<const char*>(startp_[n]), endp_[n] - startp_[n]);
}

int TRegExpr::MatchPos(int n) const {
    if (n < 0 || n >= NSubExp || !hasInput_ || !startp_[n] || !endp_[n]) return -1;
    return static_cast<int>(startp_[n] - inputStart_) + 1;
}

int TRegExpr::MatchLen(int n) const {
    if (n < 0 || n >= NSubExp || !hasInput_ || !startp_[n] || !endp_[n]) return -1;
    return endp_[n] < startp_[n] ? 0 : static_cast<int>(endp_[n] - startp_[n]);
}

bool TRegExpr::ModifierFlag(int index) const {
    if (index < 1 || index > 6) const_cast<TRegExpr*>(this)->Error(1013);
    return modifiers_ & (1 << (index - 1));
}

void TRegExpr::SetModifierFlag(int index, bool on) {
    if (index < 1 || index > 6) Error(1013);
    if (on)
        modifiers_ |= 1 << (index - 1);
    else
        modifiers_ &= ~(1 << (index - 1));
}

std::string TRegExpr::ModifierStr() const {
    std::string on;
    std::string off;
    for (int i = 0; i < 6; ++i) (modifiers_ & (1 << i) ? on : off) += kModifierLetters[i];
    return off.empty() ? on : on + "-" + off;
}

void TRegExpr::SetModifierStr(const std::string& text) {
    int mods = modifiers_;
    if (!ParseModifierString(text, mods)) Error(1013);
    modifiers_ = mods;
}

bool TRegExpr::ParseModifierString(const std::string& text, int& modifiers) {
    bool clear = false;
    for (char ch : text) {
        if (ch == '-') {
            clear = true;
            continue;
        }
        const char lower = (ch >= 'A' && ch <= 'Z') ? static_cast<char>(ch + 32) : ch;
        const char* letter = lower ? std::strchr(kModifierLetters, lower) : nullptr;
        if (!letter) return false;
        const int bit = 1 << (letter - kModifierLetters);
        if (clear)
            modifiers &= ~bit;
        else
            modifiers |= bit;
    }
    return true;
}

std::string TRegExpr::LinePairedSeparator() const {
    if (!pairAssigned_) return std::string();
    return std::string{static_cast<char>(pairHead_), static_cast<char>(pairTail_)};
}

void TRegExpr::SetLinePairedSeparator(const std::string& text) {
    if (text.size() == 2 && text[0] != text[1]) {
        const auto head = static_cast<unsigned char>(text[0]);
        const auto tail = static_cast<unsigned char>(text[1]);
        if (!pairAssigned_ || head != pairHead_ || tail != pairTail_) {
            pairAssigned_ = true;
            pairHead_ = head;
            pairTail_ = tail;
            DiscardProgram();
        }
    } else if (text.empty()) {
        if (pairAssigned_) {
            pairAssigned_ = false;
            DiscardProgram();
        }
    } else {
        Error(128);
    }
}

std::string_view TRegExpr::Program() const {
    return std::string_view(reinterpret_cast<const char*>(program_.get()), programSize_);
}

std::string_view TRegExpr::MustString() const {
    if (!program_ || !mustString_) return std::string_view();
    return std::string_view(reinterpret_cast<const char*>(program_.get()) + mustString_,
                            static_cast<size_t>(mustLength_));
}

std::string_view TRegExpr::RequiredLiteral() const {
    if (!program_ || !requiredLiteral_) return std::string_view();
    return std::string_view(reinterpret_cast<const char*>(program_.get()) + requiredLiteral_,
                            static_cast<size_t>(requiredLength_));
}

std::string TRegExpr::ErrorText(int number) {
    switch (number) {
        case 0:
            return "No errors";
        case 100:
            return "TRegExpr(comp): Null Argument";
        case 102:
            return "TRegExpr(comp): ParseReg Too Many ()";
        case 103:
        case 104:
            return "TRegExpr(comp): ParseReg Unmatched ()";
        case 105:
            return "TRegExpr(comp): ParseReg Junk On End";
        case 106:
            return "TRegExpr(comp): *+ Operand Could Be Empty";
        case 107:
            return "TRegExpr(comp): Nested *?+";
        case 108:
            return "TRegExpr(comp): Bad Hex Digit";
        case 109:
            return "TRegExpr(comp): Invalid [] Range";
        case 110:
            return "TRegExpr(comp): Parse Atom Trailing \\";
        case 111:
            return "TRegExpr(comp): No Hex Code After \\x";
        case 112:
            return "TRegExpr(comp): Hex Code After \\x Is Too Big";
        case 113:
            return "TRegExpr(comp): Unmatched []";
        case 114:
            return "TRegExpr(comp): Internal Urp";
        case 115:
            return "TRegExpr(comp): ?+*{ Follows Nothing";
        case 116:
            return "TRegExpr(comp): Trailing \\";
        case 119:
            return "TRegExpr(comp): RarseAtom Internal Disaster";
        case 122:
            return "TRegExpr(comp): BRACES Argument Too Big";
        case 124:
            return "TRegExpr(comp): BRACE Min Param Greater then Max";
        case 125:
            return "TRegExpr(comp): Unclosed (?#Comment)";
        case 127:
            return "TRegExpr(comp): Urecognized Modifier";
        case 128:
            return "TRegExpr(comp): LinePairedSeparator must countain two different chars or no "
                   "chars at all";
        case 1000:
            return "TRegExpr(exec): RegRepeat Called Inappropriately";
        case 1001:
            return "TRegExpr(exec): MatchPrim Memory Corruption";
        case 1002:
            return "TRegExpr(exec): MatchPrim Corrupted Pointers";
        case 1003:
            return "TRegExpr(exec): Not Assigned Expression Property";
        case 1004:
            return "TRegExpr(exec): Corrupted Program";
        case 1005:
            return "TRegExpr(exec): No Input String Specified";
        case 1006:
            return "TRegExpr(exec): Offset Must Be Greater Then 0";
        case 1007:
            return "TRegExpr(exec): ExecNext Without Exec[Pos]";
        case 1014:
            return "TRegExpr(exec): Loop Stack Exceeded";
        case 1015:
            return "TRegExpr(exec): Loop Without LoopEntry !";
        case ErrStackBudget:
            return "TRegExpr(exec): Backtracking Stack Over Its Memory Budget";
        case ErrStepLimit:
            return "TRegExpr(exec): Match Step Limit Exceeded";
        default:
            return "Unknown error";
    }
}
