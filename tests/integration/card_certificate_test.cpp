// Certificate files: a real X.509 certificate made with OpenSSL goes onto the card as the card's
// certificate object and comes back byte for byte; the object is checked field by field against
// what OpenSSL says the certificate holds.
#include <gtest/gtest.h>

#include <openssl/bn.h>
#include <openssl/evp.h>
#include <openssl/x509.h>

#include <algorithm>
#include <memory>
#include <string>

#include "module_over_sim.h"
#include "openssl_ptr.h"

using libapdu::ByteVector;
using libapdu::CardPath;
using moduletest::CardFixture;

namespace {

constexpr char kGuid[] = "{3f2504e0-4f89-11d3-9a0c-0305e82c3301}";

using ossl::Der;

struct TestCertificate {
    ByteVector der;
    ByteVector issuer;
    ByteVector serialNumber;
    ByteVector subject;
};

void AddName(X509_NAME* name, const char* field, const std::string& value) {
    ASSERT_EQ(X509_NAME_add_entry_by_txt(name, field, MBSTRING_ASC,
                                         reinterpret_cast<const unsigned char*>(value.c_str()), -1, -1, 0),
              1);
}

// Issuer above 127 bytes and subject above 255, so both long DER length forms are exercised.
TestCertificate MakeCertificate() {
    const ossl::Key key(EVP_PKEY_Q_keygen(nullptr, nullptr, "EC", "P-256"));
    const ossl::Certificate x509(X509_new());
    X509_set_version(x509.get(), 2);
    BIGNUM* serial = nullptr;
    BN_hex2bn(&serial, "7F112233445566778899AABBCCDDEEFF");
    const ossl::Number owned(serial);
    BN_to_ASN1_INTEGER(serial, X509_get_serialNumber(x509.get()));
    X509_gmtime_adj(X509_getm_notBefore(x509.get()), 0);
    X509_gmtime_adj(X509_getm_notAfter(x509.get()), 3600);
    X509_set_pubkey(x509.get(), key.get());
    X509_NAME* issuer = X509_get_issuer_name(x509.get());
    AddName(issuer, "O", "Helix Test Authority");
    AddName(issuer, "OU", std::string(60, 'I'));
    AddName(issuer, "CN", "Helix Test Issuing CA");
    X509_NAME* subject = X509_get_subject_name(x509.get());
    for (char c : std::string("ABCDE")) AddName(subject, "OU", std::string(60, c));
    AddName(subject, "CN", "Helix Test User");
    EXPECT_GT(X509_sign(x509.get(), key.get(), EVP_sha256()), 0);

    TestCertificate out;
    out.der = Der(x509.get(), i2d_X509);
    out.issuer = Der(X509_get_issuer_name(x509.get()), i2d_X509_NAME);
    out.serialNumber = Der(X509_get_serialNumber(x509.get()), i2d_ASN1_INTEGER);
    out.subject = Der(X509_get_subject_name(x509.get()), i2d_X509_NAME);
    EXPECT_GT(out.issuer.size(), 0x80u);
    EXPECT_GT(out.subject.size(), 0xFFu);
    return out;
}

// An object entry in hex: tag, attribute, two-byte length, value, then `filler` bytes FF.
std::string Entry(const char* tagAndAttribute, const ByteVector& value, size_t filler = 0) {
    return tagAndAttribute + HexWord(value.size()) + ToHex(value) + Repeat("FF", filler);
}

ByteVector Tail(const ByteVector& file) {
    return ByteVector(file.end() - 4, file.end());
}

// The card is prepared as a host prepares it: a container record, then the certificate file.
void Prepare(CardFixture& f, const char* file) {
    f.Ready();
    f.CachePin();
    f.Write("mscp", "cmapfile", moduletest::MapRecord(kGuid));
    f.Create("mscp", file, 16);
}

TEST(CardCertificate, ObjectOnTheCardFollowsTheRecordLayout) {
    CardFixture f;
    Prepare(f, "ksc00");
    f.Write(nullptr, "cardcf", Hex("A1A2 B1B2B3B4"));
    const TestCertificate c = MakeCertificate();
    f.Write("mscp", "ksc00", c.der);

    const ByteVector name(kGuid, kGuid + 38);
    const std::string entries =
        Entry("801310", ByteVector(20, 0)) + Entry("000000", Hex("01000000")) + Entry("000100", Hex("01")) +
        Entry("000200", Hex("00")) + Entry("000310", name, 64 - name.size()) + Entry("001100", c.der) +
        Entry("008000", Hex("00000000")) + Entry("008110", c.issuer) + Entry("008210", c.serialNumber) +
        Entry("008650", Hex("00")) + Entry("010100", c.subject) + Entry("010210", name) +
        Entry("017000", Hex("01")) + Entry("801000", Hex("01"));
    // Header (its length field counts from the file start up to the trailer), the entries, and
    // the cached cardcf counters as the trailer.
    EXPECT_EQ(ToHex(*f.CardFile(moduletest::CertificatePath(0x8420))),
              "00848420" + HexWord(7 + Hex(entries).size()) + "0E" + entries + "B1B2B3B4");
}

TEST(CardCertificate, TrailerComesFromTheCardWhenNothingIsCached) {
    CardFixture f;
    Prepare(f, "kxc02");
    f.PutFile(moduletest::kCardcfPath, Hex("0006 0102 C1C2C3C4"));
    CCardContext fresh;
    fresh.Initialise(&f.Data());
    fresh.Login().StorePin(moduletest::kDefaultPin);
    ByteVector der = MakeCertificate().der;
    fresh.WriteFile(&f.Data(), CardFixture::Str("mscp"), CardFixture::Str("kxc02"), 0, der.data(),
                    static_cast<DWORD>(der.size()));
    EXPECT_EQ(Tail(*f.CardFile(moduletest::CertificatePath(0x8402))), Hex("C1C2C3C4"));
}

const std::string kAlgorithm = "300A06082A8648CE3D040302";
const std::string kName = "300F310D300B06035504030C0454657374";
const std::string kValidity = Tlv("30", Tlv("17", Repeat("30", 13)) + Tlv("17", Repeat("31", 13)));
const std::string kVersion = "A003020102";

ByteVector CertificateOf(const std::string& tbsContent) {
    return Hex(Tlv("30", Tlv("30", tbsContent) + kAlgorithm + "0303000102"));
}

// A good certificate comes back byte for byte; a bad one is refused and the good one stays.
TEST(CardCertificate, BadCertificateIsRefusedAndTheStoredOneStays) {
    const std::pair<const char*, ByteVector> cases[] = {
        {"no subject", CertificateOf(kVersion + "020105" + kAlgorithm + kName + kValidity)},
        {"no serial number", CertificateOf(kVersion + kAlgorithm + kName + kValidity + kName)},
        {"serial number over 255 bytes",
         CertificateOf(kVersion + Tlv("02", Repeat("11", 256)) + kAlgorithm + kName + kValidity + kName)},
        {"not a sequence", Hex("0403010203")},
        {"length past the end", Hex("3082FFFF3000")},
        {"unsupported length form", Hex("3085000000000130")},
    };
    CardFixture f;
    Prepare(f, "kxc00");
    const ByteVector good = MakeCertificate().der;
    f.Write("mscp", "kxc00", good);
    ASSERT_EQ(f.Read("mscp", "kxc00"), good);
    const std::optional<ByteVector> before = f.CardFile(moduletest::CertificatePath(0x8400));
    for (const auto& [name, der] : cases) {
        SCOPED_TRACE(name);
        EXPECT_EQ(ThrownStatus([&, &der = der] { f.Write("mscp", "kxc00", der); }),
                  static_cast<StatusCode>(SCARD_E_INVALID_PARAMETER));
        EXPECT_EQ(f.CardFile(moduletest::CertificatePath(0x8400)), before);
        EXPECT_EQ(f.Read("mscp", "kxc00"), good);
    }
}

// The smallest certificate of at least `size` bytes: names as small as they come, an opaque field.
ByteVector CertificateOfSize(size_t size) {
    std::string names = kVersion;
    names.append("020105").append(kAlgorithm).append(kName).append(kValidity).append(kName);
    ByteVector der;
    for (size_t filler = 0; der.size() < size; ++filler) {
        std::string tbs = names;
        tbs.append(Tlv("04", Repeat("AB", filler)));
        der = CertificateOf(tbs);
    }
    return der;
}

// A larger certificate takes the old object's place and the card's free bytes: exactly enough
// succeeds; a byte short is refused before the old certificate goes.
TEST(CardCertificate, ReplacementFitsTheOldObjectAndTheFreeBytes) {
    const CardPath path = moduletest::CertificatePath(0x8400);
    const ByteVector small = CertificateOfSize(716);
    const ByteVector large = CertificateOfSize(3328);
    uint32_t used = 0;
    uint32_t growth = 0;  // object bytes the replacement adds
    {
        CardFixture probe;
        Prepare(probe, "kxc00");
        probe.Write("mscp", "kxc00", small);
        used = probe.Profile().totalMemory - probe.CardFreeMemory();
        const size_t before = probe.CardFile(path)->size();
        probe.Write("mscp", "kxc00", large);
        growth = static_cast<uint32_t>(probe.CardFile(path)->size() - before);
    }
    for (const uint32_t shortfall : {0u, 1u}) {
        helixsim::Profile profile = helixsim::DefaultProfile();
        profile.totalMemory = used + growth - shortfall;
        CardFixture f(profile);
        Prepare(f, "kxc00");
        f.Write("mscp", "kxc00", small);
        const std::optional<ByteVector> before = f.CardFile(path);
        const std::optional<StatusCode> status = ThrownStatus([&] { f.Write("mscp", "kxc00", large); });
        if (shortfall == 0) {
            EXPECT_FALSE(status);
            EXPECT_EQ(f.Read("mscp", "kxc00"), large);
        } else {
            EXPECT_EQ(status, static_cast<StatusCode>(SCARD_E_WRITE_TOO_MANY));
            EXPECT_EQ(f.CardFile(path), before);
            EXPECT_EQ(f.Read("mscp", "kxc00"), small);
        }
    }
}

}  // namespace
