// The card's secure-messaging endpoint and the cryptography the APDU tests cannot reach, checked
// against a host engine built on libgcrypt exactly as the module wraps its commands.
#include <gcrypt.h>
#include <gtest/gtest.h>

#include <functional>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "helixsim/apdu.h"
#include "helixsim/crypto.h"
#include "helixsim/sm.h"
#include "sim_card.h"

namespace {

using helixsim::AgreementGroup;
using helixsim::SmSession;
using namespace simtest;
namespace crypto = helixsim::crypto;
using Curve = crypto::Curve;
using Sexp = helixsim::Owned<gcry_sexp, gcry_sexp_release>;

// The module's side of the one-shot channel, straight on the card's session.
struct Host : HostSession {
    explicit Host(SmSession& card, AgreementGroup group = AgreementGroup::Modp2048)
        : HostSession(card.Begin(group), [&card](const Bytes& a) { return card.Agree(a); }) {}
};

constexpr std::array<uint8_t, 4> kSetPin{0x80, 0x24, 0x00, 0x00};
constexpr std::array<uint8_t, 4> kSmSetPin{0x8C, 0x24, 0x00, 0x00};
constexpr std::array<uint8_t, 4> kSmSetPinMore{0x9C, 0x24, 0x00, 0x00};

class CardSecureChannelLengths : public ::testing::TestWithParam<size_t> {};

TEST_P(CardSecureChannelLengths, CardRecoversTheCommandFromEveryPiece) {
    SmSession card;
    Host host(card);
    const Bytes data = HostRandom(GetParam());
    const std::vector<Piece> pieces = host.Wrap(kSetPin, data);
    EXPECT_EQ(pieces.size(), (data.size() + 223) / 224);
    Bytes plain;
    for (const Piece& piece : pieces) {
        const SmSession::Unwrapped out = card.Unwrap(piece.header, piece.data);
        ASSERT_EQ(out.sw, 0x9000);
        plain.insert(plain.end(), out.plain.begin(), out.plain.end());
    }
    EXPECT_EQ(plain, data);
    const Piece next = host.Wrap(kSetPin, Hex("0102")).front();  // counter after the skipped value
    EXPECT_EQ(card.Unwrap(next.header, next.data).plain, Hex("0102"));
}
INSTANTIATE_TEST_SUITE_P(Lengths, CardSecureChannelLengths,
                         ::testing::Values(1, 7, 8, 223, 224, 225, 448, 460),
                         [](const auto& p) { return "Bytes" + std::to_string(p.param); });

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
    const Piece valid = host.WrapPiece(kSmSetPin, 1, Hex("01"));
    EXPECT_EQ(card.Unwrap(valid.header, valid.data).sw, 0x6985);
}

// One valid first piece, changed after it was sealed.
Pieces Edited(const std::function<void(Piece&)>& edit) {
    return [edit](Host& h) {
        Piece p = h.WrapPiece(kSmSetPin, 1, Hex("31323334"));
        edit(p);
        return std::vector{p};
    };
}
// Pieces sealed with these counters.
Pieces Counters(std::array<uint8_t, 4> header, std::initializer_list<uint8_t> counters) {
    const std::vector<uint8_t> values(counters);
    return [header, values](Host& h) {
        std::vector<Piece> pieces;
        pieces.reserve(values.size());
        for (const uint8_t counter : values) pieces.push_back(h.WrapPiece(header, counter, Hex("01")));
        return pieces;
    };
}

std::vector<FailureCase> Failures() {
    return {
        {"WrongMacByte", Edited([](Piece& p) { p.data.back() ^= 1; }), 0x6988},
        {"ReplayedPiece", Counters(kSmSetPinMore, {1, 1}), 0x6988},
        {"SkippedCounter", Counters(kSmSetPin, {2}), 0x6988},
        {"AnswerValueNotSkipped", Counters(kSmSetPin, {1, 2}), 0x6988},
        {"HeaderChangedAfterMac", Edited([](Piece& p) { p.header[3] = 0x01; }), 0x6988},
        {"BadPaddingUnderValidMac",
         [](Host& h) {
             return std::vector{h.Seal(kSmSetPin, 1, Host::CryptogramObject(h.Encrypt(Bytes(8, 0x11))))};
         },
         0x6988},
        {"ClaWithoutSecureMessaging", Edited([](Piece& p) { p.header[0] = 0x80; }), 0x6A80},
        {"EmptyField", Edited([](Piece& p) { p.data.clear(); }), 0x6A80},
        {"OtherTag", Edited([](Piece& p) { p.data[0] = 0x85; }), 0x6A80},
        {"ShortLengthForm", Edited([](Piece& p) { p.data.erase(p.data.begin() + 1); }), 0x6A80},
        {"NoPaddingIndicator", Edited([](Piece& p) { p.data[3] = 0x02; }), 0x6A80},
        {"PartialBlock", Edited([](Piece& p) { p.data[2] = 0x08; }), 0x6A80},
        {"LengthPastTheEnd", Edited([](Piece& p) { p.data[2] = 0xF9; }), 0x6A80},
        {"MacMissing", Edited([](Piece& p) { p.data.resize(12); }), 0x6A80},
        {"ShortMac", Edited([](Piece& p) {
             p.data = Concat({Slice(p.data, 0, 13), {0x07}, Slice(p.data, 14, 7)});
         }),
         0x6A80},
        {"MacLengthNotEight", Edited([](Piece& p) { p.data[13] = 0x07; }), 0x6A80},
        {"TrailingByte", Edited([](Piece& p) { p.data.push_back(0); }), 0x6A80},
    };
}
INSTANTIATE_TEST_SUITE_P(Cases, CardSecureChannelFailure, ::testing::ValuesIn(Failures()),
                         [](const auto& c) { return c.param.name; });

// Pieces before an agreement, degenerate or repeated host values: each ends the exchange.
TEST(CardSecureChannel, AgreementRefusesPiecesFirstAndDegenerateOrRepeatedValues) {
    SmSession early;
    EXPECT_EQ(early.Unwrap(kSmSetPin, Bytes(22, 0)).sw, 0x6985);
    early.Begin(AgreementGroup::Modp2048);
    EXPECT_EQ(early.Unwrap(kSmSetPin, Bytes(22, 0)).sw, 0x6985);
    EXPECT_FALSE(early.Active());
    EXPECT_FALSE(early.Agree(Hex("02")));  // the refused piece also discarded the pending exponent

    const Bytes p = crypto::ModpGroup(AgreementGroup::Modp2048).prime;
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

struct GroupCase {
    helixsim::AgreementGroup group;
    const char* head;  // 80 01 02 81, the prime's BER length
    size_t bytes;
};

class CardSecureChannelGroup : public ::testing::TestWithParam<GroupCase> {};

TEST_P(CardSecureChannelGroup, BeginOffersTheStandardGroupAndAFreshPublicValue) {
    GcryReady();
    SmSession card;
    const size_t n = GetParam().bytes;
    const size_t head = Hex(GetParam().head).size();
    const Bytes first = card.Begin(GetParam().group);
    const Bytes second = card.Begin(GetParam().group);
    ASSERT_EQ(first.size(), 2 * head + 2 * n - 3);
    EXPECT_EQ(Slice(first, 0, head), Hex(GetParam().head));
    const Bytes p = Slice(first, head, n);
    EXPECT_EQ(Slice(p, 0, 16), Hex("FFFFFFFFFFFFFFFFC90FDAA22168C234"));
    EXPECT_EQ(Slice(p, n - 8, 8), Hex("FFFFFFFFFFFFFFFF"));
    EXPECT_EQ(gcry_prime_check(ToMpi(p).get(), 0), 0u);
    EXPECT_NE(Slice(first, first.size() - n, n), Slice(second, first.size() - n, n));
}
const GroupCase kCardSecureChannelGroupCases[] = {
    {AgreementGroup::Modp2048, "800102 81820100", 256},
    {AgreementGroup::Modp1536, "800102 8181C0", 192},
};
INSTANTIATE_TEST_SUITE_P(Groups, CardSecureChannelGroup, testing::ValuesIn(kCardSecureChannelGroupCases),
                         [](const auto& c) { return "Modp" + std::to_string(c.param.bytes * 8); });

TEST(CardCrypto, Pad2AndItsStrictRemoval) {
    EXPECT_EQ(crypto::Pad2({}), Hex("8000000000000000"));
    EXPECT_EQ(crypto::Pad2(Hex("01020304050607")), Hex("0102030405060780"));
    EXPECT_EQ(crypto::Unpad2(Hex("0102030405060780")), Hex("01020304050607"));
    EXPECT_EQ(crypto::Unpad2(Hex("8000000000000000")), Bytes{});
    for (const char* bad : {"", "80", "0102030405060708", "0000000000000000", "8000000000000001",
                            "01800000000000000000000000000000"})
        EXPECT_FALSE(crypto::Unpad2(Hex(bad))) << bad;
}

Bytes SexpBytes(gcry_sexp_t list, const char* token) {
    const Sexp item(gcry_sexp_find_token(list, token, 0));
    EXPECT_TRUE(item) << token;
    if (!item) return {};
    size_t n = 0;
    const char* data = gcry_sexp_nth_data(item.get(), 1, &n);
    return Bytes(data, data + n);
}

Bytes Unsigned(const Bytes& b) {
    return FromMpi(ToMpi(b).get());
}

TEST(CardAsymKey, FromRsaTakesHostComponentsAndRefusesAnyTamperedOne) {
    GcryReady();
    gcry_sexp_t params = nullptr;
    gcry_sexp_t generated = nullptr;
    ASSERT_EQ(gcry_sexp_new(&params, "(genkey (rsa (nbits 4:1024)))", 0, 1), 0u);
    const Sexp request(params);
    ASSERT_EQ(gcry_pk_genkey(&generated, params), 0u);
    const Sexp key(gcry_sexp_find_token(Sexp(generated).get(), "private-key", 0));
    // The host's p < q with u = p^-1 mod q; the card's qInv = q^-1 mod p, so the primes swap.
    const Bytes n = SexpBytes(key.get(), "n");
    const Bytes d = SexpBytes(key.get(), "d");
    const Bytes p = SexpBytes(key.get(), "q");
    const Bytes q = SexpBytes(key.get(), "p");
    const auto reduced = [&](const Bytes& prime) {
        const Mpi m = ToMpi(prime);
        const Mpi out(gcry_mpi_new(0));
        gcry_mpi_sub_ui(m.get(), m.get(), 1);
        gcry_mpi_mod(out.get(), ToMpi(d).get(), m.get());
        return FromMpi(out.get());
    };
    const std::vector<Bytes> parts{n,          SexpBytes(key.get(), "e"), d, p, q, reduced(p),
                                   reduced(q), SexpBytes(key.get(), "u")};
    const auto make = [](const std::vector<Bytes>& c) {
        return crypto::AsymKey::FromRsa(c[0], c[1], c[2], c[3], c[4], c[5], c[6], c[7]);
    };
    const crypto::AsymKey card = make(parts);
    EXPECT_EQ(Unsigned(card.Modulus()), Unsigned(n));
    const Bytes x = Bytes(128, 0x07);
    EXPECT_EQ(card.RsaPrivate(x), PowMod(x, d, Unsigned(n)));
    for (size_t i = 0; i < parts.size(); ++i) {
        std::vector<Bytes> tampered = parts;
        tampered[i].back() ^= 0x02;
        EXPECT_THROW(make(tampered), std::invalid_argument) << "component " << i;
    }
    const Bytes der = card.Der();
    for (const Bytes& bad :
         {Bytes{}, Hex("3003020100"), Slice(der, 0, der.size() - 1), Concat({der, Hex("00")})})
        EXPECT_THROW(crypto::AsymKey::FromDer(bad), std::invalid_argument);
}

struct CurveCase {
    Curve curve;
    const char* hostName;
    size_t bytes;
};

class CardEcKey : public ::testing::TestWithParam<CurveCase> {};

// The templates the module sends carry these parameters; the card compares them byte for byte.
TEST_P(CardEcKey, DomainParametersMatchTheHostEngine) {
    GcryReady();
    const crypto::DomainParameters dp = crypto::CurveParameters(GetParam().curve);
    const Sexp host(gcry_pk_get_param(GCRY_PK_ECC, GetParam().hostName));
    ASSERT_TRUE(host);
    const size_t n = GetParam().bytes;
    EXPECT_EQ(crypto::CurveBytes(GetParam().curve), n);
    for (const auto& [token, value] : {std::pair{"p", dp.p}, {"a", dp.a}, {"b", dp.b}, {"n", dp.n}}) {
        EXPECT_EQ(value.size(), n) << token;
        EXPECT_EQ(Unsigned(value), Unsigned(SexpBytes(host.get(), token))) << token;
    }
    EXPECT_EQ(dp.g, SexpBytes(host.get(), "g"));
    EXPECT_EQ(dp.h, Hex("01"));
}

TEST_P(CardEcKey, EcdhRefusesInvalidPoints) {
    const crypto::AsymKey a = crypto::AsymKey::GenerateEc(GetParam().curve);
    const crypto::AsymKey b = crypto::AsymKey::GenerateEc(GetParam().curve);
    ASSERT_TRUE(a.EcdhX(b.PublicPoint()));
    Bytes offCurve = b.PublicPoint();
    Bytes compressed = b.PublicPoint();
    offCurve.back() ^= 0x01;
    compressed[0] = 0x02;
    const Bytes zero = Concat({{0x04}, Bytes(2 * GetParam().bytes, 0)});
    for (const Bytes& bad : {offCurve, compressed, zero, Slice(offCurve, 0, offCurve.size() - 1)})
        EXPECT_FALSE(a.EcdhX(bad)) << ToHex(bad);
}
const CurveCase kCardEcKeyCases[] = {
    {Curve::P256, "NIST P-256", 32},
    {Curve::P384, "NIST P-384", 48},
    {Curve::P521, "NIST P-521", 66},
};
INSTANTIATE_TEST_SUITE_P(Curves, CardEcKey, testing::ValuesIn(kCardEcKeyCases),
                         [](const auto& c) { return std::string(c.param.hostName).substr(5).erase(1, 1); });

}  // namespace
