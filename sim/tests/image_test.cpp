// The card image (round trip, refusal of damaged files), fault injection and the latency model.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <stdexcept>

#include "sim_key_card.h"

namespace {

using helixsim::Fault;
using helixsim::HelixCard;
using helixsim::TransmitResult;
using namespace simtest;
namespace fs = std::filesystem;

const helixsim::CardPath kCardCf{0x3F00, 0x3000, 0x3003, 0x4001};

struct Scratch {
    const fs::path dir = fs::path(testing::TempDir()) / ("helixsim-image-" + std::to_string(getpid()));
    Scratch() { fs::create_directories(dir); }
    ~Scratch() { fs::remove_all(dir); }
    std::string File(const char* name) const { return (dir / name).string(); }
};

Bytes ReadAll(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), {});
}
void WriteAll(const std::string& path, const Bytes& data) {
    std::ofstream(path, std::ios::binary | std::ios::trunc)
        .write(reinterpret_cast<const char*>(data.data()), static_cast<std::streamsize>(data.size()));
}
Bytes Sha256(const Bytes& data) {
    Bytes digest(32);
    EXPECT_EQ(EVP_Digest(data.data(), data.size(), digest.data(), nullptr, EVP_sha256(), nullptr), 1);
    return digest;
}

// Saving replaces an older image, owner-only, with no temporary file left. After load the card
// has its files, counters, serial and keys, nothing verified, and fault numbering starts again.
TEST(SimImage, RoundTripKeepsFilesCountersAndKeys) {
    Scratch scratch;
    const std::string path = scratch.File("card.img");
    HelixCard(helixsim::DefaultProfile()).Save(path);
    // Some life: an RSA and an EC key, a changed file, a spent try. The RSA signature is
    // deterministic: the same signature after loading shows the same key.
    SimCard used(kUser);
    const Bytes sign = Concat({Hex("002A9E8A36"), DataObject(0x80, DigestInfo(Bytes(32, 0x11))), Hex("00")});
    GeneratedKey(used, 0x0061, 0x40, 0x04);
    const Bytes rsaSignature = used.Send(sign);
    GeneratedKey(used, 0x0041, 0x20, 0x84);
    const Bytes ecPublic = used.Send("8048000000");
    for (const char* command : {"80A4080C08 3F00300030034001 00", "00D6000402 BEEF", "80A4080C04 3F000010 00",
                                "0084000008", "8082000008 0000000000000000"})
        used.Send(command);
    used.Card().Save(path);
    EXPECT_EQ(std::distance(fs::directory_iterator(scratch.dir), {}), 1);
    struct stat info {};
    ASSERT_EQ(stat(path.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0600u) << "an image holds the PIN and the keys";
    EXPECT_THROW(used.Card().Save(scratch.File("missing/card.img")), std::runtime_error);
    EXPECT_THROW(HelixCard::Load(scratch.File("absent.img")), std::runtime_error);

    const std::unique_ptr<HelixCard> loaded = HelixCard::Load(path);
    EXPECT_EQ(loaded->FileContent(kCardCf), Hex("0006 0000 BEEF 0000"));
    EXPECT_EQ(loaded->TriesLeft(0x10), 4);
    EXPECT_EQ(loaded->FreeMemory(), used.Card().FreeMemory());
    EXPECT_THROW(loaded->AddFault(Fault{Fault::Kind::StatusWord, 0}), std::invalid_argument);
    loaded->AddFault(Fault{Fault::Kind::StatusWord, 1, 0x6581});
    const auto send = [&loaded](const Bytes& command) { return loaded->Transmit(command).response; };
    EXPECT_EQ(send(Hex(kSelectApplet)), Hex("6581"));
    ASSERT_EQ(send(Hex(kSelectApplet)), Hex("9000"));
    EXPECT_EQ(send(Hex("80CB011406")), used.Send("80CB011406"));
    EXPECT_EQ(send(Hex("80CE000000")), Hex("00009000"));
    ASSERT_EQ(Sw(send(Hex("80A4080C04 3F000020 00"))), 0x9000);
    ASSERT_EQ(send(VerifyCommand(used.GetProfile().userPin, Data(send(Hex("0084000008"))))), Hex("9000"));
    ASSERT_EQ(Sw(send(Hex("80A4080C08 3F00300030020061 00"))), 0x9000);
    EXPECT_EQ(send(sign), rsaSignature);
    ASSERT_EQ(Sw(send(Hex("80A4080C08 3F00300030020041 00"))), 0x9000);
    EXPECT_EQ(send(Hex("8048000000")), ecPublic);
    EXPECT_EQ(Sw(send(Concat({Hex("002A9E9123"), DataObject(0x80, Bytes(32, 0x11)), Hex("00")}))), 0x9000);
}

// Saving the loaded card writes the same bytes, and the profile's switches show in its answers:
// capabilities, strict Le, the group's prime.
TEST(SimImage, EveryProfileSurvivesTheImage) {
    Scratch scratch;
    const std::string first = scratch.File("first.img"), second = scratch.File("second.img");
    for (const std::string& name : helixsim::ProfileNames()) {
        HelixCard card(helixsim::ProfileByName(name));
        card.Save(first);
        const std::unique_ptr<HelixCard> loaded = HelixCard::Load(first);
        loaded->Save(second);
        EXPECT_EQ(ReadAll(second), ReadAll(first)) << name;
        for (const char* command : {kSelectApplet, "80CB018805", "80CB018003", "80CB011102", "8048008000"}) {
            const Bytes expected = card.Transmit(Hex(command)).response;
            const Bytes got = loaded->Transmit(Hex(command)).response;
            ASSERT_EQ(got.size(), expected.size()) << name << " " << command;
            EXPECT_EQ(Slice(got, 0, std::min<size_t>(got.size(), 9)),
                      Slice(expected, 0, std::min<size_t>(got.size(), 9)))
                << name << " " << command;
        }
    }
}

struct Damage {
    const char* name;
    bool redigest;  // the damage is to the body, under a digest made right again
    std::function<void(Bytes&)> apply;
};

class SimImageDamage : public testing::TestWithParam<Damage> {};

TEST_P(SimImageDamage, IsRefused) {
    Scratch scratch;
    const std::string path = scratch.File("card.img");
    HelixCard(helixsim::DefaultProfile()).Save(path);
    Bytes image = ReadAll(path);
    if (GetParam().redigest) image.resize(image.size() - 32);
    GetParam().apply(image);
    WriteAll(path, GetParam().redigest ? Concat({image, Sha256(image)}) : image);
    EXPECT_THROW(HelixCard::Load(path), std::runtime_error);
}

const Damage kDamages[] = {
    {"Empty", false, [](Bytes& b) { b.clear(); }},
    {"MagicOnly", false, [](Bytes& b) { b.resize(8); }},
    {"HeaderOnly", false, [](Bytes& b) { b.resize(10); }},
    {"LastByteMissing", false, [](Bytes& b) { b.pop_back(); }},
    {"ByteAppended", false, [](Bytes& b) { b.push_back(0); }},
    {"FlippedInTheMiddle", false, [](Bytes& b) { b[b.size() / 2] ^= 0x10; }},
    {"FlippedDigest", false, [](Bytes& b) { b.back() ^= 0x01; }},
    {"OtherMagic", true, [](Bytes& b) { b[0] = 'X'; }},
    {"NextVersion", true, [](Bytes& b) { b[9] = 2; }},
    {"BodyCut", true, [](Bytes& b) { b.pop_back(); }},
    {"BodyByteAppended", true, [](Bytes& b) { b.push_back(0); }},
};
INSTANTIATE_TEST_SUITE_P(Table, SimImageDamage, testing::ValuesIn(kDamages), CaseName);

// A key whose numbers do not belong together is refused even under a valid digest: here one byte
// of the RSA modulus, which the card answers as the public key.
TEST(SimImage, KeyWithAChangedModulusIsRefused) {
    Scratch scratch;
    const std::string path = scratch.File("card.img");
    SimCard card(kUser);
    GeneratedKey(card, 0x0061, 0x40, 0x04);
    const Bytes modulus = PublicPart(Data(card.Send("8048000000")), 0x81);
    ASSERT_EQ(modulus.size(), 0x40u);
    card.Card().Save(path);
    Bytes image = ReadAll(path);
    image.resize(image.size() - 32);
    const auto at = std::search(image.begin(), image.end(), modulus.begin(), modulus.end());
    ASSERT_NE(at, image.end());
    at[10] ^= 0x01;
    WriteAll(path, Concat({image, Sha256(image)}));
    EXPECT_THROW(HelixCard::Load(path), std::runtime_error);
}

struct FaultCase {
    const char* name;
    Fault::Kind kind;
    uint32_t tearBytes;
    const char* answer;  // hex, empty for none
    TransmitResult::Event event;
    const char* left;  // the file afterwards
};

class SimFault : public testing::TestWithParam<FaultCase> {};

// An update of five bytes over 99s: a tear leaves the first bytes written. A fault fires once.
TEST_P(SimFault, OnTheNumberedUpdate) {
    const FaultCase& c = GetParam();
    SimCard card(kUser);
    ASSERT_EQ(card.SwOf("80A4080C08 3F00300030034001 00"), 0x9000);
    ASSERT_EQ(card.SwOf("00D6000206 999999999999"), 0x9000);
    card.Card().AddFault(Fault{c.kind, card.Card().CommandsReceived() + 1, 0x6A84, c.tearBytes});
    const TransmitResult result = card.Card().Transmit(Hex("00D6000305 1122334455"));
    EXPECT_EQ(ToHex(result.response), c.answer);
    EXPECT_EQ(result.event, c.event);
    EXPECT_EQ(card.Card().FileContent(kCardCf), Hex(c.left));
    const uint16_t still = c.event == TransmitResult::Event::None ? 0x9000 : 0x6D00;
    EXPECT_EQ(card.SwOf("80CE000000"), still);
    EXPECT_EQ(card.SwOf("80CE000000"), still);
}

using Kind = Fault::Kind;
using Event = TransmitResult::Event;
const FaultCase kSimFaultCases[] = {
    {"StatusWord", Kind::StatusWord, 0, "6A84", Event::None, "0006999999999999"},
    {"ResetBefore", Kind::ResetBefore, 0, "", Event::Reset, "0006999999999999"},
    {"ResetAfter", Kind::ResetAfter, 0, "9000", Event::Reset, "0006991122334455"},
    {"RemoveBefore", Kind::RemoveBefore, 0, "", Event::Removed, "0006999999999999"},
    {"RemoveAfter", Kind::RemoveAfter, 0, "9000", Event::Removed, "0006991122334455"},
    {"TearWritten0", Kind::Tear, 0, "", Event::Reset, "0006999999999999"},
    {"TearWritten1", Kind::Tear, 1, "", Event::Reset, "0006991199999999"},
    {"TearWritten4", Kind::Tear, 4, "", Event::Reset, "0006991122334499"},
    {"TearWritten200", Kind::Tear, 200, "", Event::Reset, "0006991122334455"},
};
INSTANTIATE_TEST_SUITE_P(Kinds, SimFault, testing::ValuesIn(kSimFaultCases), CaseName);

// A torn create leaves the object allocated and empty. GET RESPONSE is numbered too: a fault on
// it answers without running it.
TEST(SimFaults, TornCreateAndGetResponse) {
    SimCard card(kUser);
    ASSERT_EQ(card.SwOf("80A4080C06 3F0030003001 00"), 0x9000);
    const uint32_t before = card.Card().FreeMemory();
    card.Card().AddFault(Fault{Fault::Kind::Tear, card.Card().CommandsReceived() + 1});
    const TransmitResult torn =
        card.Card().Transmit(Hex("00E00100 18 628115 8A0104 83028405 80020040 8608 0000 0020 0020 0020"));
    EXPECT_TRUE(torn.response.empty());
    EXPECT_EQ(torn.event, TransmitResult::Event::Reset);
    EXPECT_EQ(card.Card().FreeMemory(), before - 32 - 0x40);
    EXPECT_EQ(card.Card().FileContent({0x3F00, 0x3000, 0x3001, 0x8405}), Bytes(0x40, 0x00));

    ASSERT_EQ(card.SwOf(kSelectApplet), 0x9000);
    const Bytes first = card.Send("80A4080C04 3F003000 05");
    ASSERT_EQ(Sw(first) >> 8, 0x61);
    const Bytes getResponse{0x00, 0xC0, 0x00, 0x00, static_cast<uint8_t>(Sw(first))};
    card.Card().AddFault(Fault{Fault::Kind::StatusWord, card.Card().CommandsReceived() + 1, 0x6F00});
    EXPECT_EQ(card.Send(getResponse), Hex("6F00"));
    const Bytes rest = card.Send(getResponse);
    EXPECT_EQ(Concat({Data(first), rest}), card.Send("80A4080C04 3F003000 00"));
}

// Card time = per command + bytes on the wire both ways × 10 bits / baud, rounded down per exchange:
// SELECT applet sends 17 bytes and gets 2, GET CHALLENGE 5 and 10.
TEST(SimLatency, AccountsProcessingAndWireTime) {
    const struct {
        uint32_t perCommand, baud;
        uint64_t select, total;
    } cases[] = {{1500, 0, 1500, 3000}, {0, 9600, 19791, 19791 + 15625}, {250, 115200, 1899, 1899 + 1552}};
    for (const auto& c : cases) {
        HelixCard card(helixsim::DefaultProfile());
        card.SetLatency(helixsim::Latency{c.perCommand, c.baud, false});
        EXPECT_EQ(card.Transmit(Hex(kSelectApplet)).cardMicros, c.select) << c.baud;
        card.Transmit(Hex("0084000008"));
        EXPECT_EQ(card.CardMicros(), c.total) << c.baud;
    }
}

}  // namespace
