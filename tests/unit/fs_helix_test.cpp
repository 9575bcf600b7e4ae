#include <gtest/gtest.h>

#include <cstdio>
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
using libapdu::FileDescriptor;

namespace {

struct Helix {
    CSCardSender sender{ScriptedCard::kHandle, 3};
    libapdu::CAppletHelix applet{&sender};
    libapdu::CFSHelix& fs = applet.HelixFS();
};

std::string Len(const std::string& hex) {
    return HexByte(Hex(hex).size());
}

const std::string kUserAttributes = "002000200020002000200020";

std::string DirFcp(const std::string& id, const std::string& attributes = kUserAttributes) {
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

const std::string kBase = "3F00300030025000";
const std::string kKeyDir = "3F0030003002";
const std::string kCertDir = "3F0030003001";

// Selecting a named directory: base directory, its name, then its on-card path.
Script SelectNamed(std::initializer_list<uint16_t> name, const std::string& onCardId) {
    return {{ByPath(kBase), DirFcp("5000")},
            {ByName(name), DirFcp(onCardId)},
            {ByPath(kBase + onCardId), DirFcp(onCardId)}};
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

TEST(FsHelix, StartsWithNothingKnownAboutTheSelection) {
    ScriptedCard card({});
    Helix h;
    const FileDescriptor d = h.fs.GetFileInfo();
    EXPECT_EQ(d.kind, 0);
    EXPECT_EQ(d.size, 0);
    EXPECT_EQ(d.access[0], 0xFF);
    EXPECT_EQ(d.access[1], 0xFF);
    EXPECT_EQ(d.access[2], 3);
    EXPECT_EQ(ThrownStatusWord([&] { h.fs.Reserved11(); }), 0xFACE);
}

TEST(FsHelix, ReadFileGoesInPiecesOf255Bytes) {
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
        h.fs.SelectPath({0x3F00, 0x3000, 0xC000});
        ByteVector buffer(c.length);
        h.fs.ReadFile(buffer, 0);
        EXPECT_EQ(ToHex(buffer), expected);
    }
}

TEST(FsHelix, WriteFileGoesInPiecesOf255Bytes) {
    const std::string data = Repeat("5A", 300);
    ScriptedCard card(SelectFile(0x0200) + Script{{"00D60010FF" + data.substr(0, 510), "9000"},
                                                  {"00D6010F2D" + data.substr(510), "9000"}});
    Helix h;
    h.fs.SelectPath({0x3F00, 0x3000, 0xC000});
    h.fs.WriteFile(Hex(data), 0x10);
}

TEST(FsHelix, TransfersOutsideTheFileFailBeforeAnyCommand) {
    ScriptedCard card(SelectFile(10));
    Helix h;
    h.fs.SelectPath({0x3F00, 0x3000, 0xC000});
    ByteVector eleven(11);
    ByteVector one(1);
    EXPECT_EQ(ThrownStatusWord([&] { h.fs.ReadFile(eleven, 0); }), 0x6282);
    EXPECT_EQ(ThrownStatusWord([&] { h.fs.ReadFile(one, 10); }), 0x6282);
    EXPECT_EQ(ThrownStatusWord([&] { h.fs.ReadFile(one, 0xFFFFFFFF); }), 0x6282);
    EXPECT_EQ(ThrownStatusWord([&] { h.fs.WriteFile(eleven, 0); }), 0x6A84);
    EXPECT_EQ(ThrownStatusWord([&] { h.fs.WriteFile(one, 10); }), 0x6A84);
}

TEST(FsHelix, ShortReadAnswerIsRefused) {
    ScriptedCard card(SelectFile(10) + Script{{"00B000000A", "010203 9000"}});
    Helix h;
    h.fs.SelectPath({0x3F00, 0x3000, 0xC000});
    ByteVector buffer(10);
    EXPECT_EQ(ThrownStatusWord([&] { h.fs.ReadFile(buffer, 0); }), 0x6282);
}

TEST(FsHelix, SelectedFileIsDescribedFromItsFcp) {
    const std::string file = FileFcp("C000", 0x62, "00100020");
    ScriptedCard card(
        {{ByPath("3F003000C000"), file}, {ByPath(kCertDir), DirFcp("3001", "0030002000200020")}});
    Helix h;
    h.fs.SelectPath({0x3F00, 0x3000, 0xC000});
    FileDescriptor d = h.fs.GetFileInfo();
    EXPECT_EQ(d.kind, 1);
    EXPECT_EQ(d.size, 0x62);
    EXPECT_EQ(d.access[0], 0x10);  // attribute byte 1
    EXPECT_EQ(d.access[1], 0x20);  // attribute byte 3
    EXPECT_EQ(ToHex(h.fs.SecurityAttributes()), "00100020");
    EXPECT_EQ(ToHex(h.fs.LastFcp()), file.substr(0, file.size() - 4));

    h.fs.SelectPath({0x3F00, 0x3000, 0x3001});
    d = h.fs.GetFileInfo();
    EXPECT_EQ(d.kind, 2);
    EXPECT_EQ(d.size, 0);
    EXPECT_EQ(d.access[0], 0);
    EXPECT_EQ(d.access[1], 0x30);  // attribute byte 1
}

TEST(FsHelix, SelectPathTakesEveryBranch) {
    struct Case {
        const char* what;
        CardPath path;
        Script script;
        CardPath physical;  // empty: fails with 6A82
    };
    const Case cases[] = {
        {"outside the named area",
         {0x3F00, 0x3000, 0xC000},
         {{ByPath("3F003000C000"), FileFcp("C000", 0x62)}},
         {0x3F00, 0x3000, 0xC000}},
        {"the base directory", Base({}), {{ByPath(kBase), DirFcp("5000")}}, Base({})},
        {"a named directory", {0x4001}, SelectNamed({0x4001}, "0007"), Base({0x0007})},
        {"a file in a named directory",
         {0x4001, 0x0010},
         {{ByPath(kBase), DirFcp("5000")},
          {ByName({0x4001, 0x0010}), "6A82"},
          {ByName({0x4001}), DirFcp("0003")},
          {ByPath(kBase + "00030010"), FileFcp("0010", 0x20)}},
         Base({0x0003, 0x0010})},
        {"a file directly in the base directory",
         {0x4001},
         {{ByPath(kBase), DirFcp("5000")}, {ByName({0x4001}), "6A82"}},
         {}},
        {"a missing file in a named directory, whatever the card says",
         {0x4001, 0x0010},
         {{ByPath(kBase), DirFcp("5000")},
          {ByName({0x4001, 0x0010}), "6A82"},
          {ByName({0x4001}), DirFcp("0003")},
          {ByPath(kBase + "00030010"), "6982"}},
         {}},
        {"a missing base directory, made again",
         {0x4001},
         Script{{ByPath(kBase), "6A82"}} + kUserPinIs23 +
             Script{{ByPath(kKeyDir), DirFcp("3002")},
                    {"00E038001C 628119 8A0104 83025000 80020000 860C" + Repeat("0023", 6), "9000"},
                    {ByPath(kBase), DirFcp("5000")}} +
             Script{{ByName({0x4001}), DirFcp("0001")}, {ByPath(kBase + "0001"), DirFcp("0001")}},
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
        h.fs.SelectPath({0x3F00, 0x3000, 0xC000});
        EXPECT_EQ(ToHex(h.fs.SecurityAttributes()), rewritten.empty() ? c.attributes : rewritten);
    }
}

TEST(FsHelix, SelectFidReadsDirectoriesAndCallsEverythingElseAFile) {
    const std::pair<const char*, uint8_t> cases[] = {{"38", 2}, {"01", 1}, {"08", 1}};
    for (const auto& [descriptor, kind] : cases) {
        ScriptedCard card({{"80A4000C02006100", Tlv("62", Tlv("83", "0061") + Tlv("87", descriptor) +
                                                              Tlv("80", "0100") + Tlv("86", "00000000")) +
                                                    "9000"}});
        Helix h;
        h.fs.SelectFid(0x0061);
        EXPECT_EQ(h.fs.GetFileInfo().kind, kind) << descriptor;
    }
}

TEST(FsHelix, SelectByNameSetsTheNamedAndOnCardPaths) {
    ScriptedCard card({{ByName({0x4001, 0x4002}), DirFcp("0009")}});
    Helix h;
    EXPECT_EQ(ThrownStatusWord([&] { h.fs.SelectByName(CardPath(9, 0x4001)); }), 0x6A82);
    h.fs.SelectByName({0x4001, 0x4002});
    EXPECT_EQ(h.fs.RequestedPath(), Base({0x4001, 0x4002}));
    EXPECT_EQ(h.fs.PhysicalPath(), Base({0x0009}));
}

TEST(FsHelix, ReservedIdentifiersAndOversizeAreRefusedBeforeAnyCommand) {
    ScriptedCard card({});
    Helix h;
    for (uint16_t id : {0x0000, 0xFFFF, 0x3FFF, 0x3F00}) {
        EXPECT_EQ(ThrownStatusWord([&] { h.fs.CreateFile(id, Descriptor(1, 0x10, 0, 0x20), {}); }), 0x6900)
            << id;
    }
    EXPECT_EQ(ThrownStatusWord([&] { h.fs.CreateFile(0x4001, Descriptor(1, 0x8000, 0, 0x20), {}); }), 0x6400);
}

TEST(FsHelix, ElementaryFileTemplatesCarryTheCardModuleNames) {
    const CardPath keys{0x3F00, 0x3000, 0x3002};
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
        {keys, 0x0225, "84046B737335"},            // kss5
        {keys, 0x0200, "84046B787330"},            // kxs0
        {keys, 0x021D, "84056B78733164"},          // kxs1d
        {keys, 0x023D, "84056B73733164"},          // kss1d
        {keys, 0x021E, ""},                        // between the series
        {keys, 0x023E, ""},                        // past the second series
        {keys, 0x8405, ""},                        // certificate identifier in the key directory
        {certificates, 0x0205, ""},                // key identifier in the certificate directory
        {{0x3F00, 0x3000, 0x3003}, 0x4001, ""},
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
}

TEST(FsHelix, DirectoryOutsideTheNamedAreaIsCreatedByIdentifier) {
    ScriptedCard card({{ByPath("3F0030003003"), DirFcp("3003")},
                       {"00E038001C 628119 8A0104 83023005 80020000 860C" + Repeat("0030", 6), "9000"}});
    Helix h;
    h.fs.SelectPath({0x3F00, 0x3000, 0x3003});
    h.fs.CreateFile(0x3005, Descriptor(2, 0, 0, 0x30), {});
}

TEST(FsHelix, UnknownKindIsNotSupported) {
    ScriptedCard card({{ByPath("3F0030003003"), DirFcp("3003")}});
    Helix h;
    h.fs.SelectPath({0x3F00, 0x3000, 0x3003});
    EXPECT_EQ(ThrownStatusWord([&] { h.fs.CreateFile(0x4001, Descriptor(3, 0x10, 0, 0x20), {}); }), 0xFACE);
}

namespace {

// The extended CREATE of a key object, as the key-packing facet cuts it into pieces of 224 bytes.
Script KeyObjectCreate(const std::string& fcp) {
    const ByteVector data = Hex(fcp);
    Script steps;
    size_t at = 0;
    for (; data.size() - at > 224; at += 224)
        steps.push_back(
            {"10E00800E0" + ToHex(ByteVector(data.begin() + at, data.begin() + at + 224)), "9000"});
    steps.push_back(
        {"00E00800" + HexByte(data.size() - at) + ToHex(ByteVector(data.begin() + at, data.end())) + "00",
         "9000"});
    return steps;
}

std::string KeyFcp(uint16_t id, uint16_t size, const std::string& usage) {
    const std::string inner =
        "8A0104 8302" + HexWord(id) + "8002" + HexWord(size) + "860E 000000FF00FF0023002300000023" + usage;
    const std::string compact = ToHex(Hex(inner));
    return "6282" + HexWord(compact.size() / 2) + compact;
}

void CreateKeyObject(uint16_t id, uint16_t size, uint8_t usage, const std::string& usageBlock) {
    ScriptedCard card(Script{{ByPath(kKeyDir), DirFcp("3002")}} + kUserPinIs23 +
                      KeyObjectCreate(KeyFcp(id, size, usageBlock)));
    Helix h;
    h.fs.SelectPath({0x3F00, 0x3000, 0x3002});
    h.fs.CreateFile(id, Descriptor(4, size, 0, 0, usage), {});
}

// SEC 2 domain parameters.
const std::string kP256 =
    "9020 FFFFFFFF00000001000000000000000000000000FFFFFFFFFFFFFFFFFFFFFFFF"
    "9120 FFFFFFFF00000001000000000000000000000000FFFFFFFFFFFFFFFFFFFFFFFC"
    "9220 5AC635D8AA3A93E7B3EBBD55769886BC651D06B0CC53B0F63BCE3C3E27D2604B"
    "938141 046B17D1F2E12C4247F8BCE6E563A440F277037D812DEB33A0F4A13945D898C2964FE342E2FE1A7F9B8EE7EB4A7C0F9E"
    "162BCE33576B315ECECBB6406837BF51F5"
    "9420 FFFFFFFF00000000FFFFFFFFFFFFFFFFBCE6FAADA7179E84F3B9CAC2FC632551"
    "9501 01";

const std::string kP521 =
    "9042 01" + std::string(130, 'F') + "9142 01" + std::string(128, 'F') + "FC" +
    "9242 0051953EB9618E1C9A1F929A21A0B68540EEA2DA725B99B315F3B8B489918EF109E156193951EC7E937B1652C0BD3BB1"
    "BF073573DF883D2C34F1EF451FD46B503F00"
    "938185 0400C6858E06B70404E9CD9E3ECB662395B4429C648139053FB521F828AF606B4D3DBAA14B5E77EFE75928FE1DC127A2"
    "FFA8DE3348B3C1856A429BF97E7E31C2E5BD66011839296A789A3BC0045C8A5FB42C7D1BD998F54449579B446817AFBD"
    "17273E662C97EE72995EF42640C550B9013FAD0761353C7086A272C24088BE94769FD16650"
    "9442 01FFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFA51868783BF2F966B7FCC0148F709"
    "A5D03BB5C9B8899C47AEBB6FB71E91386409"
    "9501 01";

}  // namespace

TEST(FsHelix, RsaKeyObjectTemplateFollowsTheUsage) {
    const std::pair<uint8_t, const char*> cases[] = {{2, "04"}, {1, "08"}, {3, "0C"}};
    for (const auto& [usage, t] : cases) {
        SCOPED_TRACE(t);
        CreateKeyObject(0x0061, 0x100, usage, std::string("8505 05") + t + "2000A3 7100");
    }
}

TEST(FsHelix, EllipticKeyObjectsCarryTheirCurve) {
    struct Case {
        uint16_t size;
        uint8_t usage;
        const char* t;
        const std::string& domain;
        const char* length;
    };
    const Case cases[] = {{0x20, 2, "04", kP256, "00CF"},
                          {0x20, 1, "80", kP256, "00CF"},
                          {0x42, 2, "04", kP521, "019B"},
                          {0x42, 3, "84", kP521, "019B"}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.t);
        CreateKeyObject(0x0042, c.size, c.usage,
                        std::string("8505 03") + c.t + "3000A3 E182" + c.length + c.domain);
    }
}

TEST(FsHelix, EllipticSizeWithoutACurveIsNotSupported) {
    ScriptedCard card({{ByPath(kKeyDir), DirFcp("3002")}});
    Helix h;
    h.fs.SelectPath({0x3F00, 0x3000, 0x3002});
    EXPECT_EQ(ThrownStatusWord([&] { h.fs.CreateFile(0x0042, Descriptor(4, 0x10, 0, 0, 2), {}); }), 0xFACE);
}

namespace {

std::string D2(const std::string& value) {
    return Tlv("D2", value);
}

const std::string kNamedTemplateTail = "860C 0020002000200020 0000 00FF";

}  // namespace

TEST(FsHelix, NamedDirectoryTakesTheFirstFreeNumber) {
    const std::string fcp =
        "62812B 8A0104 83020003 80020000 8410" + Image({0x4001, 0x4002}) + kNamedTemplateTail;
    ScriptedCard card(
        SelectNamed({0x4001}, "0001") +
        Script{// does [4001, 4002] exist already?
               {ByPath(kBase), DirFcp("5000")},
               {ByName({0x4001, 0x4002}), "6A82"},
               {ByName({0x4001}), DirFcp("0001")},
               {ByPath(kBase + "00014002"), "6A82"},
               // which numbers are taken?
               {ByPath(kBase), DirFcp("5000")},
               {"8030380000", D2(Image({0x4001})) + D2(Image({0x4001, 0x4003})) + D2("0005") + "9000"},
               {ByName({0x4001}), DirFcp("0001")},
               {ByName({0x4001, 0x4003}), DirFcp("0002")},
               {ByPath(kBase), DirFcp("5000")},
               {"00E038002E" + ToHex(Hex(fcp)), "9000"}});
    Helix h;
    h.fs.SelectPath({0x4001});
    h.fs.CreateFile(0x4002, Descriptor(2, 0, 0x00, 0x20), {});
}

TEST(FsHelix, NamedDirectoryThatExistsIsRefused) {
    ScriptedCard card(Script{{ByPath(kBase), DirFcp("5000")}} + SelectNamed({0x4001}, "0001"));
    Helix h;
    h.fs.SelectPath(Base({}));
    EXPECT_EQ(ThrownStatusWord([&] { h.fs.CreateFile(0x4001, Descriptor(2, 0, 0, 0x20), {}); }), 0x6A89);
}

TEST(FsHelix, NamedDirectoryRefusedForItsDataMeansTheAreaIsFull) {
    const std::string fcp = "62812B 8A0104 83020001 80020000 8410" + Image({0x4001}) + kNamedTemplateTail;
    ScriptedCard card({{ByPath(kBase), DirFcp("5000")},
                       {ByPath(kBase), DirFcp("5000")},
                       {ByName({0x4001}), "6A82"},
                       {ByPath(kBase), DirFcp("5000")},
                       {"8030380000", "9000"},
                       {"00E038002E" + ToHex(Hex(fcp)), "6A80"}});
    Helix h;
    h.fs.SelectPath(Base({}));
    EXPECT_EQ(ThrownStatusWord([&] { h.fs.CreateFile(0x4001, Descriptor(2, 0, 0, 0x20), {}); }), 0x6400);
}

TEST(FsHelix, NamedDirectoryWithoutAFreeNumberIsRefused) {
    std::string listing;
    for (size_t id = 1; id <= 0xFF; ++id) listing += D2(HexWord(id));
    ScriptedCard card({{ByPath(kBase), DirFcp("5000")},
                       {ByPath(kBase), DirFcp("5000")},
                       {ByName({0x4001}), "6A82"},
                       {ByPath(kBase), DirFcp("5000")},
                       {"8030380000", listing + "9000"}});
    Helix h;
    h.fs.SelectPath(Base({}));
    EXPECT_EQ(ThrownStatusWord([&] { h.fs.CreateFile(0x4001, Descriptor(2, 0, 0, 0x20), {}); }), 0x6400);
}

TEST(FsHelix, NamedDirectoryNameOfMoreThanEightEntriesIsRefused) {
    ScriptedCard card({{ByName({1, 2, 3, 4, 5, 6, 7, 8}), DirFcp("0001")}});
    Helix h;
    h.fs.SelectByName({1, 2, 3, 4, 5, 6, 7, 8});
    EXPECT_EQ(ThrownStatusWord([&] { h.fs.CreateFile(0x4001, Descriptor(2, 0, 0, 0x20), {}); }), 0x6400);
}

TEST(FsHelix, ListingNeedsADirectoryAndAKnownKind) {
    ScriptedCard card(SelectFile(0x10) + Script{{ByPath(kCertDir), DirFcp("3001")}});
    Helix h;
    h.fs.SelectPath({0x3F00, 0x3000, 0xC000});
    EXPECT_EQ(ThrownStatusWord([&] { h.fs.ListFiles(1); }), 0x6283);
    h.fs.SelectPath({0x3F00, 0x3000, 0x3001});
    EXPECT_EQ(ThrownStatusWord([&] { h.fs.ListFiles(4); }), 0xFACE);
}

TEST(FsHelix, ListingOutsideTheNamedAreaGivesIdentifiersInCardOrder) {
    ScriptedCard card({{ByPath("3F0030003003"), DirFcp("3003")},
                       {"8030010000", D2("4001") + D2("4000") + "9000"},
                       {"8030380000", D2("3005") + "9000"}});
    Helix h;
    h.fs.SelectPath({0x3F00, 0x3000, 0x3003});
    EXPECT_EQ(h.fs.ListFiles(1), (std::vector<uint16_t>{0x4001, 0x4000}));
    EXPECT_EQ(h.fs.ListFiles(2), (std::vector<uint16_t>{0x3005}));
}

TEST(FsHelix, NamedListingReportsOnlyNamesOneLevelBelow) {
    const std::string listing = D2(Image({0x4001})) + D2(Image({0x4001, 0x4002})) +
                                D2(Image({0x4001, 0x4002, 0x4003})) + D2(Image({0x4003, 0x4004})) +
                                D2(Image({0x4001, 0x4005})) + D2("0009") + "9000";
    ScriptedCard card(SelectNamed({0x4001}, "0001") +
                      Script{{ByPath(kBase), DirFcp("5000")},
                             {"8030380000", listing},
                             {ByPath(kBase + "0001"), DirFcp("0001")},  // the listed directory again
                             {ByPath(kBase), DirFcp("5000")},
                             {ByPath(kBase), DirFcp("5000")},
                             {"8030380000", listing}});
    Helix h;
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
    h.fs.SelectPath({0x3F00, 0x3000, 0x3003});
    EXPECT_EQ(ThrownStatusWord([&] { h.fs.ListFiles(1); }), 0x6281);  // an identifier of three bytes
    EXPECT_EQ(ThrownStatus([&] { h.fs.ListFiles(1); }), 0);           // an element running past the end
    EXPECT_EQ(ThrownStatusWord([&] { h.fs.SelectPath({0x3F00, 0x3000, 0xC000}); }), 0x6281);  // no size
    EXPECT_EQ(ThrownStatusWord([&] { h.fs.SelectPath({0x3F00, 0x3000, 0xC000}); }), 0x6281);  // short 86
    EXPECT_EQ(ThrownStatus([&] { h.fs.SelectPath({0x3F00, 0x3000, 0xC000}); }), 0);
    EXPECT_EQ(ThrownStatusWord([&] { h.fs.SelectByName({0x4001}); }), 0x6281);  // identifier of one byte
}

TEST(FsHelix, DeletingAFileOrAnOrdinaryDirectoryIsOneCommand) {
    ScriptedCard card(SelectFile(0x10) + Script{{"00E40000", "9000"},
                                                {ByPath("3F0030003003"), DirFcp("3003")},
                                                {"00E40100", "9000"}});
    Helix h;
    h.fs.SelectPath({0x3F00, 0x3000, 0xC000});
    h.fs.DeleteFile();
    h.fs.SelectPath({0x3F00, 0x3000, 0x3003});
    h.fs.DeleteFile();
}

TEST(FsHelix, NamedDirectoryIsDeletedDepthFirst) {
    const std::string listing =
        D2(Image({0x4001})) + D2(Image({0x4001, 0x4002})) + D2(Image({0x4001, 0x4002, 0x4003})) + "9000";
    // Lists the named area from the base directory and selects the listed directory again.
    const auto list = [&](const std::string& onCardId) {
        return Script{{ByPath(kBase), DirFcp("5000")},
                      {"8030380000", listing},
                      {ByPath(kBase + onCardId), DirFcp(onCardId)}};
    };
    const Script deleteDirectory{{"00E40100", "9000"}};
    ScriptedCard card(SelectNamed({0x4001}, "0001") + list("0001") +          // [4001] has [4001 4002]
                      SelectNamed({0x4001, 0x4002}, "0002") + list("0002") +  // which has [4001 4002 4003]
                      SelectNamed({0x4001, 0x4002, 0x4003}, "0003") + list("0003") + deleteDirectory +
                      SelectNamed({0x4001, 0x4002}, "0002") + deleteDirectory +
                      SelectNamed({0x4001}, "0001") + deleteDirectory);
    Helix h;
    h.fs.SelectPath({0x4001});
    h.fs.DeleteFile();
}

TEST(FsHelix, ResizeAcceptsUpTo7FFE) {
    ScriptedCard card(SelectFile(0x10) + Script{{"80320001047FFE0000", "9000"}});
    Helix h;
    h.fs.SelectPath({0x3F00, 0x3000, 0xC000});
    EXPECT_EQ(ThrownStatusWord([&] { h.fs.ResizeFile(0x7FFF); }), 0x6400);
    h.fs.ResizeFile(0x7FFE);
    EXPECT_EQ(h.fs.GetFileInfo().size, 0x7FFE);
}
