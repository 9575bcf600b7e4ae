// What the seeding writes is checked against the module's own builders and readers: a card
// seeded by the host must read back through the module as if the module had written it.
#include "mdhost/card_objects.h"

#include <gtest/gtest.h>

#include <cstring>

#include "card/cert_object.h"
#include "card/container_map.h"
#include "libapdu/appcry/cry_finder.h"
#include "mdhost/x509.h"

namespace mdhost {
namespace {

constexpr char kName[] = "{0A1B2C3D-4E5F-6071-8293-A4B5C6D7E8F9}";
const CARD_CACHE_FILE_FORMAT kCardCf{1, 2, 0x0304, 0x0506};

Bytes TestCertificate() {
    const Key key = MakeEcKey();
    CertificateRequest request;
    request.commonName = "Seed Test";
    request.organisation = "Helix";
    request.serial = 0x1234567;
    return IssueCertificate(request, key.get(), {}, key.get());
}

TEST(CardCf, CarriesALengthPrefixAndTheRecordInWindowsByteOrder) {
    EXPECT_EQ(CardCfFile(kCardCf), (Bytes{0x00, 0x06, 0x01, 0x02, 0x04, 0x03, 0x06, 0x05}));
    EXPECT_EQ(FreshnessTrailer(kCardCf), (Bytes{0x04, 0x03, 0x06, 0x05}));
}

// Byte for byte what the module builds, and read back through the module's reader.
TEST(CertificateObject, IsWhatTheModuleBuildsAndReads) {
    const Bytes certificate = TestCertificate();
    const Bytes trailer = FreshnessTrailer(kCardCf);
    const Bytes object = CertificateObject(0x21, kName, certificate, trailer);
    EXPECT_EQ(object,
              BuildCertificateObject(0x21, certificate, Bytes(kName, kName + sizeof kName - 1), trailer));
    EXPECT_EQ(libapdu::CCryFinder::CertificateOfRecord(object, u"test"), certificate);
    EXPECT_THROW(CertificateObject(0x00, kName, Bytes{0x30, 0x03, 0x02, 0x01, 0x01}, {}),
                 std::invalid_argument)
        << "bytes that are no certificate";
}

TEST(ContainerMapFile, ParsesIntoTheSameRecordsInTheModule) {
    const std::vector<CONTAINER_MAP_RECORD> records{ContainerRecord(kName, 3, 0, 2048),
                                                    ContainerRecord("second", 1, 1024, 0)};
    const Bytes file = ContainerMapFile(records, FreshnessTrailer(kCardCf));
    EXPECT_TRUE(cmap::LengthMatches(file));
    std::vector<ContainerEntry> parsed;
    cmap::Parse(file, parsed);
    ASSERT_EQ(parsed.size(), records.size());
    for (size_t i = 0; i < records.size(); ++i) {
        EXPECT_EQ(std::memcmp(&parsed[i].record, &records[i], sizeof(CONTAINER_MAP_RECORD)), 0) << i;
    }
}

TEST(ContainerMapFile, StoresTheByteLengthOfAGuidNameAfterEachRecord) {
    const Bytes file = ContainerMapFile({ContainerRecord(kName, 1, 0, 2048)}, {0, 0, 0, 0});
    // 7-byte header, 5-byte entry header, then the 86-byte record.
    ASSERT_EQ(file.size(), 7u + 5 + 90 + 4);
    EXPECT_EQ(file[7 + 5 + 86], 0x4C);
    EXPECT_EQ(file[7 + 5 + 87], 0x00);
    EXPECT_EQ((file[4] << 8) | file[5], static_cast<int>(file.size() - 4));
    EXPECT_THROW(ContainerRecord(std::string(40, 'x'), 1, 0, 0), std::length_error) << "a name too long";
}

TEST(PrivateKeyRecord, NamesItsKeyFileMarksKeyExchangeAndEndsWithTheFreshnessTrailer) {
    const Bytes trailer{0xA1, 0xA2, 0xA3, 0xA4};
    const Bytes record = PrivateKeyRecord(0x21, kName, false, trailer);
    EXPECT_EQ(Bytes(record.begin(), record.begin() + 4), (Bytes{0x00, 0x02, 0x02, 0x21}));
    EXPECT_EQ(record[6], 0x16);
    EXPECT_EQ((record[4] << 8) | record[5], static_cast<int>(record.size() - 4));
    EXPECT_EQ(Bytes(record.end() - 4, record.end()), trailer);
    // Entry 0105 marks key exchange keys.
    const Bytes exchange{0x01, 0x05, 0x50, 0x00, 0x01, 0x01};
    const Bytes signature{0x01, 0x05, 0x50, 0x00, 0x01, 0x00};
    const auto holds = [](const Bytes& r, const Bytes& entry) {
        return std::search(r.begin(), r.end(), entry.begin(), entry.end()) != r.end();
    };
    EXPECT_TRUE(holds(PrivateKeyRecord(0x00, kName, true, {}), exchange));
    EXPECT_TRUE(holds(PrivateKeyRecord(0x20, kName, false, {}), signature));
}

}  // namespace
}  // namespace mdhost
