// Certificate files: a real X.509 certificate made with OpenSSL goes onto the card as the card's
// certificate object and comes back byte for byte; the object is checked field by field against
// what OpenSSL says the certificate holds.
#include <gtest/gtest.h>

#include <openssl/bn.h>
#include <openssl/evp.h>
#include <openssl/x509.h>

#include <memory>
#include <string>

#include "module_over_sim.h"
#include "openssl_ptr.h"

using libapdu::ByteVector;
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

struct ObjectEntry {
    uint16_t tag;
    uint8_t attribute;
    ByteVector value;
    size_t filler;
    bool operator==(const ObjectEntry& o) const {
        return tag == o.tag && attribute == o.attribute && value == o.value && filler == o.filler;
    }
};

std::ostream& operator<<(std::ostream& os, const ObjectEntry& e) {
    return os << HexWord(e.tag) << "/" << HexByte(e.attribute) << " " << ToHex(e.value) << " +" << e.filler;
}

struct CardObject {
    ByteVector header;
    std::vector<ObjectEntry> entries;
    ByteVector trailer;
};

CardObject ParseObject(const ByteVector& file) {
    CardObject object;
    if (file.size() < 11) return object;
    object.header.assign(file.begin(), file.begin() + 7);
    const size_t length = static_cast<size_t>(file[4] << 8 | file[5]);
    EXPECT_EQ(length + 4, file.size());
    size_t at = 7;
    while (at < length) {
        if (file[at] == 0xFF && !object.entries.empty()) {
            ++object.entries.back().filler;
            ++at;
            continue;
        }
        const size_t valueLength = static_cast<size_t>(file[at + 3] << 8 | file[at + 4]);
        object.entries.push_back({static_cast<uint16_t>(file[at] << 8 | file[at + 1]), file[at + 2],
                                  ByteVector(file.begin() + at + 5, file.begin() + at + 5 + valueLength), 0});
        at += 5 + valueLength;
    }
    object.trailer.assign(file.begin() + length, file.end());
    return object;
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

    const CardObject object = ParseObject(*f.CardFile(moduletest::CertificatePath(0x8420)));
    const ByteVector name(kGuid, kGuid + 38);
    const std::vector<ObjectEntry> expected{
        {0x8013, 0x10, ByteVector(20, 0), 0},   {0x0000, 0x00, Hex("01000000"), 0},
        {0x0001, 0x00, Hex("01"), 0},           {0x0002, 0x00, Hex("00"), 0},
        {0x0003, 0x10, name, 64 - name.size()}, {0x0011, 0x00, c.der, 0},
        {0x0080, 0x00, Hex("00000000"), 0},     {0x0081, 0x10, c.issuer, 0},
        {0x0082, 0x10, c.serialNumber, 0},      {0x0086, 0x50, Hex("00"), 0},
        {0x0101, 0x00, c.subject, 0},           {0x0102, 0x10, name, 0},
        {0x0170, 0x00, Hex("01"), 0},           {0x8010, 0x00, Hex("01"), 0},
    };
    EXPECT_EQ(ToHex(ByteVector(object.header.begin(), object.header.begin() + 4)), "00848420");
    EXPECT_EQ(object.header[6], 0x0E);
    EXPECT_EQ(object.entries, expected);
    EXPECT_EQ(object.trailer, Hex("B1B2B3B4"));
}

TEST(CardCertificate, TrailerComesFromTheCardWhenNothingIsCached) {
    CardFixture f;
    Prepare(f, "kxc02");
    f.PutFile(moduletest::kCardcfPath, Hex("0006 0102 C1C2C3C4"));
    CCardContext fresh;
    fresh.Initialise(&f.Data());
    fresh.Login().StorePin(moduletest::kDefaultPin);
    ByteVector der = MakeCertificate().der;
    fresh.WriteFile(&f.Data(), const_cast<LPSTR>("mscp"), const_cast<LPSTR>("kxc02"), 0, der.data(),
                    static_cast<DWORD>(der.size()));
    EXPECT_EQ(ParseObject(*f.CardFile(moduletest::CertificatePath(0x8402))).trailer, Hex("C1C2C3C4"));
}

ByteVector Tlv(uint8_t tag, const ByteVector& content) {
    ByteVector out{tag};
    if (content.size() >= 0x100) {
        out.insert(out.end(),
                   {0x82, static_cast<uint8_t>(content.size() >> 8), static_cast<uint8_t>(content.size())});
    } else if (content.size() >= 0x80) {
        out.insert(out.end(), {0x81, static_cast<uint8_t>(content.size())});
    } else {
        out.push_back(static_cast<uint8_t>(content.size()));
    }
    out.insert(out.end(), content.begin(), content.end());
    return out;
}

const ByteVector kAlgorithm = Hex("300A06082A8648CE3D040302");
const ByteVector kName = Hex("300F310D300B06035504030C0454657374");
const ByteVector kValidity =
    Tlv(0x30, Concat({Tlv(0x17, ByteVector(13, '0')), Tlv(0x17, ByteVector(13, '1'))}));
const ByteVector kVersion = Hex("A003020102");

ByteVector CertificateOf(const ByteVector& tbsContent) {
    return Tlv(0x30, Concat({Tlv(0x30, tbsContent), kAlgorithm, Hex("0303000102")}));
}

struct BadCertificateCase {
    const char* name;
    ByteVector der;
};

const BadCertificateCase kBadCertificates[] = {
    {"NoSubject", CertificateOf(Concat({kVersion, Hex("020105"), kAlgorithm, kName, kValidity}))},
    {"NoSerialNumber", CertificateOf(Concat({kVersion, kAlgorithm, kName, kValidity, kName}))},
    {"SerialNumberOver255Bytes", CertificateOf(Concat({kVersion, Tlv(0x02, ByteVector(256, 0x11)), kAlgorithm,
                                                       kName, kValidity, kName}))},
    {"NotASequence", Hex("0403010203")},
    {"LengthPastTheEnd", Hex("3082FFFF3000")},
    {"UnsupportedLengthForm", Hex("3085000000000130")},
};

class CardBadCertificate : public testing::TestWithParam<BadCertificateCase> {};

// A good certificate comes back byte for byte; a bad one is refused and the good one stays.
TEST_P(CardBadCertificate, IsRefusedAndTheStoredOneStays) {
    CardFixture f;
    Prepare(f, "kxc00");
    const ByteVector good = MakeCertificate().der;
    f.Write("mscp", "kxc00", good);
    ASSERT_EQ(f.Read("mscp", "kxc00"), good);
    const std::optional<ByteVector> before = f.CardFile(moduletest::CertificatePath(0x8400));
    EXPECT_EQ(ThrownStatus([&] { f.Write("mscp", "kxc00", GetParam().der); }),
              static_cast<StatusCode>(SCARD_E_INVALID_PARAMETER));
    EXPECT_EQ(f.CardFile(moduletest::CertificatePath(0x8400)), before);
    EXPECT_EQ(f.Read("mscp", "kxc00"), good);
}

INSTANTIATE_TEST_SUITE_P(CardCertificate, CardBadCertificate, testing::ValuesIn(kBadCertificates),
                         [](const auto& param) { return std::string(param.param.name); });

TEST(CardCertificate, ListingFollowsTheFilesOnTheCard) {
    CardFixture f;
    Prepare(f, "kxc00");
    EXPECT_EQ(f.Enum(nullptr), (std::vector<std::string>{"cardid", "cardcf"}));
    EXPECT_EQ(f.Enum("mscp"), (std::vector<std::string>{"cmapfile", "kxc00"}));

    f.Create("mscp", "ksc1f", 8);
    f.Create("mscp", "msroots", 8);
    EXPECT_EQ(f.Enum("mscp"), (std::vector<std::string>{"cmapfile", "msroots", "kxc00", "ksc1f"}));
    EXPECT_TRUE(f.CardFile(moduletest::CertificatePath(0x843F)));

    f.Delete("mscp", "kxc00");
    EXPECT_FALSE(f.CardFile(moduletest::CertificatePath(0x8400)));
    EXPECT_EQ(f.Enum("mscp"), (std::vector<std::string>{"cmapfile", "msroots", "ksc1f"}));
}

}  // namespace
