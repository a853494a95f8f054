// DES and MD4 against published known answers (FIPS 81, the classic worked examples, the
// libdes table, RFC 1320 appendix A.5) and the MD4 context's misuse rule.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "crypto/Des.h"
#include "crypto/Md4.h"
#include "tests/support/Hex.h"

namespace {

TDesBlock Block(const char* hex) {
    const std::string bytes = Bytes(hex);
    TDesBlock b{};
    std::copy(bytes.begin(), bytes.end(), b.begin());
    return b;
}

struct DesCase {
    const char* key;
    const char* plain;
    const char* cipher;
};

TEST(Des, EncryptsKnownAnswers) {
    const std::vector<DesCase> cases = {
        {"133457799BBCDFF1", "0123456789ABCDEF", "85e813540f0ab405"},  // worked example
        {"0E329232EA6D0D73", "8787878787878787", "0000000000000000"},
        {"0123456789ABCDEF", "4E6F772069732074", "3fa40e8a984d4815"},  // FIPS 81 "Now is t"
        {"0123456789ABCDEF", "68652074696D6520", "6a271787ab8883f9"},
        {"0123456789ABCDEF", "666F7220616C6C20", "893d51ec4b563b53"},
        {"0000000000000000", "0000000000000000", "8ca64de9c1b123a7"},
        {"FFFFFFFFFFFFFFFF", "FFFFFFFFFFFFFFFF", "7359b2163e4edc58"},
        {"3000000000000000", "1000000000000001", "958e6e627a05557b"},
        {"FEDCBA9876543210", "0123456789ABCDEF", "ed39d950fa74bcc4"},
        {"0101010101010101", "8000000000000000", "95f8a5e5dd31d900"},  // initial permutation
        {"8001010101010101", "0000000000000000", "95a8d72813daa94d"},  // key permutation
        {"1046913489980131", "0000000000000000", "88d55e54f54c97b4"},  // data permutation
        {"7CA110454A1A6E57", "01A1D6D039776742", "690f5b0d9a26939b"},  // S-boxes
        {"0131D9619DC1376E", "5CD54CA83DEF57DA", "7a389d10354bd271"},
        {"0113B970FD34F2CE", "059B5E0851CF143A", "86a560f10ec6d85b"},
    };
    for (const DesCase& c : cases)
        EXPECT_EQ(Hex(DesEncrypt(Block(c.key), Block(c.plain))), c.cipher) << c.key;
}

TEST(Des, IgnoresParityBits) {
    // NTLM hands keys with the low bit of every byte cleared.
    EXPECT_EQ(Hex(DesEncrypt(Block("0022446688AACCEE"), Block("4E6F772069732074"))),
              "3fa40e8a984d4815");
    EXPECT_EQ(Hex(DesEncrypt(Block("FEFEFEFEFEFEFEFE"), Block("FFFFFFFFFFFFFFFF"))),
              "7359b2163e4edc58");
}

TEST(Md4, DigestsRfc1320SuiteAndPaddingBoundaries) {
    const std::vector<std::pair<std::string, const char*>> cases = {
        {"", "31d6cfe0d16ae931b73c59d7e0c089c0"},
        {"a", "bde52cb31de33e46245e05fbdbd6fb24"},
        {"abc", "a448017aaf21d8525fc10ae87aa6729d"},
        {"message digest", "d9130a8164549fe818874806e1c7014b"},
        {"abcdefghijklmnopqrstuvwxyz", "d79e1c308aa5bbcdeea8ed63df412da9"},
        {"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789",
         "043f8582f241db351ce627e153e7f0e4"},
        {"1234567890123456789012345678901234567890"
         "1234567890123456789012345678901234567890",
         "e33b4ddc9c38f2199c3e7b164fcc0536"},
        {std::string(55, 'a'), "c889c81dd86c4d2e025778944ea02881"},
        {std::string(56, 'a'), "d5f9a9e9257077a5f08b0b92f348b0ad"},
        {std::string(63, 'a'), "7ea3da77432d44c323671097d1348fc8"},
        {std::string(64, 'a'), "52f5076fabd22680234a3fa9f9dc5732"},
        {std::string(65, 'a'), "330e377bf231f3cacfecc2c182fe7e5b"},
        {std::string(119, 'a'), "e65dd227ccef97fa1d34d70189120f76"},
        {std::string(128, 'a'), "cb4a20a561558e29460190c91dced59f"},
    };
    for (const auto& [input, digest] : cases) {
        EXPECT_EQ(Hex(Md4Digest(input)), digest) << input.size() << " bytes";
        // The same bytes fed in uneven pieces give the same digest.
        TMd4Context context;
        context.Init();
        for (std::size_t at = 0; at < input.size(); at += 7)
            context.Update(std::string_view(input).substr(at, 7));
        EXPECT_EQ(Hex(context.Final()), digest) << input.size() << " bytes in pieces";
    }
}

TEST(Md4, ContextRefusesUseBeforeInitAndAfterFinal) {
    TMd4Context context;
    EXPECT_THROW(context.Update("a"), MD4Exception);
    EXPECT_THROW(context.Final(), MD4Exception);
    context.Init();
    context.Update("abc");
    EXPECT_EQ(Hex(context.Final()), "a448017aaf21d8525fc10ae87aa6729d");
    try {
        context.Update("a");
        FAIL() << "a finished context must be initialized again";
    } catch (const MD4Exception& e) {
        EXPECT_STREQ(e.what(), "MD4 not initialized");
    }
}

}  // namespace
