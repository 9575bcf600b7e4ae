#include <memory>

#include "card/card_context.h"
#include "channel/scard_sender.h"

namespace {

// T=0 or T=1: the sender's fallback when the reader cannot say which protocol is active.
constexpr DWORD kAnyProtocol = 3;

}  // namespace

void CCardContext::CreateChannel(PCARD_DATA pCardData) {
    m_token.reset();
    m_token = libapdu::CreateToken(std::make_unique<CSCardSender>(pCardData->hScard, kAnyProtocol));
}

void CCardContext::Reselect(PCARD_DATA pCardData) {
    // The administrator's authentication lives in the selected applet; selecting it again would drop it.
    if (m_login->AdminLoggedIn()) return;
    CreateChannel(pCardData);
    const CTransactionGuard transaction(pCardData->hScard);
    m_token->Select(libapdu::kAppletHelix);
}

std::unique_ptr<CTransactionGuard> CCardContext::SelectHeld(PCARD_DATA pCardData) {
    CreateChannel(pCardData);
    auto transaction = std::make_unique<CTransactionGuard>(pCardData->hScard);
    m_token->Select(libapdu::kAppletHelix);
    return transaction;
}

void CCardContext::ReselectWithPin(PCARD_DATA pCardData) {
    if (m_login->AdminLoggedIn()) return;
    CreateChannel(pCardData);
    const CTransactionGuard transaction(pCardData->hScard);
    m_token->Select(libapdu::kAppletHelix);
    ReverifyCachedPin();
}
