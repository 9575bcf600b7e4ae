#pragma once

#include "libapdu/libapdu.h"

namespace libapdu {

class CAppletHelix;

class CInfoCommon : public IAppInfo, public IAPDUDefinitions {};

class CInfoHelix final : public CInfoCommon {
public:
    explicit CInfoHelix(CAppletHelix& applet) : m_applet(applet) {}

    void GetRandom(ByteVector& out, uint32_t count) override;
    bool Constant2() override { return false; }
    ByteVector GetData0003() override;
    ByteVector GetData0114() override;
    uint8_t Constant5() override { return 0xFF; }
    uint32_t GetFreeMemory() override;
    uint32_t GetTotalMemory() override;

private:
    // A query whose answer must be exactly `length` data bytes.
    ByteVector Query(const Command& command, size_t length);
    uint32_t Memory(uint8_t p2);

    CAppletHelix& m_applet;
};

}  // namespace libapdu
