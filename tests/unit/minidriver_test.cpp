// The interface's names and numbers are what hosts send and read, not whatever the header says.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/minidriver.h"

TEST(MinidriverInterface, NamesAreTheTextsHostsSend) {
    const std::u16string_view wide[][2] = {
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
    for (const auto& [actual, expected] : wide) EXPECT_EQ(actual, expected);
    const std::string_view narrow[][2] = {
        {szBASE_CSP_DIR, "mscp"},
        {szCACHE_FILE, "cardcf"},
        {szCARD_IDENTIFIER_FILE, "cardid"},
        {szCONTAINER_MAP_FILE, "cmapfile"},
        {szROOT_STORE_FILE, "msroots"},
        {szUSER_SIGNATURE_CERT_PREFIX, "ksc"},
        {szUSER_KEYEXCHANGE_CERT_PREFIX, "kxc"},
    };
    for (const auto& [actual, expected] : narrow) EXPECT_EQ(actual, expected);
}

TEST(MinidriverInterface, NumbersAreTheWireValues) {
    // The card padding values, not the CNG ones.
    EXPECT_EQ((std::vector<int>{CARD_PADDING_NONE, CARD_PADDING_PKCS1, CARD_PADDING_PSS, CARD_PADDING_OAEP}),
              (std::vector<int>{1, 2, 4, 8}));
    // Blob magics spell their tags in memory, little-endian on every host.
    const std::pair<uint32_t, const char*> magics[] = {
        {BCRYPT_RSAPUBLIC_MAGIC, "RSA1"},         {BCRYPT_ECDSA_PUBLIC_P256_MAGIC, "ECS1"},
        {BCRYPT_ECDSA_PUBLIC_P384_MAGIC, "ECS3"}, {BCRYPT_ECDSA_PUBLIC_P521_MAGIC, "ECS5"},
        {BCRYPT_ECDH_PUBLIC_P256_MAGIC, "ECK1"},  {BCRYPT_ECDH_PUBLIC_P384_MAGIC, "ECK3"},
        {BCRYPT_ECDH_PUBLIC_P521_MAGIC, "ECK5"},
    };
    for (const auto& [magic, text] : magics) EXPECT_EQ(std::memcmp(&magic, text, 4), 0) << text;
}
