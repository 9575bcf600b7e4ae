// Certificate files: a certificate goes onto the card as the card's certificate object, field by
// field, and comes back byte for byte; a bad one leaves the stored one as it was.
#include <gtest/gtest.h>

#include <string>

#include "module_over_sim.h"

using libapdu::ByteVector;
using libapdu::CardPath;
using moduletest::CardFixture;

namespace {

constexpr char kGuid[] = "{3f2504e0-4f89-11d3-9a0c-0305e82c3301}";

const std::string kAlgorithm = "300A06082A8648CE3D040302";
const std::string kName = "300F310D300B06035504030C0454657374";
const std::string kValidity = Tlv("30", Tlv("17", Repeat("30", 13)) + Tlv("17", Repeat("31", 13)));
const std::string kVersion = "A003020102";

// A name of one common name, `length` times `letter`.
std::string Name(char letter, size_t length) {
    return Tlv("30", Tlv("31", Tlv("30", "0603550403" + Tlv("0C", Repeat(HexByte(letter), length)))));
}

ByteVector CertificateOf(const std::string& tbsContent) {
    return Hex(Tlv("30", Tlv("30", tbsContent) + kAlgorithm + "0303000102"));
}

// Issuer above 127 bytes and subject above 255, so both long DER length forms are exercised.
const std::string kSerial = "02107F112233445566778899AABBCCDDEEFF";
const std::string kIssuer = Name('I', 130);
const std::string kSubject = Name('S', 300);
const ByteVector kCertificate =
    CertificateOf(kVersion + kSerial + kAlgorithm + kIssuer + kValidity + kSubject);

// An object entry in hex: tag, attribute, two-byte length, value, then `filler` bytes FF.
std::string Entry(const char* tagAndAttribute, const ByteVector& value, size_t filler = 0) {
    return tagAndAttribute + HexWord(value.size()) + ToHex(value) + Repeat("FF", filler);
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
    f.Write("mscp", "ksc00", kCertificate);

    const ByteVector name(kGuid, kGuid + 38);
    const std::string entries =
        Entry("801310", ByteVector(20, 0)) + Entry("000000", Hex("01000000")) + Entry("000100", Hex("01")) +
        Entry("000200", Hex("00")) + Entry("000310", name, 64 - name.size()) + Entry("001100", kCertificate) +
        Entry("008000", Hex("00000000")) + Entry("008110", Hex(kIssuer)) + Entry("008210", Hex(kSerial)) +
        Entry("008650", Hex("00")) + Entry("010100", Hex(kSubject)) + Entry("010210", name) +
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
    ByteVector der = kCertificate;
    fresh.WriteFile(&f.Data(), CardFixture::Str("mscp"), CardFixture::Str("kxc02"), 0, der.data(),
                    static_cast<DWORD>(der.size()));
    const std::string file = ToHex(*f.CardFile(moduletest::CertificatePath(0x8402)));
    EXPECT_EQ(file.substr(file.size() - 8), "C1C2C3C4");
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
    const ByteVector good = kCertificate;
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
