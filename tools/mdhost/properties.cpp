#include "mdhost/properties.h"

#include <cstring>

#include "mdhost/hex.h"

namespace mdhost {

namespace {

struct PropertyRead {
    const char* name = nullptr;
    LPCWSTR property = nullptr;
    DWORD flags = 0;
    DWORD size = 0;
    DWORD expected = 0;
    bool versioned = false;  // a record whose version the host sets before it asks
};

const PropertyRead kReads[] = {
    {"Free Space", CP_CARD_FREE_SPACE, 0, sizeof(CARD_FREE_SPACE_INFO), SCARD_S_SUCCESS, true},
    {"Capabilities", CP_CARD_CAPABILITIES, 0, sizeof(CARD_CAPABILITIES), SCARD_S_SUCCESS, true},
    {"Key Sizes (signature)", CP_CARD_KEYSIZES, AT_SIGNATURE, sizeof(CARD_KEY_SIZES), SCARD_S_SUCCESS, true},
    {"Key Sizes (key exchange)", CP_CARD_KEYSIZES, AT_KEYEXCHANGE, sizeof(CARD_KEY_SIZES), SCARD_S_SUCCESS,
     true},
    {"Key Sizes (ECDSA P-256)", CP_CARD_KEYSIZES, AT_ECDSA_P256, sizeof(CARD_KEY_SIZES), SCARD_S_SUCCESS,
     true},
    {"Read Only Mode", CP_CARD_READ_ONLY, 0, sizeof(DWORD), SCARD_S_SUCCESS},
    {"Cache Mode", CP_CARD_CACHE_MODE, 0, sizeof(DWORD), SCARD_S_SUCCESS},
    {"Supports Windows x.509 Enrollment", CP_SUPPORTS_WIN_X509_ENROLLMENT, 0, sizeof(DWORD), SCARD_S_SUCCESS},
    {"Card Identifier", CP_CARD_GUID, 0, 16, SCARD_S_SUCCESS},
    {"Card Serial Number", CP_CARD_SERIAL_NO, 0, 64, SCARD_E_UNSUPPORTED_FEATURE},
    {"PIN Information (user)", CP_CARD_PIN_INFO, ROLE_USER, sizeof(PIN_INFO), SCARD_S_SUCCESS},
    {"PIN Information (administrator)", CP_CARD_PIN_INFO, ROLE_ADMIN, sizeof(PIN_INFO), SCARD_S_SUCCESS},
    {"PIN List", CP_CARD_LIST_PINS, 0, sizeof(DWORD), SCARD_S_SUCCESS},
    {"Authenticated State", CP_CARD_AUTHENTICATED_STATE, 0, sizeof(DWORD), SCARD_S_SUCCESS},
    {"PIN Strength Verify (user)", CP_CARD_PIN_STRENGTH_VERIFY, ROLE_USER, sizeof(DWORD), SCARD_S_SUCCESS},
    {"Key Import Support", CP_KEY_IMPORT_SUPPORT, 0, sizeof(DWORD), SCARD_S_SUCCESS},
    {"Algorithms", CP_ENUM_ALGORITHMS, 0, sizeof(DWORD), SCARD_S_SUCCESS},
    {"Padding Schemes", CP_PADDING_SCHEMES, 0, sizeof(DWORD), SCARD_S_SUCCESS},
    {"Chaining Modes", CP_CHAINING_MODES, 0, sizeof(DWORD), SCARD_S_SUCCESS},
};

// A 32-bit value as a number, anything longer in hex.
std::string Shown(const Bytes& value) {
    if (value.size() != sizeof(DWORD)) return HexBytes(value, " ");
    DWORD number = 0;
    std::memcpy(&number, value.data(), sizeof number);
    return std::to_string(number);
}

std::string GetCall(const char* name) {
    return std::string("CardGetProperty \"") + name + "\"";
}

}  // namespace

StepsReport RunPropertiesScenario(CMinidriverSession& session, const std::string& pin) {
    StepsReport report;
    for (const PropertyRead& read : kReads) {
        Bytes value;
        const DWORD rv = session.GetProperty(read.property, read.flags, read.size, value,
                                             read.versioned ? Bytes{1, 0, 0, 0} : Bytes{});
        report.steps.push_back({GetCall(read.name), rv, read.expected, Shown(value)});
    }

    const auto set = [&](const char* name, LPCWSTR property, const Bytes& value, DWORD expected) {
        const DWORD rv = session.SetProperty(property, value);
        report.steps.push_back(
            {std::string("CardSetProperty \"") + name + "\"", rv, expected, HexBytes(value, " ")});
    };
    set("Parent Window", CP_PARENT_WINDOW, Bytes(sizeof(uint32_t), 0), SCARD_S_SUCCESS);
    set("PIN Context String", CP_PIN_CONTEXT_STRING, {}, SCARD_S_SUCCESS);
    set("Cache Mode", CP_CARD_CACHE_MODE, Bytes{CP_CACHE_MODE_NO_CACHE, 0, 0, 0},
        SCARD_E_UNSUPPORTED_FEATURE);

    Bytes identifier;
    report.steps.push_back({GetCall("Card Identifier"), session.GetProperty(CP_CARD_GUID, 0, 16, identifier),
                            SCARD_S_SUCCESS, HexBytes(identifier, " ")});
    DWORD attempts = 0;
    report.steps.push_back({"CardAuthenticatePin user",
                            session.AuthenticateUser(Bytes(pin.begin(), pin.end()), attempts),
                            SCARD_S_SUCCESS, ""});
    set("Card Identifier", CP_CARD_GUID, identifier, SCARD_S_SUCCESS);
    Bytes readBack;
    const DWORD rv = session.GetProperty(CP_CARD_GUID, 0, 16, readBack);
    report.steps.push_back({GetCall("Card Identifier") + " again", rv, SCARD_S_SUCCESS,
                            HexBytes(readBack, " "), readBack == identifier});
    report.steps.push_back({"CardDeauthenticate user", session.DeauthenticateUser(), SCARD_S_SUCCESS, ""});
    return report;
}

}  // namespace mdhost
