#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "channel/scard_sender.h"
#include "hex.h"
#include "libapdu/apperror/error_helix.h"
#include "libapdu/libapdu.h"
#include "scripted_card.h"
#include "thrown.h"

using libapdu::ByteVector;
using libapdu::CreateToken;
using libapdu::IToken;

namespace {

const char* const kSelectHelix = "00A404000C A000000164505249534D 0001";

std::unique_ptr<IToken> Token() {
    return CreateToken(std::make_unique<CSCardSender>(ScriptedCard::kHandle, 3));
}

}  // namespace

struct Normalisation {
    uint16_t in;
    std::optional<uint16_t> shared;  // nullopt: accepted
    std::optional<uint16_t> helix;
};

TEST(StatusWords, AreFoldedIntoTheSetTheModuleMapsAndHelixTurns6B00IntoNoRoom) {
    const Normalisation cases[] = {
        {0x9000, std::nullopt, std::nullopt},
        {0x90FF, std::nullopt, std::nullopt},
        {0x6110, std::nullopt, std::nullopt},
        {0x63C2, 0x6300, 0x6300},
        {0x6381, 0x6400, 0x6400},
        {0x6A83, 0x6A82, 0x6A82},
        {0x6986, 0x6A82, 0x6A82},
        {0x6A88, 0x6A82, 0x6A82},
        {0x6A80, 0x6B00, 0x6B00},
        {0x6D00, 0x6B00, 0x6B00},
        {0x6B00, 0x6B00, 0x6400},
        {0x6A84, 0x6400, 0x6400},
        {0x6982, 0x6900, 0x6900},
        {0x6983, 0x6983, 0x6983},
        {0x6981, 0x6283, 0x6283},
        {0x6284, 0x6281, 0x6281},
        {0x6285, 0x6283, 0x6283},
        {0x6A8A, 0x6A89, 0x6A89},
        {0x6B01, 0xFFFF, 0xFFFF},
        {0x6F12, 0x6F00, 0x6F00},
        {0x0000, 0xFFFF, 0xFFFF},
        {0x9100, 0xFFFF, 0xFFFF},
        {0x6700, 0x6B00, 0x6B00},
        {0x6600, 0x6900, 0x6900},
    };
    libapdu::IAppError shared;
    libapdu::CErrorHelix helix;
    for (const Normalisation& c : cases) {
        EXPECT_EQ(ThrownStatusWord([&] { shared.Check(c.in); }), c.shared) << std::hex << c.in;
        EXPECT_EQ(ThrownStatusWord([&] { helix.Check(c.in); }), c.helix) << std::hex << c.in;
    }
}

TEST(StatusWords, ResponseShorterThanTwoBytesHasWordZero) {
    libapdu::CErrorHelix helix;
    EXPECT_EQ(helix.StatusWord(Hex("90")), 0);
    EXPECT_EQ(ThrownStatusWord([&] { helix.CheckResponse(Hex("90")); }), 0xFFFF);
    EXPECT_EQ(helix.StatusWord(Hex("01 02 6A 82")), 0x6A82);
}

TEST(Token, FreshTokenHasOnlyStubFacets) {
    ScriptedCard card({});
    auto token = Token();
    EXPECT_EQ(ThrownStatusWord([&] { token->GetFS()->SelectPath({0x3F00}); }), 0xFACE);
    EXPECT_EQ(ThrownStatusWord([&] { token->GetPin()->GetChallenge(); }), 0xFACE);
    EXPECT_EQ(ThrownStatusWord([&] { token->GetCrypto()->GetAlgorithmInfo(0x1001); }), 0xFACE);
}

TEST(Token, OnlyTheHelixFamilyCanBeProbedOrCreated) {
    ScriptedCard card({});
    auto token = Token();
    for (uint16_t id : {0x3000, 0x1002, 0x2001, 0x2207}) {
        EXPECT_EQ(ThrownStatusWord([&] { token->Probe(id); }), 0xFACE) << id;
        EXPECT_EQ(ThrownStatusWord([&] { token->CreateApplet(id); }), 0xFACE) << id;
    }
}

TEST(Token, ProbeIsTrueExactlyFor9000) {
    ScriptedCard card({{kSelectHelix, "9000"}, {kSelectHelix, "6A82"}, {kSelectHelix, "9001"}});
    auto token = Token();
    EXPECT_TRUE(token->Probe(0x2101));
    EXPECT_FALSE(token->Probe(0x2101));
    EXPECT_FALSE(token->Probe(0x2101));
}

TEST(Token, RefusedSelectionThrowsAndKeepsTheNewApplet) {
    ScriptedCard card({{kSelectHelix, "6A82"}});
    auto token = Token();
    EXPECT_EQ(ThrownStatusWord([&] { token->Select(0x2101); }), 0x6A82);
    // The Helix applet is in place: its session facet is a stub, its error facet is Helix's.
    EXPECT_EQ(ThrownStatusWord([&] { token->GetError()->Check(0x6B00); }), 0x6400);
}

TEST(Token, EverySelectionReplacesTheApplet) {
    ScriptedCard card({{kSelectHelix, "9000"}, {kSelectHelix, "9000"}});
    auto token = Token();
    token->Select(0x2101);
    token->Select(0x2101);  // the script insists on the second SELECT
    EXPECT_EQ(ThrownStatusWord([&] { token->GetSession()->Reserved1(); }), 0xFACE);
}

TEST(Token, UnnamedSlotsOfHelixKeepTheDefault) {
    ScriptedCard card({{kSelectHelix, "9000"}});
    auto token = Token();
    token->Select(0x2101);
    EXPECT_EQ(ThrownStatusWord([&] { token->GetFS()->Reserved11(); }), 0xFACE);
    EXPECT_EQ(ThrownStatusWord([&] { token->GetCrypto()->Reserved3(); }), 0xFACE);
    EXPECT_EQ(ThrownStatusWord([&] { token->GetSession()->Reserved9(); }), 0xFACE);
}
