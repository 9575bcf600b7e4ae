#include <gtest/gtest.h>

#include <optional>
#include <string>

#include "channel/scard_sender.h"
#include "hex.h"
#include "libapdu/applet_helix.h"
#include "scripted_card.h"
#include "thrown.h"

using libapdu::ByteVector;
using libapdu::CardPath;
using libapdu::IAppCrypto;

namespace {

struct Helix {
    CSCardSender sender{ScriptedCard::kHandle, 3};
    libapdu::CAppletHelix applet{&sender};
    IAppCrypto& cry = *applet.Crypto();
};

const std::string kRsaExchange = "05 08 20 00 A3";
const std::string kEcSignature = "03 04 30 00 A3";

// Key object `id` of the key directory selected.
ScriptStep KeyObject(const std::string& id, uint16_t size, const std::string& information) {
    return {"80A4080C08 3F0030003002" + id + "00",
            Tlv("62", Tlv("83", id) + Tlv("87", "08") + Tlv("80", HexWord(size)) +
                          Tlv("86", "0000 00FF 00FF 0020 0020 0000 0020") + Tlv("85", information)) +
                "9000"};
}

ScriptStep PublicKey(const std::string& parts) {
    return {"8048000000", Tlv("7F49", parts) + "9000"};
}

ScriptStep NoCertificate(const std::string& id) {
    return {"80A4080C08 3F0030003001" + id + "00", "6A82"};
}

// The certificate object `id` selected and read whole (records below 256 bytes: one read).
Script CertificateObject(const std::string& id, const std::string& record) {
    const size_t size = Hex(record).size();
    return {{"80A4080C08 3F0030003001" + id + "00",
             Tlv("62", Tlv("83", id) + Tlv("87", "01") + Tlv("80", HexWord(size)) + Tlv("86", "00000020")) +
                 "9000"},
            {"00B00000" + HexByte(size), record + "9000"}};
}

std::string Entry(const std::string& tag, const std::string& attribute, const std::string& value) {
    return tag + attribute + HexWord(Hex(value).size()) + value;
}

// Header 00 84 84 nn, length of header and entries, 0E; the entries; a four-byte trailer.
std::string Record(const std::string& entries) {
    return "00848420" + HexWord(7 + Hex(entries).size()) + "0E" + entries + "00010002";
}

const std::string kCertificate = "3082000B 3003020105 A0040202 0102";
const std::string kModulus = Repeat("C3", 128);

std::string Show(const libapdu::KeyObjectInfo& i) {
    return HexWord(i.algorithm) + " " + HexWord(i.size) + " usage " + std::to_string(i.usage) + " n " +
           ToHex(i.modulus) + " e " + ToHex(i.exponent) + " point " + ToHex(i.point) + " content " +
           ToHex(i.content);
}

std::string Lengths(const libapdu::AlgorithmInfo& info) {
    std::string out;
    for (uint16_t length : info.lengths) out += (out.empty() ? "" : " ") + HexWord(length);
    return out;
}

}  // namespace

// A key file 02nn leads to key object 0041 + (nn without bit 6), its public key and the certificate object
// 84nn (the same bit dropped); a certificate object alone gives only its content. An answer lacking a part
// fails with 6281 and leaves nothing selected.
TEST(CryHelix, SelectKeyObjectReadsTheKeyAndItsCertificate) {
    const std::string smallRsa = "1001 0080 usage 1 n C3 e 03 point  content ";
    const std::string whole =
        Record(Entry("8013", "10", Repeat("00", 20)) + Entry("0000", "00", "01000000") +
               Entry("0003", "10", "7B41") + Repeat("FF", 62) + Entry("0011", "00", kCertificate) +
               Entry("0080", "00", "00000000") + Entry("0102", "10", "7B41") + Repeat("FF", 30));
    const std::string certificateOnly = "0000 0000 usage 0 n  e  point  content " + ToHex(Hex(kCertificate));
    struct Case {
        const char* name;
        uint16_t file;
        Script script;
        std::string shown;  // empty: 6281
    };
    const auto rsa = [](const std::string& keyObject, const std::string& certificate) {
        return Script{KeyObject(keyObject, 0x80, kRsaExchange), PublicKey("8101C3 820103"),
                      NoCertificate(certificate)};
    };
    const ScriptStep rsaKey = KeyObject("0044", 0x80, kRsaExchange);
    const auto record = [](const std::string& r) { return CertificateObject("8420", r); };
    const Case cases[] = {
        {"rsa key with certificate", 0x0203,
         Script{rsaKey, PublicKey("8181 80" + kModulus + "8203 010001")} +
             CertificateObject("8403", Record(Entry("0011", "00", kCertificate))),
         "1001 0080 usage 1 n " + kModulus + " e 010001 point  content " + ToHex(Hex(kCertificate))},
        {"key file 0200", 0x0200, rsa("0041", "8400"), smallRsa},
        {"key file 0260", 0x0260, rsa("0061", "8420"), smallRsa},
        {"key file 02FF", 0x02FF, rsa("0100", "84BF"), smallRsa},
        {"key information of two bytes", 0x0203, {KeyObject("0044", 0x80, "0508")}, ""},
        {"public key not in a 7F49 template", 0x0203,
         Script{rsaKey} + Step("8048000000", "8101C3 820103 9000"), ""},
        {"rsa key without exponent", 0x0203, {rsaKey, PublicKey("8101C3")}, ""},
        {"elliptic key with rsa parts",
         0x0203,
         {KeyObject("0044", 0x20, kEcSignature), PublicKey("8101C3 820103")},
         ""},
        {"record with filler between entries", 0x8420, record(whole), certificateOnly},
        {"record truncated in the entries", 0x8420, record(whole.substr(0, whole.size() - 30)), ""},
        {"entry running past the length", 0x8420, record("00848420000C0E 0011 00 0005 0102 00010002"), ""},
        {"no certificate entry", 0x8420, record(Record(Entry("0080", "00", "00000000"))), ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ScriptedCard card(c.script);
        Helix h;
        const uint16_t directory = c.file >> 8 == 0x84 ? 0x3001 : 0x3002;
        const CardPath path{0x3F00, 0x3000, directory, c.file};
        if (c.shown.empty()) {
            EXPECT_EQ(ThrownStatusWord([&] { h.cry.SelectKeyObject(path); }), 0x6281);
            EXPECT_EQ(h.cry.GetKeyObjectInfo().algorithm, 0);
        } else {
            h.cry.SelectKeyObject(path);
            EXPECT_EQ(Show(h.cry.GetKeyObjectInfo()), c.shown);
        }
    }
}

// The lengths the capability bits name, in the order of the bits; short answers fail with 6281.
TEST(CryHelix, AlgorithmLengthsFollowTheCapabilities) {
    const std::string capabilities = "80CB018805";
    const std::string curves = "80CB018003";
    struct Case {
        uint16_t algorithm;
        Script script;
        std::optional<std::string> lengths;
    };
    const Case cases[] = {
        {0x1001, {{capabilities, "00 00 C0 75 00 9000"}}, "0080 0100 0200 0180 0040 0060 00A0 00C0 00F8"},
        {0x1007,
         {{curves, "08 9000"}, {capabilities, "00 F0 07 00 00 9000"}},
         "000E 0010 0014 0018 001C 0020 0030 0042"},
        {0x1007, {{curves, "F7 9000"}}, ""},
        {0x1002, {}, ""},
        {0x1001, {{capabilities, "000080 9000"}}, std::nullopt},
        {0x1007, {{curves, "9000"}}, std::nullopt},
        {0x1007, {{curves, "08 9000"}, {capabilities, "0000 9000"}}, std::nullopt},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.script.empty() ? "" : c.script.back().response);
        ScriptedCard card(c.script);
        Helix h;
        if (c.lengths) {
            EXPECT_EQ(Lengths(h.cry.GetAlgorithmInfo(c.algorithm)), *c.lengths);
            EXPECT_EQ(Lengths(h.cry.GetAlgorithmInfo(c.algorithm)), *c.lengths) << "asked once";
        } else {
            EXPECT_EQ(ThrownStatusWord([&] { h.cry.GetAlgorithmInfo(c.algorithm); }), 0x6281);
        }
    }
}

// Decipher and agreement refuse an answer without tag 80 or not of the key size, and a peer value too long
// for one command; RSA signs with 8A, the key reference wrapping within a byte.
TEST(CryHelix, OperationsCheckTheAnswer) {
    ScriptedCard card({{"002A800C04 828101AA 00", "8101BB 9000"},
                       KeyObject("0001", 0x80, "05 04 20 00 A3"),
                       {"002A9E8A04 808101AA 00", "BEEF 9000"},
                       KeyObject("0041", 0x20, "03 80 30 00 A3"),
                       {"804A000003 04 5A5A 20", "EEEE 9000"}});
    Helix h;
    EXPECT_EQ(ThrownStatusWord([&] { h.cry.Decipher(Hex("AA")); }), 0x6281);
    EXPECT_EQ(ToHex(h.cry.Sign(0xC0, {}, Hex("AA"), false)), "BEEF");
    EXPECT_EQ(ThrownStatusWord([&] { h.cry.AgreeKey(Hex("5A5A"), {}, 0, false); }), 0x6281);
    EXPECT_EQ(ThrownStatusWord([&] { h.cry.AgreeKey(Hex(Repeat("5A", 255)), {}, 0, false); }), 0x6700);
}

// An ECDSA signature becomes r || s, each at the key size: a sign byte that makes an integer one longer goes,
// a shorter one is padded; anything else fails with 6281.
TEST(CryHelix, EcdsaSignatureIsNormalised) {
    const std::string hash = Repeat("AB", 32);
    const std::string r = Repeat("81", 32);
    const std::string s = Repeat("22", 32);
    const auto pair = [](const std::string& a, const std::string& b) {
        return Tlv("30", Tlv("02", a) + Tlv("02", b));
    };
    const std::pair<std::string, std::string> cases[] = {
        {pair("00" + r, s.substr(2)), r + "00" + s.substr(2)},
        {pair("01" + r, s), ""},
        {pair("0000" + r, s), ""},
        {Tlv("30", Tlv("02", r) + Tlv("02", s) + "020101"), ""},
        {pair(r, s) + "00", ""},
        {"3006 020101 020502", ""},  // an integer past the sequence
        {"", ""},
    };
    for (const auto& [der, signature] : cases) {
        SCOPED_TRACE(der);
        ScriptedCard card(
            {KeyObject("0061", 0x20, kEcSignature), {"002A9E9123 808120" + hash + "00", der + "9000"}});
        Helix h;
        const auto sign = [&] { return ToHex(h.cry.Sign(0x20, {}, Hex(hash), false)); };
        if (signature.empty()) {
            EXPECT_EQ(ThrownStatusWord(sign), 0x6281);
        } else {
            EXPECT_EQ(sign(), signature);
        }
    }
}

// Refused before any command: paths outside the key and certificate directories, generation parameters
// outside 5..11, reserved identifiers and lengths the card does not list; a public key element running past
// its template is status 0.
TEST(CryHelix, RefusalsAndBrokenTemplates) {
    ScriptedCard card({{"0047000005 AC03800105", "9000"},
                       {"0047000005 AC03800111", "9000"},
                       {"80CB018805", "0000000000 9000"},
                       KeyObject("0044", 0x80, kRsaExchange),
                       {"8048000000", "7F4903 8105C3 9000"}});
    Helix h;
    for (const CardPath& path : {CardPath{}, CardPath{0x3F00, 0x3000, 0x3003, 0x4001}})
        EXPECT_EQ(ThrownStatusWord([&] { h.cry.SelectKeyObject(path); }), 0x6A82);
    for (const uint8_t p : {0x04, 0x12, 0x00, 0x05, 0x11}) {
        const auto generate = [&] { h.cry.GenerateKeyPair(&p, 0); };
        EXPECT_EQ(ThrownStatusWord(generate),
                  p == 0x05 || p == 0x11 ? std::nullopt : std::optional<uint16_t>(0x6900))
            << int{p};
    }
    EXPECT_EQ(ThrownStatusWord([&] { h.cry.GenerateKeyPair(nullptr, 0); }), 0x6900);
    for (const uint16_t id : {0x0000, 0xFFFF, 0x3FFF, 0x3F00})
        EXPECT_EQ(ThrownStatusWord([&] { h.cry.ImportKey(id, libapdu::KeyRecord{}); }), 0x6900) << id;
    libapdu::KeyRecord key;
    key.algorithm = 0x1001;
    key.length = 0x40;
    EXPECT_EQ(ThrownStatusWord([&] { h.cry.ImportKey(0x0042, key); }), 0x6900);
    EXPECT_EQ(ThrownStatus([&] { h.cry.SelectKeyObject({0x3F00, 0x3000, 0x3002, 0x0203}); }), 0);
}
