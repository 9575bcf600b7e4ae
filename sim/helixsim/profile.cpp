#include <ctime>
#include <stdexcept>

#include "helixsim/card.h"

namespace helixsim {

namespace {

Bytes Ascii(const char* text) {
    return Bytes(text, text + std::char_traits<char>::length(text));
}

// The four ATRs the module recognises, each in a form its mask accepts, and one it must refuse.
constexpr uint8_t kAtr22[] = {0x3B, 0xDC, 0x18, 0xFF, 0x81, 0x91, 0xFE, 0x1F, 0xC3, 0x80, 0x73,
                              0xC8, 0x21, 0x13, 0x66, 0x02, 0x06, 0x11, 0x59, 0x00, 0x01, 0x2C};
constexpr uint8_t kAtr15[] = {0x3B, 0xD5, 0x18, 0xFF, 0x81, 0x91, 0xFE, 0x1F,
                              0xC3, 0x80, 0x73, 0xC8, 0x21, 0x13, 0x21};
constexpr uint8_t kAtr17[] = {0x3B, 0x8C, 0x80, 0x01, 0x80, 0x73, 0xC8, 0x21, 0x13,
                              0x66, 0x01, 0x06, 0x11, 0x59, 0x00, 0x01, 0x2C};
constexpr uint8_t kAtr5[] = {0x3B, 0x80, 0x80, 0x01, 0x01};
constexpr uint8_t kAtrUnknown[] = {0x3B, 0x80, 0x80, 0x01, 0x02};

template <size_t N>
Bytes Atr(const uint8_t (&bytes)[N]) {
    return Bytes(bytes, bytes + N);
}

// Today's local date as YYYYMMDD, the form the state file keeps.
std::string Today() {
    const std::time_t now = std::time(nullptr);
    std::tm local{};
#ifdef _WIN32
    (void)localtime_s(&local, &now);
#else
    (void)localtime_r(&now, &local);
#endif
    char text[9] = {};
    (void)std::strftime(text, sizeof text, "%Y%m%d", &local);
    return text;
}

}  // namespace

Profile DefaultProfile() {
    Profile p;
    p.name = "default";
    p.atr = Atr(kAtr17);
    p.userPin = Ascii("12345678");
    p.adminKey = {0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07, 0x08, 0x11, 0x12, 0x13, 0x14,
                  0x15, 0x16, 0x17, 0x18, 0x21, 0x22, 0x23, 0x24, 0x25, 0x26, 0x27, 0x28};
    p.biometricTemplate = Bytes(20, 0xB1);
    return p;
}

std::vector<std::string> ProfileNames() {
    return {"default", "atr-22",  "atr-15",    "atr-5",  "unknown-atr", "bio-23", "bio-24",
            "bio-25",  "no-4096", "strict-le", "policy", "pin-expired", "no-ec",  "dh-1536"};
}

Profile ProfileByName(const std::string& name) {
    Profile p = DefaultProfile();
    p.name = name;
    if (name == "default") return p;
    if (name == "atr-22") {
        p.atr = Atr(kAtr22);
    } else if (name == "atr-15") {
        p.atr = Atr(kAtr15);
    } else if (name == "atr-5") {
        p.atr = Atr(kAtr5);
    } else if (name == "unknown-atr") {
        p.atr = Atr(kAtrUnknown);
    } else if (name == "bio-23" || name == "bio-24" || name == "bio-25") {
        p.biometricId = static_cast<uint8_t>(std::stoi(name.substr(4), nullptr, 16));
        p.userPinId = p.biometricId;
    } else if (name == "no-4096") {
        p.rsa4096 = false;
    } else if (name == "strict-le") {
        p.strictLe = true;
    } else if (name == "policy" || name == "pin-expired") {
        p.historyDepth = 3;
        p.maxPinAgeDays = 90;
        p.changeAfterUnblock = true;
        // Changed today: the PIN stays within its age for as long as the card is used.
        p.lastChange = name == "policy" ? Today() : "20000101";
    } else if (name == "no-ec") {
        p.ec = false;
    } else if (name == "dh-1536") {
        p.agreementGroup = AgreementGroup::Modp1536;
    } else {
        throw std::invalid_argument("unknown card profile: " + name);
    }
    return p;
}

}  // namespace helixsim
