// NTLM messages: known answers (the MS-NLMP worked example with "Password" and the challenge
// 0123456789abcdef), the authenticate layout, the UTF-16LE rule for non-ASCII text, and a
// challenge decoder that must stay inside whatever bytes the network sent.
#include "http/Ntlm.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "crypto/Md4.h"
#include "http/UrlHelpers.h"
#include "tests/support/Hex.h"

namespace {

const TNtlmChallenge kChallenge = {0x01, 0x23, 0x45, 0x67, 0x89, 0xab, 0xcd, 0xef};

std::string Le(std::uint32_t v, int n) {
    std::string out;
    for (int i = 0; i < n; ++i) out += static_cast<char>(v >> (8 * i));
    return out;
}

unsigned Field(const std::string& msg, std::size_t at, int n) {
    unsigned v = 0;
    for (int i = n - 1; i >= 0; --i) v = (v << 8) | static_cast<unsigned char>(msg[at + i]);
    return v;
}

TEST(NtlmPrimitives, KeySpreadingAndWidening) {
    // 7-byte keys from the DES vectors' NTLM rows: the catacomb pair, slices of both hashes.
    const std::vector<std::pair<const char*, const char*>> keys = {
        {"00451338957377", "0022446688aaccee"}, {"a4f49c406510bd", "a47a26880628427a"},
        {"cab6824ee7c30f", "ca5aa048ee3e0c1e"}, {"d8520000000000", "d828800000000000"},
        {"e52cac67419a9a", "e4962a8c740c6a34"}, {"ffffffffffffff", "fefefefefefefefe"},
    };
    for (const auto& [seven, eight] : keys) {
        const std::string k = Bytes(seven);
        std::array<std::uint8_t, 7> key;
        std::copy(k.begin(), k.end(), key.begin());
        const TDesBlock b = DesKeyFrom7(key);
        EXPECT_EQ(Hex(b), eight) << seven;
    }
    EXPECT_EQ(WidenAscii(""), "");
    EXPECT_EQ(WidenAscii("Ab\xFC"), std::string("A\0b\0\xFC\0", 6));
}

TEST(NtlmPrimitives, Utf8BecomesUtf16LeAndAnythingElseIsWidened) {
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"user", "7500730065007200"},
        {"J\xC3\xBCrgen", "4a00fc007200670065006e00"},  // U+00FC
        {"\xE2\x82\xAC", "ac20"},                       // U+20AC
        {"\xF0\x9F\x98\x80", "3dd800de"},               // U+1F600 as a surrogate pair
        {"\xFC", "fc00"},                               // Latin-1 byte, not UTF-8
        {"\xC3", "c300"},                               // cut sequence
        {"\xC0\xAF", "c000af00"},                       // overlong "/"
        {"\xED\xA0\x80", "ed00a0008000"},               // encoded surrogate
        {"\xF4\x90\x80\x80", "f400900080008000"},       // beyond U+10FFFF
        {"\xC3\xBC\xFF", "c300bc00ff00"},               // one bad byte widens all
    };
    for (const auto& [text, utf16] : cases) EXPECT_EQ(Hex(Utf16LeOf(text)), utf16) << Hex(text);
}

TEST(NtlmHashes, KnownAnswersAndPasswordRules) {
    EXPECT_EQ(Hex(LmHash("Password")), "e52cac67419a9a224a3b108f3fa6cb6d");
    EXPECT_EQ(Hex(NtHash("Password")), "a4f49c406510bdcab6824ee7c30fd852");
    // Empty: the LM input is 14 zero bytes; NT is MD4 of nothing.
    EXPECT_EQ(Hex(LmHash("")), "aad3b435b51404eeaad3b435b51404ee");
    EXPECT_EQ(Hex(NtHash("")), "31d6cfe0d16ae931b73c59d7e0c089c0");
    // LM: only "a"-"z" change case, and only 14 bytes count; NT uses everything.
    EXPECT_EQ(LmHash("password"), LmHash("PASSWORD"));
    EXPECT_NE(LmHash("\xE9"), LmHash("\xC9"));
    EXPECT_EQ(LmHash("Password123456"), LmHash("Password12345678"));
    EXPECT_NE(NtHash("Password123456"), NtHash("Password12345678"));
    // NT: UTF-8 "ü" and the Latin-1 byte both reach MD4 as the unit U+00FC.
    const TMd4Digest u00fc = Md4Digest(std::string("\xFC\0", 2));
    EXPECT_EQ(NtHash("\xC3\xBC"), std::string(u00fc.begin(), u00fc.end()));
    EXPECT_EQ(NtHash("\xFC"), NtHash("\xC3\xBC"));
}

TEST(NtlmResponses, KnownAnswersAndLengths) {
    EXPECT_EQ(Hex(LmResponse("Password", kChallenge)),
              "98def7b87f88aa5dafe2df779688a172def11c7d5ccdef13");
    EXPECT_EQ(Hex(NtResponse("Password", kChallenge)),
              "67c43011f30298a2ad35ece64f16331c44bdbed927841f94");
    EXPECT_EQ(LmResponse("", kChallenge).size(), 24u);
    EXPECT_EQ(NtResponse("", kChallenge).size(), 24u);
    EXPECT_EQ(LmResponse("Password12345678", kChallenge), LmResponse("Password123456", kChallenge));
    EXPECT_NE(NtResponse("Password12345678", kChallenge), NtResponse("Password123456", kChallenge));
}

TEST(NtlmMessages, NegotiateIsConstant) {
    EXPECT_EQ(BuildNtlmNegotiate(), "TlRMTVNTUAABAAAAB4IAAAAAAAAAAAAAAAAAAAAAAAA=");
}

TEST(NtlmMessages, AuthenticateLayout) {
    // User of 5, host of 8, empty domain: d = 0, u = 10, h = 16.
    const std::string msg =
        DecodeBase64(BuildNtlmAuthenticate("", "HostName", "alice", "Password", kChallenge));
    ASSERT_EQ(msg.size(), 138u);
    EXPECT_EQ(msg.substr(0, 12), std::string("NTLMSSP\0\3\0\0\0", 12));
    const std::vector<std::pair<std::size_t, std::pair<unsigned, unsigned>>> descriptors = {
        {12, {24, 90}}, {20, {24, 114}}, {28, {0, 64}},
        {36, {10, 64}}, {44, {16, 74}},  {52, {0, 0}},
    };
    for (const auto& [at, expected] : descriptors) {
        EXPECT_EQ(Field(msg, at, 2), expected.first) << at;
        EXPECT_EQ(Field(msg, at + 2, 2), expected.first) << at;
        EXPECT_EQ(Field(msg, at + 4, 4), expected.second) << at;
    }
    EXPECT_EQ(Field(msg, 60, 4), 0x8205u);
    EXPECT_EQ(msg.substr(64, 10), WidenAscii("alice"));
    EXPECT_EQ(msg.substr(74, 16), WidenAscii("HostName"));  // letter case kept
    EXPECT_EQ(msg.substr(90, 24), LmResponse("Password", kChallenge));
    EXPECT_EQ(msg.substr(114, 24), NtResponse("Password", kChallenge));
}

// A challenge message: header, target name, then target information entries as given.
std::string Challenge(const std::string& name, const std::string& entries) {
    std::string msg = "NTLMSSP" + std::string(1, '\0') + Le(2, 4);
    msg += Le(name.size(), 2) + Le(name.size(), 2) + Le(48, 4) + Le(0x8205, 4);
    msg += std::string(reinterpret_cast<const char*>(kChallenge.data()), 8) + std::string(8, '\0');
    msg += Le(entries.size(), 2) + Le(entries.size(), 2) + Le(48 + name.size(), 4);
    return msg + name + entries;
}

std::string Entry(unsigned type, const std::string& value) {
    return Le(type, 2) + Le(value.size(), 2) + value;
}

TEST(NtlmChallenge, DecodesNameChallengeAndTargetInformation) {
    const std::string entries = Entry(2, "DOM") + Entry(1, "PC") + Entry(7, "12345678") +
                                Entry(2, "DOM2") + Entry(0, "") + Entry(1, "AFTER-END");
    const TNTLM_Msg2_Info info = DecodeNtlmChallenge(EncodeBase64(Challenge("TARGET", entries)));
    EXPECT_TRUE(info.Decoded);
    EXPECT_EQ(info.TargetName, u"TARGET");
    EXPECT_EQ(info.AvDomainName, u"DOM2");
    EXPECT_EQ(info.AvComputerName, u"PC");
    EXPECT_EQ(info.ServerChallenge, kChallenge);
    // Bytes above 127 become units of the same value.
    EXPECT_EQ(DecodeNtlmChallenge(EncodeBase64(Challenge("\xE9", ""))).TargetName, u"\u00E9");
}

TEST(NtlmChallenge, BadBytesLeaveFieldsEmpty) {
    const std::string good = Challenge("TARGET", Entry(1, "PC") + Entry(0, ""));
    std::string nameBeyondEnd = good;
    nameBeyondEnd[12] = '\x40';
    std::string infoBeyondEnd = good;
    infoBeyondEnd[44] = '\x7F';
    std::string hugeOffsets = good;
    for (int at : {16, 17, 18, 19, 44, 45, 46, 47}) hugeOffsets[at] = '\xFF';
    const std::string entryBeyondEnd = Challenge("T", Le(1, 2) + Le(200, 2) + "PC");
    const std::string noEndEntry = Challenge("T", Entry(1, "PC") + Entry(9, "x"));
    struct Case {
        const char* what;
        std::string text;
        bool decoded;
        std::u16string name, computer;
        bool challenge;
    };
    const std::vector<Case> cases = {
        {"empty", "", false, u"", u"", false},
        {"not Base64", "!!!!****", true, u"", u"", false},
        {"short header", EncodeBase64(good.substr(0, 30)), true, u"", u"", false},
        {"no target information offset", EncodeBase64(good.substr(0, 46)), true, u"", u"", true},
        {"name past the end", EncodeBase64(nameBeyondEnd), true, u"", u"PC", true},
        {"information past the end", EncodeBase64(infoBeyondEnd), true, u"TARGET", u"", true},
        {"offsets near 4 GB", EncodeBase64(hugeOffsets), true, u"", u"", true},
        {"entry past the end", EncodeBase64(entryBeyondEnd), true, u"T", u"", true},
        {"no end entry", EncodeBase64(noEndEntry), true, u"T", u"PC", true},
        {"garbage", std::string(1000, 'A'), true, u"", u"", false},
    };
    for (const Case& c : cases) {
        const TNTLM_Msg2_Info info = DecodeNtlmChallenge(c.text);
        EXPECT_EQ(info.Decoded, c.decoded) << c.what;
        EXPECT_EQ(info.TargetName, c.name) << c.what;
        EXPECT_EQ(info.AvComputerName, c.computer) << c.what;
        EXPECT_EQ(info.ServerChallenge == kChallenge, c.challenge) << c.what;
    }
}

}  // namespace
