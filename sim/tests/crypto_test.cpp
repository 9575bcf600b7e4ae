// The card's secure-messaging endpoint and the key checks the APDU tests cannot reach; the host
// seals its pieces with libgcrypt's triple DES.
#include <gtest/gtest.h>

#include <array>
#include <functional>
#include <stdexcept>
#include <string>
#include <vector>

#include "helixsim/crypto.h"
#include "helixsim/sm.h"
#include "sim_key_card.h"

namespace {

using helixsim::AgreementGroup;
using helixsim::SmSession;
using namespace simtest;
namespace crypto = helixsim::crypto;

struct Piece {
    std::array<uint8_t, 4> header;  // CLA with 0C (and 10 when more follow), INS, P1, P2
    Bytes data;                     // 87 81 L 01 cryptogram, 8E 08 MAC
};

// The module's side of the one-shot channel, straight on the card's session: A = g^r and
// K = B^r over the card's group, the masked session keys, then wrapped pieces.
class Host {
public:
    explicit Host(SmSession& card) {
        const Bytes offer = card.Begin(AgreementGroup::Modp2048);  // 80 g 81 p 82 B
        helixsim::Cursor cursor(offer);
        const Bytes g = cursor.NextTlv().value().value, p = cursor.NextTlv().value().value;
        const Bytes b = cursor.NextTlv().value().value, r = crypto::Random(20);
        const Bytes k = crypto::ModExp(b, r, p), answer = card.Agree(crypto::ModExp(g, r, p)).value();
        for (size_t i = 0; i < 16; ++i) {
            m_sk1.push_back(answer.at(i) ^ k.at(i));
            m_sk2.push_back(answer.at(16 + i) ^ k.at(24 + i));
        }
    }

    static Bytes CryptogramObject(const Bytes& cryptogram) {
        return Concat({{0x87, 0x81, static_cast<uint8_t>(cryptogram.size() + 1), 0x01}, cryptogram});
    }
    Piece Seal(std::array<uint8_t, 4> header, uint8_t counter, const Bytes& object) const {
        const Bytes input =
            Concat({Bytes(7, 0), {counter}, {header.begin(), header.end()}, Hex("80000000"), object});
        const Bytes c = GcryTdes(GCRY_CIPHER_MODE_CBC, m_sk2, HostPad(input));
        return Piece{header, Concat({object, Hex("8E08"), Slice(c, c.size() - 8, 8)})};
    }
    Piece WrapPiece(std::array<uint8_t, 4> header, uint8_t counter, const Bytes& plain) const {
        return Seal(header, counter, CryptogramObject(Encrypt(HostPad(plain))));
    }
    Bytes Encrypt(const Bytes& blocks) const { return GcryTdes(GCRY_CIPHER_MODE_CBC, m_sk1, blocks); }

private:
    Bytes m_sk1, m_sk2;
};

constexpr std::array<uint8_t, 4> kSm{0x8C, 0x24, 0x00, 0x00};
constexpr std::array<uint8_t, 4> kSmMore{0x9C, 0x24, 0x00, 0x00};

using Pieces = std::function<std::vector<Piece>(Host&)>;

struct FailureCase {
    std::string name;
    Pieces pieces;  // all but the last are accepted
    uint16_t sw;
};

class CardSecureChannelFailure : public ::testing::TestWithParam<FailureCase> {};

TEST_P(CardSecureChannelFailure, IsRefusedAndEndsTheSession) {
    SmSession card;
    Host host(card);
    const std::vector<Piece> pieces = GetParam().pieces(host);
    for (size_t i = 0; i + 1 < pieces.size(); ++i)
        ASSERT_EQ(card.Unwrap(pieces[i].header, pieces[i].data).sw, 0x9000);
    const SmSession::Unwrapped out = card.Unwrap(pieces.back().header, pieces.back().data);
    EXPECT_EQ(out.sw, GetParam().sw);
    EXPECT_TRUE(out.plain.empty());
    EXPECT_FALSE(card.Active());
    const Piece valid = host.WrapPiece(kSm, 1, Hex("01"));
    EXPECT_EQ(card.Unwrap(valid.header, valid.data).sw, 0x6985);
}

// One valid first piece, changed after it was sealed.
Pieces Edited(const std::function<void(Piece&)>& edit) {
    return [edit](Host& h) {
        Piece p = h.WrapPiece(kSm, 1, Hex("31323334"));
        edit(p);
        return std::vector{p};
    };
}
// Pieces sealed with these counters.
Pieces Counters(std::array<uint8_t, 4> header, std::vector<uint8_t> counters) {
    return [header, counters](Host& h) {
        std::vector<Piece> pieces;
        for (const uint8_t counter : counters) pieces.push_back(h.WrapPiece(header, counter, Hex("01")));
        return pieces;
    };
}

const FailureCase kFailures[] = {
    {"WrongMacByte", Edited([](Piece& p) { p.data.back() ^= 1; }), 0x6988},
    {"ReplayedPiece", Counters(kSmMore, {1, 1}), 0x6988},
    {"SkippedCounter", Counters(kSm, {2}), 0x6988},
    {"AnswerValueNotSkipped", Counters(kSm, {1, 2}), 0x6988},
    {"HeaderChangedAfterMac", Edited([](Piece& p) { p.header[3] = 0x01; }), 0x6988},
    {"BadPaddingUnderValidMac",
     [](Host& h) { return std::vector{h.Seal(kSm, 1, Host::CryptogramObject(h.Encrypt(Bytes(8, 0x11))))}; },
     0x6988},
    {"CryptogramNotWholeBlocks",
     [](Host& h) { return std::vector{h.Seal(kSm, 1, Host::CryptogramObject(Bytes(9, 0x11)))}; }, 0x6A80},
    {"ClaWithoutSecureMessaging", Edited([](Piece& p) { p.header[0] = 0x80; }), 0x6A80},
    {"EmptyField", Edited([](Piece& p) { p.data.clear(); }), 0x6A80},
    {"OtherTag", Edited([](Piece& p) { p.data[0] = 0x85; }), 0x6A80},
    {"ShortLengthForm", Edited([](Piece& p) { p.data.erase(p.data.begin() + 1); }), 0x6A80},
    {"NoPaddingIndicator", Edited([](Piece& p) { p.data[3] = 0x02; }), 0x6A80},
    {"PartialBlock", Edited([](Piece& p) { p.data[2] = 0x08; }), 0x6A80},
    {"LengthPastTheEnd", Edited([](Piece& p) { p.data[2] = 0xF9; }), 0x6A80},
    {"MacMissing", Edited([](Piece& p) { p.data.resize(12); }), 0x6A80},
    {"MacLengthNotEight", Edited([](Piece& p) { p.data[13] = 0x07; }), 0x6A80},
    {"TrailingByte", Edited([](Piece& p) { p.data.push_back(0); }), 0x6A80},
};
INSTANTIATE_TEST_SUITE_P(Cases, CardSecureChannelFailure, ::testing::ValuesIn(kFailures), CaseName);

// Pieces before an agreement, degenerate or repeated host values: each ends the exchange. The
// group is the standard one, with a fresh card value every time.
TEST(CardSecureChannel, AgreementRefusesPiecesFirstAndDegenerateOrRepeatedValues) {
    SmSession early;
    EXPECT_EQ(early.Unwrap(kSm, Bytes(22, 0)).sw, 0x6985);
    const Bytes begin = early.Begin(AgreementGroup::Modp2048);
    EXPECT_EQ(early.Unwrap(kSm, Bytes(22, 0)).sw, 0x6985);
    EXPECT_FALSE(early.Agree(Hex("02"))) << "the refused piece also discarded the pending exponent";
    const Bytes p = crypto::ModpGroup(AgreementGroup::Modp2048).prime;
    EXPECT_EQ(Slice(begin, 0, 7 + 256), Concat({Hex("800102 81820100"), p}));
    EXPECT_EQ(ToHex(Concat({Slice(p, 0, 8), Slice(p, 248, 8)})), "FFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFF");
    EXPECT_EQ(ToHex(Slice(crypto::ModpGroup(AgreementGroup::Modp1536).prime, 8, 8)), "C90FDAA22168C234");
    EXPECT_NE(early.Begin(AgreementGroup::Modp2048), begin);

    Bytes pMinus1 = p;
    pMinus1.back() -= 1;
    for (const Bytes& a : {Hex("00"), Hex("01"), pMinus1, p, Bytes(257, 0x01)}) {
        SmSession card;
        card.Begin(AgreementGroup::Modp2048);
        EXPECT_FALSE(card.Agree(a)) << ToHex(a);
        EXPECT_FALSE(card.Active());
    }
    SmSession card;
    EXPECT_FALSE(card.Agree(Hex("02")));
    Host host(card);
    EXPECT_FALSE(card.Agree(Hex("02")));
}

// An imported RSA key with any component changed is refused; so is an agreement with a point off
// the curve.
TEST(CardAsymKey, ImportedComponentsMustBelongTogether) {
    const Pkey rsa(EVP_RSA_gen(512));
    std::vector<Bytes> components;
    for (const char* name :
         {OSSL_PKEY_PARAM_RSA_N, OSSL_PKEY_PARAM_RSA_E, OSSL_PKEY_PARAM_RSA_D, OSSL_PKEY_PARAM_RSA_FACTOR1,
          OSSL_PKEY_PARAM_RSA_FACTOR2, OSSL_PKEY_PARAM_RSA_EXPONENT1, OSSL_PKEY_PARAM_RSA_EXPONENT2,
          OSSL_PKEY_PARAM_RSA_COEFFICIENT1})
        components.push_back(Component(rsa.get(), name, std::string(name) == OSSL_PKEY_PARAM_RSA_E ? 3 : 64));
    const auto make = [](const std::vector<Bytes>& c) {
        return crypto::AsymKey::FromRsa(c[0], c[1], c[2], c[3], c[4], c[5], c[6], c[7]);
    };
    EXPECT_EQ(make(components).Modulus(), components[0]);
    for (size_t i = 0; i < components.size(); ++i) {
        std::vector<Bytes> tampered = components;
        tampered[i].back() ^= 0x02;
        EXPECT_THROW(make(tampered), std::invalid_argument) << "component " << i;
    }

    const crypto::AsymKey mine = crypto::AsymKey::GenerateEc(crypto::Curve::P256);
    const Bytes point = crypto::AsymKey::GenerateEc(crypto::Curve::P256).PublicPoint();
    ASSERT_TRUE(mine.EcdhX(point));
    Bytes offCurve = point, compressed = point;
    offCurve.back() ^= 0x01;
    compressed[0] = 0x02;
    for (const Bytes& bad : {offCurve, compressed, Concat({{0x04}, Bytes(64, 0)}), Slice(point, 0, 64)})
        EXPECT_FALSE(mine.EcdhX(bad)) << ToHex(bad);
}

}  // namespace
