// The container map: parsing the card format and merging the host's records back into 867F.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "card/container_map.h"
#include "case_name.h"
#include "log/mdlog.h"
#include "log_capture.h"
#include "module_over_sim.h"

using libapdu::ByteVector;
using moduletest::CardFixture;
using moduletest::MapRecord;

namespace {

ByteVector Records(size_t count) {
    ByteVector out;
    for (size_t i = 0; i < count; ++i) {
        const ByteVector r = MapRecord("{0000000" + std::to_string(i) + "-1111-2222-3333-444444444444}");
        out.insert(out.end(), r.begin(), r.end());
    }
    return out;
}

// A card file: the header, `body` and a zero trailer, with the length field filled in.
ByteVector MapFile(const std::string& body) {
    ByteVector file = Hex("0086867F 0000 0E" + body + "00000000");
    file[4] = static_cast<uint8_t>((file.size() - 4) >> 8);
    file[5] = static_cast<uint8_t>((file.size() - 4) & 0xFF);
    return file;
}

std::string CardRecordHex(size_t count) {
    std::string hex;
    for (size_t i = 0; i < count; ++i) hex += ToHex(MapRecord("A")) + "02000000";
    return hex;
}

struct ParseCase {
    const char* name;
    ByteVector file;
    std::optional<size_t> containers;  // nullopt: SCARD_E_UNEXPECTED
};

const size_t kBefore = 3;  // records in the list before the parse

const ParseCase kParseCases[] = {
    {"TwoRecords", MapFile("001100 00B4" + CardRecordHex(2)), 2},
    {"EmptyEntryKeepsTheList", MapFile("001100 0000 FFFFFF"), kBefore},
    {"LengthNotAMultipleOf90", MapFile("001100 005B" + CardRecordHex(1) + "00"), kBefore},
    {"OtherTagsAndFillerSkipped", MapFile("002200 0002 ABCD FFFF 001100 005A" + CardRecordHex(1)), 1},
    {"ValuePastTheBody", MapFile("001100 00B4" + CardRecordHex(1)), kBefore},
    {"NoMapEntry", MapFile("002200 0003 010203"), kBefore},
    {"BodyOfFiveBytes", MapFile("001100 0000"), std::nullopt},
    {"BodyOfOneByte", MapFile("FF"), std::nullopt},
    {"BodyOfNothing", MapFile(""), kBefore},
};

class CardMapParse : public testing::TestWithParam<ParseCase> {};

TEST_P(CardMapParse, ReplacesTheListOnlyWithWholeRecords) {
    std::vector<ContainerEntry> list(kBefore);
    list[0].keyLengthCode = 0x100;
    const auto parse = [&] { cmap::Parse(GetParam().file, list); };
    if (!GetParam().containers) {
        EXPECT_EQ(ThrownStatus(parse), static_cast<StatusCode>(SCARD_E_UNEXPECTED));
        return;
    }
    parse();
    ASSERT_EQ(list.size(), *GetParam().containers);
    if (*GetParam().containers != kBefore) {
        EXPECT_EQ(list[0].keyLengthCode, 0u);
        EXPECT_EQ(list[0].record.wszGuid[0], u'A');
    }
}

INSTANTIATE_TEST_SUITE_P(CardMap, CardMapParse, testing::ValuesIn(kParseCases),
                         [](const auto& param) { return std::string(param.param.name); });

TEST(CardMap, LengthChecksOfTheReadingPaths) {
    const ByteVector good = MapFile("001100 0000");
    EXPECT_FALSE(ThrownStatus([&] { cmap::CheckLength(good); }));
    EXPECT_TRUE(cmap::LengthMatches(good));
    ByteVector longer = good;
    longer.push_back(0);
    EXPECT_FALSE(ThrownStatus([&] { cmap::CheckLength(longer); }));
    EXPECT_FALSE(cmap::LengthMatches(longer));
    const ByteVector shorter(good.begin(), good.end() - 1);
    EXPECT_EQ(ThrownStatus([&] { cmap::CheckLength(shorter); }), static_cast<StatusCode>(SCARD_E_UNEXPECTED));
    EXPECT_EQ(ThrownStatus([&] { cmap::CheckLength(Hex("0086867F00")); }),
              static_cast<StatusCode>(SCARD_E_UNEXPECTED));
}

TEST(CardMap, SpliceKeepsOtherEntriesAndTheTrailer) {
    const ByteVector file = Hex("0086867F 0014 0E 002200 0001 AB FF 001100 0000 FF 11223344");
    const auto entry = cmap::FindMapEntry(file, file.size());
    ASSERT_TRUE(entry);
    EXPECT_EQ(cmap::Splice(file, *entry, Hex("0102")),
              Hex("0086867F 0016 0E 002200 0001 AB FF 001100 0002 0102 FF 11223344"));
}

TEST(CardMap, NameLengthOfAGuidIsSeventySixBytes) {
    const ByteVector value = cmap::CardValue(MapRecord("{3f2504e0-4f89-11d3-9a0c-0305e82c3301}"));
    ASSERT_EQ(value.size(), cmap::kCardRecordBytes);
    EXPECT_EQ(ToHex(ByteVector(value.end() - 4, value.end())), "4C000000");
}

TEST(CardMap, ReadingAFreshCardGivesNoRecordsAndLogsTheFile) {
    CardFixture f;
    f.Ready();
    LogCapture log;
    EXPECT_TRUE(f.Read("mscp", "cmapfile").empty());
    const ByteVector card = *f.CardFile(moduletest::kMapPath);
    const std::string text = log.Read();
    const std::string expected =
        "Readed content from cmapfile\n\n" + mdlog::HexTableText(card.data(), card.size());
    EXPECT_NE(text.find(expected), std::string::npos) << text;
}

TEST(CardMap, WritingOverAnEmptyMapRecreatesTheFileLarger) {
    CardFixture f;
    f.Ready();
    f.CachePin();
    const ByteVector before = *f.CardFile(moduletest::kMapPath);
    LogCapture log;
    f.Write("mscp", "cmapfile", Records(2));
    EXPECT_NE(log.Read().find("Content for write to cmapfile \n\n"), std::string::npos);

    const ByteVector after = *f.CardFile(moduletest::kMapPath);
    ASSERT_EQ(after.size(), before.size() + 2 * cmap::kCardRecordBytes);
    EXPECT_EQ((after[4] << 8 | after[5]) + 4, static_cast<int>(after.size()));
    EXPECT_EQ(ToHex(ByteVector(after.begin() + 7, after.begin() + 12)), "00110000B4");
    EXPECT_EQ(ToHex(ByteVector(after.end() - 4, after.end())), "00000000");
    f.Commands();
    EXPECT_EQ(f.Read("mscp", "cmapfile"), Records(2));
    EXPECT_TRUE(f.Commands().empty());
}

TEST(CardMap, SameCountIsWrittenInPlace) {
    CardFixture f;
    f.Ready();
    f.CachePin();
    f.Write("mscp", "cmapfile", Records(2));
    ByteVector changed = Records(2);
    changed[cmap::kRecordBytes + 80] = 3;
    f.Commands();
    f.Write("mscp", "cmapfile", changed);
    for (const ByteVector& c : f.Commands()) EXPECT_NE(c[1], 0xE4) << "file deleted: " << ToHex(c);
    EXPECT_EQ(f.Read("mscp", "cmapfile"), changed);
}

TEST(CardMap, ThreeRecordsOverTwoGrowTheFileByOneCardRecord) {
    CardFixture f;
    f.Ready();
    f.CachePin();
    f.Write("mscp", "cmapfile", Records(2));
    const size_t twoRecords = f.CardFile(moduletest::kMapPath)->size();
    ByteVector three = Records(3);
    three.resize(three.size() + 40, 0x55);  // a partial record is ignored
    f.Write("mscp", "cmapfile", three);
    const ByteVector after = *f.CardFile(moduletest::kMapPath);
    EXPECT_EQ(after.size(), twoRecords + cmap::kCardRecordBytes);
    EXPECT_EQ(static_cast<size_t>(after[4] << 8 | after[5]), after.size() - 4);
    EXPECT_EQ(f.Read("mscp", "cmapfile"), Records(3));
}

struct RoomCase {
    const char* name;
    uint32_t spare;  // free bytes beyond the two new card records
    bool fits;
};

class CardMapRoom : public testing::TestWithParam<RoomCase> {};

// A map that grows is made again at its new size, which must stay below the old size plus the
// card's free bytes: two more records need 181 free bytes. One that does not fit leaves the card
// file as it was.
TEST_P(CardMapRoom, GrowingMapNeedsTheOldFileAndTheFreeBytes) {
    uint32_t used = 0;
    {
        CardFixture probe;
        used = probe.Profile().totalMemory - probe.CardFreeMemory();
    }
    helixsim::Profile profile = helixsim::DefaultProfile();
    profile.totalMemory = used + 2 * cmap::kCardRecordBytes + GetParam().spare;
    CardFixture f(profile);
    f.Ready();
    f.CachePin();
    ASSERT_EQ(f.CardFreeMemory(), 2 * cmap::kCardRecordBytes + GetParam().spare);
    const ByteVector before = *f.CardFile(moduletest::kMapPath);
    const auto write = [&] { f.Write("mscp", "cmapfile", Records(2)); };
    if (GetParam().fits) {
        write();
        EXPECT_EQ(f.CardFile(moduletest::kMapPath)->size(), before.size() + 2 * cmap::kCardRecordBytes);
    } else {
        EXPECT_EQ(ThrownStatus(write), static_cast<StatusCode>(SCARD_E_WRITE_TOO_MANY));
        EXPECT_EQ(f.CardFile(moduletest::kMapPath), before);
    }
}

INSTANTIATE_TEST_SUITE_P(CardMap, CardMapRoom,
                         testing::Values(RoomCase{"ExactlyEnough", 1, true},
                                         RoomCase{"OneByteShort", 0, false}),
                         CaseName());

TEST(CardMap, FreeSpaceCountsTheRecordsOnTheCard) {
    CardFixture f;
    f.Ready();
    f.CachePin();
    f.Write("mscp", "cmapfile", Records(2));
    CCardContext fresh;
    fresh.Initialise(&f.Data());
    CARD_FREE_SPACE_INFO info{};
    fresh.QueryFreeSpace(&f.Data(), 0, &info);
    EXPECT_EQ(info.dwKeyContainersAvailable, 2u);
}

}  // namespace
