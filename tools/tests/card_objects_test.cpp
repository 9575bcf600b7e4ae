// What the seeding hands to the module and the card, against the module's own reading of it.
#include "mdhost/card_objects.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>

#include "card/container_map.h"

namespace mdhost {
namespace {

constexpr char kName[] = "{0A1B2C3D-4E5F-6071-8293-A4B5C6D7E8F9}";
const CARD_CACHE_FILE_FORMAT kCardCf{1, 2, 0x0304, 0x0506};

TEST(CardCf, IsTheRecordInWindowsByteOrderBothWays) {
    const Bytes record{0x01, 0x02, 0x04, 0x03, 0x06, 0x05};
    EXPECT_EQ(CardCfRecord(kCardCf), record);
    const std::optional<CARD_CACHE_FILE_FORMAT> parsed = ParseCardCfRecord(record);
    ASSERT_TRUE(parsed);
    EXPECT_EQ(CardCfRecord(*parsed), record);
    EXPECT_FALSE(ParseCardCfRecord(Bytes(8, 0))) << "the card file with its length prefix";
    EXPECT_EQ(FreshnessTrailer(kCardCf), (Bytes{0x04, 0x03, 0x06, 0x05}));
}

// The module copies the host's records as they are and appends the name's byte length.
TEST(ContainerRecord, IsTheWindowsRecordTheModuleStores) {
    const CONTAINER_MAP_RECORD record = ContainerRecord(kName, 3, 0, 2048);
    const Bytes bytes = ContainerRecordBytes(record);
    ASSERT_EQ(bytes.size(), sizeof(CONTAINER_MAP_RECORD));
    EXPECT_EQ(std::memcmp(bytes.data(), &record, bytes.size()), 0);
    const libapdu::ByteVector card = cmap::CardValue(bytes);
    ASSERT_EQ(card.size(), cmap::kCardRecordBytes);
    EXPECT_EQ(card[86], 0x4C);
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
