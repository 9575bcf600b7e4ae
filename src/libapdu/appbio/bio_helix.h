#pragma once

#include "libapdu/libapdu.h"

namespace libapdu {

class CAppletHelix;

class CBioHelix final : public IAppBio, public IAPDUDefinitions {
public:
    explicit CBioHelix(CAppletHelix& applet) : m_applet(applet) {}

    // Plain VERIFY of a biometric authentication object: 00 20 00 id Lc value.
    void VerifyBiometric(uint8_t objectId, ByteSpan value) override;
    uint32_t GetUserAuthKind() override;

private:
    CAppletHelix& m_applet;
};

}  // namespace libapdu
