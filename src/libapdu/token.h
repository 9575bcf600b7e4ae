#pragma once

#include <memory>

#include "libapdu/libapdu.h"

namespace libapdu {

class CToken final : public IToken {
public:
    explicit CToken(std::unique_ptr<ISender> sender);
    ~CToken() override;
    CToken(const CToken&) = delete;
    CToken& operator=(const CToken&) = delete;

    bool Probe(uint16_t appletId) override;
    void SelectAndIdentify(uint16_t appletId) override;
    void Select(uint16_t appletId) override;
    void CreateApplet(uint16_t appletId) override;
    void AppletCommand(uint32_t argument) override;
    IAppFS* GetFS() override;
    IAppPin* GetPin() override;
    IAppInfo* GetInfo() override;
    IAppLabel* GetLabel() override;
    IAppCrypto* GetCrypto() override;
    IAppBio* GetBio() override;
    IAppSession* GetSession() override;
    IAppError* GetError() override;

private:
    IApplet& RequireApplet() const;
    template <class Facet>
    Facet* RequireFacet(Facet* facet, const char16_t* where) const;

    // The applet goes before the sender it borrows.
    std::unique_ptr<ISender> m_sender;
    std::unique_ptr<IApplet> m_applet;
};

}  // namespace libapdu
