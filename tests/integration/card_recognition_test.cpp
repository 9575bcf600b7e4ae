// Card recognition and context initialisation over the simulated card.
#include <gtest/gtest.h>

#include <functional>

#include "module_over_sim.h"

using libapdu::ByteVector;
using moduletest::CardFixture;

namespace {

struct AtrCase {
    const char* name;
    const char* atr;
    bool recognised;
};

const AtrCase kAtrCases[] = {
    {"Entry1AsListed", "3BDC00FF8091FE1FC38073C82110 66 00000000000000", true},
    {"Entry1AnyThirdByteAndLowNibbles", "3BDCA5FF8C91FE1FC38073C8211F 66 0123456789ABCD", true},
    {"Entry1FifteenthByteChanged", "3BDC00FF8091FE1FC38073C82110 67 00000000000000", false},
    {"Entry1HighNibbleOfFifthByteChanged", "3BDC00FF9091FE1FC38073C82110 66 00000000000000", false},
    {"Entry1OneByteShort", "3BDC00FF8091FE1FC38073C82110 66 000000000000", false},
    {"Entry2AnyLastByte", "3BD500FF8091FE1FC38073C82110 FF", true},
    {"Entry2LowNibbleOfFourteenthByte", "3BD577FF8F91FE1FC38073C8211A 5A", true},
    {"Entry2SecondByteChanged", "3BD600FF8091FE1FC38073C82110 00", false},
    {"Entry3Exact", "3B8C800180 73C8211366010611590001 2C", true},
    {"Entry3LastByteChanged", "3B8C800180 73C8211366010611590001 2D", false},
    {"Entry4Exact", "3B80800101", true},
    {"Entry4LastByteChanged", "3B80800102", false},
    {"Entry4PatternWithEntry2Length", "3B80800101 00000000000000000000", false},
};

class CardAtrTable : public testing::TestWithParam<AtrCase> {};

TEST_P(CardAtrTable, MatchesUnderTheMasks) {
    const ByteVector atr = Hex(GetParam().atr);
    EXPECT_EQ(CCardContext::IsRecognisedAtr(atr.data(), static_cast<DWORD>(atr.size())),
              GetParam().recognised);
}

INSTANTIATE_TEST_SUITE_P(CardRecognition, CardAtrTable, testing::ValuesIn(kAtrCases),
                         [](const auto& param) { return std::string(param.param.name); });

struct RecordCase {
    const char* name;
    std::function<void(CARD_DATA&)> spoil;
    DWORD expected;
};

ByteVector& SpareAtr() {
    static ByteVector atr;
    return atr;
}

const RecordCase kRecordCases[] = {
    {"NullAtr", [](CARD_DATA& d) { d.pbAtr = nullptr; }, SCARD_E_INVALID_PARAMETER},
    // A length of no table entry is refused before any matching.
    {"AtrOfSixteenBytes", [](CARD_DATA& d) { d.cbAtr = 16; }, SCARD_E_INVALID_PARAMETER},
    {"NullCardName", [](CARD_DATA& d) { d.pwszCardName = nullptr; }, SCARD_E_INVALID_PARAMETER},
    {"NullAlloc", [](CARD_DATA& d) { d.pfnCspAlloc = nullptr; }, SCARD_E_INVALID_PARAMETER},
    {"NullReAlloc", [](CARD_DATA& d) { d.pfnCspReAlloc = nullptr; }, SCARD_E_INVALID_PARAMETER},
    {"NullFree", [](CARD_DATA& d) { d.pfnCspFree = nullptr; }, SCARD_E_INVALID_PARAMETER},
    {"UnknownAtrOfKnownLength",
     [](CARD_DATA& d) {
         SpareAtr() = Hex("3B80800102");
         d.pbAtr = SpareAtr().data();
         d.cbAtr = 5;
     },
     SCARD_E_UNKNOWN_CARD},
    {"VersionThree", [](CARD_DATA& d) { d.dwVersion = 3; }, ERROR_REVISION_MISMATCH},
};

class CardRecordChecks : public testing::TestWithParam<RecordCase> {};

TEST_P(CardRecordChecks, AreRefusedBeforeTheCardIsContacted) {
    CardFixture f;
    GetParam().spoil(f.Data());
    EXPECT_EQ(ThrownStatus([&] { f.Context().Initialise(&f.Data()); }),
              static_cast<StatusCode>(GetParam().expected));
    EXPECT_TRUE(f.Commands().empty());
}

INSTANTIATE_TEST_SUITE_P(CardRecognition, CardRecordChecks, testing::ValuesIn(kRecordCases),
                         [](const auto& param) { return std::string(param.param.name); });

struct VersionCase {
    DWORD asked;
    DWORD agreed;
};

class CardVersionNegotiation : public testing::TestWithParam<VersionCase> {};

TEST_P(CardVersionNegotiation, IsCappedAtSeven) {
    CardFixture f;
    f.Data().dwVersion = GetParam().asked;
    f.Context().Initialise(&f.Data());
    EXPECT_EQ(f.Data().dwVersion, GetParam().agreed);
}

INSTANTIATE_TEST_SUITE_P(CardRecognition, CardVersionNegotiation,
                         testing::Values(VersionCase{4, 4}, VersionCase{6, 6}, VersionCase{7, 7},
                                         VersionCase{9, 7}),
                         [](const testing::TestParamInfo<VersionCase>& p) {
                             return "Asks" + std::to_string(p.param.asked);
                         });

TEST(CardContext, DeleteDropsTokenCachesAndPin) {
    CardFixture f;
    CCardContext& context = f.Ready();
    f.CachePin();
    (void)f.Read(nullptr, "cardcf");
    context.Delete(&f.Data());
    EXPECT_FALSE(context.Login().HasPin());
    EXPECT_EQ(ThrownStatus([&] { context.Token(); }), static_cast<StatusCode>(SCARD_E_UNEXPECTED));
}

}  // namespace
