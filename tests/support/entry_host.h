// A host with one card context over a simulated card, calling through the function table, with
// the steps of logon, challenge-response, PIN change and unblock that many tests take.
#pragma once

#include <openssl/evp.h>

#include <string>

#include "module_over_sim.h"
#include "openssl_ptr.h"

namespace moduletest {

inline ByteVector Ascii(const std::string& text) {
    return ByteVector(text.begin(), text.end());
}

// The host's buffers: the function table takes them writable.
struct Buffers {
    WCHAR user[5] = u"user";
    WCHAR admin[6] = u"admin";
    WCHAR userUpper[5] = u"User";
    WCHAR empty[1] = u"";
    BYTE bytes[25] = {'1', '2', '3', '4', '5', '6', '7', '8', '1', '2', '3', '4', '5',
                      '6', '7', '8', '1', '2', '3', '4', '5', '6', '7', '8', '9'};
    PBYTE out = nullptr;
    DWORD outSize = 0;
};

// The administrator's answer: 3DES-ECB of the challenge under the administrator key.
inline ByteVector Response(const ByteVector& key, const ByteVector& challenge) {
    ByteVector out(challenge.size() + 8);
    int length = 0;
    const ossl::CipherContext ctx(EVP_CIPHER_CTX_new());
    EVP_EncryptInit_ex(ctx.get(), EVP_des_ede3_ecb(), nullptr, key.data(), nullptr);
    EVP_CIPHER_CTX_set_padding(ctx.get(), 0);
    EVP_EncryptUpdate(ctx.get(), out.data(), &length, challenge.data(), static_cast<int>(challenge.size()));
    out.resize(static_cast<size_t>(length));
    return out;
}

// A host with one card context over the simulated card.
class EntryHost : public SimReader {
public:
    explicit EntryHost(const helixsim::Profile& profile = helixsim::DefaultProfile())
        : SimReader(kReader, profile), m_card(Record()) {}

    CARD_DATA& Card() { return *m_card; }

    struct Outcome {
        DWORD status;
        DWORD attempts;
    };
    Outcome Logon(const ByteVector& pin) {
        DWORD attempts = 0xEEEE;
        ByteVector copy = pin;
        const DWORD status = m_card->pfnCardAuthenticatePin(m_card.get(), m_names.user, copy.data(),
                                                            static_cast<DWORD>(copy.size()), &attempts);
        return {status, attempts};
    }
    ByteVector Challenge() {
        PBYTE data = nullptr;
        DWORD size = 0;
        EXPECT_EQ(m_card->pfnCardGetChallengeEx(m_card.get(), ROLE_ADMIN, &data, &size, 0), SCARD_S_SUCCESS);
        ByteVector out(data, data + size);
        moduletest::HostMemory::Free(data);
        return out;
    }
    ByteVector AdminResponse() { return Response(Profile().adminKey, Challenge()); }
    DWORD Change(const ByteVector& current, const ByteVector& next, PDWORD attempts = nullptr) {
        ByteVector a = current;
        ByteVector b = next;
        return m_card->pfnCardChangeAuthenticator(
            m_card.get(), m_names.user, a.data(), static_cast<DWORD>(a.size()), b.data(),
            static_cast<DWORD>(b.size()), 0, CARD_AUTHENTICATE_PIN_PIN, attempts);
    }
    DWORD Unblock(const ByteVector& newPin) {
        ByteVector response = AdminResponse();
        ByteVector pin = newPin;
        return m_card->pfnCardChangeAuthenticatorEx(m_card.get(), PIN_CHANGE_FLAG_UNBLOCK, ROLE_ADMIN,
                                                    response.data(), static_cast<DWORD>(response.size()),
                                                    ROLE_USER, pin.data(), static_cast<DWORD>(pin.size()), 0,
                                                    nullptr);
    }
    // A write that the card allows only once the user is verified.
    DWORD WriteAsUser() {
        char name[] = "cardid";
        BYTE content[16] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16};
        return m_card->pfnCardWriteFile(m_card.get(), nullptr, name, 0, content, sizeof content);
    }

private:
    Acquired m_card;
    Buffers m_names;
};

}  // namespace moduletest
