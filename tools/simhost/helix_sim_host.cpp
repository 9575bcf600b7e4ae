#include "simhost/helix_sim_host.h"

#include <sys/stat.h>

#include <cstring>
#include <functional>
#include <memory>
#include <new>
#include <stdexcept>
#include <string>

#include "channel/pcsc.h"
#include "channel/scard_sender.h"
#include "channel/transaction.h"
#include "helixsim/card.h"
#include "libapdu/appcry/cry_finder.h"
#include "libapdu/libapdu.h"
#include "libapdu/token/failure.h"
#include "pcsc/sim_readers.h"

namespace {

using libapdu::ByteSpan;
using libapdu::ByteVector;
using libapdu::CardPath;

const char* const kReader = "Helix Embedded 0";
constexpr DWORD kProtocolsT0T1 = 3;
constexpr uint16_t kNotFound = 0x6A82;
constexpr uint16_t kExists = 0x6A89;
const CardPath kKeyDirectory{0x3F00, 0x3000, 0x3002};

thread_local std::string t_lastError;

DWORD Fail(DWORD code, const std::string& words) {
    t_lastError = words;
    return code;
}

std::string HexCode(DWORD code) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%08X", code);
    return text;
}

// The one place where failures of the simulator and of the token library become codes.
DWORD Guarded(const char* what, const std::function<DWORD()>& work) {
    t_lastError.clear();
    try {
        return work();
    } catch (const CAException& e) {
        return Fail(e.Code(), std::string(what) + ": the card or channel answered " + HexCode(e.Code()));
    } catch (const StatusCode code) {
        return Fail(static_cast<DWORD>(code), std::string(what) + ": " + HexCode(static_cast<DWORD>(code)));
    } catch (const std::bad_alloc&) {
        return Fail(SCARD_E_NO_MEMORY, std::string(what) + ": out of memory");
    } catch (const std::invalid_argument& e) {
        return Fail(SCARD_E_INVALID_PARAMETER, std::string(what) + ": " + e.what());
    } catch (const std::exception& e) {
        return Fail(SCARD_F_INTERNAL_ERROR, std::string(what) + ": " + e.what());
    } catch (...) {
        return Fail(SCARD_F_UNKNOWN_ERROR, std::string(what) + ": unknown failure");
    }
}

bool FileExists(const char* path) {
    struct stat info {};
    return path != nullptr && path[0] != 0 && ::stat(path, &info) == 0;
}

std::unique_ptr<helixsim::HelixCard> MakeCard(const char* profile, const char* imagePath) {
    if (FileExists(imagePath)) return helixsim::HelixCard::Load(imagePath);
    const std::string name = profile == nullptr || profile[0] == 0 ? "default" : profile;
    return std::make_unique<helixsim::HelixCard>(helixsim::ProfileByName(name));
}

bool IsCardStatus(const CAException& e, uint16_t sw) {
    return e.Code() == sw;
}

// The card's owner at work: a channel of its own, the applet selected and the user PIN
// presented, all inside one transaction.
class OwnerSession {
public:
    OwnerSession(SCARDHANDLE card, ByteSpan pin)
        : m_token(libapdu::CreateToken(std::make_unique<CSCardSender>(card, kProtocolsT0T1))), m_guard(card) {
        m_token->Select(libapdu::kAppletHelix);
        libapdu::IAppPin& pins = *m_token->GetPin();
        m_userPin = pins.GetUserPinRef();
        if (m_userPin.empty()) ThrowStatus(SCARD_E_NO_KEY_CONTAINER);
        pins.SelectPin(m_userPin);
        pins.VerifyPin(pin);
    }

    libapdu::IAppFS& Fs() { return *m_token->GetFS(); }
    libapdu::IAppCrypto& Crypto() { return *m_token->GetCrypto(); }
    uint8_t UserPinId() const { return static_cast<uint8_t>(m_userPin.back() & 0xFF); }

    // The size of the file at `path`, or -1 when the card has none.
    long SizeOf(const CardPath& path) {
        try {
            Fs().SelectPath(path);
        } catch (const CAException& e) {
            if (IsCardStatus(e, kNotFound)) return -1;
            throw;
        }
        return Fs().GetFileInfo().size;
    }

    // Creates `id` in the directory `parent`; an object already there is deleted first.
    void CreateFresh(const CardPath& parent, uint16_t id, const libapdu::FileDescriptor& descriptor) {
        Fs().SelectPath(parent);
        try {
            Fs().CreateFile(id, descriptor, {});
            return;
        } catch (const CAException& e) {
            if (!IsCardStatus(e, kExists)) throw;
        }
        CardPath path = parent;
        path.push_back(id);
        Fs().SelectPath(path);
        Fs().DeleteFile();
        Fs().SelectPath(parent);
        Fs().CreateFile(id, descriptor, {});
    }

private:
    std::unique_ptr<libapdu::IToken> m_token;
    CTransactionGuard m_guard;
    libapdu::PinReference m_userPin;
};

void PutFile(SCARDHANDLE card, ByteSpan pin, const CardPath& path, const ByteVector& data) {
    if (path.size() < 2 || path.front() != 0x3F00) throw std::invalid_argument("a file path starts at 3F00");
    if (data.empty() || data.size() > 0xFFFF) throw std::invalid_argument("a file holds 1 to 65535 bytes");
    OwnerSession owner(card, pin);
    const long size = owner.SizeOf(path);
    if (size != static_cast<long>(data.size())) {
        if (size >= 0) owner.Fs().DeleteFile();
        libapdu::FileDescriptor descriptor;
        descriptor.kind = libapdu::kElementaryFile;
        descriptor.size = static_cast<uint16_t>(data.size());
        descriptor.access[0] = 0;
        descriptor.access[1] = owner.UserPinId();
        descriptor.access[2] = 3;
        owner.CreateFresh(CardPath(path.begin(), path.end() - 1), path.back(), descriptor);
        owner.Fs().SelectPath(path);
    }
    owner.Fs().WriteFile(data, 0);
}

// The card's generation parameter for an RSA modulus of `bits`.
uint8_t RsaGenerationParameter(WORD bits) {
    static const struct {
        WORD bits;
        uint8_t parameter;
    } kTable[] = {{512, 0x05},  {768, 0x09},  {1024, 0x06}, {1280, 0x0A}, {1536, 0x0B},
                  {1984, 0x0C}, {2048, 0x07}, {3072, 0x0D}, {4096, 0x08}};
    for (const auto& row : kTable) {
        if (row.bits == bits) return row.parameter;
    }
    throw std::invalid_argument("the card makes no RSA key of " + std::to_string(bits) + " bits");
}

void CopyOut(const ByteVector& value, BYTE* out, DWORD* length) {
    if (out == nullptr || length == nullptr) throw std::invalid_argument("an output buffer is missing");
    if (*length < value.size()) {
        *length = static_cast<DWORD>(value.size());
        ThrowStatus(SCARD_E_INSUFFICIENT_BUFFER);
    }
    std::memcpy(out, value.data(), value.size());
    *length = static_cast<DWORD>(value.size());
}

}  // namespace

extern "C" {

DWORD HelixSimOpenCard(const char* profile, const char* imagePath, SCARDCONTEXT* context, SCARDHANDLE* card) {
    return Guarded("open the embedded card", [&] {
        if (context == nullptr || card == nullptr)
            return Fail(SCARD_E_INVALID_PARAMETER, "no handle to fill");
        helixsim::Readers& readers = helixsim::Readers::Instance();
        readers.InsertCard(kReader, MakeCard(profile, imagePath));
        DWORD rv = pcsc::EstablishContext(context);
        if (rv != SCARD_S_SUCCESS) return Fail(rv, "establish a context: " + HexCode(rv));
        DWORD protocol = 0;
        rv = pcsc::Connect(*context, kReader, card, &protocol);
        if (rv != SCARD_S_SUCCESS) {
            (void)pcsc::ReleaseContext(*context);
            return Fail(rv, "connect to the embedded card: " + HexCode(rv));
        }
        return SCARD_S_SUCCESS;
    });
}

DWORD HelixSimCloseCard(SCARDCONTEXT context, SCARDHANDLE card, const char* imagePath) {
    return Guarded("close the embedded card", [&] {
        (void)pcsc::Disconnect(card, pcsc::kLeaveCard);
        (void)pcsc::ReleaseContext(context);
        helixsim::Readers& readers = helixsim::Readers::Instance();
        const std::unique_ptr<helixsim::HelixCard> taken = readers.TakeCard(kReader);
        readers.RemoveReader(kReader);
        if (taken == nullptr) return Fail(SCARD_E_NO_SMARTCARD, "no embedded card to close");
        if (imagePath != nullptr && imagePath[0] != 0) taken->Save(imagePath);
        return SCARD_S_SUCCESS;
    });
}

DWORD HelixSimStatus(SCARDHANDLE card, BYTE* atr, DWORD* atrLength, DWORD* protocol) {
    return Guarded("card status", [&] { return pcsc::Status(card, protocol, atr, atrLength); });
}

DWORD HelixSimReconnect(SCARDHANDLE card, DWORD initialization, DWORD* protocol) {
    return Guarded("reconnect", [&] { return pcsc::Reconnect(card, initialization, protocol); });
}

DWORD HelixSimResetCard(void) {
    return Guarded("reset the embedded card", [&] {
        helixsim::Readers::Instance().ResetCard(kReader);
        return SCARD_S_SUCCESS;
    });
}

DWORD HelixSimCommandCount(DWORD* count) {
    return Guarded("count the card's commands", [&] {
        if (count == nullptr) return Fail(SCARD_E_INVALID_PARAMETER, "nowhere to put the count");
        size_t n = 0;
        const bool present = helixsim::Readers::Instance().WithCard(
            kReader, [&](helixsim::HelixCard& c) { n = c.CommandLog().size(); });
        if (!present) return Fail(SCARD_E_NO_SMARTCARD, "no embedded card");
        *count = static_cast<DWORD>(n);
        return SCARD_S_SUCCESS;
    });
}

DWORD HelixSimPutFile(SCARDHANDLE card, const BYTE* pin, DWORD pinLength, const WORD* path, DWORD depth,
                      const BYTE* data, DWORD dataLength) {
    return Guarded("write a file as the card's owner", [&] {
        if (pin == nullptr || path == nullptr || data == nullptr)
            return Fail(SCARD_E_INVALID_PARAMETER, "a PIN, a path and data are needed");
        PutFile(card, ByteSpan(pin, pinLength), CardPath(path, path + depth),
                ByteVector(data, data + dataLength));
        return SCARD_S_SUCCESS;
    });
}

DWORD HelixSimGenerateRsaKey(SCARDHANDLE card, const BYTE* pin, DWORD pinLength, BYTE keyIndex, WORD bits,
                             BYTE usage, BYTE* modulus, DWORD* modulusLength, BYTE* exponent,
                             DWORD* exponentLength) {
    return Guarded("generate a key as the card's owner", [&] {
        if (pin == nullptr) return Fail(SCARD_E_INVALID_PARAMETER, "a PIN is needed");
        uint8_t parameter = RsaGenerationParameter(bits);
        OwnerSession owner(card, ByteSpan(pin, pinLength));
        const uint16_t keyObject = libapdu::CCryFinder::KeyObjectOfKeyFile(keyIndex);
        libapdu::FileDescriptor descriptor;
        descriptor.kind = libapdu::kKeyObject;
        descriptor.size = static_cast<uint16_t>(bits / 8);
        descriptor.access[0] = 0;
        descriptor.access[1] = 0;
        descriptor.access[2] = usage;
        owner.CreateFresh(kKeyDirectory, keyObject, descriptor);
        owner.Fs().SelectPath(libapdu::CCryFinder::KeyObjectPath(keyObject));
        owner.Crypto().GenerateKeyPair(&parameter, 0);

        CardPath keyFile = kKeyDirectory;
        keyFile.push_back(static_cast<uint16_t>(0x0200 | keyIndex));
        owner.Crypto().SelectKeyObject(keyFile);
        const libapdu::KeyObjectInfo key = owner.Crypto().GetKeyObjectInfo();
        CopyOut(key.modulus, modulus, modulusLength);
        CopyOut(key.exponent, exponent, exponentLength);
        return SCARD_S_SUCCESS;
    });
}

const char* HelixSimLastError(void) {
    return t_lastError.c_str();
}

}  // extern "C"
