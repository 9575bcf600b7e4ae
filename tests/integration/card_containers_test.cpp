// Key containers through the function table: keys generated on the card or imported from blobs
// that OpenSSL made, the card objects beside them, the public key the host gets back (read with
// OpenSSL from the published blob formats and compared with the key the card holds), and deletion.
#include <gtest/gtest.h>

#include <regex>
#include <string>

#include "entry_host.h"
#include "key_blobs.h"

using libapdu::ByteVector;
using moduletest::EntryHost;
using moduletest::HostMemory;

namespace {

using keyblobs::Blob;
using keyblobs::Key;
using keyblobs::Public;
using keyblobs::PublicOf;

libapdu::CardPath KeyPath(uint16_t id) {
    return {0x3F00, 0x3000, 0x3002, id};
}

Public PublicOf(const helixsim::HelixCard::KeyObjectView& view) {
    return view.point.empty() ? Public{view.modulus, view.exponent} : Public{view.point, {}};
}

class Host : public EntryHost {
public:
    Host() { EXPECT_EQ(Logon(moduletest::kDefaultPin).status, SCARD_S_SUCCESS); }

    DWORD Create(BYTE index, DWORD keySpec, DWORD bits, ByteVector blob = {}) {
        return Card().pfnCardCreateContainer(
            &Card(), index, blob.empty() ? CARD_CREATE_CONTAINER_KEY_GEN : CARD_CREATE_CONTAINER_KEY_IMPORT,
            keySpec, bits, blob.empty() ? nullptr : blob.data());
    }
    // The key the host is given, in the member for its key spec.
    ByteVector Reported(BYTE index, bool exchange) {
        CONTAINER_INFO info{};
        EXPECT_EQ(Card().pfnCardGetContainerInfo(&Card(), index, 0, &info), SCARD_S_SUCCESS);
        const DWORD size = exchange ? info.cbKeyExPublicKey : info.cbSigPublicKey;
        BYTE* data = exchange ? info.pbKeyExPublicKey : info.pbSigPublicKey;
        EXPECT_EQ(exchange ? info.pbSigPublicKey : info.pbKeyExPublicKey, nullptr);
        ByteVector out(data, data + size);
        HostMemory::Free(data);
        return out;
    }
    std::optional<helixsim::HelixCard::KeyObjectView> KeyObject(uint16_t id) {
        std::optional<helixsim::HelixCard::KeyObjectView> view;
        WithCard([&](helixsim::HelixCard& card) { view = card.KeyObject(KeyPath(id)); });
        return view;
    }
    void ExpectCardHolds(uint16_t keyObject, const Public& key) {
        const auto view = KeyObject(keyObject);
        ASSERT_TRUE(view && view->hasKey);
        EXPECT_EQ(PublicOf(*view), key);
    }
};

struct Generation {
    DWORD keySpec;
    DWORD size;  // the caller's; a curve's keySpec overrides it
    uint16_t bytes, file, keyObject;
    uint8_t use;  // usage block byte 1
};

TEST(CardContainers, GenerationMakesTheKeyOnTheCardAndReportsIt) {
    // clang-format off
    const Generation cases[] = {
        {AT_SIGNATURE, 512, 0x40, 0x0220, 0x0061, 0x04},   {AT_KEYEXCHANGE, 768, 0x60, 0x0201, 0x0042, 0x0C},
        {AT_SIGNATURE, 1024, 0x80, 0x0222, 0x0063, 0x04},  {AT_KEYEXCHANGE, 1280, 0xA0, 0x0203, 0x0044, 0x0C},
        {AT_SIGNATURE, 1536, 0xC0, 0x0224, 0x0065, 0x04},  {AT_KEYEXCHANGE, 1984, 0xF8, 0x0205, 0x0046, 0x0C},
        {AT_SIGNATURE, 2048, 0x100, 0x0226, 0x0067, 0x04}, {AT_KEYEXCHANGE, 3072, 0x180, 0x0207, 0x0048, 0x0C},
        {AT_SIGNATURE, 4096, 0x200, 0x0228, 0x0069, 0x04}, {AT_ECDSA_P256, 0, 0x20, 0x0229, 0x006A, 0x04},
        {AT_ECDSA_P384, 1, 0x30, 0x022A, 0x006B, 0x04},    {AT_ECDSA_P521, 521, 0x42, 0x022B, 0x006C, 0x04},
        {AT_ECDHE_P256, 2048, 0x20, 0x020C, 0x004D, 0x84}, {AT_ECDHE_P384, 0, 0x30, 0x020D, 0x004E, 0x84},
        {AT_ECDHE_P521, 0, 0x42, 0x020E, 0x004F, 0x84},
    };
    // clang-format on
    // Containers the map does not name get a new GUID as their name.
    const std::regex guid("\\{[0-9A-F]{8}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{12}\\}");
    Host host;
    BYTE index = 0;
    for (const Generation& c : cases) {
        SCOPED_TRACE(index);
        ASSERT_EQ(host.Create(index, c.keySpec, c.size), SCARD_S_SUCCESS);
        const auto view = host.KeyObject(c.keyObject);
        ASSERT_TRUE(view && view->hasKey);
        EXPECT_EQ(view->size, c.bytes);
        EXPECT_EQ(view->usage.at(1), c.use);
        const std::optional<ByteVector> file = host.CardFile(KeyPath(c.file));
        ASSERT_TRUE(file && file->size() > 71);
        EXPECT_TRUE(std::regex_match(std::string(file->begin() + 33, file->begin() + 71), guid));
        const bool exchange = c.keySpec == AT_KEYEXCHANGE || c.keySpec >= AT_ECDHE_P256;
        EXPECT_EQ(ToHex(host.Reported(index, exchange)),
                  ToHex(Blob(PublicOf(*view), c.keySpec, 8u * c.bytes)));
        ++index;
    }
}

// An object entry in hex: tag and attribute, two-byte length, value, FF filler up to `width`.
std::string Entry(const std::string& tagAndAttribute, const std::string& value, size_t width = 0) {
    const size_t n = value.size() / 2;
    return tagAndAttribute + HexWord(n) + value + Repeat("FF", width > n ? width - n : 0);
}

std::string KeyFile(const std::string& k, const std::string& name, bool exchange, bool generated,
                    const std::string& curve = "") {
    const bool ec = !curve.empty();
    const std::string entries =
        Entry("000000", "03000000") + Entry("000100", "01") + Entry("000200", "01") +
        Entry("000310", name, 64) + Entry("010000", ec ? "03000000" : "00000000") + Entry("010110", "", 32) +
        Entry("010210", name, 32) + Entry("010330", "01") + Entry("010550", exchange ? "01" : "00") +
        Entry("010750", "00") + Entry("010850", "01") + Entry("010950", "00") +
        Entry("010C10", ec ? "01" : "00") + Entry("011010", "", 8) + Entry("011110", "", 8) +
        Entry("016250", "00") + Entry("016300", generated ? "01" : "00") + Entry("016400", "01") +
        Entry("016500", "01") + Entry("016600", ec ? "40100000" : "00000000") + Entry("017000", "00") +
        (ec ? Entry("018000", curve) : "") + Entry("801000", "00");
    return "000202" + k + HexWord(7 + entries.size() / 2) + "16" + entries + "B1B2B3B4";
}

// A cmapfile record: the name, then the signature and key-exchange key sizes.
ByteVector Record(const std::string& name, uint16_t signatureBits, uint16_t exchangeBits) {
    ByteVector record = moduletest::MapRecord(name, 1, exchangeBits);
    record[82] = static_cast<uint8_t>(signatureBits);
    record[83] = static_cast<uint8_t>(signatureBits >> 8);
    return record;
}

DWORD WriteFile(CARD_DATA& card, const char* directory, const char* file, ByteVector content) {
    return card.pfnCardWriteFile(&card, const_cast<LPSTR>(directory), const_cast<LPSTR>(file), 0,  // NOLINT
                                 content.data(), static_cast<DWORD>(content.size()));
}

// The container's name from the map, the cached cardcf counters as the trailer.
TEST(CardContainers, PrivateKeyFileDescribesTheKey) {
    const std::string first = "{3F2504E0-4F89-11D3-9A0C-0305E82C3301}";
    const std::string second = "{0A1B2C3D-0000-1111-2222-333344445555}";
    Host host;
    ASSERT_EQ(WriteFile(host.Card(), nullptr, "cardcf", Hex("A1A2 B1B2B3B4")), SCARD_S_SUCCESS);
    ASSERT_EQ(
        WriteFile(host.Card(), "mscp", "cmapfile", Concat({Record(first, 0, 1024), Record(second, 384, 0)})),
        SCARD_S_SUCCESS);

    ASSERT_EQ(host.Create(0, AT_KEYEXCHANGE, 1024), SCARD_S_SUCCESS);
    EXPECT_EQ(ToHex(*host.CardFile(KeyPath(0x0200))),
              KeyFile("00", ToHex(moduletest::Ascii(first)), true, true));
    const Key key(EVP_PKEY_Q_keygen(nullptr, nullptr, "EC", "P-384"));
    ASSERT_EQ(host.Create(1, AT_ECDSA_P384, 0, keyblobs::PrivateBlob(key, 384)), SCARD_S_SUCCESS);
    EXPECT_EQ(ToHex(*host.CardFile(KeyPath(0x0221))),
              KeyFile("21", ToHex(moduletest::Ascii(second)), false, false, "06052B81040022"));
}

TEST(CardContainers, ImportedKeyIsTheKeyTheCardHolds) {
    struct Import {
        DWORD keySpec;
        unsigned bits;
        Key key;
        uint16_t keyObject;
    } cases[] = {
        {AT_KEYEXCHANGE, 2048, keyblobs::RsaKey(2048, 65537), 0x0041},
        {AT_SIGNATURE, 1024, keyblobs::RsaKey(1024, 3), 0x0062},
        {AT_ECDHE_P256, 256, Key(EVP_PKEY_Q_keygen(nullptr, nullptr, "EC", "P-256")), 0x0043},
        {AT_ECDSA_P521, 521, Key(EVP_PKEY_Q_keygen(nullptr, nullptr, "EC", "P-521")), 0x0064},
    };
    Host host;
    BYTE index = 0;
    for (const Import& c : cases) {
        SCOPED_TRACE(index);
        ASSERT_EQ(host.Create(index, c.keySpec, c.bits, keyblobs::PrivateBlob(c.key, c.bits)),
                  SCARD_S_SUCCESS);
        host.ExpectCardHolds(c.keyObject, PublicOf(c.key));
        const bool exchange = c.keySpec == AT_KEYEXCHANGE || c.keySpec >= AT_ECDHE_P256;
        const unsigned bits = c.bits == 521 ? 528 : c.bits;
        EXPECT_EQ(ToHex(host.Reported(index, exchange)), ToHex(Blob(PublicOf(c.key), c.keySpec, bits)));
        ++index;
    }
}

// Both card objects exist already: each is deleted and made again, and the cached public key goes.
TEST(CardContainers, CreatingAgainReplacesTheKey) {
    Host host;
    CARD_DATA& card = host.Card();
    ASSERT_EQ(WriteFile(card, "mscp", "cmapfile", Record("c", 1024, 0)), SCARD_S_SUCCESS);
    ASSERT_EQ(host.Create(0, AT_SIGNATURE, 1024), SCARD_S_SUCCESS);
    const ByteVector first = host.Reported(0, false);
    ASSERT_EQ(card.pfnCardCreateContainerEx(&card, 0, CARD_CREATE_CONTAINER_KEY_GEN, AT_SIGNATURE, 1024,
                                            nullptr, ROLE_USER),
              SCARD_S_SUCCESS);
    const ByteVector second = host.Reported(0, false);
    EXPECT_NE(second, first);
    EXPECT_EQ(ToHex(second), ToHex(Blob(PublicOf(host.KeyObject(0x0061).value()), AT_SIGNATURE, 1024)));

    const Key key = keyblobs::RsaKey(1024, 65537);
    ASSERT_EQ(host.Create(0, AT_SIGNATURE, 1024, keyblobs::PrivateBlob(key, 1024)), SCARD_S_SUCCESS);
    host.ExpectCardHolds(0x0061, PublicOf(key));
    EXPECT_EQ(ToHex(host.Reported(0, false)), ToHex(Blob(PublicOf(key), AT_SIGNATURE, 1024)));
}

TEST(CardContainers, DeleteRemovesWhatTheContainerHas) {
    Host host;
    CARD_DATA& card = host.Card();
    for (DWORD keySpec : {AT_ECDHE_P256, AT_ECDSA_P256})
        ASSERT_EQ(host.Create(5, keySpec, 0), SCARD_S_SUCCESS);
    ASSERT_EQ(host.Create(6, AT_ECDHE_P256, 0), SCARD_S_SUCCESS);
    // Without a record the key-exchange key is the one reported.
    EXPECT_EQ(host.Reported(5, true).size(), 72u);
    EXPECT_EQ(card.pfnCardDeleteContainer(&card, 6, 0), SCARD_S_SUCCESS);
    EXPECT_FALSE(host.KeyObject(0x0047));

    WCHAR user[] = u"user";
    ASSERT_EQ(card.pfnCardDeauthenticate(&card, user, 0), SCARD_S_SUCCESS);
    EXPECT_EQ(card.pfnCardDeleteContainer(&card, 5, 0), SCARD_W_SECURITY_VIOLATION);
    EXPECT_TRUE(host.CardFile(KeyPath(0x0205)));

    ASSERT_EQ(host.Logon(moduletest::kDefaultPin).status, SCARD_S_SUCCESS);
    EXPECT_EQ(card.pfnCardDeleteContainer(&card, 5, 0), SCARD_S_SUCCESS);
    EXPECT_FALSE(host.CardFile(KeyPath(0x0205)) || host.KeyObject(0x0046) || host.CardFile(KeyPath(0x0225)) ||
                 host.KeyObject(0x0066));
    CONTAINER_INFO info{};
    EXPECT_EQ(card.pfnCardGetContainerInfo(&card, 5, 0, &info), SCARD_E_NO_KEY_CONTAINER);
}

TEST(CardContainers, RefusesWhatItCannotDo) {
    struct BadCreate {
        DWORD flags, keySpec, bits;
        bool blob;
    } const creates[] = {{0, AT_SIGNATURE, 1024, false},
                         {3, AT_SIGNATURE, 1024, true},
                         {CARD_CREATE_CONTAINER_KEY_IMPORT, AT_SIGNATURE, 1024, false},
                         {1, 0, 1024, false},
                         {1, 9, 1024, false},
                         {1, AT_KEYEXCHANGE, 1000, false}};
    Host host;
    CARD_DATA& card = host.Card();
    BYTE blob[600] = {};
    for (const BadCreate& c : creates) {
        EXPECT_EQ(card.pfnCardCreateContainer(&card, 0, c.flags, c.keySpec, c.bits, c.blob ? blob : nullptr),
                  SCARD_E_INVALID_PARAMETER)
            << c.flags << " " << c.keySpec << " " << c.bits;
    }
    CONTAINER_INFO info{};
    CONTAINER_INFO later{2, 0, 0, nullptr, 0, nullptr};
    EXPECT_EQ(card.pfnCardGetContainerInfo(&card, 0, 0, nullptr), SCARD_E_INVALID_PARAMETER);
    EXPECT_EQ(card.pfnCardGetContainerInfo(&card, 0, 1, &info), SCARD_E_INVALID_PARAMETER);
    EXPECT_EQ(card.pfnCardGetContainerInfo(&card, 0, 0, &later), ERROR_REVISION_MISMATCH);
    EXPECT_EQ(card.pfnCardDeleteContainer(&card, 0, 1), SCARD_E_INVALID_PARAMETER);
    host.PutFile(moduletest::kMapPath, Hex("00FF"), 4);  // a map longer than its file
    EXPECT_EQ(card.pfnCardGetContainerInfo(&card, 0, 0, &info), SCARD_E_UNEXPECTED);
    EXPECT_FALSE(host.CardFile(KeyPath(0x0220)) || host.CardFile(KeyPath(0x0200)));

    // Keys are the user's: the administrator alone makes none, and the card is not asked.
    WCHAR user[] = u"user";
    ASSERT_EQ(card.pfnCardDeauthenticate(&card, user, 0), SCARD_S_SUCCESS);
    ByteVector response = host.AdminResponse();
    ASSERT_EQ(card.pfnCardAuthenticateChallenge(&card, response.data(), 8, nullptr), SCARD_S_SUCCESS);
    host.Commands();
    EXPECT_EQ(host.Create(0, AT_ECDSA_P256, 0), SCARD_W_SECURITY_VIOLATION);
    EXPECT_TRUE(host.Commands().empty());
}

}  // namespace
