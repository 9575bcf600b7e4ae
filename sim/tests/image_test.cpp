// The card image (round trip, refusal of damaged files), fault injection and the latency model.
#include <gtest/gtest.h>
#include <sys/stat.h>

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

helixsim::CardPath CardCf() {
    return {0x3F00, 0x3000, 0x3003, 0x4001};
}
Bytes Digest() {
    return Sha256("signed before and after");
}

class ScratchDirectory {
public:
    ScratchDirectory() {
        std::string pattern = (fs::path(testing::TempDir()) / "helixsim-image-XXXXXX").string();
        EXPECT_NE(mkdtemp(pattern.data()), nullptr);
        m_path = pattern;
    }
    ScratchDirectory(const ScratchDirectory&) = delete;
    ScratchDirectory& operator=(const ScratchDirectory&) = delete;
    ~ScratchDirectory() {
        std::error_code ignored;
        fs::remove_all(m_path, ignored);
    }
    std::string File(const char* name) const { return (m_path / name).string(); }
    size_t Entries() const { return static_cast<size_t>(std::distance(fs::directory_iterator(m_path), {})); }

private:
    fs::path m_path;
};

Bytes ReadAll(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), {});
}

void WriteAll(const std::string& path, const Bytes& data) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(data.data()), static_cast<std::streamsize>(data.size()));
}

// A card that went through some life: a key of each family, a changed file, a spent try.
struct UsedCard {
    SimCard card;
    Bytes rsaPublic, ecPublic, serial;

    UsedCard() {
        EXPECT_EQ(card.LoginUser(), 0x9000);
        GeneratedKey(card, 0x0061, 0x40, kSign);
        rsaPublic = Collect(card, card.Send("8048000000")).data;
        GeneratedKey(card, 0x0041, 0x20, 0x84);
        ecPublic = Collect(card, card.Send("8048000000")).data;
        EXPECT_EQ(card.SwOf("80A4080C08 3F00300030034001 00"), 0x9000);
        EXPECT_EQ(card.SwOf("00D6000402 BEEF"), 0x9000);
        EXPECT_EQ(card.SwOf("80A4080C04 3F000010 00"), 0x9000);
        EXPECT_EQ(card.SwOf("0084000008"), 0x9000);
        EXPECT_EQ(card.SwOf("8082000008 0000000000000000"), 0x63C4);
        serial = Data(card.Send("80CB011406"));
    }
};

// Saving replaces an older image, owner-only, with no temporary file left. After load the card
// has its files, counters and serial, nothing verified, and signs with the keys it had: the
// public keys read before saving verify the signatures.
TEST(SimImage, RoundTripKeepsFilesCountersAndKeys) {
    ScratchDirectory dir;
    const std::string path = dir.File("card.img");
    HelixCard(helixsim::DefaultProfile()).Save(path);
    UsedCard used;
    used.card.Card().Save(path);
    EXPECT_EQ(dir.Entries(), 1u);
    struct stat info {};
    ASSERT_EQ(stat(path.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0600u) << "an image holds the PIN and the keys";
    EXPECT_THROW(used.card.Card().Save(dir.File("missing/card.img")), std::runtime_error);
    EXPECT_THROW(HelixCard::Load(dir.File("absent.img")), std::runtime_error);
    const std::unique_ptr<HelixCard> loaded = HelixCard::Load(path);
    EXPECT_EQ(loaded->Atr(), used.card.Card().Atr());
    EXPECT_EQ(loaded->FileContent(CardCf()), Hex("0006 0000 BEEF 0000"));
    const helixsim::CardPath cardId{0x3F00, 0x3000, 0x3003, 0x4000};
    EXPECT_EQ(loaded->FileContent(cardId), used.card.Card().FileContent(cardId));
    EXPECT_EQ(loaded->TriesLeft(0x10), 4);
    EXPECT_EQ(loaded->FreeMemory(), used.card.Card().FreeMemory());

    // Fault numbering starts again at load.
    EXPECT_THROW(loaded->AddFault(Fault{Fault::Kind::StatusWord, 0}), std::invalid_argument);
    loaded->AddFault(Fault{Fault::Kind::StatusWord, 1, 0x6581});
    const auto send = [&loaded](const Bytes& command) { return loaded->Transmit(command).response; };
    EXPECT_EQ(send(Hex(kSelectApplet)), Hex("6581"));
    ASSERT_EQ(send(Hex(kSelectApplet)), Hex("9000"));
    EXPECT_EQ(Data(send(Hex("80CB011406"))), used.serial);
    EXPECT_EQ(send(Hex("80CE000000")), Hex("00009000"));
    ASSERT_EQ(Sw(send(Hex("80A4080C04 3F000020 00"))), 0x9000);
    const Bytes challenge = Data(send(Hex("0084000008")));
    ASSERT_EQ(Sw(send(VerifyCommand(used.card.GetProfile().userPin, challenge))), 0x9000);
    const struct {
        const char* select;
        const char* sign;
        Bytes data;
        Pkey key;
    } keys[] = {{"80A4080C08 3F00300030020061 00", "002A9E8A", DigestInfo(Digest()),
                 PublicKeyOf(used.rsaPublic, 0x40)},
                {"80A4080C08 3F00300030020041 00", "002A9E91", Digest(), PublicKeyOf(used.ecPublic, 0x20)}};
    for (const auto& k : keys) {
        ASSERT_EQ(Sw(send(Hex(k.select))), 0x9000);
        const Bytes signature = send(ShortCommand(k.sign, DataObject(0x80, k.data), 0x00));
        ASSERT_EQ(Sw(signature), 0x9000);
        EXPECT_TRUE(Verifies(k.key.get(), Digest(), Data(signature))) << k.sign;
    }
}

// Saving the loaded card writes the same bytes, and the profile's switches show in its answers.
TEST(SimImage, EveryProfileSurvivesTheImage) {
    ScratchDirectory dir;
    const std::string first = dir.File("first.img");
    const std::string second = dir.File("second.img");
    for (const std::string& name : helixsim::ProfileNames()) {
        HelixCard card(helixsim::ProfileByName(name));
        card.Save(first);
        const std::unique_ptr<HelixCard> loaded = HelixCard::Load(first);
        loaded->Save(second);
        EXPECT_EQ(ReadAll(second), ReadAll(first)) << name;
        // The group's prime comes first in 80 48 00 80; fixed-length answers show strict Le.
        for (const char* command : {kSelectApplet, "80CB018805", "80CB018003", "80CB011102", "8048008000"}) {
            const Bytes expected = card.Transmit(Hex(command)).response;
            const Bytes got = loaded->Transmit(Hex(command)).response;
            ASSERT_EQ(got.size(), expected.size()) << name << " " << command;
            const size_t prefix = std::min<size_t>(got.size(), 9);
            EXPECT_EQ(Slice(got, 0, prefix), Slice(expected, 0, prefix)) << name << " " << command;
        }
    }
}

struct Damage {
    const char* name;
    std::function<void(Bytes&)> apply;
};

class SimImageDamage : public testing::TestWithParam<Damage> {};

TEST_P(SimImageDamage, IsRefused) {
    ScratchDirectory dir;
    const std::string path = dir.File("card.img");
    SimCard card;
    card.Card().Save(path);
    Bytes image = ReadAll(path);
    GetParam().apply(image);
    WriteAll(path, image);
    EXPECT_THROW(HelixCard::Load(path), std::runtime_error);
}

std::vector<Damage> Damages() {
    return {
        {"Empty", [](Bytes& b) { b.clear(); }},
        {"MagicOnly", [](Bytes& b) { b.resize(8); }},
        {"HeaderOnly", [](Bytes& b) { b.resize(10); }},
        {"Half", [](Bytes& b) { b.resize(b.size() / 2); }},
        {"LastByteMissing", [](Bytes& b) { b.pop_back(); }},
        {"ByteAppended", [](Bytes& b) { b.push_back(0); }},
        {"OtherMagic", [](Bytes& b) { b[0] = 'X'; }},
        {"NextVersion", [](Bytes& b) { b[9] = 2; }},
        {"FlippedInTheMiddle", [](Bytes& b) { b[b.size() / 2] ^= 0x10; }},
        {"FlippedDigest", [](Bytes& b) { b.back() ^= 0x01; }},
    };
}
INSTANTIATE_TEST_SUITE_P(Table, SimImageDamage, testing::ValuesIn(Damages()), CaseName);

// Damage that keeps the digest right (every third byte in turn) must be refused, or load into a
// card that works.
TEST(SimImage, BytesChangedUnderAValidDigestLoadCleanlyOrAreRefused) {
    ScratchDirectory dir;
    const std::string path = dir.File("card.img");
    UsedCard used;
    used.card.Card().Save(path);
    const Bytes image = ReadAll(path);
    const size_t body = image.size() - 32;
    size_t refused = 0;
    for (size_t i = 10; i < body; i += 3) {
        Bytes changed(image.begin(), image.begin() + static_cast<std::ptrdiff_t>(body));
        changed[i] ^= 0xA5;
        Bytes digest(32);
        unsigned int length = 0;
        ASSERT_EQ(EVP_Digest(changed.data(), changed.size(), digest.data(), &length, EVP_sha256(), nullptr),
                  1);
        changed.insert(changed.end(), digest.begin(), digest.end());
        WriteAll(path, changed);
        try {
            const std::unique_ptr<HelixCard> loaded = HelixCard::Load(path);
            loaded->Transmit(Hex(kSelectApplet));
            loaded->Transmit(Hex("80A4080C08 3F00300030020061 00"));
            loaded->Transmit(Hex("8048000000"));
        } catch (const std::runtime_error&) {
            ++refused;
        }
    }
    EXPECT_GT(refused, body / 6) << "more than half of the changes";
}

struct FaultCase {
    const char* name;
    Fault::Kind kind;
    uint32_t tearBytes;
    const char* answer;  // hex, empty for none
    TransmitResult::Event event;
    const char* left;  // the file afterwards
    bool stillSelected;
};

class SimFault : public testing::TestWithParam<FaultCase> {};

// An update of five bytes over 99s: a tear leaves the first bytes written.
TEST_P(SimFault, OnTheNumberedUpdate) {
    const FaultCase& c = GetParam();
    SimCard card(kUser);
    ASSERT_EQ(card.SwOf("80A4080C08 3F00300030034001 00"), 0x9000);
    ASSERT_EQ(card.SwOf("00D6000206 999999999999"), 0x9000);
    const uint32_t next = static_cast<uint32_t>(card.Card().CommandLog().size()) + 1;
    card.Card().AddFault(Fault{c.kind, next, 0x6A84, c.tearBytes});
    const TransmitResult result = card.Card().Transmit(Hex("00D6000305 1122334455"));
    EXPECT_EQ(ToHex(result.response), c.answer);
    EXPECT_EQ(result.event, c.event);
    EXPECT_EQ(card.Card().FileContent(CardCf()), Hex(c.left));
    EXPECT_EQ(card.SwOf("80CE000000"), c.stillSelected ? 0x9000 : 0x6D00);
    EXPECT_EQ(card.SwOf("80CE000000"), c.stillSelected ? 0x9000 : 0x6D00) << "a fault fires once";
}

using Kind = Fault::Kind;
using Event = TransmitResult::Event;
const FaultCase kSimFaultCases[] = {
    {"StatusWord", Kind::StatusWord, 0, "6A84", Event::None, "0006999999999999", true},
    {"ResetBefore", Kind::ResetBefore, 0, "", Event::Reset, "0006999999999999", false},
    {"ResetAfter", Kind::ResetAfter, 0, "9000", Event::Reset, "0006991122334455", false},
    {"RemoveBefore", Kind::RemoveBefore, 0, "", Event::Removed, "0006999999999999", false},
    {"RemoveAfter", Kind::RemoveAfter, 0, "9000", Event::Removed, "0006991122334455", false},
    {"TearWritten0", Kind::Tear, 0, "", Event::Reset, "0006999999999999", false},
    {"TearWritten1", Kind::Tear, 1, "", Event::Reset, "0006991199999999", false},
    {"TearWritten4", Kind::Tear, 4, "", Event::Reset, "0006991122334499", false},
    {"TearWritten5", Kind::Tear, 5, "", Event::Reset, "0006991122334455", false},
    {"TearWritten200", Kind::Tear, 200, "", Event::Reset, "0006991122334455", false},
};
INSTANTIATE_TEST_SUITE_P(Kinds, SimFault, testing::ValuesIn(kSimFaultCases), CaseName);

TEST(SimFaults, TornCreateLeavesTheObjectAllocatedAndEmpty) {
    SimCard card(kUser);
    ASSERT_EQ(card.SwOf("80A4080C06 3F0030003001 00"), 0x9000);
    const uint32_t before = card.Card().FreeMemory();
    const uint32_t next = static_cast<uint32_t>(card.Card().CommandLog().size()) + 1;
    card.Card().AddFault(Fault{Fault::Kind::Tear, next});
    const char* const create = "00E00100 18 628115 8A0104 83028405 80020040 8608 0000 0020 0020 0020";
    const TransmitResult result = card.Card().Transmit(Hex(create));
    EXPECT_TRUE(result.response.empty());
    EXPECT_EQ(result.event, TransmitResult::Event::Reset);
    EXPECT_EQ(card.Card().FreeMemory(), before - 32 - 0x40);
    EXPECT_EQ(card.Card().FileContent({0x3F00, 0x3000, 0x3001, 0x8405}), Bytes(0x40, 0x00));
    ASSERT_EQ(card.SwOf(kSelectApplet), 0x9000);
    ASSERT_EQ(card.LoginUser(), 0x9000);
    ASSERT_EQ(card.SwOf("80A4080C06 3F0030003001 00"), 0x9000);
    EXPECT_EQ(card.SwOf(create), 0x6A89);
}

// The import's last wrapped piece is the command that tears: the key object stays, keyless.
TEST(SimFaults, TornImportLeavesAKeyObjectWithoutAKey) {
    const Pkey own(EVP_EC_gen("P-256"));
    const Bytes keyTemplate = KeyTemplate(0x0061, 0x20, kSign, EcMaterial(own.get(), 0x20));
    SimCard card(kUser);
    ASSERT_EQ(card.SwOf("80A4080C06 3F0030003002 00"), 0x9000);
    HostChannel channel(card);
    const size_t pieces = HostChannel::Pieces(keyTemplate.size());
    card.Card().AddFault(
        Fault{Fault::Kind::Tear, static_cast<uint32_t>(card.Card().CommandLog().size() + pieces)});
    EXPECT_TRUE(channel.Send("00E00800", keyTemplate).empty());

    ASSERT_EQ(card.SwOf(kSelectApplet), 0x9000);
    ASSERT_EQ(card.SwOf("80A4080C08 3F00300030020061 00"), 0x9000);
    EXPECT_EQ(card.SwOf("8048000000"), 0x6985);
}

// 80 A4 with Le 05 leaves the rest of the FCP for GET RESPONSE, which is numbered too.
TEST(SimFaults, GetResponseIsACommandOfItsOwn) {
    SimCard card;
    const Bytes first = card.Send("80A4080C04 3F003000 05");
    ASSERT_EQ(Sw(first) >> 8, 0x61);
    const uint32_t next = static_cast<uint32_t>(card.Card().CommandLog().size()) + 1;
    card.Card().AddFault(Fault{Fault::Kind::StatusWord, next, 0x6F00});
    const Bytes getResponse{0x00, 0xC0, 0x00, 0x00, static_cast<uint8_t>(Sw(first) & 0xFF)};
    EXPECT_EQ(card.Send(getResponse), Hex("6F00"));
    const Bytes rest = card.Send(getResponse);
    EXPECT_EQ(Sw(rest), 0x9000) << "the faulty answer did not run the command";
    EXPECT_EQ(Data(first).size() + Data(rest).size(), Data(card.Send("80A4080C04 3F003000 00")).size());
}

struct LatencyCase {
    const char* name;
    uint32_t perCommand;
    uint32_t baud;
    uint64_t firstMicros;  // SELECT applet: 17 bytes out, 2 back
    uint64_t totalMicros;  // then GET CHALLENGE: 5 bytes out, 10 back
};

class SimLatency : public testing::TestWithParam<LatencyCase> {};

// Card time = per command + bytes on the wire both ways × 10 bits / baud, rounded down per exchange.
TEST_P(SimLatency, AccountsProcessingAndWireTime) {
    const LatencyCase& c = GetParam();
    HelixCard card(helixsim::DefaultProfile());
    card.SetLatency(helixsim::Latency{c.perCommand, c.baud, false});
    EXPECT_EQ(card.Transmit(Hex(kSelectApplet)).cardMicros, c.firstMicros);
    card.Transmit(Hex("0084000008"));
    EXPECT_EQ(card.CardMicros(), c.totalMicros);
}

const LatencyCase kSimLatencyCases[] = {
    {"Nothing", 0, 0, 0, 0},
    {"ProcessingOnly", 1500, 0, 1500, 3000},
    {"WireAt9600", 0, 9600, 19791, 19791 + 15625},
    {"BothAt115200", 250, 115200, 250 + 1649, 250 + 1649 + 250 + 1302},
};
INSTANTIATE_TEST_SUITE_P(Table, SimLatency, testing::ValuesIn(kSimLatencyCases), CaseName);

}  // namespace
