#include "libapdu/token.h"

#include "libapdu/applet_helix.h"
#include "libapdu/commands_helix.h"

namespace libapdu {

CToken::CToken(std::unique_ptr<ISender> sender)
    : m_sender(std::move(sender)), m_applet(std::make_unique<IApplet>(nullptr)) {}

CToken::~CToken() = default;

bool CToken::Probe(uint16_t appletId) {
    if (!m_sender) HELIX_NOT_SUPPORTED("IToken::Probe");
    // Only the Helix family is built into this library; the others are known by their rows.
    if (appletId != kAppletHelix) HELIX_NOT_SUPPORTED("IToken::Probe");
    ByteVector response;
    m_sender->Transmit(helix::SelectApplet().Encode(), response);
    return IAppError().StatusWord(response) == sw::kOk;
}

void CToken::CreateApplet(uint16_t appletId) {
    if (!m_sender || appletId != kAppletHelix) HELIX_NOT_SUPPORTED("IToken::CreateApplet");
    // Facet pointers handed out before die here, with the old applet.
    m_applet.reset();
    m_applet = std::make_unique<CAppletHelix>(m_sender.get());
}

void CToken::Select(uint16_t appletId) {
    CreateApplet(appletId);
    m_applet->Select();
}

void CToken::SelectAndIdentify(uint16_t appletId) {
    Select(appletId);
    m_applet->Identify();
}

void CToken::AppletCommand(uint32_t argument) {
    RequireApplet().FamilyCommand(argument);
}

IApplet& CToken::RequireApplet() const {
    if (!m_applet) ThrowAPDUException(sw::kNotAllowed, u"IToken::GetFacet", __LINE__);
    return *m_applet;
}

template <class Facet>
Facet* CToken::RequireFacet(Facet* facet, const char16_t* where) const {
    if (facet == nullptr) ThrowAPDUException(sw::kNotSupported, where, __LINE__);
    return facet;
}

IAppFS* CToken::GetFS() {
    return RequireFacet(RequireApplet().FS(), u"IToken::GetFS");
}
IAppPin* CToken::GetPin() {
    return RequireFacet(RequireApplet().Pin(), u"IToken::GetPin");
}
IAppInfo* CToken::GetInfo() {
    return RequireFacet(RequireApplet().Info(), u"IToken::GetInfo");
}
IAppLabel* CToken::GetLabel() {
    return RequireFacet(RequireApplet().Label(), u"IToken::GetLabel");
}
IAppCrypto* CToken::GetCrypto() {
    return RequireFacet(RequireApplet().Crypto(), u"IToken::GetCrypto");
}
IAppBio* CToken::GetBio() {
    return RequireFacet(RequireApplet().Bio(), u"IToken::GetBio");
}
IAppSession* CToken::GetSession() {
    return RequireFacet(RequireApplet().Session(), u"IToken::GetSession");
}
IAppError* CToken::GetError() {
    return RequireApplet().Error();
}

std::unique_ptr<IToken> CreateToken(std::unique_ptr<ISender> sender) {
    return std::make_unique<CToken>(std::move(sender));
}

}  // namespace libapdu
