#pragma once

#include "libapdu/libapdu.h"

namespace libapdu {

class CAppletHelix;

class CCryCommon : public IAppCrypto, public IAPDUDefinitions {};

class CCryHelix final : public CCryCommon {
public:
    explicit CCryHelix(CAppletHelix& applet);

private:
    CAppletHelix& m_applet;
};

}  // namespace libapdu
