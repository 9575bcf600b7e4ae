#pragma once

#include "libapdu/libapdu.h"

namespace libapdu {

class CAppletHelix;

class CLabelCommon : public IAppLabel, public IAPDUDefinitions {};

// The card label: the first 32 bytes of the configuration file 3F00/3000/C000, space padded.
class CLabelHelix final : public CLabelCommon {
public:
    static constexpr size_t kLabelBytes = 32;

    explicit CLabelHelix(CAppletHelix& applet) : m_applet(applet) {}

    void ReadLabel(ByteVector& label) override;
    void WriteLabel(const ByteVector& label) override;
    uint8_t Constant3() override { return 3; }

private:
    CAppletHelix& m_applet;
};

}  // namespace libapdu
