#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>
#include <utility>

#include "platform/minidriver.h"

namespace {

std::string MagicText(uint32_t magic) {
    char text[4];
    std::memcpy(text, &magic, sizeof text);  // the blobs are little-endian on every host
    return std::string(text, sizeof text);
}

}  // namespace

TEST(MinidriverInterface, PropertyNamesAreTheTextsHostsSend) {
    const std::pair<const char16_t*, std::u16string_view> names[] = {
        {CP_CARD_FREE_SPACE, u"Free Space"},
        {CP_CARD_CAPABILITIES, u"Capabilities"},
        {CP_CARD_KEYSIZES, u"Key Sizes"},
        {CP_CARD_READ_ONLY, u"Read Only Mode"},
        {CP_CARD_CACHE_MODE, u"Cache Mode"},
        {CP_SUPPORTS_WIN_X509_ENROLLMENT, u"Supports Windows x.509 Enrollment"},
        {CP_CARD_GUID, u"Card Identifier"},
        {CP_CARD_SERIAL_NO, u"Card Serial Number"},
        {CP_CARD_PIN_INFO, u"PIN Information"},
        {CP_CARD_LIST_PINS, u"PIN List"},
        {CP_CARD_AUTHENTICATED_STATE, u"Authenticated State"},
        {CP_CARD_PIN_STRENGTH_VERIFY, u"PIN Strength Verify"},
        {CP_CARD_PIN_STRENGTH_CHANGE, u"PIN Strength Change"},
        {CP_CARD_PIN_STRENGTH_UNBLOCK, u"PIN Strength Unblock"},
        {CP_PARENT_WINDOW, u"Parent Window"},
        {CP_PIN_CONTEXT_STRING, u"PIN Context String"},
        {CP_KEY_IMPORT_SUPPORT, u"Key Import Support"},
        {CP_ENUM_ALGORITHMS, u"Algorithms"},
        {CP_PADDING_SCHEMES, u"Padding Schemes"},
        {CP_CHAINING_MODES, u"Chaining Modes"},
        {CCP_CONTAINER_INFO, u"Container Info"},
        {CCP_PIN_IDENTIFIER, u"PIN Identifier"},
        {CCP_ASSOCIATED_ECDH_KEY, u"Associated ECDH Key"},
        {wszCARD_USER_USER, u"user"},
        {wszCARD_USER_ADMIN, u"admin"},
        {BCRYPT_KDF_SP80056A_CONCAT, u"SP800_56A_CONCAT"},
    };
    for (const auto& [actual, expected] : names) {
        EXPECT_EQ(std::u16string_view(actual), expected);
    }
}

TEST(MinidriverInterface, FileNamesAreNarrowStrings) {
    EXPECT_EQ(std::string_view(szBASE_CSP_DIR), "mscp");
    EXPECT_EQ(std::string_view(szCACHE_FILE), "cardcf");
    EXPECT_EQ(std::string_view(szCARD_IDENTIFIER_FILE), "cardid");
    EXPECT_EQ(std::string_view(szCONTAINER_MAP_FILE), "cmapfile");
    EXPECT_EQ(std::string_view(szROOT_STORE_FILE), "msroots");
    EXPECT_EQ(std::string_view(szUSER_SIGNATURE_CERT_PREFIX), "ksc");
    EXPECT_EQ(std::string_view(szUSER_KEYEXCHANGE_CERT_PREFIX), "kxc");
}

TEST(MinidriverInterface, PaddingTypesAreTheCardValuesNotTheCngOnes) {
    EXPECT_EQ(CARD_PADDING_NONE, 1);
    EXPECT_EQ(CARD_PADDING_PKCS1, 2);
    EXPECT_EQ(CARD_PADDING_PSS, 4);
    EXPECT_EQ(CARD_PADDING_OAEP, 8);
}

TEST(MinidriverInterface, PinSetsGiveUserBit2AndAdministratorBit4) {
    PIN_SET set = PIN_SET_NONE;
    SET_PIN(set, ROLE_USER);
    SET_PIN(set, ROLE_ADMIN);
    EXPECT_EQ(set, 6u);
    EXPECT_TRUE(IS_PIN_SET(set, ROLE_ADMIN));
    EXPECT_FALSE(IS_PIN_SET(set, ROLE_EVERYONE));
    EXPECT_FALSE(IS_PIN_SET(PIN_SET_NONE | set, ROLE_EVERYONE));  // arguments are grouped
    CLEAR_PIN(set, ROLE_USER);
    EXPECT_EQ(set, 4u);
}

TEST(MinidriverInterface, BlobMagicsSpellTheirTagsInMemory) {
    EXPECT_EQ(MagicText(BCRYPT_RSAPUBLIC_MAGIC), "RSA1");
    EXPECT_EQ(MagicText(BCRYPT_ECDSA_PUBLIC_P256_MAGIC), "ECS1");
    EXPECT_EQ(MagicText(BCRYPT_ECDSA_PUBLIC_P384_MAGIC), "ECS3");
    EXPECT_EQ(MagicText(BCRYPT_ECDSA_PUBLIC_P521_MAGIC), "ECS5");
    EXPECT_EQ(MagicText(BCRYPT_ECDH_PUBLIC_P256_MAGIC), "ECK1");
    EXPECT_EQ(MagicText(BCRYPT_ECDH_PUBLIC_P384_MAGIC), "ECK3");
    EXPECT_EQ(MagicText(BCRYPT_ECDH_PUBLIC_P521_MAGIC), "ECK5");
}
