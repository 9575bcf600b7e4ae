// The container map: parsing the card format and merging the host's records
// back into 867F.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "card/container_map.h"
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

// A card file: the header, `body` and a zero trailer, with the length field
// filled in.
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

// Parsing replaces the list only with whole records.
TEST(CardMap, ParseAndLengthChecks) {
    const size_t before = 3;  // records in the list before the parse
    const std::pair<ByteVector, std::optional<size_t>> cases[] = {
        // nullopt: SCARD_E_UNEXPECTED
        {MapFile("001100 00B4" + CardRecordHex(2)), 2},
        {MapFile("001100 0000 FFFFFF"), before},                       // an empty entry keeps the list
        {MapFile("001100 005C" + CardRecordHex(1) + "0000"), before},  // not a multiple of 90
        {MapFile("002200 0002 ABCD FFFF 001100 005A" + CardRecordHex(1)), 1},  // other tags, filler
        {MapFile("001100 00B4" + CardRecordHex(1)), before},                   // value past the body
        {MapFile("002200 0003 010203"), before},                               // no map entry
        {MapFile("001100 0000"), std::nullopt},
        {MapFile("FF"), std::nullopt},
        {MapFile(""), before},
    };
    for (const auto& [file, containers] : cases) {
        SCOPED_TRACE(ToHex(file));
        std::vector<ContainerEntry> list(before);
        list[0].keyLengthCode = 0x100;
        const auto parse = [&, &file = file] { cmap::Parse(file, list); };
        if (!containers) {
            EXPECT_EQ(ThrownStatus(parse), static_cast<StatusCode>(SCARD_E_UNEXPECTED));
            continue;
        }
        parse();
        ASSERT_EQ(list.size(), *containers);
        if (*containers != before) {
            EXPECT_EQ(list[0].keyLengthCode, 0u);
            EXPECT_EQ(list[0].record.wszGuid[0], u'A');
        }
    }

    const ByteVector good = MapFile("001100 0000");
    EXPECT_FALSE(ThrownStatus([&] { cmap::CheckLength(good); }));
    EXPECT_TRUE(cmap::LengthMatches(good));
    const ByteVector longer = Concat({good, {0}});
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
    // The name length of a GUID is 76 bytes.
    const ByteVector value = cmap::CardValue(MapRecord("{3f2504e0-4f89-11d3-9a0c-0305e82c3301}"));
    ASSERT_EQ(value.size(), cmap::kCardRecordBytes);
    EXPECT_EQ(ToHex(ByteVector(value.end() - 4, value.end())), "4C000000");
}

// A fresh card has no records, and the log shows its file. A different count
// recreates the file at its new size; the same count is written in place; a
// partial record is ignored.
TEST(CardMap, WritingMergesTheRecordsIntoTheCardFile) {
    CardFixture f;
    f.Ready();
    f.CachePin();
    const ByteVector empty = *f.CardFile(moduletest::kMapPath);
    LogCapture log;
    EXPECT_TRUE(f.Read("mscp", "cmapfile").empty());
    EXPECT_NE(
        log.Read().find("Readed content from cmapfile\n\n" + mdlog::HexTableText(empty.data(), empty.size())),
        std::string::npos);
    f.Write("mscp", "cmapfile", Records(2));
    EXPECT_NE(log.Read().find("Content for write to cmapfile \n\n"), std::string::npos);
    const ByteVector two = *f.CardFile(moduletest::kMapPath);
    ASSERT_EQ(two.size(), empty.size() + 2 * cmap::kCardRecordBytes);
    EXPECT_EQ((two[4] << 8 | two[5]) + 4, static_cast<int>(two.size()));
    EXPECT_EQ(ToHex(ByteVector(two.begin() + 7, two.begin() + 12)), "00110000B4");
    EXPECT_EQ(ToHex(ByteVector(two.end() - 4, two.end())), "00000000");
    f.Commands();
    EXPECT_EQ(f.Read("mscp", "cmapfile"), Records(2));
    EXPECT_TRUE(f.Commands().empty());
    CCardContext fresh;  // counts the records on the card
    fresh.Initialise(&f.Data());
    CARD_FREE_SPACE_INFO info{};
    fresh.QueryFreeSpace(&f.Data(), 0, &info);
    EXPECT_EQ(info.dwKeyContainersAvailable, 2u);

    ByteVector changed = Records(2);
    changed[cmap::kRecordBytes + 80] = 3;
    f.Write("mscp", "cmapfile", changed);
    for (const ByteVector& c : f.Commands()) EXPECT_NE(c[1], 0xE4) << "file deleted: " << ToHex(c);
    EXPECT_EQ(f.Read("mscp", "cmapfile"), changed);

    ByteVector three = Records(3);
    three.resize(three.size() + 40, 0x55);
    f.Write("mscp", "cmapfile", three);
    const ByteVector after = *f.CardFile(moduletest::kMapPath);
    EXPECT_EQ(after.size(), two.size() + cmap::kCardRecordBytes);
    EXPECT_EQ(static_cast<size_t>(after[4] << 8 | after[5]), after.size() - 4);
    EXPECT_EQ(f.Read("mscp", "cmapfile"), Records(3));

    // No whole record: the card's entry empties, and so does the list.
    f.Write("mscp", "cmapfile", ByteVector(40, 0x55));
    EXPECT_EQ(f.CardFile(moduletest::kMapPath), empty);
    EXPECT_TRUE(f.Read("mscp", "cmapfile").empty());
}

// Without a map entry that ends inside the file there is nothing to merge into.
TEST(CardMap, WriteWithoutAMapEntryFailsAndWritesNothing) {
    for (const char* body : {"002200 0000 FFFFFF", "001100 0008 FFFFFF"}) {
        SCOPED_TRACE(body);
        CardFixture f;
        f.Ready();
        f.CachePin();
        const ByteVector file = MapFile(body);
        ASSERT_EQ(f.CardFile(moduletest::kMapPath)->size(), file.size());
        f.PutFile(moduletest::kMapPath, file);
        EXPECT_EQ(ThrownStatus([&] { f.Write("mscp", "cmapfile", Records(1)); }),
                  static_cast<StatusCode>(SCARD_E_UNEXPECTED));
        EXPECT_EQ(f.CardFile(moduletest::kMapPath), file);
    }
}

// A map that grows is made again at its new size, which must stay below the old
// size plus the card's free bytes: two more records need 181 free bytes. One
// that does not fit leaves the card file as it was.
TEST(CardMap, GrowingMapNeedsTheOldFileAndTheFreeBytes) {
    uint32_t used = 0;
    {
        CardFixture probe;
        used = probe.Profile().totalMemory - probe.CardFreeMemory();
    }
    for (const auto& [spare, fits] : {std::pair{1u, true}, {0u, false}}) {
        helixsim::Profile profile = helixsim::DefaultProfile();
        profile.totalMemory = used + 2 * cmap::kCardRecordBytes + spare;
        CardFixture f(profile);
        f.Ready();
        f.CachePin();
        ASSERT_EQ(f.CardFreeMemory(), 2 * cmap::kCardRecordBytes + spare);
        const ByteVector before = *f.CardFile(moduletest::kMapPath);
        const auto write = [&f = f] { f.Write("mscp", "cmapfile", Records(2)); };
        if (fits) {
            write();
            EXPECT_EQ(f.CardFile(moduletest::kMapPath)->size(), before.size() + 2 * cmap::kCardRecordBytes);
        } else {
            EXPECT_EQ(ThrownStatus(write), static_cast<StatusCode>(SCARD_E_WRITE_TOO_MANY));
            EXPECT_EQ(f.CardFile(moduletest::kMapPath), before);
        }
    }
}

}  // namespace
