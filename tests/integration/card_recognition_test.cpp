// Card recognition and context initialisation over the simulated card.
#include <gtest/gtest.h>

#include <functional>

#include "module_over_sim.h"

using libapdu::ByteVector;
using moduletest::CardFixture;

namespace {

TEST(CardRecognition, AtrTableMatchesUnderTheMasks) {
    const std::pair<const char*, bool> cases[] = {
        {"3BDC00FF8091FE1FC38073C82110 66 00000000000000", true},   // entry 1 as listed
        {"3BDCA5FF8C91FE1FC38073C8211F 66 0123456789ABCD", true},   // any third byte and low nibbles
        {"3BDC00FF8091FE1FC38073C82110 67 00000000000000", false},  // fifteenth byte changed
        {"3BDC00FF9091FE1FC38073C82110 66 00000000000000", false},  // high nibble of the fifth
        {"3BDC00FF8091FE1FC38073C82110 66 000000000000", false},    // one byte short
        {"3BD500FF8091FE1FC38073C82110 FF", true},                  // entry 2: any last byte
        {"3BD577FF8F91FE1FC38073C8211A 5A", true},                  // low nibble of the fourteenth
        {"3BD600FF8091FE1FC38073C82110 00", false},                 // second byte changed
        {"3B8C800180 73C8211366010611590001 2C", true},             // entry 3 exactly
        {"3B8C800180 73C8211366010611590001 2D", false},
        {"3B80800101", true},  // entry 4 exactly
        {"3B80800102", false},
        {"3B80800101 00000000000000000000", false},  // entry 4's pattern at entry 2's length
    };
    for (const auto& [hex, recognised] : cases) {
        const ByteVector atr = Hex(hex);
        EXPECT_EQ(CCardContext::IsRecognisedAtr(atr.data(), static_cast<DWORD>(atr.size())), recognised)
            << hex;
    }
}

TEST(CardRecognition, RecordChecksComeBeforeTheCardIsContacted) {
    ByteVector unknown = Hex("3B80800102");
    const struct {
        const char* name;
        std::function<void(CARD_DATA&)> spoil;
        DWORD expected;
    } cases[] = {
        {"null ATR", [](CARD_DATA& d) { d.pbAtr = nullptr; }, SCARD_E_INVALID_PARAMETER},
        // A length of no table entry is refused before any matching.
        {"ATR of 16 bytes", [](CARD_DATA& d) { d.cbAtr = 16; }, SCARD_E_INVALID_PARAMETER},
        {"null card name", [](CARD_DATA& d) { d.pwszCardName = nullptr; }, SCARD_E_INVALID_PARAMETER},
        {"null alloc", [](CARD_DATA& d) { d.pfnCspAlloc = nullptr; }, SCARD_E_INVALID_PARAMETER},
        {"null realloc", [](CARD_DATA& d) { d.pfnCspReAlloc = nullptr; }, SCARD_E_INVALID_PARAMETER},
        {"null free", [](CARD_DATA& d) { d.pfnCspFree = nullptr; }, SCARD_E_INVALID_PARAMETER},
        {"unknown ATR of a known length", [&](CARD_DATA& d) { d.pbAtr = unknown.data(), d.cbAtr = 5; },
         SCARD_E_UNKNOWN_CARD},
        {"version 3", [](CARD_DATA& d) { d.dwVersion = 3; }, ERROR_REVISION_MISMATCH},
    };
    for (const auto& c : cases) {
        CardFixture f;
        c.spoil(f.Data());
        EXPECT_EQ(ThrownStatus([&] { f.Context().Initialise(&f.Data()); }),
                  static_cast<StatusCode>(c.expected))
            << c.name;
        EXPECT_TRUE(f.Commands().empty()) << c.name;
    }
    for (const auto& [asked, agreed] : {std::pair<DWORD, DWORD>{4, 4}, {7, 7}, {9, 7}}) {
        CardFixture f;
        f.Data().dwVersion = asked;
        f.Context().Initialise(&f.Data());
        EXPECT_EQ(f.Data().dwVersion, agreed);
    }
}

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
