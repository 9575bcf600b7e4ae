// A stand-in for the outside authentication library, built for tests only: it asks nobody and
// answers what its environment says, read at every call.
//   TQAUTH_RESULT    tqauth_Auth's answer (decimal; default 0, success)
//   TQAUTH_KIND      the record's biometric type (hex; default 23)
//   TQAUTH_TEMPLATE  the 20-byte biometric value (hex; default twenty B1 bytes)
//   TQAUTH_IDENTITY  the identity text, up to 16 characters (default 12345678)
//   TQAUTH_TICKET    the ticket's text as it stands, in place of the one built from the above
//   TQAUTH_TRACE     a file to which every call appends one line with its arguments
// Where the hosting program exports a function `void tqauth_while_authenticating(void)` (test
// programs only), tqauth_Auth calls it: whatever a test needs to happen while the card is away.
// The ticket is the Base64 text of a 24-byte check value, 01 81 and a 129-byte record (the
// biometric type, low byte first; the biometric value; the identity in UTF-16, low byte first).
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "libapdu/token/base64.h"
#include "libapdu/token/ticket.h"
#include "platform/win32.h"

#ifndef _WIN32
#include <dlfcn.h>
#endif

#ifdef _WIN32
#define TQAUTH_EXPORT extern "C" __declspec(dllexport)
#else
#define TQAUTH_EXPORT extern "C" __attribute__((visibility("default")))
#endif

namespace {

constexpr size_t kValueSize = 20;
constexpr size_t kIdentityOffset = 24;
constexpr size_t kIdentityChars = 16;
constexpr uint32_t kFailure = 2;

std::string Setting(const char* name, const char* fallback) {
    const char* value = std::getenv(name);
    return value != nullptr ? value : fallback;
}

std::vector<uint8_t> FromHex(const std::string& text) {
    std::vector<uint8_t> out;
    for (size_t i = 0; i + 1 < text.size(); i += 2)
        out.push_back(static_cast<uint8_t>(std::stoul(text.substr(i, 2), nullptr, 16)));
    return out;
}

void Trace(const std::string& line) {
    const std::string file = Setting("TQAUTH_TRACE", "");
    if (file.empty()) return;
    std::ofstream(file, std::ios::app) << line << '\n';
}

std::string Ticket() {
    std::vector<uint8_t> data(libapdu::kCheckValueSize + 2 + libapdu::kSessionRecordSize, 0);
    uint8_t* checked = data.data() + libapdu::kCheckValueSize;
    checked[0] = 0x01;
    checked[1] = 0x81;
    uint8_t* record = checked + 2;
    const auto kind = static_cast<uint32_t>(std::stoul(Setting("TQAUTH_KIND", "23"), nullptr, 16));
    for (size_t i = 0; i < 4; ++i) record[i] = static_cast<uint8_t>(kind >> (8 * i));
    std::string finger;
    for (size_t i = 0; i < kValueSize; ++i) finger += "B1";
    const std::vector<uint8_t> value = FromHex(Setting("TQAUTH_TEMPLATE", finger.c_str()));
    std::memcpy(record + 4, value.data(), value.size() < kValueSize ? value.size() : kValueSize);
    const std::string identity = Setting("TQAUTH_IDENTITY", "12345678");
    for (size_t i = 0; i < identity.size() && i < kIdentityChars; ++i)
        record[kIdentityOffset + 2 * i] = static_cast<uint8_t>(identity[i]);
    libapdu::DeriveKey24(libapdu::ByteSpan(checked, data.size() - libapdu::kCheckValueSize), data.data(),
                         libapdu::kCheckValueSize);
    return libapdu::Base64Encode(libapdu::ByteSpan(data.data(), data.size()));
}

// The ticket's length: Base64 of 155 bytes.
constexpr uint32_t kTicketSize = 208;

}  // namespace

TQAUTH_EXPORT uint32_t WINAPI tqauth_GetTicketSize(uint32_t* size) {
    Trace("tqauth_GetTicketSize");
    if (size == nullptr) return kFailure;
    *size = kTicketSize;
    return 0;
}

TQAUTH_EXPORT uint32_t WINAPI tqauth_Auth(const char* reader, uint32_t readerLength, ULONG_PTR parentWindow,
                                          uint8_t* ticket, uint32_t ticketSize) {
    Trace("tqauth_Auth reader=" + std::string(reader != nullptr ? reader : "(null)") +
          " length=" + std::to_string(readerLength) + " window=" + std::to_string(parentWindow) +
          " size=" + std::to_string(ticketSize));
#ifndef _WIN32
    using Hook = void (*)();
    if (auto hook = reinterpret_cast<Hook>(dlsym(RTLD_DEFAULT, "tqauth_while_authenticating"))) hook();
#endif
    try {
        const auto result = static_cast<uint32_t>(std::stoul(Setting("TQAUTH_RESULT", "0")));
        if (result != 0) return result;
        const std::string given = Setting("TQAUTH_TICKET", "");
        const std::string text = given.empty() ? Ticket() : given;
        if (ticket == nullptr || ticketSize < text.size()) return kFailure;
        std::copy(text.begin(), text.end(), ticket);
        return 0;
    } catch (...) {
        return kFailure;
    }
}
