#include <gtest/gtest.h>

#include <cstdio>
#include <optional>
#include <string>
#include <vector>

#include "channel/scard_sender.h"
#include "hex.h"
#include "libapdu/appfs/curves.h"
#include "libapdu/applet_helix.h"
#include "scripted_card.h"
#include "secure_channel_script.h"
#include "thrown.h"

using libapdu::ByteVector;
using libapdu::CardPath;

namespace {

struct Helix {
    CSCardSender sender{ScriptedCard::kHandle, 3};
    libapdu::CAppletHelix applet{&sender};
    libapdu::IAppCrypto& cry = *applet.Crypto();
};

const std::string kAttributes = "0000 00FF 00FF 0020 0020 0000 0020";
const std::string kRsaExchange = "05 08 20 00 A3";
const std::string kEcSignature = "03 04 30 00 A3";

// Key object `id` of the key directory selected.
ScriptStep KeyObject(const std::string& id, uint16_t size, const std::string& information) {
    return {"80A4080C08 3F0030003002" + id + "00",
            Tlv("62", Tlv("83", id) + Tlv("87", "08") + Tlv("80", HexWord(size)) + Tlv("86", kAttributes) +
                          Tlv("85", information)) +
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

libapdu::SecretBytes Secret(const std::string& hex) {
    return libapdu::ToSecret(Hex(hex));
}

std::string Show(const libapdu::KeyObjectInfo& i) {
    return HexWord(i.algorithm) + " " + HexWord(i.size) + " usage " + std::to_string(i.usage) + " n " +
           ToHex(i.modulus) + " e " + ToHex(i.exponent) + " point " + ToHex(i.point) + " content " +
           ToHex(i.content);
}

const auto kByName = [](const auto& test) { return std::string(test.param.name); };

std::string Lengths(const libapdu::AlgorithmInfo& info) {
    std::string out;
    for (uint16_t length : info.lengths) out += (out.empty() ? "" : " ") + HexWord(length);
    return out;
}

}  // namespace

TEST(CryHelix, PrivateKeyFileLeadsToItsKeyObjectPublicKeyAndCertificate) {
    ScriptedCard card(
        Script{KeyObject("0044", 0x80, kRsaExchange), PublicKey("8181 80" + kModulus + "8203 010001")} +
        CertificateObject("8403", Record(Entry("0011", "00", kCertificate))));
    Helix h;
    h.cry.SelectKeyObject({0x3F00, 0x3000, 0x3002, 0x0203});
    EXPECT_EQ(Show(h.cry.GetKeyObjectInfo()),
              "1001 0080 usage 1 n " + kModulus + " e 010001 point  content " + ToHex(Hex(kCertificate)));
}

TEST(CryHelix, EllipticKeyWithoutCertificateObjectHasItsPointAndNoContent) {
    const std::string point = "04" + Repeat("5A", 32) + Repeat("A5", 32);
    ScriptedCard card(
        {KeyObject("0061", 0x20, kEcSignature), PublicKey(Tlv("86", point)), NoCertificate("8420")});
    Helix h;
    h.cry.SelectKeyObject({0x3F00, 0x3000, 0x3002, 0x0220});
    EXPECT_EQ(Show(h.cry.GetKeyObjectInfo()), "1007 0020 usage 2 n  e  point " + point + " content ");
}

TEST(CryHelix, KeyFileNumberPlacesKeyObjectAndCertificate) {
    struct Case {
        uint16_t file;
        std::string keyObject, certificate;
    };
    for (const Case& c : {Case{0x0200, "0041", "8400"}, Case{0x023F, "0080", "843F"},
                          Case{0x0260, "0061", "8420"}, Case{0x02FF, "0100", "84BF"}}) {
        SCOPED_TRACE(c.keyObject);
        ScriptedCard card({KeyObject(c.keyObject, 0x80, kRsaExchange), PublicKey("8101C3 820103"),
                           NoCertificate(c.certificate)});
        Helix h;
        h.cry.SelectKeyObject({0x3F00, 0x3000, 0x3002, c.file});
    }
}

TEST(CryHelix, PathsNamingNeitherKeyFileNorCertificateFailWith6A82BeforeAnyCommand) {
    ScriptedCard card({});
    Helix h;
    for (const CardPath& path : {CardPath{}, CardPath{0x3F00, 0x3000, 0x3003, 0x4001}}) {
        EXPECT_EQ(ThrownStatusWord([&] { h.cry.SelectKeyObject(path); }), 0x6A82);
    }
}

struct KeyAnswerCase {
    const char* name;
    Script script;
};

class CryHelixKeyAnswer : public testing::TestWithParam<KeyAnswerCase> {};

TEST_P(CryHelixKeyAnswer, MissingPartFailsWith6281) {
    ScriptedCard card(GetParam().script);
    Helix h;
    EXPECT_EQ(ThrownStatusWord([&] { h.cry.SelectKeyObject({0x3F00, 0x3000, 0x3002, 0x0203}); }), 0x6281);
    EXPECT_EQ(h.cry.GetKeyObjectInfo().algorithm, 0);
}

INSTANTIATE_TEST_SUITE_P(
    Answers, CryHelixKeyAnswer,
    testing::Values(
        KeyAnswerCase{"KeyInformationOfTwoBytes", {KeyObject("0044", 0x80, "0508")}},
        KeyAnswerCase{"NoKeyInformation",
                      {{"80A4080C08 3F00300030020044 00", "620B 83020044 870108 80020080 9000"}}},
        KeyAnswerCase{"PublicKeyNotInA7F49Template",
                      {KeyObject("0044", 0x80, kRsaExchange), {"8048000000", "8101C3 820103 9000"}}},
        KeyAnswerCase{"RsaKeyWithoutExponent", {KeyObject("0044", 0x80, kRsaExchange), PublicKey("8101C3")}},
        KeyAnswerCase{"EllipticKeyWithRsaParts",
                      {KeyObject("0044", 0x20, kEcSignature), PublicKey("8101C3 820103")}}),
    kByName);

TEST(CryHelix, MalformedPublicKeyTemplateThrowsTheTlvFailure) {
    ScriptedCard card({KeyObject("0044", 0x80, kRsaExchange), {"8048000000", "7F4903 8105C3 9000"}});
    Helix h;
    EXPECT_EQ(ThrownStatus([&] { h.cry.SelectKeyObject({0x3F00, 0x3000, 0x3002, 0x0203}); }), 0);
}

struct RecordCase {
    const char* name;
    std::string record;
    std::optional<std::string> certificate;  // nullopt: 6281
};

class CryHelixCertificateRecord : public testing::TestWithParam<RecordCase> {};

TEST_P(CryHelixCertificateRecord, YieldsEntry0011) {
    const RecordCase& c = GetParam();
    ScriptedCard card(CertificateObject("8420", c.record));
    Helix h;
    const auto select = [&] { h.cry.SelectKeyObject({0x3F00, 0x3000, 0x3001, 0x8420}); };
    if (!c.certificate) {
        EXPECT_EQ(ThrownStatusWord(select), 0x6281);
        return;
    }
    select();
    EXPECT_EQ(ToHex(h.cry.GetKeyObjectInfo().content), *c.certificate);
    EXPECT_EQ(h.cry.GetKeyObjectInfo().algorithm, 0);
}

const std::string kEntries = Entry("8013", "10", Repeat("00", 20)) + Entry("0000", "00", "01000000") +
                             Entry("0003", "10", "7B41") + Repeat("FF", 62) +
                             Entry("0011", "00", kCertificate) + Entry("0080", "00", "00000000") +
                             Entry("0102", "10", "7B41") + Repeat("FF", 30);
const std::string kWhole = Record(kEntries);

INSTANTIATE_TEST_SUITE_P(
    Records, CryHelixCertificateRecord,
    testing::Values(
        RecordCase{"EntriesWithFillerBetween", kWhole, ToHex(Hex(kCertificate))},
        RecordCase{"WithoutTrailer", kWhole.substr(0, kWhole.size() - 8), ToHex(Hex(kCertificate))},
        RecordCase{"TruncatedInTheEntries", kWhole.substr(0, kWhole.size() - 30), std::nullopt},
        RecordCase{"EntryRunningPastTheLength", "00848420000C0E 0011 00 0005 0102 00010002", std::nullopt},
        RecordCase{"NoCertificateEntry", Record(Entry("0080", "00", "00000000")), std::nullopt}),
    kByName);

struct AlgorithmCase {
    const char* name;
    uint16_t algorithm;
    Script script;
    std::string lengths;
};

class CryHelixAlgorithms : public testing::TestWithParam<AlgorithmCase> {};

TEST_P(CryHelixAlgorithms, ListsTheLengthsTheCapabilitiesName) {
    const AlgorithmCase& c = GetParam();
    ScriptedCard card(c.script);
    Helix h;
    EXPECT_EQ(Lengths(h.cry.GetAlgorithmInfo(c.algorithm)), c.lengths);
}

const std::string kCapabilities = "80CB018805";
const std::string kCurves = "80CB018003";

INSTANTIATE_TEST_SUITE_P(
    Capabilities, CryHelixAlgorithms,
    testing::Values(
        AlgorithmCase{"RsaWith4096", 0x1001, {{kCapabilities, "0000800000 9000"}}, "0080 0100 0200"},
        AlgorithmCase{"RsaEveryBitInOrder",
                      0x1001,
                      {{kCapabilities, "00 00 C0 75 00 9000"}},
                      "0080 0100 0200 0180 0040 0060 00A0 00C0 00F8"},
        AlgorithmCase{"EcWithOnlyP256",
                      0x1007,
                      {{kCurves, "080000 9000"}, {kCapabilities, "0000010000 9000"}},
                      "001C 0020"},
        AlgorithmCase{"EcEveryBitInOrder",
                      0x1007,
                      {{kCurves, "08 9000"}, {kCapabilities, "00 F0 07 00 00 9000"}},
                      "000E 0010 0014 0018 001C 0020 0030 0042"},
        AlgorithmCase{"EcAbsentAsksNoFurther", 0x1007, {{kCurves, "F7 9000"}}, ""},
        AlgorithmCase{"UnknownAlgorithmAsksNothing", 0x1002, {}, ""}),
    kByName);

TEST(CryHelix, ShortCapabilityAnswersFailWith6281) {
    struct Case {
        uint16_t algorithm;
        Script script;
    };
    for (const Case& c : {Case{0x1001, {{kCapabilities, "000080 9000"}}}, Case{0x1007, {{kCurves, "9000"}}},
                          Case{0x1007, {{kCurves, "08 9000"}, {kCapabilities, "0000 9000"}}}}) {
        ScriptedCard card(c.script);
        Helix h;
        EXPECT_EQ(ThrownStatusWord([&] { h.cry.GetAlgorithmInfo(c.algorithm); }), 0x6281)
            << c.script.back().response;
    }
}

TEST(CryHelix, CapabilitiesAreAskedOncePerAlgorithm) {
    ScriptedCard card(
        {{kCapabilities, "0000000000 9000"}, {kCurves, "08 9000"}, {kCapabilities, "0000020000 9000"}});
    Helix h;
    EXPECT_EQ(Lengths(h.cry.GetAlgorithmInfo(0x1001)), "0080 0100");
    EXPECT_EQ(Lengths(h.cry.GetAlgorithmInfo(0x1001)), "0080 0100");
    EXPECT_EQ(Lengths(h.cry.GetAlgorithmInfo(0x1007)), "001C 0030");
    EXPECT_EQ(Lengths(h.cry.GetAlgorithmInfo(0x1007)), "001C 0030");
}

TEST(CryHelix, GenerationParameterOutside5To11FailsWith6900BeforeAnyCommand) {
    ScriptedCard card({{"0047000005 AC03800105", "9000"}, {"0047000005 AC03800111", "9000"}});
    Helix h;
    for (const uint8_t p : {0x04, 0x12, 0x00, 0x05, 0x11}) {
        const auto generate = [&] { h.cry.GenerateKeyPair(&p, 0); };
        if (p == 0x05 || p == 0x11) {
            generate();
        } else {
            EXPECT_EQ(ThrownStatusWord(generate), 0x6900) << int{p};
        }
    }
    EXPECT_EQ(ThrownStatusWord([&] { h.cry.GenerateKeyPair(nullptr, 0); }), 0x6900);
}

TEST(CryHelix, DecipherOf256BytesGoesOutInTwoChainedPieces) {
    const std::string data = "82820100" + Repeat("5A", 256);
    ScriptedCard card({{"102A800CE0" + data.substr(0, 2 * 224), "9000"},
                       {"002A800C24" + data.substr(2 * 224) + "00", "61 05"},
                       {"00C0000005", "8003 010203 9000"}});
    Helix h;
    EXPECT_EQ(ToHex(h.cry.Decipher(Hex(Repeat("5A", 256)))), "010203");
}

TEST(CryHelix, ShortDecipherInputStillHasALongFormLength) {
    ScriptedCard card({{"002A800C13 828110" + Repeat("77", 16) + "00", "8102AAAA 8001BB 9000"}});
    Helix h;
    EXPECT_EQ(ToHex(h.cry.Decipher(Hex(Repeat("77", 16)))), "BB");
}

TEST(CryHelix, DecipherAnswerWithoutTag80FailsWith6281) {
    ScriptedCard card({{"002A800C04 828101AA 00", "8101BB 9000"}});
    Helix h;
    EXPECT_EQ(ThrownStatusWord([&] { h.cry.Decipher(Hex("AA")); }), 0x6281);
}

TEST(CryHelix, RsaKeySignsWithP28AAndReturnsTheAnswerAsItIs) {
    const std::string hash = Repeat("AB", 20);
    ScriptedCard card(
        {KeyObject("0061", 0x80, "05 04 20 00 A3"), {"002A9E8A17 808114" + hash + "00", kModulus + "9000"}});
    Helix h;
    EXPECT_EQ(ToHex(h.cry.Sign(0x20, {}, Hex(hash), false)), kModulus);
}

TEST(CryHelix, RawSignatureIsADecipherOfTheFormattedBlock) {
    ScriptedCard card({{"002A800C06 828103 000102 00", "8002 CAFE 9000"}});
    Helix h;
    EXPECT_EQ(ToHex(h.cry.Sign(0x20, {}, Hex("000102"), true)), "CAFE");
}

TEST(CryHelix, SignReferenceWrapsWithinOneByte) {
    ScriptedCard card({KeyObject("0001", 0x80, "05 04 20 00 A3"), {"002A9E8A04 808101AA 00", "BEEF 9000"}});
    Helix h;
    EXPECT_EQ(ToHex(h.cry.Sign(0xC0, {}, Hex("AA"), false)), "BEEF");
}

struct EcdsaCase {
    const char* name;
    uint16_t size;
    std::string der;
    std::optional<std::string> signature;  // nullopt: 6281
};

class CryHelixEcdsa : public testing::TestWithParam<EcdsaCase> {};

TEST_P(CryHelixEcdsa, SignatureBecomesRThenSAtTheKeySize) {
    const EcdsaCase& c = GetParam();
    const std::string hash = Repeat("AB", 32);
    ScriptedCard card(
        {KeyObject("0061", c.size, kEcSignature), {"002A9E9123 808120" + hash + "00", c.der + "9000"}});
    Helix h;
    const auto sign = [&] { return ToHex(h.cry.Sign(0x20, {}, Hex(hash), false)); };
    if (!c.signature) {
        EXPECT_EQ(ThrownStatusWord(sign), 0x6281);
    } else {
        EXPECT_EQ(sign(), *c.signature);
    }
}

std::string Integer(const std::string& value) {
    return Tlv("02", value);
}

const std::string kR = Repeat("81", 32);
const std::string kS = Repeat("22", 32);

INSTANTIATE_TEST_SUITE_P(
    Normalisation, CryHelixEcdsa,
    testing::Values(
        EcdsaCase{"FullLength", 0x20, Tlv("30", Integer(kR) + Integer(kS)), kR + kS},
        EcdsaCase{"SignByteDroppedShortOnePadded", 0x20,
                  Tlv("30", Integer("00" + kR) + Integer(kS.substr(2))), kR + "00" + kS.substr(2)},
        EcdsaCase{"P521LongFormSequence", 0x42,
                  Tlv("30", Integer(Repeat("33", 66)) + Integer("00" + Repeat("C4", 66))),
                  Repeat("33", 66) + Repeat("C4", 66)},
        EcdsaCase{"LongerIntegerWithoutSignByte", 0x20, Tlv("30", Integer("01" + kR) + Integer(kS)),
                  std::nullopt},
        EcdsaCase{"TwoBytesLonger", 0x20, Tlv("30", Integer("0000" + kR) + Integer(kS)), std::nullopt},
        EcdsaCase{"EmptyInteger", 0x20, Tlv("30", "0200" + Integer(kS)), std::nullopt},
        EcdsaCase{"ThreeIntegers", 0x20, Tlv("30", Integer(kR) + Integer(kS) + "020101"), std::nullopt},
        EcdsaCase{"BytesAfterTheSequence", 0x20, Tlv("30", Integer(kR) + Integer(kS)) + "00", std::nullopt},
        EcdsaCase{"IntegerPastTheSequence", 0x20, "3006 020101 020502", std::nullopt},
        EcdsaCase{"LongFormForAShortLength", 0x20, "308106 020101 020102", std::nullopt},
        EcdsaCase{"NoAnswerData", 0x20, "", std::nullopt}),
    kByName);

TEST(CryHelix, AgreementSendsThePeerPointAndAsksForTheKeySize) {
    const std::string peer = Repeat("5A", 64);
    for (const uint8_t index : {0x05, 0xFF}) {
        const std::string id = index == 0x05 ? "0046" : "0140";
        ScriptedCard card({KeyObject(id, 0x20, "03 80 30 00 A3"),
                           {"804A000041 04" + peer + "20", Repeat("EE", 32) + "9000"}});
        Helix h;
        const libapdu::SecretBytes secret = h.cry.AgreeKey(Hex(peer), {}, index, false);
        EXPECT_EQ(ToHex(ByteVector(secret.begin(), secret.end())), Repeat("EE", 32)) << id;
    }
}

TEST(CryHelix, AgreementFailures) {
    {
        ScriptedCard card({});
        Helix h;
        EXPECT_EQ(ThrownStatusWord([&] { h.cry.AgreeKey(ByteVector(255, 0x5A), {}, 0, false); }), 0x6700);
    }
    ScriptedCard card({KeyObject("0041", 0x20, "03 80 30 00 A3"), {"804A000003 04 5A5A 20", "EEEE 9000"}});
    Helix h;
    EXPECT_EQ(ThrownStatusWord([&] { h.cry.AgreeKey(Hex("5A5A"), {}, 0, false); }), 0x6281);
}

TEST(CryHelix, ReservedKeyObjectIdentifiersFailWith6900BeforeAnyCommand) {
    ScriptedCard card({});
    Helix h;
    for (const uint16_t id : {0x0000, 0xFFFF, 0x3FFF, 0x3F00}) {
        EXPECT_EQ(ThrownStatusWord([&] { h.cry.ImportKey(id, libapdu::KeyRecord{}); }), 0x6900) << id;
    }
}

TEST(CryHelix, ImportOfALengthTheCardDoesNotListFailsWith6900) {
    ScriptedCard card({{kCapabilities, "0000000000 9000"}});
    Helix h;
    libapdu::KeyRecord key;
    key.algorithm = 0x1001;
    key.length = 0x40;
    EXPECT_EQ(ThrownStatusWord([&] { h.cry.ImportKey(0x0042, key); }), 0x6900);
}

struct ImportCase {
    const char* name;
    uint16_t id;
    libapdu::KeyRecord (*record)();
    Script capabilities;
    std::string fcp;  // the plain template
};

class CryHelixImport : public testing::TestWithParam<ImportCase> {};

TEST_P(CryHelixImport, SendsTheTemplateOnlyUnderTheSecureChannel) {
    const ImportCase& c = GetParam();
    const size_t pieces = (Hex(c.fcp).size() + 223) / 224;
    ScriptedCard card(c.capabilities + Script{{"80A4080C06 3F0030003002 00", "6205 8603 012000 9000"}} +
                      SecureChannel("0CE00800", pieces));
    Helix h;
    h.cry.ImportKey(c.id, c.record());
    for (const ByteVector& command : card.Received()) {
        EXPECT_EQ(ToHex(command).find(Repeat("33", 16)), std::string::npos) << "key material in clear";
    }
    EXPECT_EQ(ToHex(OpenSecured(card.Received())), ToHex(Hex(c.fcp)));
}

libapdu::KeyRecord Rsa1024() {
    libapdu::KeyRecord key;
    key.algorithm = 0x1001;
    key.length = 0x80;
    key.rsaExponent = Hex("010001");
    key.rsaModulus = Hex(Repeat("11", 128));
    key.rsaPrivateExponent = Secret(Repeat("22", 128));
    key.prime1 = Secret(Repeat("33", 64));
    key.prime2 = Secret(Repeat("44", 64));
    key.exponent1 = Secret(Repeat("55", 64));
    key.exponent2 = Secret(Repeat("66", 64));
    key.coefficient = Secret(Repeat("77", 64));
    key.usage = 3;
    return key;
}

libapdu::KeyRecord Ec(uint16_t length, uint8_t usage) {
    libapdu::KeyRecord key;
    key.algorithm = 0x1007;
    key.length = length;
    key.ecPublic = Hex(Repeat("5A", length) + Repeat("A5", length));
    key.ecPrivate = Secret(Repeat("33", length));
    key.usage = usage;
    return key;
}

std::string Domain(uint16_t length, const std::string& g) {
    const libapdu::CurveParameters& c = *libapdu::CurveForKeyBytes(length);
    const std::string l = HexByte(length);
    return "90" + l + ToHex(c.p) + "91" + l + ToHex(c.a) + "92" + l + ToHex(c.b) + g + ToHex(c.g) + "94" + l +
           ToHex(c.n) + "950101";
}

const std::string kHead = "8A0104 8302";
const std::string kFileAttributes = "860E 000000FF00FF0020002000000020";

INSTANTIATE_TEST_SUITE_P(
    Keys, CryHelixImport,
    testing::Values(ImportCase{"Rsa1024",
                               0x0042,
                               Rsa1024,
                               {{kCapabilities, "0000000000 9000"}},
                               "62820277" + kHead + "0042 80020080" + kFileAttributes +
                                   "8505 050C2000A3 71820251" + "9003010001 918180" + Repeat("11", 128) +
                                   "928180" + Repeat("22", 128) + "938180" + Repeat("33", 64) +
                                   Repeat("44", 64) + "9481C0" + Repeat("55", 64) + Repeat("66", 64) +
                                   Repeat("77", 64)},
                    ImportCase{"EcP256",
                               0x0061,
                               [] { return Ec(0x20, 2); },
                               {{kCurves, "08 9000"}, {kCapabilities, "0000010000 9000"}},
                               "6282015A" + kHead + "0061 80020020" + kFileAttributes +
                                   "8505 03043000A3 E1820134" + Domain(0x20, "938141") + "9620" +
                                   Repeat("33", 32) + "974104" + Repeat("5A", 32) + Repeat("A5", 32)},
                    ImportCase{"EcP521",
                               0x0046,
                               [] { return Ec(0x42, 3); },
                               {{kCurves, "08 9000"}, {kCapabilities, "0000040000 9000"}},
                               "6282028D" + kHead + "0046 80020042" + kFileAttributes +
                                   "8505 03843000A3 E1820267" + Domain(0x42, "938185") + "9642" +
                                   Repeat("33", 66) + "97818504" + Repeat("5A", 66) + Repeat("A5", 66)}),
    kByName);

TEST(CryHelix, OperationsHelixLeavesOutFailWithFACE) {
    ScriptedCard card({});
    Helix h;
    EXPECT_EQ(h.cry.GetKeyObjectInfo().algorithm, 0);
    using I = libapdu::IAppCrypto;
    for (void (I::*operation)() :
         {&I::Reserved3, &I::Reserved5, &I::Reserved6, &I::Reserved9, &I::Reserved14}) {
        EXPECT_EQ(ThrownStatusWord([&] { (h.cry.*operation)(); }), 0xFACE);
    }
}
