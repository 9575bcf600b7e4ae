// What the host hands to the module, against the module's own reading of it.
#include "mdhost/card_objects.h"

#include <gtest/gtest.h>

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

}  // namespace
}  // namespace mdhost
