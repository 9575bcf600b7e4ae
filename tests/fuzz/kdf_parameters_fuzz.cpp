// CardDeriveKey with any parameter list a host may pass, over a real agreement: the user is logged
// on to the simulated card, a P-256 key generated in container 0 and one agreement is made once
// per process. Each input is a KDF name choice, flags and a list of buffers. Every call returns
// a status; a derived key is as long as the call says, inside the host's buffer and the same
// when derived again; the agreement survives every call.
// Input: KDF byte, flags byte, then buffers of a type byte (bit 7: a null pointer), a length byte
// and the bytes.
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <memory>
#include <vector>

#include "channel/pcsc.h"
#include "fuzz_check.h"
#include "helixsim/card.h"
#include "pcsc/sim_readers.h"
#include "platform/minidriver.h"

namespace {

using ByteVector = std::vector<uint8_t>;

const char* const kReader = "Fuzz Sim 0";

struct Host {
    helixsim::Profile profile = helixsim::DefaultProfile();
    SCARDCONTEXT context = 0;
    SCARDHANDLE card = 0;
    CARD_DATA data{};
    BYTE agreement = 0;

    Host() {
        helixsim::Readers::Instance().InsertCard(kReader, std::make_unique<helixsim::HelixCard>(profile));
        DWORD protocol = 0;
        FUZZ_REQUIRE(pcsc::EstablishContext(&context) == SCARD_S_SUCCESS);
        FUZZ_REQUIRE(pcsc::Connect(context, kReader, &card, &protocol) == SCARD_S_SUCCESS);
        data = fuzzhost::Record(profile.atr, context, card);
        FUZZ_REQUIRE(CardAcquireContext(&data, 0) == SCARD_S_SUCCESS);
        WCHAR user[] = u"user";
        ByteVector pin = profile.userPin;
        DWORD attempts = 0;
        FUZZ_REQUIRE(data.pfnCardAuthenticatePin(&data, user, pin.data(), static_cast<DWORD>(pin.size()),
                                                 &attempts) == SCARD_S_SUCCESS);
        FUZZ_REQUIRE(data.pfnCardCreateContainer(&data, 0, CARD_CREATE_CONTAINER_KEY_GEN, AT_ECDHE_P256, 256,
                                                 nullptr) == SCARD_S_SUCCESS);
        std::vector<BYTE> peer = fuzzhost::kPeerBlob;
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
    DWORD Derive(CARD_DERIVE_KEY& info) {
        info.bSecretAgreementIndex = agreement;
        info.pbDerivedKey = nullptr;
        info.cbDerivedKey = 0;
        return data.pfnCardDeriveKey(&data, &info);
    }
};

const WCHAR* const kKdfs[] = {BCRYPT_KDF_HASH,    BCRYPT_KDF_HMAC, BCRYPT_KDF_SP80056A_CONCAT,
                              BCRYPT_KDF_TLS_PRF, u"hash",         u""};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static Host host;  // one card and one agreement for the whole run
    if (size < 2) return 0;
    CARD_DERIVE_KEY info{};
    info.dwVersion = (data[0] & 0x80) != 0 ? CARD_DERIVE_KEY_VERSION_TWO : CARD_DERIVE_KEY_VERSION;
    info.pwszKDF = kKdfs[(data[0] & 0x7F) % std::size(kKdfs)];
    const uint8_t flags = data[1];
    if ((flags & 1) != 0) info.dwFlags |= KDF_USE_SECRET_AS_HMAC_KEY_FLAG;
    if ((flags & 2) != 0) info.dwFlags |= CARD_BUFFER_SIZE_ONLY;
    if ((flags & 4) != 0) info.dwFlags |= CARD_RETURN_KEY_HANDLE;

    std::vector<ByteVector> values;
    std::vector<BCryptBuffer> buffers;
    std::vector<bool> nulls;
    for (size_t at = 2; size - at >= 2;) {
        const uint8_t type = data[at];
        const size_t length = std::min<size_t>(data[at + 1], size - at - 2);
        values.emplace_back(data + at + 2, data + at + 2 + length);
        buffers.push_back({static_cast<ULONG>(length), static_cast<ULONG>(type & 0x1F), nullptr});
        nulls.push_back((type & 0x80) != 0);
        at += 2 + length;
    }
    for (size_t i = 0; i < buffers.size(); ++i)
        buffers[i].pvBuffer = nulls[i] || values[i].empty() ? nullptr : values[i].data();
    BCryptBufferDesc list{BCRYPTBUFFER_VERSION, static_cast<ULONG>(buffers.size()), buffers.data()};
    if ((flags & 8) == 0) info.pParameterList = &list;

    if (host.Derive(info) == SCARD_S_SUCCESS) {
        FUZZ_REQUIRE(info.cbDerivedKey != 0);
        if ((info.dwFlags & CARD_BUFFER_SIZE_ONLY) != 0) {
            FUZZ_REQUIRE(info.pbDerivedKey == nullptr);
        } else {
            fuzzhost::RequireInside(info.pbDerivedKey, info.cbDerivedKey);
            const ByteVector first(info.pbDerivedKey, info.pbDerivedKey + info.cbDerivedKey);
            fuzzhost::Free(info.pbDerivedKey);
            FUZZ_REQUIRE(host.Derive(info) == SCARD_S_SUCCESS);
            FUZZ_REQUIRE(ByteVector(info.pbDerivedKey, info.pbDerivedKey + info.cbDerivedKey) == first);
            fuzzhost::Free(info.pbDerivedKey);
        }
    }
    FUZZ_REQUIRE(fuzzhost::Live().empty());

    CARD_DERIVE_KEY check{};
    check.dwVersion = CARD_DERIVE_KEY_VERSION;
    check.dwFlags = CARD_BUFFER_SIZE_ONLY;
    check.pwszKDF = BCRYPT_KDF_HASH;
    FUZZ_REQUIRE(host.Derive(check) == SCARD_S_SUCCESS && check.cbDerivedKey == 20);
    return 0;
}
