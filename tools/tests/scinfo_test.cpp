#include "mdhost/scinfo.h"

#include <gtest/gtest.h>

#include "mdhost/card_objects.h"

namespace mdhost {
namespace {

TEST(ParseContainerMap, ReadsNameFlagsAndKeySizesOfEachRecordAndRefusesAPartOfOne) {
    Bytes cmapfile = ContainerRecordBytes(ContainerRecord("{A}", 3, 0, 2048));
    const Bytes second = ContainerRecordBytes(ContainerRecord("sig", 1, 1024, 0));
    cmapfile.insert(cmapfile.end(), second.begin(), second.end());
    std::vector<ContainerReport> containers;
    ASSERT_TRUE(ParseContainerMap(cmapfile, containers));
    ASSERT_EQ(containers.size(), 2u);
    EXPECT_EQ(containers[0].name, "{A}");
    EXPECT_EQ(containers[0].flags, 3);
    EXPECT_EQ(containers[0].keyExchangeBits, 2048);
    EXPECT_EQ(containers[1].index, 1u);
    EXPECT_EQ(containers[1].name, "sig");
    EXPECT_EQ(containers[1].signatureBits, 1024);
    containers.clear();
    EXPECT_FALSE(ParseContainerMap(Bytes(87, 0), containers)) << "no whole number of records";
    EXPECT_TRUE(containers.empty());
}

TEST(ParseContainerMap, DecodesANameOfFortyCharactersWithoutTerminatorAndNonAsciiText) {
    Bytes record(86, 0);
    for (size_t i = 0; i < 40; ++i) record[2 * i] = 'a';
    record[0] = 0xE9;  // U+00E9
    record[2] = 0x3D;  // U+D83D U+DE00, one character outside the basic plane
    record[3] = 0xD8;
    record[4] = 0x00;
    record[5] = 0xDE;
    std::vector<ContainerReport> containers;
    ASSERT_TRUE(ParseContainerMap(record, containers));
    EXPECT_EQ(containers[0].name, "\xC3\xA9\xF0\x9F\x98\x80" + std::string(37, 'a'));
}

struct FileName {
    const char* name;
    bool certificate;
};

class CertificateFileNames : public testing::TestWithParam<FileName> {};

TEST_P(CertificateFileNames, AreKscOrKxcAndTwoHexDigits) {
    EXPECT_EQ(IsCertificateFile(GetParam().name), GetParam().certificate) << GetParam().name;
}

const FileName kCertificateFileNamesCases[] = {
    {"kxc00", true},   {"ksc1f", true},  {"kxcAB", true},  {"ksc", false},     {"ksc0", false},
    {"ksc001", false}, {"kxs00", false}, {"kscg0", false}, {"msroots", false}, {"cmapfile", false},
};
INSTANTIATE_TEST_SUITE_P(Table, CertificateFileNames, testing::ValuesIn(kCertificateFileNamesCases),
                         [](const testing::TestParamInfo<FileName>& p) { return std::string(p.param.name); });

}  // namespace
}  // namespace mdhost
