// A card reset, removal or power loss at each command of an enrollment as the host program runs
// it. The call that meets the fault fails with a status the host knows; once the host is back, a
// fresh context finds what the card holds, which depends only on the last command the card carried
// out, and the host's enrollment run again answers as listed. Every state between "as before" and
// "whole" is listed by command, so that a change in the module's command sequence or a wider
// window shows here.
#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <openssl/x509.h>

#include <algorithm>
#include <cstring>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <utility>

#include "module_over_sim.h"
#include "openssl_ptr.h"

namespace {

using helixsim::Fault;
using libapdu::ByteVector;
using moduletest::Acquired;
using moduletest::HostMemory;
using moduletest::SimReader;

// The interface takes names and PINs through non-const pointers.
// NOLINTBEGIN(cppcoreguidelines-avoid-non-const-global-variables)
char g_mscp[] = "mscp";
char g_cmapfile[] = "cmapfile";
char g_cardcf[] = "cardcf";
char g_certificate[] = "ksc00";
WCHAR g_user[] = u"user";
// NOLINTEND(cppcoreguidelines-avoid-non-const-global-variables)

// Of the same length in every run (an Ed25519 key and signature), so that the certificate's
// writes, and what a torn one leaves, fall on the same commands.
const ByteVector kCertificate = [] {
    const ossl::Key key(EVP_PKEY_Q_keygen(nullptr, nullptr, "ED25519"));
    const ossl::Certificate x509(X509_new());
    X509_set_version(x509.get(), 2);
    ASN1_TIME_set(X509_getm_notBefore(x509.get()), 1796083200);
    ASN1_TIME_set(X509_getm_notAfter(x509.get()), 1796169600);
    X509_set_pubkey(x509.get(), key.get());
    X509_NAME_add_entry_by_txt(X509_get_subject_name(x509.get()), "CN", MBSTRING_ASC,
                               reinterpret_cast<const unsigned char*>("Enrolled"), -1, -1, 0);
    X509_set_issuer_name(x509.get(), X509_get_subject_name(x509.get()));
    X509_sign(x509.get(), key.get(), nullptr);
    return ossl::Der(x509.get(), i2d_X509);
}();
// Container 0's signature key: private key file and key object in the key directory.
const libapdu::CardPath kKeyFile{0x3F00, 0x3000, 0x3002, 0x0220};
const libapdu::CardPath kKeyObject{0x3F00, 0x3000, 0x3002, 0x0061};
constexpr uint32_t kEnrollmentCommands = 98;

// What the card holds once it has carried out command k of the enrollment and no more, and what
// the host's enrollment, run again from the start, answers then.
struct Span {
    uint32_t first, last;
    const char* held;
    DWORD again;
};
const Span kHeldAfter[] = {
    {0, 28, "as before", SCARD_S_SUCCESS},
    {29, 33, "map old, key file only, certificate none", SCARD_S_SUCCESS},  // CardCreateContainer
    {34, 35, "map old, key object empty, certificate none", SCARD_S_SUCCESS},
    {36, 54, "map old, key whole, certificate none", SCARD_S_SUCCESS},  // up to the DELETE of 867F
    {55, 56, "map gone unreadable, key whole, certificate none", SCARD_E_FILE_NOT_FOUND},
    {57, 58, "map blank, key whole, certificate none", SCARD_E_UNEXPECTED},  // 867F created, not written
    {59, 69, "map new, key whole, certificate none", SCARD_S_SUCCESS},
    {70, 81, "map new, key whole, certificate unreadable", SCARD_E_NO_KEY_CONTAINER},  // ksc00 created
    {82, 83, "map new, key whole, certificate none", SCARD_S_SUCCESS},  // its write deletes it first
    {84, 86, "map new, key whole, certificate unreadable", SCARD_E_NO_KEY_CONTAINER},
    {87, kEnrollmentCommands, "whole", SCARD_S_SUCCESS},
};
// Power lost during an UPDATE BINARY leaves only its first bytes written: the map's, or the last
// of the certificate's.
const std::map<uint32_t, Span> kTorn{
    {59, {59, 59, "map other, key whole, certificate none", SCARD_E_UNEXPECTED}},
    {87, {87, 87, "map new, key whole, certificate unreadable", SCARD_E_NO_KEY_CONTAINER}},
};

Span Expected(Fault::Kind kind, uint32_t held) {
    if (kind == Fault::Kind::Tear && kTorn.count(held) == 1) return kTorn.at(held);
    for (const Span& s : kHeldAfter)
        if (held >= s.first && held <= s.last) return s;
    return {0, 0, "?", 0};
}

std::pair<DWORD, ByteVector> Read(CARD_DATA& d, LPSTR directory, LPSTR file) {
    PBYTE data = nullptr;
    DWORD size = 0;
    const DWORD rv = d.pfnCardReadFile(&d, directory, file, 0, &data, &size);
    const ByteVector out = rv == SCARD_S_SUCCESS ? ByteVector(data, data + size) : ByteVector();
    HostMemory::Free(data);
    return {rv, out};
}

DWORD Write(CARD_DATA& d, LPSTR directory, LPSTR file, ByteVector content) {
    return d.pfnCardWriteFile(&d, directory, file, 0, content.data(), static_cast<DWORD>(content.size()));
}

// Container 0's signature public key blob, empty when there is none.
std::pair<DWORD, ByteVector> ContainerKey(CARD_DATA& d) {
    CONTAINER_INFO info{};
    info.dwVersion = CONTAINER_INFO_CURRENT_VERSION;
    const DWORD rv = d.pfnCardGetContainerInfo(&d, 0, 0, &info);
    ByteVector blob(info.pbSigPublicKey, info.pbSigPublicKey + info.cbSigPublicKey);
    HostMemory::Free(info.pbSigPublicKey);
    HostMemory::Free(info.pbKeyExPublicKey);
    return {rv, blob};
}

// The host program's enrollment of a P-256 signature key generated in container 0, with its
// certificate; the status of the first call that fails, success when none does.
DWORD Enroll(CARD_DATA& d) {
    ByteVector pin = moduletest::kDefaultPin;
    DWORD attempts = 0;
    DWORD rv = d.pfnCardAuthenticatePin(&d, g_user, pin.data(), static_cast<DWORD>(pin.size()), &attempts);
    if (rv != SCARD_S_SUCCESS) return rv;
    auto [mapRead, map] = Read(d, g_mscp, g_cmapfile);
    if (mapRead != SCARD_S_SUCCESS) return mapRead;
    LPSTR names = nullptr;
    DWORD size = 0;
    if ((rv = d.pfnCardEnumFiles(&d, g_mscp, &names, &size, 0)) != SCARD_S_SUCCESS) return rv;
    bool present = false;
    for (DWORD at = 0; at < size && names[at] != '\0'; at += static_cast<DWORD>(std::strlen(names + at)) + 1)
        present = present || std::strcmp(names + at, g_certificate) == 0;
    HostMemory::Free(names);
    rv = d.pfnCardCreateContainer(&d, 0, CARD_CREATE_CONTAINER_KEY_GEN, AT_ECDSA_P256, 256, nullptr);
    if (rv != SCARD_S_SUCCESS || (rv = ContainerKey(d).first) != SCARD_S_SUCCESS) return rv;

    ByteVector record = moduletest::MapRecord(
        "{enrolled}", CONTAINER_MAP_VALID_CONTAINER | CONTAINER_MAP_DEFAULT_CONTAINER, 0);
    record[83] = 1;  // a 256-bit signature key
    map.resize(std::max(map.size(), record.size()));
    std::copy(record.begin(), record.end(), map.begin());
    if ((rv = Write(d, g_mscp, g_cmapfile, map)) != SCARD_S_SUCCESS) return rv;
    const auto length = static_cast<DWORD>(kCertificate.size());
    if (!present &&
        (rv = d.pfnCardCreateFile(&d, g_mscp, g_certificate, length, EveryoneReadUserWriteAc)) != 0)
        return rv;
    if ((rv = Write(d, g_mscp, g_certificate, kCertificate)) != SCARD_S_SUCCESS) return rv;

    auto [cardcfRead, cardcf] = Read(d, nullptr, g_cardcf);
    if (cardcfRead != SCARD_S_SUCCESS) return cardcfRead;
    if (cardcf.size() != sizeof(CARD_CACHE_FILE_FORMAT)) return SCARD_E_UNEXPECTED;
    ++cardcf[2];  // containers freshness
    ++cardcf[4];  // files freshness
    return Write(d, nullptr, g_cardcf, cardcf);
}

// Container 0 as a fresh context and the card itself show it: "as before", "whole", or what
// there is of the map file (against the clean run's before and after), the key and the certificate.
std::string Held(SimReader& reader, const std::pair<ByteVector, ByteVector>& clean) {
    Acquired d(reader.Record());
    const auto [mapRead, map] = Read(*d, g_mscp, g_cmapfile);
    const bool listed = map.size() > 80 && (map[80] & CONTAINER_MAP_VALID_CONTAINER) != 0;
    const ByteVector key = ContainerKey(*d).second;
    const auto [certificateRead, certificate] = Read(*d, g_mscp, g_certificate);
    const bool keyFile = reader.CardFile(kKeyFile).has_value();
    std::optional<helixsim::HelixCard::KeyObjectView> object;
    reader.WithCard([&](helixsim::HelixCard& card) { object = card.KeyObject(kKeyObject); });
    const bool certificateFile = reader.CardFile(moduletest::CertificatePath(0x8420)).has_value();
    const std::optional<ByteVector> file = reader.CardFile(moduletest::kMapPath);
    const bool blank = file && std::all_of(file->begin(), file->end(), [](uint8_t b) { return b == 0; });
    const std::string onCard = !file                   ? "gone"
                               : *file == clean.first  ? "old"
                               : *file == clean.second ? "new"
                               : blank                 ? "blank"
                                                       : "other";
    if (onCard == "old" && !listed && !keyFile && !object && !certificateFile) return "as before";
    if (listed && keyFile && object && object->hasKey && !key.empty() && certificate == kCertificate)
        return "whole";
    return "map " + onCard + (mapRead != SCARD_S_SUCCESS ? " unreadable" : "") + ", key " +
           (!keyFile         ? "none"
            : !object        ? "file only"
            : object->hasKey ? "whole"
                             : "object empty") +
           ", certificate " +
           (!certificateFile                     ? "none"
            : certificateRead != SCARD_S_SUCCESS ? "unreadable"
            : certificate == kCertificate        ? "whole"
                                                 : "other");
}

TEST(EnrollFaults, CardHoldsWhatItsLastCommandLeft) {
    std::pair<ByteVector, ByteVector> clean;
    {
        SimReader reader;
        clean.first = *reader.CardFile(moduletest::kMapPath);
        Acquired d(reader.Record());
        reader.Commands();
        ASSERT_EQ(Enroll(*d), SCARD_S_SUCCESS);
        ASSERT_EQ(reader.Commands().size(), kEnrollmentCommands);
        clean.second = *reader.CardFile(moduletest::kMapPath);
    }
    const std::set<DWORD> knownFailures{
        SCARD_E_UNEXPECTED,   SCARD_E_FILE_NOT_FOUND, SCARD_E_NO_KEY_CONTAINER,  SCARD_W_RESET_CARD,
        SCARD_W_REMOVED_CARD, SCARD_W_WRONG_CHV,      SCARD_W_SECURITY_VIOLATION};
    // The before-kinds keep the card from carrying out the command they are on.
    const std::pair<Fault::Kind, bool> kinds[] = {{Fault::Kind::ResetBefore, true},
                                                  {Fault::Kind::RemoveBefore, true},
                                                  {Fault::Kind::ResetAfter, false},
                                                  {Fault::Kind::RemoveAfter, false},
                                                  {Fault::Kind::Tear, false}};
    for (const auto& [kind, before] : kinds) {
        for (uint32_t at = 1; at <= kEnrollmentCommands; ++at) {
            SCOPED_TRACE("fault " + std::to_string(static_cast<int>(kind)) + " at command " +
                         std::to_string(at));
            SimReader reader;
            DWORD rv = 0;
            {
                Acquired d(reader.Record());
                reader.FaultAt(kind, at, 4);  // a torn write keeps its first 4 bytes
                rv = Enroll(*d);
            }
            helixsim::Readers::Instance().ReinsertCard(moduletest::kReader);
            DWORD protocol = 0;
            ASSERT_EQ(pcsc::Reconnect(reader.Card(), pcsc::kLeaveCard, &protocol), SCARD_S_SUCCESS);
            const std::string held = Held(reader, clean);
            const Span expected = Expected(kind, before ? at - 1 : at);
            EXPECT_TRUE(rv == SCARD_S_SUCCESS ? held == "whole" : knownFailures.count(rv) == 1)
                << std::hex << rv;
            DWORD again = 0;
            {
                Acquired d(reader.Record());
                again = Enroll(*d);
            }
            EXPECT_EQ(held, expected.held);
            EXPECT_EQ(again, expected.again) << std::hex << again;
            EXPECT_TRUE(again != SCARD_S_SUCCESS || Held(reader, clean) == "whole");
        }
    }
}

}  // namespace
