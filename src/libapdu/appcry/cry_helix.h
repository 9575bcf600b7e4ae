#pragma once

#include <map>

#include "libapdu/appcry/cry_finder.h"
#include "libapdu/libapdu.h"

namespace libapdu {

class CAppletHelix;

class CCryCommon : public IAppCrypto, public IAPDUDefinitions {};

// The Helix keys: key objects in the key directory, each with a private-key file beside it and
// a certificate object in the certificate directory.
class CCryHelix final : public CCryCommon {
public:
    explicit CCryHelix(CAppletHelix& applet);

    void SelectKeyObject(CardPath path) override;
    void ImportKey(uint16_t keyObjectId, KeyRecord key) override;
    KeyObjectInfo GetKeyObjectInfo() override { return m_record; }
    ByteVector Decipher(const ByteVector& input) override;
    void GenerateKeyPair(const uint8_t* parameter, uint32_t unused) override;
    ByteVector Sign(uint8_t keyReference, const ByteVector& auxiliary, const ByteVector& data,
                    bool raw) override;
    SecretBytes AgreeKey(const ByteVector& peerPublic, const ByteVector& auxiliary, uint8_t keyIndex,
                         bool flag) override;
    AlgorithmInfo GetAlgorithmInfo(uint16_t algorithm) override;

private:
    KeyObjectInfo ReadKeyObject(uint8_t nn);
    void ReadPublicKey(KeyObjectInfo& record);
    std::vector<uint16_t> RsaLengths();
    std::vector<uint16_t> EcLengths();
    // The answer to a capability query, at least `minimum` bytes long.
    ByteVector Capabilities(uint8_t p2, uint8_t length, size_t minimum, const char16_t* where);
    uint8_t UserPinId();

    CAppletHelix& m_applet;
    CCryFinder m_finder;
    // Learnt once per algorithm: the card's capabilities do not change under the facet.
    std::map<uint16_t, AlgorithmInfo> m_algorithms;
    KeyObjectInfo m_record;
};

}  // namespace libapdu
