// The card's OpenSSL cryptography and secure-messaging endpoint, checked against a host engine
// built on libgcrypt exactly as the module wraps its commands.
#include <gcrypt.h>
#include <gtest/gtest.h>

#include <array>
#include <functional>
#include <map>
#include <memory>
#include <ostream>
#include <stdexcept>
#include <string>
#include <vector>

#include "helixsim/crypto.h"
#include "helixsim/sm.h"
#include "hex.h"

namespace {

using helixsim::Bytes;
using helixsim::SmSession;
namespace crypto = helixsim::crypto;
using Curve = crypto::Curve;

template <typename T, void (*Free)(T*)>
struct Deleter {
    void operator()(T* p) const { Free(p); }
};
using Mpi = std::unique_ptr<gcry_mpi, Deleter<gcry_mpi, gcry_mpi_release>>;
using Sexp = std::unique_ptr<gcry_sexp, Deleter<gcry_sexp, gcry_sexp_release>>;

void GcryReady() {
    // Quick random keeps key generation off the very-strong pool, whose entropy collector is
    // never freed and would fail the leak check; test keys need no more.
    static const bool ready =
        gcry_check_version(nullptr) != nullptr && gcry_control(GCRYCTL_ENABLE_QUICK_RANDOM, 0) == 0;
    ASSERT_TRUE(ready);
}

Mpi ToMpi(const Bytes& bytes) {
    gcry_mpi_t m = nullptr;
    EXPECT_EQ(gcry_mpi_scan(&m, GCRYMPI_FMT_USG, bytes.data(), bytes.size(), nullptr), 0u);
    return Mpi(m);
}

Bytes FromMpi(gcry_mpi_t m, size_t length = 0) {
    size_t n = 0;
    gcry_mpi_print(GCRYMPI_FMT_USG, nullptr, 0, &n, m);
    Bytes out(n);
    gcry_mpi_print(GCRYMPI_FMT_USG, out.data(), n, &n, m);
    if (length > n) out.insert(out.begin(), length - n, 0);
    return out;
}

Bytes PowMod(const Bytes& base, const Bytes& exponent, const Bytes& mod) {
    const Mpi r(gcry_mpi_new(0));
    gcry_mpi_powm(r.get(), ToMpi(base).get(), ToMpi(exponent).get(), ToMpi(mod).get());
    return FromMpi(r.get(), mod.size());
}

Bytes HostRandom(size_t n) {
    GcryReady();
    Bytes out(n);
    gcry_randomize(out.data(), n, GCRY_STRONG_RANDOM);
    return out;
}

Bytes HostTdes(int mode, const Bytes& key, const Bytes& data, bool encrypt = true) {
    GcryReady();
    Bytes full(key);
    if (full.size() == 16) full.insert(full.end(), key.begin(), key.begin() + 8);
    gcry_cipher_hd_t h = nullptr;
    EXPECT_EQ(gcry_cipher_open(&h, GCRY_CIPHER_3DES, mode, 0), 0u);
    EXPECT_EQ(gcry_cipher_setkey(h, full.data(), full.size()), 0u);
    const Bytes iv(8, 0);
    if (mode == GCRY_CIPHER_MODE_CBC) gcry_cipher_setiv(h, iv.data(), iv.size());
    Bytes out(data.size());
    EXPECT_EQ(encrypt ? gcry_cipher_encrypt(h, out.data(), out.size(), data.data(), data.size())
                      : gcry_cipher_decrypt(h, out.data(), out.size(), data.data(), data.size()),
              0u);
    gcry_cipher_close(h);
    return out;
}

Bytes HostPad(Bytes data) {
    data.push_back(0x80);
    while (data.size() % 8 != 0) data.push_back(0);
    return data;
}

Bytes HostMac(const Bytes& key, const Bytes& data) {
    const Bytes c = HostTdes(GCRY_CIPHER_MODE_CBC, key, HostPad(data));
    return Bytes(c.end() - 8, c.end());
}

Bytes Cat(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const Bytes& p : parts) out.insert(out.end(), p.begin(), p.end());
    return out;
}

Bytes Slice(const Bytes& b, size_t from, size_t n) {
    return Bytes(b.begin() + from, b.begin() + from + n);
}

struct Piece {
    std::array<uint8_t, 4> header;
    Bytes data;
};

// The module's side of the one-shot channel.
struct Host {
    Bytes sk1, sk2;
    uint8_t counter = 0;

    explicit Host(SmSession& card) {
        const Bytes begin = card.Begin(helixsim::AgreementGroup::Modp2048);
        EXPECT_EQ(begin.size(), 3u + 2 * (4 + 256));
        EXPECT_EQ(Slice(begin, 0, 7), Hex("800102 81820100"));
        EXPECT_EQ(Slice(begin, 263, 4), Hex("82820100"));
        const Bytes p = Slice(begin, 7, 256), b = Slice(begin, 267, 256);
        const Bytes r = HostRandom(20);
        Bytes g(256, 0);
        g.back() = 2;
        const Bytes k = PowMod(b, r, p);
        const std::optional<Bytes> answer = card.Agree(PowMod(g, r, p));
        EXPECT_TRUE(answer && answer->size() == 32);
        if (!answer) return;
        for (size_t i = 0; i < 16; ++i) {
            sk1.push_back((*answer)[i] ^ k[i]);
            sk2.push_back((*answer)[16 + i] ^ k[24 + i]);
        }
    }

    Bytes CryptogramObject(const Bytes& cryptogram) const {
        return Cat({{0x87, 0x81, static_cast<uint8_t>(cryptogram.size() + 1), 0x01}, cryptogram});
    }
    Piece Seal(std::array<uint8_t, 4> header, uint8_t count, const Bytes& object) const {
        const Bytes mac = HostMac(
            sk2, Cat({Bytes(7, 0), {count}, {header.begin(), header.end()}, Hex("80000000"), object}));
        return Piece{header, Cat({object, Hex("8E08"), mac})};
    }
    Piece WrapPiece(std::array<uint8_t, 4> header, uint8_t count, const Bytes& plain) const {
        return Seal(header, count, CryptogramObject(HostTdes(GCRY_CIPHER_MODE_CBC, sk1, HostPad(plain))));
    }
    std::vector<Piece> Wrap(std::array<uint8_t, 4> header, const Bytes& data) {
        header[0] |= 0x0C;
        std::vector<Piece> pieces;
        for (size_t at = 0; at < data.size(); at += 224) {
            const size_t n = std::min<size_t>(224, data.size() - at);
            std::array<uint8_t, 4> h = header;
            if (at + n < data.size()) h[0] |= 0x10;
            pieces.push_back(WrapPiece(h, ++counter, Slice(data, at, n)));
        }
        ++counter;
        return pieces;
    }
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
                         ::testing::Values(1, 7, 8, 223, 224, 225, 448, 460));

struct FailureCase {
    std::string name;
    std::function<std::vector<Piece>(Host&)> pieces;  // all but the last are accepted
    uint16_t sw;
};

void PrintTo(const FailureCase& c, std::ostream* os) {
    *os << c.name;
}

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

Piece Edited(Piece piece, const std::function<void(Bytes&)>& edit) {
    edit(piece.data);
    return piece;
}

Piece ValidPiece(const Host& h) {
    return h.WrapPiece(kSmSetPin, 1, Hex("31323334"));
}

const FailureCase kFailures[] = {
    {"WrongMacByte",
     [](Host& h) { return std::vector{Edited(ValidPiece(h), [](Bytes& d) { d.back() ^= 1; })}; }, 0x6988},
    {"ReplayedPiece",
     [](Host& h) {
         return std::vector{h.WrapPiece(kSmSetPinMore, 1, Hex("01")),
                            h.WrapPiece(kSmSetPinMore, 1, Hex("01"))};
     },
     0x6988},
    {"SkippedCounter", [](Host& h) { return std::vector{h.WrapPiece(kSmSetPin, 2, Hex("01"))}; }, 0x6988},
    {"AnswerValueNotSkipped",
     [](Host& h) {
         return std::vector{h.WrapPiece(kSmSetPin, 1, Hex("01")), h.WrapPiece(kSmSetPin, 2, Hex("01"))};
     },
     0x6988},
    {"HeaderChangedAfterMac",
     [](Host& h) {
         Piece p = ValidPiece(h);
         p.header[3] = 0x01;
         return std::vector{p};
     },
     0x6988},
    {"BadPaddingUnderValidMac",
     [](Host& h) {
         return std::vector{
             h.Seal(kSmSetPin, 1, h.CryptogramObject(HostTdes(GCRY_CIPHER_MODE_CBC, h.sk1, Bytes(8, 0x11))))};
     },
     0x6988},
    {"ClaWithoutSecureMessaging",
     [](Host& h) {
         Piece p = ValidPiece(h);
         p.header[0] = 0x80;
         return std::vector{p};
     },
     0x6A80},
    {"EmptyField", [](Host& h) { return std::vector{Edited(ValidPiece(h), [](Bytes& d) { d.clear(); })}; },
     0x6A80},
    {"OtherTag", [](Host& h) { return std::vector{Edited(ValidPiece(h), [](Bytes& d) { d[0] = 0x85; })}; },
     0x6A80},
    {"ShortLengthForm",
     [](Host& h) { return std::vector{Edited(ValidPiece(h), [](Bytes& d) { d.erase(d.begin() + 1); })}; },
     0x6A80},
    {"NoPaddingIndicator",
     [](Host& h) { return std::vector{Edited(ValidPiece(h), [](Bytes& d) { d[3] = 0x02; })}; }, 0x6A80},
    {"PartialBlock",
     [](Host& h) { return std::vector{Edited(ValidPiece(h), [](Bytes& d) { d[2] = 0x08; })}; }, 0x6A80},
    {"LengthPastTheEnd",
     [](Host& h) { return std::vector{Edited(ValidPiece(h), [](Bytes& d) { d[2] = 0xF9; })}; }, 0x6A80},
    {"MacMissing", [](Host& h) { return std::vector{Edited(ValidPiece(h), [](Bytes& d) { d.resize(12); })}; },
     0x6A80},
    {"ShortMac",
     [](Host& h) {
         return std::vector{Edited(ValidPiece(h), [](Bytes& d) {
             d[13] = 0x07;
             d.pop_back();
         })};
     },
     0x6A80},
    {"TrailingByte",
     [](Host& h) { return std::vector{Edited(ValidPiece(h), [](Bytes& d) { d.push_back(0); })}; }, 0x6A80},
};
INSTANTIATE_TEST_SUITE_P(Cases, CardSecureChannelFailure, ::testing::ValuesIn(kFailures),
                         [](const auto& c) { return c.param.name; });

TEST(CardSecureChannel, PiecesBeforeAnAgreementAreRefused) {
    SmSession card;
    EXPECT_EQ(card.Unwrap(kSmSetPin, Bytes(22, 0)).sw, 0x6985);
    card.Begin(helixsim::AgreementGroup::Modp2048);
    EXPECT_EQ(card.Unwrap(kSmSetPin, Bytes(22, 0)).sw, 0x6985);
    EXPECT_FALSE(card.Active());
    EXPECT_FALSE(card.Agree(Hex("02")));  // the refused piece also discarded the pending exponent
}

TEST(CardSecureChannel, AgreementRefusesDegenerateOrRepeatedHostValues) {
    const Bytes p = crypto::ModpGroup(helixsim::AgreementGroup::Modp2048).prime;
    Bytes pMinus1 = p;
    pMinus1.back() -= 1;
    for (const Bytes& a : {Hex("00"), Hex("01"), pMinus1, p, Bytes(257, 0x01)}) {
        SmSession card;
        card.Begin(helixsim::AgreementGroup::Modp2048);
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
    const size_t n = GetParam().bytes, head = Hex(GetParam().head).size();
    const Bytes first = card.Begin(GetParam().group), second = card.Begin(GetParam().group);
    ASSERT_EQ(first.size(), 2 * head + 2 * n - 3);
    EXPECT_EQ(Slice(first, 0, head), Hex(GetParam().head));
    const Bytes p = Slice(first, head, n);
    EXPECT_EQ(Slice(p, 0, 16), Hex("FFFFFFFFFFFFFFFFC90FDAA22168C234"));
    EXPECT_EQ(Slice(p, n - 8, 8), Hex("FFFFFFFFFFFFFFFF"));
    EXPECT_EQ(gcry_prime_check(ToMpi(p).get(), 0), 0u);
    EXPECT_NE(Slice(first, first.size() - n, n), Slice(second, first.size() - n, n));
}
INSTANTIATE_TEST_SUITE_P(Groups, CardSecureChannelGroup,
                         ::testing::Values(GroupCase{helixsim::AgreementGroup::Modp2048, "800102 81820100", 256},
                                           GroupCase{helixsim::AgreementGroup::Modp1536, "800102 8181C0", 192}),
                         [](const auto& c) { return std::to_string(c.param.bytes * 8); });

TEST(CardCrypto, TripleDesAndMacMatchTheHostEngine) {
    for (size_t keyLength : {16, 24}) {
        const Bytes key = HostRandom(keyLength), data = HostRandom(64);
        const Bytes cbc = crypto::TdesCbcEncrypt(key, data);
        EXPECT_EQ(cbc, HostTdes(GCRY_CIPHER_MODE_CBC, key, data));
        EXPECT_EQ(crypto::TdesCbcDecrypt(key, cbc), data);
        EXPECT_EQ(crypto::TdesEcbEncrypt(key, data), HostTdes(GCRY_CIPHER_MODE_ECB, key, data));
        EXPECT_EQ(crypto::TdesCbcMac(key, Slice(data, 0, 29)), HostMac(key, Slice(data, 0, 29)));
    }
    EXPECT_THROW(crypto::TdesCbcEncrypt(Bytes(8, 1), Bytes(8)), std::invalid_argument);
    EXPECT_THROW(crypto::TdesCbcDecrypt(Bytes(16, 1), Bytes(7)), std::invalid_argument);
}

TEST(CardCrypto, Pad2AndItsStrictRemoval) {
    EXPECT_EQ(crypto::Pad2({}), Hex("8000000000000000"));
    EXPECT_EQ(crypto::Pad2(Hex("01020304050607")), Hex("0102030405060780"));
    EXPECT_EQ(crypto::Unpad2(Hex("0102030405060780")), Hex("01020304050607"));
    EXPECT_EQ(crypto::Unpad2(Hex("8000000000000000")), Bytes{});
    for (const char* bad : {"", "80", "0102030405060708", "0000000000000000", "8000000000000001",
                            "01800000000000000000000000000000"})
        EXPECT_FALSE(crypto::Unpad2(Hex(bad))) << bad;
}

TEST(CardCrypto, ModExpAndSha1MatchIndependentAnswers) {
    const Bytes mod = HostRandom(64), base = HostRandom(64), exp = HostRandom(20);
    EXPECT_EQ(crypto::ModExp(base, exp, mod), PowMod(base, exp, mod));
    EXPECT_EQ(crypto::ModExp(Hex("02"), Hex("01"), Hex("00FFFFFF")), Hex("00000002"));
    EXPECT_THROW(crypto::ModExp(Hex("02"), Hex("01"), Hex("0000")), std::invalid_argument);
    EXPECT_EQ(crypto::Sha1({'a', 'b', 'c'}), Hex("A9993E364706816ABA3E25717850C26C9CD0D89D"));
}

Bytes SexpBytes(gcry_sexp_t list, const char* token) {
    const Sexp item(gcry_sexp_find_token(list, token, 0));
    EXPECT_TRUE(item) << token;
    if (!item) return {};
    size_t n = 0;
    const char* data = gcry_sexp_nth_data(item.get(), 1, &n);
    return Bytes(data, data + n);
}

bool HostVerifyRsa(const crypto::AsymKey& key, const Bytes& sha256, const Bytes& signature) {
    gcry_sexp_t k = nullptr, d = nullptr, s = nullptr;
    gcry_sexp_build(&k, nullptr, "(public-key (rsa (n %m) (e %m)))", ToMpi(key.Modulus()).get(),
                    ToMpi(key.PublicExponent()).get());
    gcry_sexp_build(&d, nullptr, "(data (flags pkcs1) (hash sha256 %b))", static_cast<int>(sha256.size()),
                    sha256.data());
    gcry_sexp_build(&s, nullptr, "(sig-val (rsa (s %m)))", ToMpi(signature).get());
    const Sexp ks(k), ds(d), ss(s);
    return gcry_pk_verify(ss.get(), ds.get(), ks.get()) == 0;
}

// r and s of a DER ECDSA signature; anything but exactly SEQUENCE { INTEGER, INTEGER } throws.
std::pair<Bytes, Bytes> SplitEcdsa(const Bytes& der) {
    size_t pos = 0;
    const auto byte = [&] {
        if (pos >= der.size()) throw std::runtime_error("short signature");
        return der[pos++];
    };
    const auto length = [&]() -> size_t {
        const uint8_t first = byte();
        return first == 0x81 ? byte() : first;
    };
    const auto integer = [&] {
        if (byte() != 0x02) throw std::runtime_error("not an INTEGER");
        const size_t n = length();
        if (n > der.size() - pos) throw std::runtime_error("INTEGER past the end");
        pos += n;
        return Slice(der, pos - n, n);
    };
    if (byte() != 0x30 || length() != der.size() - pos) throw std::runtime_error("not a SEQUENCE");
    const Bytes r = integer(), s = integer();
    if (pos != der.size()) throw std::runtime_error("trailing bytes");
    return {r, s};
}

bool HostVerifyEcdsa(const char* curve, const Bytes& point, const Bytes& hash, const Bytes& der) {
    const auto [r, s] = SplitEcdsa(der);
    gcry_sexp_t k = nullptr, d = nullptr, sig = nullptr;
    gcry_sexp_build(&k, nullptr, "(public-key (ecc (curve %s) (q %b)))", curve,
                    static_cast<int>(point.size()), point.data());
    gcry_sexp_build(&d, nullptr, "(data (flags raw) (value %m))", ToMpi(hash).get());
    gcry_sexp_build(&sig, nullptr, "(sig-val (ecdsa (r %m) (s %m)))", ToMpi(r).get(), ToMpi(s).get());
    const Sexp ks(k), ds(d), ss(sig);
    return gcry_pk_verify(ss.get(), ds.get(), ks.get()) == 0;
}

Sexp HostKeyPair(const char* request) {
    GcryReady();
    gcry_sexp_t params = nullptr, key = nullptr;
    EXPECT_EQ(gcry_sexp_new(&params, request, 0, 1), 0u);
    const Sexp owner(params);
    EXPECT_EQ(gcry_pk_genkey(&key, params), 0u);
    return Sexp(gcry_sexp_find_token(Sexp(key).get(), "private-key", 0));
}

Bytes Unsigned(const Bytes& b) {
    return FromMpi(ToMpi(b).get());
}

const crypto::AsymKey& CachedRsa(unsigned bits) {
    static std::map<unsigned, crypto::AsymKey> keys;
    auto it = keys.find(bits);
    if (it == keys.end()) it = keys.emplace(bits, crypto::AsymKey::GenerateRsa(bits)).first;
    return it->second;
}

const Bytes kSha256Prefix = Hex("3031300D060960864801650304020105000420");

class CardRsaKey : public ::testing::TestWithParam<unsigned> {};

TEST_P(CardRsaKey, RawPrivateOperationInvertsThePublicOne) {
    const crypto::AsymKey& key = CachedRsa(GetParam());
    const Bytes n = key.Modulus();
    EXPECT_EQ(key.Bits(), GetParam());
    EXPECT_EQ(n.size() * 8, GetParam());
    EXPECT_EQ(key.PublicExponent(), Hex("010001"));
    Bytes x = HostRandom(n.size());
    x[0] = 0x01;
    const std::optional<Bytes> y = key.RsaPrivate(x);
    ASSERT_TRUE(y);
    EXPECT_EQ(PowMod(*y, key.PublicExponent(), n), x);
    EXPECT_FALSE(key.RsaPrivate(n));
    EXPECT_FALSE(key.RsaPrivate(Slice(x, 1, n.size() - 1)));
}

TEST_P(CardRsaKey, Pkcs1SignatureVerifiesWithTheHostEngine) {
    const crypto::AsymKey& key = CachedRsa(GetParam());
    const Bytes hash = HostRandom(32);
    const std::optional<Bytes> signature = key.RsaSignPkcs1(Cat({kSha256Prefix, hash}));
    ASSERT_TRUE(signature);
    EXPECT_TRUE(HostVerifyRsa(key, hash, *signature));
    EXPECT_FALSE(key.RsaSignPkcs1(Bytes(key.Modulus().size() - 10, 0x30)));
}

TEST_P(CardRsaKey, DerRoundTripKeepsTheKey) {
    const crypto::AsymKey& key = CachedRsa(GetParam());
    const crypto::AsymKey copy = crypto::AsymKey::FromDer(key.Der());
    EXPECT_TRUE(copy.IsRsa());
    EXPECT_EQ(copy.Modulus(), key.Modulus());
    const Bytes x(key.Modulus().size(), 0x05);
    EXPECT_EQ(copy.RsaPrivate(x), key.RsaPrivate(x));
}
INSTANTIATE_TEST_SUITE_P(Sizes, CardRsaKey, ::testing::Values(1024u, 2048u));

TEST(CardAsymKey, FromRsaTakesHostComponentsAndRefusesAnyTamperedOne) {
    const Sexp key = HostKeyPair("(genkey (rsa (nbits 4:1024)))");
    // The host's p < q with u = p^-1 mod q; the card's qInv = q^-1 mod p, so the primes swap.
    const Bytes n = SexpBytes(key.get(), "n"), e = SexpBytes(key.get(), "e"), d = SexpBytes(key.get(), "d");
    const Bytes p = SexpBytes(key.get(), "q"), q = SexpBytes(key.get(), "p"), u = SexpBytes(key.get(), "u");
    const auto reduced = [&](const Bytes& prime) {
        const Mpi m = ToMpi(prime), out(gcry_mpi_new(0));
        gcry_mpi_sub_ui(m.get(), m.get(), 1);
        gcry_mpi_mod(out.get(), ToMpi(d).get(), m.get());
        return FromMpi(out.get());
    };
    const std::vector<Bytes> parts{n, e, d, p, q, reduced(p), reduced(q), u};
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
}

struct CurveCase {
    Curve curve;
    const char* hostName;
    size_t bytes;
};

void PrintTo(const CurveCase& c, std::ostream* os) {
    *os << c.hostName;
}

class CardEcKey : public ::testing::TestWithParam<CurveCase> {};

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

TEST_P(CardEcKey, EcdsaSignatureVerifiesWithTheHostEngine) {
    const crypto::AsymKey key = crypto::AsymKey::GenerateEc(GetParam().curve);
    EXPECT_FALSE(key.IsRsa());
    EXPECT_EQ(key.PublicPoint().size(), 1 + 2 * GetParam().bytes);
    const Bytes hash = HostRandom(std::min<size_t>(GetParam().bytes, 64));
    EXPECT_TRUE(HostVerifyEcdsa(GetParam().hostName, key.PublicPoint(), hash, key.EcdsaSign(hash)));
}

TEST_P(CardEcKey, EcdhIsSymmetricAndRefusesInvalidPoints) {
    const crypto::AsymKey a = crypto::AsymKey::GenerateEc(GetParam().curve);
    const crypto::AsymKey b = crypto::AsymKey::FromDer(crypto::AsymKey::GenerateEc(GetParam().curve).Der());
    const std::optional<Bytes> shared = a.EcdhX(b.PublicPoint());
    ASSERT_TRUE(shared);
    EXPECT_EQ(shared->size(), GetParam().bytes);
    EXPECT_EQ(shared, b.EcdhX(a.PublicPoint()));
    Bytes offCurve = b.PublicPoint(), compressed = b.PublicPoint();
    offCurve.back() ^= 0x01;
    compressed[0] = 0x02;
    const Bytes zero = Cat({{0x04}, Bytes(2 * GetParam().bytes, 0)});
    for (const Bytes& bad : {offCurve, compressed, zero, Slice(offCurve, 0, offCurve.size() - 1)})
        EXPECT_FALSE(a.EcdhX(bad)) << ToHex(bad);
}

TEST_P(CardEcKey, FromEcTakesAHostKeyAndRefusesAMismatchedOne) {
    const std::string request = std::string("(genkey (ecc (curve \"") + GetParam().hostName + "\")))";
    const Sexp host = HostKeyPair(request.c_str()), other = HostKeyPair(request.c_str());
    const Bytes q = SexpBytes(host.get(), "q"), d = SexpBytes(host.get(), "d");
    const crypto::AsymKey key = crypto::AsymKey::FromEc(GetParam().curve, d, q);
    EXPECT_EQ(key.PublicPoint(), q);
    EXPECT_EQ(crypto::AsymKey::FromDer(key.Der()).PublicPoint(), q);
    EXPECT_THROW(crypto::AsymKey::FromEc(GetParam().curve, SexpBytes(other.get(), "d"), q),
                 std::invalid_argument);
    Bytes offCurve = q;
    offCurve.back() ^= 0x01;
    EXPECT_THROW(crypto::AsymKey::FromEc(GetParam().curve, d, offCurve), std::invalid_argument);
}
INSTANTIATE_TEST_SUITE_P(Curves, CardEcKey,
                         ::testing::Values(CurveCase{Curve::P256, "NIST P-256", 32},
                                           CurveCase{Curve::P384, "NIST P-384", 48},
                                           CurveCase{Curve::P521, "NIST P-521", 66}),
                         [](const auto& c) { return std::to_string(c.param.bytes * 8); });

TEST(CardAsymKey, FromDerRefusesDamagedEncodings) {
    const Bytes der = CachedRsa(1024).Der();
    for (const Bytes& bad :
         {Bytes{}, Hex("3003020100"), Slice(der, 0, der.size() - 1), Cat({der, Hex("00")})})
        EXPECT_THROW(crypto::AsymKey::FromDer(bad), std::invalid_argument);
}

}  // namespace
