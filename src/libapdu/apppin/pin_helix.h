#pragma once

#include "libapdu/libapdu.h"

namespace libapdu {

class CAppletHelix;

class CPinCommon : public IAppPin, public IAPDUDefinitions {
protected:
    virtual void LoadPinInfo() = 0;
};

class CPinHelix final : public CPinCommon {
public:
    explicit CPinHelix(CAppletHelix& applet);

private:
    void LoadPinInfo() override;

    CAppletHelix& m_applet;
};

}  // namespace libapdu
