#include <gtest/gtest.h>

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "channel/scard_sender.h"
#include "hex.h"
#include "libapdu/appfs/fs_helix.h"
#include "libapdu/applet_helix.h"
#include "scripted_card.h"
#include "thrown.h"

using libapdu::ByteVector;
using libapdu::CardPath;
using libapdu::CFSHelix;
using libapdu::FileDescriptor;

namespace {

struct Helix {
    CSCardSender sender{ScriptedCard::kHandle, 3};
    libapdu::CAppletHelix applet{&sender};
    CFSHelix& fs = applet.HelixFS();
};

std::string Len(const std::string& hex) {
    return HexByte(Hex(hex).size());
}

std::string DirFcp(const std::string& id, const std::string& attributes = "002000200020002000200020") {
    return Tlv("62", Tlv("83", id) + Tlv("87", "38") + Tlv("80", "0000") + Tlv("86", attributes)) + "9000";
}

std::string FileFcp(const std::string& id, uint16_t size, const std::string& attributes = "00000020") {
    return Tlv("62", Tlv("83", id) + Tlv("87", "01") + Tlv("80", HexWord(size)) + Tlv("86", attributes)) +
           "9000";
}

std::string ByPath(const std::string& ids) {
    return "80A4080C" + Len(ids) + ids + "00";
}

// Identifiers low byte first, zero-padded to 16 bytes.
std::string Image(std::initializer_list<uint16_t> ids) {
    std::string out;
    for (uint16_t id : ids) out += HexByte(id) + HexByte(id >> 8);
    return out + std::string(32 - out.size(), '0');
}

std::string ByName(std::initializer_list<uint16_t> ids) {
    return "80A4040C10" + Image(ids) + "00";
}

std::string D2(const std::string& value) {
    return Tlv("D2", value);
}

const std::string kBase = "3F00300030025000";
const std::string kKeyDir = "3F0030003002";
const CardPath kFile{0x3F00, 0x3000, 0xC000};
const CardPath kOtherDir{0x3F00, 0x3000, 0x3003};
const CardPath kKeys{0x3F00, 0x3000, 0x3002};
const ScriptStep kSelectBase{ByPath(kBase), DirFcp("5000")};

// Selecting a named directory: base directory, its name, then its on-card path.
Script SelectNamed(std::initializer_list<uint16_t> name, const std::string& onCardId) {
    return {kSelectBase, {ByName(name), DirFcp(onCardId)}, {ByPath(kBase + onCardId), DirFcp(onCardId)}};
}

// What the PIN facet sends the first time it is asked for the user PIN: identifier 0x23.
const Script kUserPinIs23 = {{ByPath(kKeyDir), DirFcp("3002", "002300230023002300230023")}};

CardPath Base(const CardPath& rest) {
    CardPath path{0x3F00, 0x3000, 0x3002, 0x5000};
    path.insert(path.end(), rest.begin(), rest.end());
    return path;
}

FileDescriptor Descriptor(uint8_t kind, uint16_t size, uint8_t a0, uint8_t a1, uint8_t a2 = 3) {
    FileDescriptor d;
    d.kind = kind;
    d.size = size;
    d.access[0] = a0;
    d.access[1] = a1;
    d.access[2] = a2;
    return d;
}

// The card's file C000 of the given size, selected.
Script SelectFile(uint16_t size) {
    return {{ByPath("3F003000C000"), FileFcp("C000", size)}};
}

}  // namespace

TEST(FsHelix, TransfersGoInPiecesOf255Bytes) {
    struct Case {
        size_t length;
        std::vector<std::pair<size_t, size_t>> reads;  // offset, length
    };
    const Case cases[] = {{600, {{0, 255}, {255, 255}, {510, 90}}}, {256, {{0, 255}, {255, 1}}}, {0, {}}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.length);
        Script script = SelectFile(0x0300);
        std::string expected;
        for (const auto& [offset, length] : c.reads) {
            const std::string data = Repeat(HexByte(offset / 255 + 1), length);
            script.push_back({"00B0" + HexWord(offset) + HexByte(length), data + "9000"});
            expected += data;
        }
        ScriptedCard card(script);
        Helix h;
        h.fs.SelectPath(kFile);
        ByteVector buffer(c.length);
        h.fs.ReadFile(buffer, 0);
        EXPECT_EQ(ToHex(buffer), expected);
    }
    const std::string data = Repeat("5A", 300);
    ScriptedCard card(SelectFile(0x0200) + Script{{"00D60010FF" + data.substr(0, 510), "9000"},
                                                  {"00D6010F2D" + data.substr(510), "9000"}});
    Helix h;
    h.fs.SelectPath(kFile);
    h.fs.WriteFile(Hex(data), 0x10);
}

TEST(FsHelix, TransfersOutsideTheFileOrShortAnswersFail) {
    ScriptedCard card(SelectFile(10) + Script{{"00B000000A", "010203 9000"}});
    Helix h;
    h.fs.SelectPath(kFile);
    ByteVector ten(10);
    ByteVector eleven(11);
    ByteVector one(1);
    EXPECT_EQ(ThrownStatusWord([&] { h.fs.ReadFile(eleven, 0); }), 0x6282);
    EXPECT_EQ(ThrownStatusWord([&] { h.fs.ReadFile(one, 10); }), 0x6282);
    EXPECT_EQ(ThrownStatusWord([&] { h.fs.ReadFile(one, 0xFFFFFFFF); }), 0x6282);
    EXPECT_EQ(ThrownStatusWord([&] { h.fs.WriteFile(eleven, 0); }), 0x6A84);
    EXPECT_EQ(ThrownStatusWord([&] { h.fs.WriteFile(one, 10); }), 0x6A84);
    EXPECT_EQ(ThrownStatusWord([&] { h.fs.ReadFile(ten, 0); }), 0x6282);  // the card sends 3 bytes
}

// Kind, size and access bytes: nothing known at first; a file's access from attribute bytes 1 and
// 3, a directory's from byte 1; SELECT by identifier calls everything but a directory a file.
TEST(FsHelix, SelectionIsDescribedFromItsFcp) {
    const std::string file = FileFcp("C000", 0x62, "00100020");
    const auto byFid = [](const std::string& descriptor) {
        return Step("80A4000C02006100", Tlv("62", Tlv("83", "0061") + Tlv("87", descriptor) +
                                                      Tlv("80", "0100") + Tlv("86", "00000000")) +
                                            "9000");
    };
    ScriptedCard card(Step(ByPath("3F003000C000"), file) +
                      Step(ByPath("3F0030003001"), DirFcp("3001", "0030002000200020")) + byFid("38") +
                      byFid("01") + byFid("08"));
    Helix h;
    const auto shown = [&] {
        const FileDescriptor d = h.fs.GetFileInfo();
        return std::to_string(d.kind) + " " + HexWord(d.size) + " " + HexByte(d.access[0]) +
               HexByte(d.access[1]) + HexByte(d.access[2]);
    };
    EXPECT_EQ(shown(), "0 0000 FFFF03");
    h.fs.SelectPath(kFile);
    EXPECT_EQ(shown(), "1 0062 102003");
    EXPECT_EQ(ToHex(h.fs.SecurityAttributes()), "00100020");
    EXPECT_EQ(ToHex(h.fs.LastFcp()), file.substr(0, file.size() - 4));
    h.fs.SelectPath({0x3F00, 0x3000, 0x3001});
    EXPECT_EQ(shown(), "2 0000 003003");
    for (const int kind : {2, 1, 1}) {
        h.fs.SelectFid(0x0061);
        EXPECT_EQ(h.fs.GetFileInfo().kind, kind);
    }
}

TEST(FsHelix, SelectPathTakesEveryBranch) {
    // [4001 0010]: not a name, so the file 0010 in the directory named [4001], which is 0003.
    const Script inNamed{kSelectBase, {ByName({0x4001, 0x0010}), "6A82"}, {ByName({0x4001}), DirFcp("0003")}};
    const std::string file = kBase + "00030010";
    struct Case {
        const char* what;
        CardPath path;
        Script script;
        CardPath physical;  // empty: fails with 6A82
    };
    const Case cases[] = {
        {"outside the named area", kFile, {{ByPath("3F003000C000"), FileFcp("C000", 0x62)}}, kFile},
        {"the base directory", Base({}), {kSelectBase}, Base({})},
        {"a named directory", {0x4001}, SelectNamed({0x4001}, "0007"), Base({0x0007})},
        {"a file in a named directory",
         {0x4001, 0x0010},
         inNamed + Step(ByPath(file), FileFcp("0010", 0x20)),
         Base({0x0003, 0x0010})},
        {"a file directly in the base directory",
         {0x4001},
         Script{kSelectBase} + Step(ByName({0x4001}), "6A82"),
         {}},
        {"a missing file in a named directory, whatever the card says",
         {0x4001, 0x0010},
         inNamed + Step(ByPath(file), "6982"),
         {}},
        {"a missing base directory, made again",
         {0x4001},
         Script{{ByPath(kBase), "6A82"}} + kUserPinIs23 +
             Script{{ByPath(kKeyDir), DirFcp("3002")},
                    {"00E038001C 628119 8A0104 83025000 80020000 860C" + Repeat("0023", 6), "9000"},
                    kSelectBase,
                    {ByName({0x4001}), DirFcp("0001")},
                    {ByPath(kBase + "0001"), DirFcp("0001")}},
         Base({0x0001})},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        ScriptedCard card(c.script);
        Helix h;
        if (c.physical.empty()) {
            EXPECT_EQ(ThrownStatusWord([&] { h.fs.SelectPath(c.path); }), 0x6A82);
        } else {
            h.fs.SelectPath(c.path);
            EXPECT_EQ(h.fs.PhysicalPath(), c.physical);
        }
        // The requested path is replaced before anything is sent.
        EXPECT_EQ(h.fs.RequestedPath(), c.path.front() == 0x3F00 ? c.path : Base(c.path));
    }
    ScriptedCard card({{ByName({0x4001, 0x4002}), DirFcp("0009")}});
    Helix h;
    EXPECT_EQ(ThrownStatusWord([&] { h.fs.SelectByName(CardPath(9, 0x4001)); }), 0x6A82);
    h.fs.SelectByName({0x4001, 0x4002});
    EXPECT_EQ(h.fs.RequestedPath(), Base({0x4001, 0x4002}));
    EXPECT_EQ(h.fs.PhysicalPath(), Base({0x0009}));
}

TEST(FsHelix, AttributeRefreshRewritesOtherUserObjects) {
    struct Case {
        uint8_t substitute;
        const char* attributes;
        const char* rewritten;  // empty: nothing sent
    };
    const Case cases[] = {
        {0x23, "0020002500100024", "0023002300100023"},
        {0x23, "0023002300100021", ""},
        {0x00, "0020002500100024", ""},
        {0x25, "20230024", "20250025"},  // even positions are never touched
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.attributes);
        const std::string rewritten = c.rewritten;
        Script script{{ByPath("3F003000C000"), FileFcp("C000", 0x62, c.attributes)}};
        if (!rewritten.empty()) {
            const std::string fcp = Tlv("62", Tlv("86", rewritten));
            script.push_back({"80E80000" + Len(fcp) + fcp, "9000"});
        }
        ScriptedCard card(script);
        Helix h;
        h.fs.SetAttributeSubstitute(c.substitute);
        h.fs.SelectPath(kFile);
        EXPECT_EQ(ToHex(h.fs.SecurityAttributes()), rewritten.empty() ? c.attributes : rewritten);
    }
}

// Refusals of CREATE: reserved identifiers, oversize, unknown kinds and curves before any command;
// a named directory that exists, an area without a free number or refusing the data (6A80), a
// name of more than eight entries.
TEST(FsHelix, CreateRefusals) {
    std::string full;
    for (size_t id = 1; id <= 0xFF; ++id) full += D2(HexWord(id));
    const std::string areaFull =
        "62812B 8A0104 83020001 80020000 8410" + Image({0x4001}) + "860C 0020002000200020 0000 00FF";
    const Script lookForName{kSelectBase, kSelectBase, {ByName({0x4001}), "6A82"}, kSelectBase};
    const FileDescriptor file = Descriptor(1, 0x10, 0, 0x20);
    const FileDescriptor directory = Descriptor(2, 0, 0, 0x20);
    const Script inOther{{ByPath("3F0030003003"), DirFcp("3003")}};
    const Script inKeys{{ByPath(kKeyDir), DirFcp("3002")}};
    struct Case {
        const char* name;
        Script script;
        CardPath at;  // selected first, unless empty
        uint16_t id;
        FileDescriptor descriptor;
        uint16_t sw;
    };
    const Case cases[] = {
        {"identifier 0000", {}, {}, 0x0000, file, 0x6900},
        {"identifier FFFF", {}, {}, 0xFFFF, file, 0x6900},
        {"identifier 3FFF", {}, {}, 0x3FFF, file, 0x6900},
        {"identifier 3F00", {}, {}, 0x3F00, file, 0x6900},
        {"oversize", {}, {}, 0x4001, Descriptor(1, 0x8000, 0, 0x20), 0x6400},
        {"unknown kind", inOther, kOtherDir, 0x4001, Descriptor(3, 0x10, 0, 0x20), 0xFACE},
        {"elliptic size without a curve", inKeys, kKeys, 0x0042, Descriptor(4, 0x10, 0, 0, 2), 0xFACE},
        {"named directory that exists", Script{kSelectBase} + SelectNamed({0x4001}, "0001"), Base({}), 0x4001,
         directory, 0x6A89},
        {"named directory refused for its data",
         lookForName + Script{{"8030380000", "9000"}, {"00E038002E" + areaFull, "6A80"}}, Base({}), 0x4001,
         directory, 0x6400},
        {"no free directory number", lookForName + Script{{"8030380000", full + "9000"}}, Base({}), 0x4001,
         directory, 0x6400},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ScriptedCard card(c.script);
        Helix h;
        if (!c.at.empty()) h.fs.SelectPath(c.at);
        EXPECT_EQ(ThrownStatusWord([&] { h.fs.CreateFile(c.id, c.descriptor, {}); }), c.sw);
    }
    ScriptedCard card({{ByName({1, 2, 3, 4, 5, 6, 7, 8}), DirFcp("0001")}});
    Helix h;
    h.fs.SelectByName({1, 2, 3, 4, 5, 6, 7, 8});
    EXPECT_EQ(ThrownStatusWord([&] { h.fs.CreateFile(0x4001, directory, {}); }), 0x6400);  // a ninth entry
}

// Elementary files carry the card module's name for key files (kxs, kss) and certificates (kxc, ksc);
// a directory outside the named area is created by identifier.
TEST(FsHelix, CreateTemplatesCarryTheCardModuleNames) {
    const CardPath certificates{0x3F00, 0x3000, 0x3001};
    struct Case {
        CardPath directory;
        uint16_t id;
        std::string name;  // the 84 object, or empty
    };
    const Case cases[] = {
        {certificates, 0x8405, "84056B78633035"},  // kxc05
        {certificates, 0x8425, "84056B73633035"},  // ksc05
        {certificates, 0x841D, "84056B78633164"},  // kxc1d
        {kKeys, 0x0225, "84046B737335"},           // kss5
        {kKeys, 0x0200, "84046B787330"},           // kxs0
        {kKeys, 0x021D, "84056B78733164"},         // kxs1d
        {kKeys, 0x023D, "84056B73733164"},         // kss1d
        {kKeys, 0x021E, ""},                       // between the series
        {kKeys, 0x023E, ""},                       // past the second series
        {kKeys, 0x8405, ""},                       // certificate identifier in the key directory
        {certificates, 0x0205, ""},                // key identifier in the certificate directory
        {kOtherDir, 0x4001, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name + " " + HexWord(c.id));
        std::string directory;
        for (uint16_t id : c.directory) directory += HexWord(id);
        const std::string fcp = "6281" + HexByte(0x15 + Hex(c.name).size()) + "8A0104 8302" + HexWord(c.id) +
                                "80020123 8608 00AA00BB00BB00BB" + c.name;
        ScriptedCard card({{ByPath(directory), DirFcp("3000")}, {"00E00100" + Len(fcp) + fcp, "9000"}});
        Helix h;
        h.fs.SelectPath(c.directory);
        h.fs.CreateFile(c.id, Descriptor(1, 0x0123, 0xAA, 0xBB), {});
    }
    ScriptedCard card({{ByPath("3F0030003003"), DirFcp("3003")},
                       {"00E038001C 628119 8A0104 83023005 80020000 860C" + Repeat("0030", 6), "9000"}});
    Helix h;
    h.fs.SelectPath(kOtherDir);
    h.fs.CreateFile(0x3005, Descriptor(2, 0, 0, 0x30), {});
}

// A key object goes out as an extended CREATE in pieces of 224 bytes, its usage block naming
// what the key serves: RSA t = 04 signature, 08 exchange, 0C both; elliptic 04, 80, 84, then the
// curve (which the simulator holds to the published values).
TEST(FsHelix, KeyObjectTemplateFollowsTheUsage) {
    const std::tuple<uint16_t, uint8_t, std::string, size_t> cases[] = {
        {0x100, 2, "8505 0504 2000A3 7100", 1}, {0x100, 1, "8505 0508 2000A3 7100", 1},
        {0x100, 3, "8505 050C 2000A3 7100", 1}, {0x20, 2, "8505 0304 3000A3 E182", 2},
        {0x20, 1, "8505 0380 3000A3 E182", 2},  {0x42, 3, "8505 0384 3000A3 E182", 3},
    };
    for (const auto& [size, usage, block, pieces] : cases) {
        SCOPED_TRACE(block);
        Script script = Script{{ByPath(kKeyDir), DirFcp("3002")}} + kUserPinIs23;
        for (size_t i = 1; i < pieces; ++i) script.push_back({"10E00800E0*", "9000"});
        script.push_back({"00E00800*", "9000"});
        ScriptedCard card(script);
        Helix h;
        h.fs.SelectPath(kKeys);
        h.fs.CreateFile(0x0042, Descriptor(4, size, 0, 0, usage), {});
        const std::string first = ToHex(card.Received()[2]);  // header, Lc, 62 82 length, template
        const std::string expected =
            ToHex(Hex("8A0104 83020042 8002" + HexWord(size) + "860E 000000FF00FF0023002300000023" + block));
        EXPECT_EQ(first.substr(10, 4), "6282");
        EXPECT_EQ(first.substr(18, expected.size()), expected);
    }
}

TEST(FsHelix, NamedDirectoryTakesTheFirstFreeNumber) {
    const std::string fcp =
        "62812B 8A0104 83020003 80020000 8410" + Image({0x4001, 0x4002}) + "860C 0020002000200020 0000 00FF";
    ScriptedCard card(
        SelectNamed({0x4001}, "0001") +
        Script{// does [4001, 4002] exist already?
               kSelectBase,
               {ByName({0x4001, 0x4002}), "6A82"},
               {ByName({0x4001}), DirFcp("0001")},
               {ByPath(kBase + "00014002"), "6A82"},
               // which numbers are taken?
               kSelectBase,
               {"8030380000", D2(Image({0x4001})) + D2(Image({0x4001, 0x4003})) + D2("0005") + "9000"},
               {ByName({0x4001}), DirFcp("0001")},
               {ByName({0x4001, 0x4003}), DirFcp("0002")},
               kSelectBase,
               {"00E038002E" + fcp, "9000"}});
    Helix h;
    h.fs.SelectPath({0x4001});
    h.fs.CreateFile(0x4002, Descriptor(2, 0, 0x00, 0x20), {});
}

TEST(FsHelix, ListingGivesIdentifiersOrTheNamesOneLevelBelow) {
    const std::string named = D2(Image({0x4001})) + D2(Image({0x4001, 0x4002})) +
                              D2(Image({0x4001, 0x4002, 0x4003})) + D2(Image({0x4003, 0x4004})) +
                              D2(Image({0x4001, 0x4005})) + D2("0009") + "9000";
    ScriptedCard card(SelectFile(0x10) +
                      Script{{ByPath("3F0030003003"), DirFcp("3003")},
                             {"8030010000", D2("4001") + D2("4000") + "9000"},
                             {"8030380000", D2("3005") + "9000"}} +
                      SelectNamed({0x4001}, "0001") +
                      Script{kSelectBase,
                             {"8030380000", named},
                             {ByPath(kBase + "0001"), DirFcp("0001")},  // the listed directory again
                             kSelectBase,
                             kSelectBase,
                             {"8030380000", named}});
    Helix h;
    h.fs.SelectPath(kFile);
    EXPECT_EQ(ThrownStatusWord([&] { h.fs.ListFiles(1); }), 0x6283);
    h.fs.SelectPath(kOtherDir);
    EXPECT_EQ(ThrownStatusWord([&] { h.fs.ListFiles(4); }), 0xFACE);
    EXPECT_EQ(h.fs.ListFiles(1), (std::vector<uint16_t>{0x4001, 0x4000}));
    EXPECT_EQ(h.fs.ListFiles(2), (std::vector<uint16_t>{0x3005}));
    h.fs.SelectPath({0x4001});
    EXPECT_EQ(h.fs.ListFiles(2), (std::vector<uint16_t>{0x4002, 0x4005}));
    h.fs.SelectPath(Base({}));
    EXPECT_EQ(h.fs.ListFiles(2), (std::vector<uint16_t>{0x4001}));
}

TEST(FsHelix, MalformedListingsAndAnswersThrow) {
    ScriptedCard card(
        {{ByPath("3F0030003003"), DirFcp("3003")},
         {"8030010000", D2("400100") + "9000"},
         {"8030010000", "D205 4001 9000"},
         {ByPath("3F003000C000"),
          Tlv("62", Tlv("83", "C000") + Tlv("87", "01") + Tlv("86", "00000020")) + "9000"},
         {ByPath("3F003000C000"),
          Tlv("62", Tlv("87", "01") + Tlv("80", "0010") + Tlv("86", "0000")) + "9000"},
         {ByPath("3F003000C000"), "6205 8302C000 9000"},
         {ByName({0x4001}), Tlv("62", Tlv("83", "01") + Tlv("87", "38") + Tlv("86", "0020")) + "9000"}});
    Helix h;
    h.fs.SelectPath(kOtherDir);
    EXPECT_EQ(ThrownStatusWord([&] { h.fs.ListFiles(1); }), 0x6281);       // an identifier of three bytes
    EXPECT_EQ(ThrownStatus([&] { h.fs.ListFiles(1); }), 0);                // an element running past the end
    EXPECT_EQ(ThrownStatusWord([&] { h.fs.SelectPath(kFile); }), 0x6281);  // no size
    EXPECT_EQ(ThrownStatusWord([&] { h.fs.SelectPath(kFile); }), 0x6281);  // short 86
    EXPECT_EQ(ThrownStatus([&] { h.fs.SelectPath(kFile); }), 0);
    EXPECT_EQ(ThrownStatusWord([&] { h.fs.SelectByName({0x4001}); }), 0x6281);  // identifier of one byte
}

// A file or ordinary directory is one command; a named directory goes after its named
// subdirectories, deepest first. Resizing stops at 7FFE.
TEST(FsHelix, DeleteAndResize) {
    const std::string listing =
        D2(Image({0x4001})) + D2(Image({0x4001, 0x4002})) + D2(Image({0x4001, 0x4002, 0x4003})) + "9000";
    // Lists the named area from the base directory and selects the listed directory again.
    const auto list = [&](const std::string& onCardId) {
        return Script{kSelectBase, {"8030380000", listing}, {ByPath(kBase + onCardId), DirFcp(onCardId)}};
    };
    const Script deleteDirectory{{"00E40100", "9000"}};
    ScriptedCard card(
        SelectFile(0x10) + Script{{"00E40000", "9000"}, {ByPath("3F0030003003"), DirFcp("3003")}} +
        deleteDirectory + SelectNamed({0x4001}, "0001") + list("0001") +  // [4001] has [4001 4002]
        SelectNamed({0x4001, 0x4002}, "0002") + list("0002") +            // which has [4001 4002 4003]
        SelectNamed({0x4001, 0x4002, 0x4003}, "0003") + list("0003") + deleteDirectory +
        SelectNamed({0x4001, 0x4002}, "0002") + deleteDirectory + SelectNamed({0x4001}, "0001") +
        deleteDirectory + SelectFile(0x10) + Script{{"80320001047FFE0000", "9000"}});
    Helix h;
    h.fs.SelectPath(kFile);
    h.fs.DeleteFile();
    h.fs.SelectPath(kOtherDir);
    h.fs.DeleteFile();
    h.fs.SelectPath({0x4001});
    h.fs.DeleteFile();
    h.fs.SelectPath(kFile);
    EXPECT_EQ(ThrownStatusWord([&] { h.fs.ResizeFile(0x7FFF); }), 0x6400);
    h.fs.ResizeFile(0x7FFE);
    EXPECT_EQ(h.fs.GetFileInfo().size, 0x7FFE);
}
