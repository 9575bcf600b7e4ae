#include "mdhost/options.h"

#include <gtest/gtest.h>

#include <sstream>

namespace mdhost {
namespace {

std::vector<std::string> Words(const std::string& line) {
    std::istringstream in(line);
    std::vector<std::string> words;
    for (std::string w; in >> w;) words.push_back(w);
    return words;
}

struct Refused {
    const char* name;
    const char* line;
    const char* why;  // a part of the message
};

class OptionsRefused : public testing::TestWithParam<Refused> {};

TEST_P(OptionsRefused, NamesTheMistake) {
    Options options;
    const auto error = ParseOptions(Words(GetParam().line), options);
    ASSERT_TRUE(error.has_value()) << GetParam().line;
    EXPECT_NE(error->find(GetParam().why), std::string::npos) << *error;
}

const Refused kOptionsRefusedCases[] = {
    {"NoCommand", "", "no command"},
    {"TwoCommands", "scinfo scinfo", "unexpected argument scinfo"},
    {"UnknownCommand", "inspect", "unknown command inspect"},
    {"ReaderWithoutValue", "scinfo --reader", "needs a value"},
    {"NoRuns", "scinfo --runs 0", "--runs takes"},
    {"TooManyRuns", "scinfo --runs 101", "--runs takes"},
    {"RunsNotANumber", "scinfo --runs 2x", "--runs takes"},
    {"UnknownOption", "scinfo --frobnicate 1", "unknown option"},
    {"FlagWithValue", "scinfo --json=yes", "takes no value"},
    {"EmptyValue", "scinfo --module=", "needs a value"},
    {"ProfileWithReader", "scinfo --reader R --profile no-ec", "do not go with --reader"},
    {"ImageWithReader", "scinfo --reader R --card-image c.img", "do not go with --reader"},
    {"SeedOfAReader", "seed --reader R", "embedded card only"},
    {"SeedWithoutImage", "seed", "needs --card-image"},
    {"RunsOfReset", "reset --runs 2", "scinfo only"},
    {"PolicyOfLogon", "logon --policy on", "pin only"},
    {"UnknownPolicy", "pin --policy strict", "--policy takes"},
    {"FaultOfAReader", "scinfo --reader R --fault remove-before:5", "embedded card only"},
    {"UnknownFaultKind", "scinfo --fault pull:5", "--fault wants KIND:N"},
    {"FaultAtCommandZero", "scinfo --fault reset-after:0", "--fault wants a number from 1"},
    {"StatusWordNotHex", "scinfo --fault sw:5:6G00", "wants a number from 0 to 65535"},
    {"TearWithoutBytes", "scinfo --fault tear:5", "--fault wants KIND:N"},
    {"RemovalWithAValue", "scinfo --fault remove-after:5:1", "--fault wants KIND:N"},
    {"AdminKeyNotHex", "pin --admin-key 0102030405060708111213141516171821222324252627g8",
     "--admin-key takes"},
};
INSTANTIATE_TEST_SUITE_P(Table, OptionsRefused, testing::ValuesIn(kOptionsRefusedCases),
                         [](const testing::TestParamInfo<Refused>& p) { return std::string(p.param.name); });

TEST(Options, TakeValuesInBothFormsAReaderNameWithSpacesAndFaultsInOrder) {
    Options options;
    ASSERT_FALSE(ParseOptions(Words("--json scinfo --reader=Virtual --module /m.so --runs=3"), options));
    EXPECT_EQ(options.command, "scinfo");
    EXPECT_EQ(options.reader, "Virtual");
    EXPECT_EQ(options.module, "/m.so");
    EXPECT_EQ(options.runs, 3u);
    EXPECT_TRUE(options.json);
    EXPECT_FALSE(options.Embedded());
    Options spaced;
    ASSERT_FALSE(ParseOptions({"scinfo", "--reader", "Virtual PCD 00 00"}, spaced));
    EXPECT_EQ(spaced.reader, "Virtual PCD 00 00");
    Options faults;
    ASSERT_FALSE(
        ParseOptions(Words("logon --fault remove-before:5 --fault=sw:7:6a82 --fault tear:9:3"), faults));
    EXPECT_EQ(faults.faults, (std::vector<std::string>{"remove-before:5", "sw:7:6a82", "tear:9:3"}));
}

TEST(Options, DefaultToTheEmbeddedCardWithTheDefaultProfileAndPin) {
    Options options;
    ASSERT_FALSE(ParseOptions({"seed", "--card-image", "card.img"}, options));
    EXPECT_TRUE(options.Embedded());
    EXPECT_EQ(options.profile, "default");
    EXPECT_EQ(options.pin, "12345678");
    EXPECT_EQ(options.runs, 1u);
    Options help;
    EXPECT_FALSE(ParseOptions({"--help"}, help)) << "help needs no command";
    EXPECT_TRUE(help.help);
}

}  // namespace
}  // namespace mdhost
