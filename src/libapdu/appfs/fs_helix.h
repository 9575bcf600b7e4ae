#pragma once

#include "libapdu/libapdu.h"

namespace libapdu {

class CAppletHelix;

// Shared base of the file-system facets: ReadFile and WriteFile in pieces of MaxChunk bytes.
class CFSCommon : public IAppFS, public IAPDUDefinitions {
public:
    void ReadFile(ByteVector& buffer, uint32_t offset) override;
    void WriteFile(const ByteVector& data, uint32_t offset) override;

protected:
    virtual void ReadChunk(ByteVector& chunk, uint32_t offset) = 0;
    virtual void WriteChunk(const ByteVector& chunk, uint32_t offset) = 0;
    virtual uint16_t MaxChunk() = 0;
    virtual void DeleteSelected() = 0;
};

class CFSHelix final : public CFSCommon {
public:
    explicit CFSHelix(CAppletHelix& applet);

private:
    void ReadChunk(ByteVector& chunk, uint32_t offset) override;
    void WriteChunk(const ByteVector& chunk, uint32_t offset) override;
    uint16_t MaxChunk() override { return 0xFF; }
    void DeleteSelected() override;

    CAppletHelix& m_applet;
};

}  // namespace libapdu
