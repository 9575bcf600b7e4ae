// The minidriver file system over the simulated card: argument checks, the file cache, the card
// files each name reaches, free space and key sizes.
#include <gtest/gtest.h>

#include "module_over_sim.h"

using libapdu::ByteVector;
using libapdu::CardPath;
using moduletest::CardFixture;
using moduletest::SelectCommand;
using moduletest::Sent;

namespace {

using F = CardFixture&;
constexpr DWORD kInvalid = SCARD_E_INVALID_PARAMETER;
constexpr DWORD kNotFound = SCARD_E_FILE_NOT_FOUND;

// Each call on bad arguments, or on a card that cannot do it, with the status it answers.
TEST(CardFiles, MisuseAnswersItsStatus) {
    const struct {
        const char* name;
        void (*call)(F);
        DWORD expected;
    } cases[] = {
        {"ReadNullOutput",
         [](F f) {
             f.Context().ReadFile(&f.Data(), nullptr, CardFixture::Str("cardcf"), 0, nullptr, nullptr);
         },
         kInvalid},
        {"ReadNullName", [](F f) { f.Read(nullptr, nullptr); }, kInvalid},
        {"ReadFlags", [](F f) { f.Read(nullptr, "cardcf", 1); }, kInvalid},
        {"ReadEmptyName", [](F f) { f.Read(nullptr, ""); }, kInvalid},
        {"ReadNineCharacterName", [](F f) { f.Read("mscp", "cmapfile1"); }, kInvalid},
        {"ReadEmptyDirectory", [](F f) { f.Read("", "cardcf"); }, kInvalid},
        {"ReadForeignNameInMscp", [](F f) { f.Read("mscp", "foo"); }, kNotFound},
        {"ReadPrefixWithoutDigits", [](F f) { f.Read("mscp", "ksc"); }, kNotFound},
        {"ReadOneDigit", [](F f) { f.Read("mscp", "ksc1"); }, kNotFound},
        {"ReadNonHexDigits", [](F f) { f.Read("mscp", "kxcg0"); }, kNotFound},
        {"ReadRootsInRoot", [](F f) { f.Read(nullptr, "msroots"); }, kNotFound},
        {"ReadMapInOtherDirectory", [](F f) { f.Read("other", "cmapfile"); }, kNotFound},
        {"ReadAbsentCertificate", [](F f) { f.Read("mscp", "kxc00"); }, kNotFound},
        {"ReadAbsentRoots", [](F f) { f.Read("mscp", "msroots"); }, kNotFound},
        {"WriteNullData",
         [](F f) { f.Context().WriteFile(&f.Data(), nullptr, CardFixture::Str("cardcf"), 0, nullptr, 0); },
         kInvalid},
        {"WriteUnmapped", [](F f) { f.Write(nullptr, "foo", {1}); }, kNotFound},
        {"WriteBadCertificateName", [](F f) { f.Write("mscp", "kxs00", {1}); }, kNotFound},
        {"WriteAbsentCertificate",
         [](F f) {
             f.Write("mscp", "ksc02", {0x30, 0});
         },
         kNotFound},
        {"WriteCardidUnauthenticated", [](F f) { f.Write(nullptr, "cardid", ByteVector(16)); },
         SCARD_W_SECURITY_VIOLATION},
        {"WriteCardcfTooLongForThePrefix", [](F f) { f.Write(nullptr, "cardcf", ByteVector(7)); },
         SCARD_E_WRITE_TOO_MANY},
        {"WriteWithWrongCachedPin",
         [](F f) {
             f.Context().Login().StorePin(ByteVector{'0', '0', '0', '0'});
             f.Write(nullptr, "cardcf", ByteVector(6));
         },
         SCARD_W_SECURITY_VIOLATION},
        {"CreateNullName", [](F f) { f.Create("mscp", nullptr, 10); }, kInvalid},
        {"CreateBadCertificateName", [](F f) { f.Create("mscp", "kxq00", 10); }, kInvalid},
        {"CreateThreeDigits", [](F f) { f.Create("mscp", "kxc001", 10); }, kInvalid},
        {"CreateMapInMscp", [](F f) { f.Create("mscp", "cmapfile", 10); }, kInvalid},
        {"CreateCardidInMscp", [](F f) { f.Create("mscp", "cardid", 10); }, kInvalid},
        {"CreateAsLargeAsTheFreeSpace", [](F f) { f.Create("mscp", "kxc00", f.CardFreeMemory()); }, kInvalid},
        {"CreateRootsUnauthenticated", [](F f) { f.Create("mscp", "msroots", 10); }, SCARD_E_UNEXPECTED},
        {"DeleteFlags", [](F f) { f.Delete(nullptr, "kxc00", 1); }, kInvalid},
        {"DeleteBadCertificateName", [](F f) { f.Delete("mscp", "x"); }, kNotFound},
        {"DeleteMapInMscp", [](F f) { f.Delete("mscp", "cmapfile"); }, kNotFound},
        {"DeleteCardcfInMscp", [](F f) { f.Delete("mscp", "cardcf"); }, kNotFound},
        {"DeleteAbsentCertificate", [](F f) { f.Delete("mscp", "kxc03"); }, kNotFound},
        {"EnumEmptyDirectory", [](F f) { f.Enum(""); }, SCARD_E_DIR_NOT_FOUND},
        {"EnumOtherDirectory", [](F f) { f.Enum("other"); }, SCARD_E_DIR_NOT_FOUND},
        {"EnumNullSize",
         [](F f) {
             LPSTR names = nullptr;
             f.Context().EnumFiles(&f.Data(), nullptr, &names, nullptr, 0);
         },
         kInvalid},
        {"InfoNull",
         [](F f) { f.Context().GetFileInfo(&f.Data(), nullptr, CardFixture::Str("cardid"), nullptr); },
         kInvalid},
        {"InfoOfRoots", [](F f) { f.Info("mscp", "msroots"); }, kNotFound},
        {"FreeSpaceVersionTwo", [](F f) { f.FreeSpace(2); }, ERROR_REVISION_MISMATCH},
        {"FreeSpaceFlags", [](F f) { f.FreeSpace(0, 1); }, kInvalid},
        {"KeySpecZero", [](F f) { f.KeySizes(0); }, kInvalid},
        {"KeySpecNine", [](F f) { f.KeySizes(9); }, kInvalid},
        {"KeySizesFlags", [](F f) { f.KeySizes(AT_SIGNATURE, 1); }, kInvalid},
        {"CreateDirectoryNull", [](F f) { f.Context().CreateDirectory(&f.Data(), nullptr, InvalidDirAc); },
         kInvalid},
        {"DeleteDirectoryTooLong",
         [](F f) { f.Context().DeleteDirectory(&f.Data(), CardFixture::Str("directory")); }, kInvalid},
        {"AllocationRefused",
         [](F f) {
             moduletest::HostMemory::FailNext() = true;
             f.Read(nullptr, "cardcf");
         },
         SCARD_E_NO_MEMORY},
    };
    for (const auto& c : cases) {
        CardFixture f;
        f.Ready();
        EXPECT_EQ(ThrownStatus([&] { c.call(f); }), static_cast<StatusCode>(c.expected)) << c.name;
    }
}

// cardid, cardcf and the container list are served from memory while the host's two handles stay
// the same; a change of either drops all three, even once one of them has been read again.
TEST(CardFiles, ChangeOfEitherHandleDropsEveryCache) {
    for (void (CardFixture::*change)() : {&CardFixture::NewCardHandle, &CardFixture::NewContextHandle}) {
        SCOPED_TRACE(change == &CardFixture::NewCardHandle ? "card handle" : "context handle");
        CardFixture f;
        f.Ready();
        f.CachePin();
        f.Write("mscp", "cmapfile", moduletest::MapRecord("A"));  // an empty list is asked for every time
        const std::pair<const char*, CardPath> files[] = {{"cardid", moduletest::kCardidPath},
                                                          {"cardcf", moduletest::kCardcfPath},
                                                          {"cmapfile", moduletest::kMapPath}};
        std::vector<ByteVector> first;
        for (const auto& file : files) first.push_back(f.Read("mscp", file.first));
        EXPECT_EQ(first[1], ByteVector(6, 0));
        f.Commands();
        for (size_t i = 0; i < 3; ++i) EXPECT_EQ(f.Read("mscp", files[i].first), first[i]);
        EXPECT_TRUE(f.Commands().empty());

        (f.*change)();
        for (size_t i = 0; i < 3; ++i) {
            EXPECT_EQ(f.Read("mscp", files[i].first), first[i]);
            EXPECT_TRUE(Sent(f.Commands(), SelectCommand(files[i].second))) << files[i].first;
        }
    }
}

// The length prefix of cardid and cardcf is checked before the cache takes the data: exactly six
// bytes of cardcf, at most the file of cardid.
TEST(CardFiles, LengthPrefixIsChecked) {
    const std::tuple<const char*, const char*, const char*> cases[] = {
        // file, content, answer ("": SCARD_E_UNEXPECTED)
        {"cardcf", "0006 010203040506", "010203040506"},
        {"cardcf", "0005 010203040506", ""},
        {"cardcf", "0007 010203040506", ""},
        {"cardid", "0000 000102030405060708090A0B0C0D0E0F", "000102030405060708090A0B0C0D0E0F"},
        {"cardid", "0012 000102030405060708090A0B0C0D0E0F", "000102030405060708090A0B0C0D0E0F"},
        {"cardid", "0013 000102030405060708090A0B0C0D0E0F", ""},
    };
    for (const auto& [file, content, answer] : cases) {
        CardFixture f;
        f.Ready();
        f.PutFile(std::string(file) == "cardcf" ? moduletest::kCardcfPath : moduletest::kCardidPath,
                  Hex(content));
        std::string got;
        const auto status = ThrownStatus([&, file = file] { got = ToHex(f.Read(nullptr, file)); });
        EXPECT_EQ(got, answer) << content;
        EXPECT_EQ(status, *answer != 0 ? std::nullopt : std::optional(StatusCode(SCARD_E_UNEXPECTED)))
            << content;
    }
}

// A write goes to the card with its prefix and into the cache; a short one empties the cache, so
// that the card answers next.
TEST(CardFiles, CardcfWriteGoesToTheCardAndTheCache) {
    CardFixture f;
    f.Ready();
    f.CachePin();
    f.Write(nullptr, "cardcf", Hex("0A0B0C0D0E0F"));
    EXPECT_EQ(f.CardFile(moduletest::kCardcfPath), Hex("0006 0A0B0C0D0E0F"));
    f.Commands();
    EXPECT_EQ(f.Read(nullptr, "cardcf"), Hex("0A0B0C0D0E0F"));
    EXPECT_TRUE(f.Commands().empty());
    f.Write(nullptr, "cardcf", Hex("0102"));
    EXPECT_EQ(f.CardFile(moduletest::kCardcfPath), Hex("0002 0102 0C0D0E0F"));
    EXPECT_EQ(ThrownStatus([&] { f.Read(nullptr, "cardcf"); }), static_cast<StatusCode>(SCARD_E_UNEXPECTED));
}

TEST(CardFiles, RootsAreCreatedWrittenReadAndDeleted) {
    CardFixture f;
    f.Ready();
    f.Create(nullptr, "cardid", 10);  // outside mscp: nothing but the selection and the free-space query
    const std::vector<ByteVector> commands = f.Commands();
    ASSERT_EQ(commands.size(), 2u);
    EXPECT_EQ(commands[0], moduletest::kSelectApplet);

    f.CachePin();
    f.Create("mscp", "msroots", 4);
    EXPECT_EQ(ThrownStatus([&] { f.Create("mscp", "msroots", 4); }),
              static_cast<StatusCode>(ERROR_FILE_EXISTS));
    f.Write("mscp", "msroots", Hex("CAFE"));
    EXPECT_EQ(f.Read("mscp", "msroots"), Hex("CAFE0000"));
    f.Delete("mscp", "msroots");
    EXPECT_FALSE(f.CardFile(moduletest::kRootsPath));
}

// Every file the module creates is an elementary file with access bytes 0, u, 3: u is 30 for
// msroots and the user PIN's identifier (20 on this card) for certificate files.
TEST(CardFiles, CreatedFilesCarryTheirAccessBytes) {
    const std::tuple<const char*, CardPath, int> cases[] = {
        {"msroots", moduletest::kRootsPath, 0x30},
        {"kxc00", moduletest::CertificatePath(0x8400), 0x20},
        {"ksc01", moduletest::CertificatePath(0x8421), 0x20}};
    for (const auto& [name, path, access] : cases) {
        CardFixture f;
        f.Ready();
        f.CachePin();
        f.Create("mscp", name, 4);
        libapdu::IAppFS& fs = *f.Other().GetFS();
        fs.SelectPath(path);
        const libapdu::FileDescriptor d = fs.GetFileInfo();
        EXPECT_EQ((std::vector<int>{d.kind, d.size, d.access[0], d.access[1], d.access[2]}),
                  (std::vector<int>{libapdu::kElementaryFile, 4, 0, access, 3}))
            << name;
    }
}

TEST(CardFiles, InfoSelectsTheMappedCardFileAndReportsItsSize) {
    const std::pair<const char*, CardPath> cases[] = {
        {"cardid", moduletest::kCardidPath},
        {"cardcf", moduletest::kCardcfPath},
        {"cmapfile", moduletest::kMapPath},
        {"kxc00", moduletest::CertificatePath(0x8400)},
        {"ksc00", moduletest::CertificatePath(0x8420)},
        {"ksc1f", moduletest::CertificatePath(0x843F)},
        {"kxc1f", moduletest::CertificatePath(0x841F)},
        {"kxs02", {0x3F00, 0x3000, 0x3002, 0x0202}},
        {"kss01", {0x3F00, 0x3000, 0x3002, 0x0221}},
    };
    CardFixture f;
    f.Ready();
    for (const auto& [name, path] : cases) {
        SCOPED_TRACE(name);
        if (const std::optional<ByteVector> content = f.CardFile(path)) {
            EXPECT_EQ(f.Info("mscp", name), content->size());
        } else {
            EXPECT_EQ(ThrownStatus([&, file = name] { f.Info("mscp", file); }),
                      static_cast<StatusCode>(kNotFound));
        }
        EXPECT_TRUE(Sent(f.Commands(), SelectCommand(path)));
    }
}

TEST(CardFiles, FreeSpaceAndKeySizesFollowTheCard) {
    CardFixture card;
    card.Ready();
    const CARD_FREE_SPACE_INFO info = card.FreeSpace();
    EXPECT_EQ((std::vector<DWORD>{info.dwVersion, info.dwBytesAvailable, info.dwKeyContainersAvailable,
                                  info.dwMaxKeyContainers}),
              (std::vector<DWORD>{1, card.CardFreeMemory(), 0, 30}));
    const std::tuple<const char*, DWORD, std::vector<DWORD>> cases[] = {
        // version, minimum, default, maximum, increment
        {"default", AT_SIGNATURE, {1, 1024, 2048, 4096, 1024}},
        {"default", AT_KEYEXCHANGE, {1, 1024, 2048, 4096, 1024}},
        {"no-4096", AT_SIGNATURE, {1, 1024, 2048, 2048, 1024}},
        {"default", AT_ECDSA_P256, {1, 256, 256, 256, 1}},
        {"default", AT_ECDHE_P384, {1, 384, 384, 384, 1}},
        {"no-ec", AT_ECDSA_P521, {1, 521, 521, 521, 1}},
    };
    for (const auto& [profile, keySpec, expected] : cases) {
        CardFixture f(helixsim::ProfileByName(profile));
        f.Ready();
        const CARD_KEY_SIZES s = f.KeySizes(keySpec);
        EXPECT_EQ((std::vector<DWORD>{s.dwVersion, s.dwMinimumBitlen, s.dwDefaultBitlen, s.dwMaximumBitlen,
                                      s.dwIncrementalBitlen}),
                  expected)
            << profile << " key spec " << keySpec;
    }
}

void InfoOfMap(F f) {
    (void)f.Info("mscp", "cmapfile");
}
void CreateMscp(F f) {
    f.Context().CreateDirectory(&f.Data(), CardFixture::Str("mscp"), InvalidDirAc);
}
void DeleteMscp(F f) {
    f.Context().DeleteDirectory(&f.Data(), CardFixture::Str("mscp"));
}

// CardGetFileInfo: a failed re-selection is unexpected, a path that cannot be selected is not
// found whatever the card says. Directories: any card failure reads as "exists".
TEST(CardFiles, CardRefusalBecomesTheCallsStatus) {
    const struct {
        const char* name;
        void (*call)(F);
        uint32_t refused;  // which of the call's commands the card refuses, from 1
        uint16_t sw;
        DWORD expected;
    } cases[] = {
        {"info re-selection refused", InfoOfMap, 1, 0x6A82, SCARD_E_UNEXPECTED},
        {"info path not found", InfoOfMap, 2, 0x6A82, kNotFound},
        {"info path not allowed", InfoOfMap, 2, 0x6982, kNotFound},
        {"info path wrong parameters", InfoOfMap, 2, 0x6A86, kNotFound},
        {"info path no diagnosis", InfoOfMap, 2, 0x6F00, kNotFound},
        {"create directory selection refused", CreateMscp, 2, 0x6A82, ERROR_FILE_EXISTS},
        {"create directory listing refused", CreateMscp, 4, 0x6F00, ERROR_FILE_EXISTS},
        {"delete directory selection refused", DeleteMscp, 1, 0x6A82, ERROR_FILE_EXISTS},
        {"delete directory listing refused", DeleteMscp, 2, 0x6982, ERROR_FILE_EXISTS},
    };
    for (const auto& c : cases) {
        CardFixture f;
        f.Ready();
        f.FailCommand(c.sw, c.refused);
        EXPECT_EQ(ThrownStatus([&] { c.call(f); }), static_cast<StatusCode>(c.expected)) << c.name;
    }
}

TEST(CardFiles, DirectoriesAreListedButNeverCreatedOrDeleted) {
    CardFixture f;
    f.Ready();
    CreateMscp(f);
    DeleteMscp(f);
    const std::vector<ByteVector> commands = f.Commands();
    EXPECT_EQ(std::count(commands.begin(), commands.end(), SelectCommand(moduletest::kCardDirectory)), 2);
    for (const ByteVector& c : commands) EXPECT_TRUE(c[1] != 0xE0 && c[1] != 0xE4) << ToHex(c);
}

// The administrator's authentication lives in the selected applet: no call selects it again.
TEST(CardFiles, NoAppletSelectionWhileTheAdministratorIsLoggedIn) {
    CardFixture f;
    f.Ready();
    f.Context().Login().SetRole(kRoleAdmin);
    f.NewCardHandle();
    (void)f.Read(nullptr, "cardcf");
    (void)f.Read("mscp", "cmapfile");
    (void)f.Enum("mscp");
    (void)f.Info(nullptr, "cardid");
    (void)f.FreeSpace();
    (void)f.KeySizes(AT_SIGNATURE);
    f.Create(nullptr, "cardid", 10);
    CreateMscp(f);
    EXPECT_EQ(f.AppletSelections(), 0u);
}

}  // namespace
