// CardDeriveKey with any parameter list a host may pass, over a real agreement: the simulated
// card holds a P-256 key in container 0, the user is logged on and one agreement is made once
// per process. Each input is a KDF name choice, flags and a list of buffers. Every call returns
// a status; a derived key is as long as the call says, inside the host's buffer and the same
// when derived again; the agreement survives every call.
// Input: KDF byte, flags byte, then buffers of a type byte (bit 7: a null pointer), a length byte
// and the bytes.
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "channel/pcsc.h"
#include "channel/scard_sender.h"
#include "fuzz_check.h"
#include "helixsim/card.h"
#include "host_memory.h"
#include "libapdu/libapdu.h"
#include "p256_peer.h"
#include "pcsc/sim_readers.h"
#include "platform/minidriver.h"

namespace {

using libapdu::ByteVector;

const char* const kReader = "Fuzz Sim 0";

struct Host {
    helixsim::Profile profile = helixsim::DefaultProfile();
    SCARDCONTEXT context = 0;
    SCARDHANDLE card = 0;
    WCHAR user[5] = u"user";
    WCHAR cardName[11] = u"Helix Card";
    CARD_DATA data{};
    BYTE agreement = 0;

    Host() {
        helixsim::Readers::Instance().InsertCard(kReader, std::make_unique<helixsim::HelixCard>(profile));
        DWORD protocol = 0;
        FUZZ_REQUIRE(pcsc::EstablishContext(&context) == SCARD_S_SUCCESS);
        FUZZ_REQUIRE(pcsc::Connect(context, kReader, &card, &protocol) == SCARD_S_SUCCESS);
        PutAgreementKey();
        data.dwVersion = CARD_DATA_VERSION_SEVEN;
        data.pbAtr = profile.atr.data();
        data.cbAtr = static_cast<DWORD>(profile.atr.size());
        data.pwszCardName = cardName;
        data.pfnCspAlloc = &fuzzhost::Alloc;
        data.pfnCspReAlloc = &fuzzhost::ReAlloc;
        data.pfnCspFree = &fuzzhost::Free;
        data.hSCardCtx = context;
        data.hScard = card;
        FUZZ_REQUIRE(CardAcquireContext(&data, 0) == SCARD_S_SUCCESS);
        ByteVector pin = profile.userPin;
        DWORD attempts = 0;
        FUZZ_REQUIRE(data.pfnCardAuthenticatePin(&data, user, pin.data(), static_cast<DWORD>(pin.size()),
                                                 &attempts) == SCARD_S_SUCCESS);
        std::vector<BYTE> peer = kPeerBlob;
        CARD_DH_AGREEMENT_INFO info{};
        info.dwVersion = CARD_DH_AGREEMENT_INFO_VERSION;
        info.dwPublicKey = static_cast<DWORD>(peer.size());
        info.pbPublicKey = peer.data();
        FUZZ_REQUIRE(data.pfnCardConstructDHAgreement(&data, &info) == SCARD_S_SUCCESS);
        agreement = info.bSecretAgreementIndex;
    }
    ~Host() {
        data.pfnCardDeleteContext(&data);
        pcsc::Disconnect(card, pcsc::kLeaveCard);
        pcsc::ReleaseContext(context);
        helixsim::Readers::Instance().RemoveReader(kReader);
    }
    Host(const Host&) = delete;
    Host& operator=(const Host&) = delete;

    // A P-256 key pair made on the card for container 0's key-exchange key, usable for agreement.
    void PutAgreementKey() {
        auto token = libapdu::CreateToken(std::make_unique<CSCardSender>(card, pcsc::kProtocolT1));
        token->Select(libapdu::kAppletHelix);
        libapdu::IAppPin& pin = *token->GetPin();
        pin.SelectPin(pin.GetUserPinRef());
        pin.VerifyPin(profile.userPin);
        libapdu::FileDescriptor descriptor;
        descriptor.kind = libapdu::kKeyObject;
        descriptor.size = 0x20;
        descriptor.access[0] = descriptor.access[1] = 0;
        descriptor.access[2] = 1;
        token->GetFS()->SelectPath({0x3F00, 0x3000, 0x3002});
        token->GetFS()->CreateFile(0x41, descriptor, {});
        token->GetFS()->SelectPath({0x3F00, 0x3000, 0x3002, 0x41});
        uint8_t algorithm = 0x11;
        token->GetCrypto()->GenerateKeyPair(&algorithm, 0);
    }
};

struct Derivation {
    std::vector<std::vector<uint8_t>> values;
    std::vector<BCryptBuffer> buffers;
    BCryptBufferDesc list{};
    CARD_DERIVE_KEY info{};
};

const WCHAR* const kKdfs[] = {BCRYPT_KDF_HASH,    BCRYPT_KDF_HMAC, BCRYPT_KDF_SP80056A_CONCAT,
                              BCRYPT_KDF_TLS_PRF, u"hash",         u""};

DWORD Derive(Host& host, Derivation& d) {
    d.info.pbDerivedKey = nullptr;
    d.info.cbDerivedKey = 0;
    return host.data.pfnCardDeriveKey(&host.data, &d.info);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static Host host;  // one card and one agreement for the whole run
    if (size < 2) return 0;
    Derivation d;
    d.info.dwVersion = (data[0] & 0x80) != 0 ? CARD_DERIVE_KEY_VERSION_TWO : CARD_DERIVE_KEY_VERSION;
    d.info.pwszKDF = kKdfs[(data[0] & 0x7F) % std::size(kKdfs)];
    d.info.bSecretAgreementIndex = host.agreement;
    const uint8_t flags = data[1];
    if ((flags & 1) != 0) d.info.dwFlags |= KDF_USE_SECRET_AS_HMAC_KEY_FLAG;
    if ((flags & 2) != 0) d.info.dwFlags |= CARD_BUFFER_SIZE_ONLY;
    if ((flags & 4) != 0) d.info.dwFlags |= CARD_RETURN_KEY_HANDLE;
    const bool withList = (flags & 8) == 0;

    std::vector<bool> nulls;
    for (size_t at = 2; size - at >= 2;) {
        const uint8_t type = data[at];
        size_t length = data[at + 1];
        at += 2;
        if (length > size - at) length = size - at;
        d.values.emplace_back(data + at, data + at + length);
        d.buffers.push_back({static_cast<ULONG>(length), static_cast<ULONG>(type & 0x1F), nullptr});
        nulls.push_back((type & 0x80) != 0);
        at += length;
    }
    for (size_t i = 0; i < d.buffers.size(); ++i)
        d.buffers[i].pvBuffer = nulls[i] || d.values[i].empty() ? nullptr : d.values[i].data();
    d.list = {BCRYPTBUFFER_VERSION, static_cast<ULONG>(d.buffers.size()), d.buffers.data()};
    if (withList) d.info.pParameterList = &d.list;

    const DWORD status = Derive(host, d);
    if (status == SCARD_S_SUCCESS) {
        FUZZ_REQUIRE(d.info.cbDerivedKey != 0);
        if ((d.info.dwFlags & CARD_BUFFER_SIZE_ONLY) != 0) {
            FUZZ_REQUIRE(d.info.pbDerivedKey == nullptr);
        } else {
            fuzzhost::RequireInside(d.info.pbDerivedKey, d.info.cbDerivedKey);
            const ByteVector first(d.info.pbDerivedKey, d.info.pbDerivedKey + d.info.cbDerivedKey);
            fuzzhost::Free(d.info.pbDerivedKey);
            FUZZ_REQUIRE(Derive(host, d) == SCARD_S_SUCCESS);
            FUZZ_REQUIRE(ByteVector(d.info.pbDerivedKey, d.info.pbDerivedKey + d.info.cbDerivedKey) == first);
            fuzzhost::Free(d.info.pbDerivedKey);
        }
    }
    FUZZ_REQUIRE(fuzzhost::Live().empty());

    Derivation check;
    check.info.dwVersion = CARD_DERIVE_KEY_VERSION;
    check.info.dwFlags = CARD_BUFFER_SIZE_ONLY;
    check.info.pwszKDF = BCRYPT_KDF_HASH;
    check.info.bSecretAgreementIndex = host.agreement;
    FUZZ_REQUIRE(Derive(host, check) == SCARD_S_SUCCESS && check.info.cbDerivedKey == 20);
    return 0;
}
