#include <gtest/gtest.h>

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

std::string DirFcp(const std::string& id, const std::string& attributes = "002000200020002000200020") {
    return Tlv("62", Tlv("83", id) + Tlv("87", "38") + Tlv("80", "0000") + Tlv("86", attributes)) + "9000";
}

std::string FileFcp(const std::string& id, uint16_t size, const std::string& attributes = "00000020") {
    return Tlv("62", Tlv("83", id) + Tlv("87", "01") + Tlv("80", HexWord(size)) + Tlv("86", attributes)) +
           "9000";
}

std::string ByPath(const std::string& ids) {
    return "80A4080C" + HexByte(Hex(ids).size()) + ids + "00";
}

const CardPath kFile{0x3F00, 0x3000, 0xC000};
const CardPath kOtherDir{0x3F00, 0x3000, 0x3003};
const CardPath kKeys{0x3F00, 0x3000, 0x3002};
// What the PIN facet sends the first time it is asked for the user PIN: identifier 0x23.
const ScriptStep kUserPinIs23{ByPath("3F0030003002"), DirFcp("3002", "002300230023002300230023")};

FileDescriptor Descriptor(uint8_t kind, uint16_t size, uint8_t a0, uint8_t a1, uint8_t a2 = 3) {
    FileDescriptor d;
    d.kind = kind;
    d.size = size;
    d.access[0] = a0, d.access[1] = a1, d.access[2] = a2;
    return d;
}

// The card's file C000 of the given size, selected.
Script SelectFile(uint16_t size) {
    return {{ByPath("3F003000C000"), FileFcp("C000", size)}};
}

}  // namespace

// Pieces of at most 255 bytes; nothing outside the file is asked for and a short answer fails.
TEST(FsHelix, TransfersGoInPiecesOf255BytesWithinTheFile) {
    const std::string data = Repeat("5A", 300);
    ScriptedCard card(SelectFile(0x0200) + Script{{"00B00000FF", data.substr(0, 510) + "9000"},
                                                  {"00B000FF2D", data.substr(510) + "9000"},
                                                  {"00D60010FF" + data.substr(0, 510), "9000"},
                                                  {"00D6010F2D" + data.substr(510), "9000"},
                                                  {"00B0000003", "01 9000"}});
    Helix h;
    h.fs.SelectPath(kFile);
    ByteVector buffer(300);
    h.fs.ReadFile(buffer, 0);
    EXPECT_EQ(ToHex(buffer), data);
    h.fs.WriteFile(Hex(data), 0x10);
    ByteVector one(1);
    ByteVector two(2);
    ByteVector three(3);
    EXPECT_EQ(ThrownStatusWord([&] { h.fs.ReadFile(two, 0x01FF); }), 0x6282);
    EXPECT_EQ(ThrownStatusWord([&] { h.fs.ReadFile(one, 0x0200); }), 0x6282);
    EXPECT_EQ(ThrownStatusWord([&] { h.fs.ReadFile(one, 0xFFFFFFFF); }), 0x6282);
    EXPECT_EQ(ThrownStatusWord([&] { h.fs.WriteFile(two, 0x01FF); }), 0x6A84);
    EXPECT_EQ(ThrownStatusWord([&] { h.fs.WriteFile(one, 0x0200); }), 0x6A84);
    EXPECT_EQ(ThrownStatusWord([&] { h.fs.ReadFile(three, 0); }), 0x6282) << "the card sends 1 byte";
}

// Kind, size and access bytes: nothing known at first; a file's access from attribute bytes 1 and 3, a
// directory's from byte 1. Answers lacking an object fail with 6281, a broken element with status 0.
TEST(FsHelix, SelectionIsDescribedFromItsFcp) {
    const std::string file = FileFcp("C000", 0x62, "00100020");
    const std::string c000 = ByPath("3F003000C000");
    ScriptedCard card(
        Step(c000, file) + Step(ByPath("3F0030003001"), DirFcp("3001", "0030002000200020")) +
        Script{{c000, Tlv("62", Tlv("83", "C000") + Tlv("87", "01") + Tlv("86", "00000020")) + "9000"},
               {c000, Tlv("62", Tlv("87", "01") + Tlv("80", "0010") + Tlv("86", "0000")) + "9000"},
               {c000, "6205 8302C000 9000"}});
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
    EXPECT_EQ(ThrownStatusWord([&] { h.fs.SelectPath(kFile); }), 0x6281);  // no size
    EXPECT_EQ(ThrownStatusWord([&] { h.fs.SelectPath(kFile); }), 0x6281);  // short 86
    EXPECT_EQ(ThrownStatus([&] { h.fs.SelectPath(kFile); }), 0);
}

// Odd attribute bytes naming another user object are rewritten to the substitute, on the card too.
TEST(FsHelix, AttributeRefreshRewritesOtherUserObjects) {
    const std::tuple<uint8_t, const char*, const char*> cases[] = {
        {0x23, "0020002500100024", "0023002300100023"},
        {0x23, "0023002300100021", ""},
        {0x00, "0020002500100024", ""},
        {0x25, "20230024", "20250025"},
    };
    for (const auto& [substitute, attributes, rewritten] : cases) {
        SCOPED_TRACE(attributes);
        Script script = SelectFile(0x62);
        script[0].response = FileFcp("C000", 0x62, attributes);
        const std::string fcp = Tlv("62", Tlv("86", rewritten));
        if (*rewritten != 0) script.push_back({"80E80000" + HexByte(Hex(fcp).size()) + fcp, "9000"});
        ScriptedCard card(script);
        Helix h;
        h.fs.SetAttributeSubstitute(substitute);
        h.fs.SelectPath(kFile);
        EXPECT_EQ(ToHex(h.fs.SecurityAttributes()), *rewritten != 0 ? rewritten : attributes);
    }
}

// Refusals of CREATE before any command: reserved identifiers, oversize, unknown kinds and curves.
TEST(FsHelix, CreateRefusals) {
    ScriptedCard card({{ByPath("3F0030003003"), DirFcp("3003")}, {ByPath("3F0030003002"), DirFcp("3002")}});
    Helix h;
    for (const uint16_t id : {0x0000, 0xFFFF, 0x3FFF, 0x3F00})
        EXPECT_EQ(ThrownStatusWord([&] { h.fs.CreateFile(id, Descriptor(1, 0x10, 0, 0x20), {}); }), 0x6900);
    EXPECT_EQ(ThrownStatusWord([&] { h.fs.CreateFile(0x4001, Descriptor(1, 0x8000, 0, 0x20), {}); }), 0x6400);
    h.fs.SelectPath(kOtherDir);
    EXPECT_EQ(ThrownStatusWord([&] { h.fs.CreateFile(0x4001, Descriptor(3, 0x10, 0, 0x20), {}); }), 0xFACE);
    h.fs.SelectPath(kKeys);
    EXPECT_EQ(ThrownStatusWord([&] { h.fs.CreateFile(0x0042, Descriptor(4, 0x10, 0, 0, 2), {}); }), 0xFACE);
}

// Elementary files carry the card module's name for key files (kxs, kss) and certificates (kxc, ksc); a key
// object goes out as an extended CREATE in pieces of 224 bytes, its usage block naming what the key serves
// (RSA 04 signature, 0C both; elliptic 80 exchange, 84 both) and the curve.
TEST(FsHelix, CreateTemplatesCarryNamesAndUsage) {
    const CardPath certificates{0x3F00, 0x3000, 0x3001};
    const std::tuple<CardPath, uint16_t, std::string> named[] = {
        {certificates, 0x8405, "84056B78633035"},  // kxc05
        {certificates, 0x8425, "84056B73633035"},  // ksc05
        {kKeys, 0x0225, "84046B737335"},           // kss5
        {kKeys, 0x021D, "84056B78733164"},         // kxs1d
        {kKeys, 0x023D, "84056B73733164"},         // kss1d
        {kKeys, 0x021E, ""},                       // between the series
        {kKeys, 0x8405, ""},                       // certificate identifier in the key directory
        {certificates, 0x0205, ""},                // key identifier in the certificate directory
    };
    for (const auto& [directory, id, name] : named) {
        SCOPED_TRACE(HexWord(id));
        const std::string fcp = "6281" + HexByte(0x15 + Hex(name).size()) + "8A0104 8302" + HexWord(id) +
                                "80020123 8608 00AA00BB00BB00BB" + name;
        ScriptedCard card({{ByPath("3F003000" + HexWord(directory[2])), DirFcp("3000")},
                           {"00E00100" + HexByte(Hex(fcp).size()) + fcp, "9000"}});
        Helix h;
        h.fs.SelectPath(directory);
        h.fs.CreateFile(id, Descriptor(1, 0x0123, 0xAA, 0xBB), {});
    }
    const std::tuple<uint16_t, uint8_t, std::string, size_t> keys[] = {
        {0x100, 2, "8505 0504 2000A3 7100", 1},
        {0x100, 3, "8505 050C 2000A3 7100", 1},
        {0x20, 1, "8505 0380 3000A3 E182", 2},
        {0x42, 3, "8505 0384 3000A3 E182", 3},
    };
    for (const auto& [size, usage, block, pieces] : keys) {
        SCOPED_TRACE(block);
        Script script{{ByPath("3F0030003002"), DirFcp("3002")}, kUserPinIs23};
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

TEST(FsHelix, ListingAndDeletion) {
    ScriptedCard card(SelectFile(0x10) +
                      Script{{"00E40000", "9000"},
                             {ByPath("3F0030003003"), DirFcp("3003")},
                             {"8030010000", Tlv("D2", "4001") + Tlv("D2", "4000") + "9000"},
                             {"8030380000", Tlv("D2", "3005") + "9000"},
                             {"8030010000", Tlv("D2", "400100") + "9000"},
                             {"8030010000", "D205 4001 9000"},
                             {"00E40100", "9000"}});
    Helix h;
    h.fs.SelectPath(kFile);
    EXPECT_EQ(ThrownStatusWord([&] { h.fs.ListFiles(1); }), 0x6283);
    h.fs.DeleteFile();
    h.fs.SelectPath(kOtherDir);
    EXPECT_EQ(ThrownStatusWord([&] { h.fs.ListFiles(4); }), 0xFACE);
    EXPECT_EQ(h.fs.ListFiles(1), (std::vector<uint16_t>{0x4001, 0x4000}));
    EXPECT_EQ(h.fs.ListFiles(2), (std::vector<uint16_t>{0x3005}));
    EXPECT_EQ(ThrownStatusWord([&] { h.fs.ListFiles(1); }), 0x6281);  // an identifier of three bytes
    EXPECT_EQ(ThrownStatus([&] { h.fs.ListFiles(1); }), 0);           // an element running past the end
    h.fs.DeleteFile();
}
