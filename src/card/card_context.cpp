#include "card/card_context.h"

#include "libapdu/token/failure.h"

CCardContext::CCardContext() : m_login(std::make_shared<TLoginState>()) {}

CCardContext::~CCardContext() = default;

libapdu::IToken& CCardContext::Token() {
    if (!m_token) ThrowStatus(SCARD_E_UNEXPECTED);
    return *m_token;
}

void CCardContext::Delete(PCARD_DATA /*pCardData*/) {
    m_token.reset();
    m_agreements.clear();
    m_ContIdx.clear();
    m_cardid.clear();
    m_cardcf.clear();
    // Swapping hands the old buffer back to its wiping allocator.
    libapdu::SecretBytes().swap(m_login->cachedPin);
}

void CCardContext::QueryCapabilities(PCARD_DATA /*pCardData*/, PCARD_CAPABILITIES pCardCapabilities) {
    if (pCardCapabilities == nullptr) ThrowStatus(SCARD_E_INVALID_PARAMETER);
    if (pCardCapabilities->dwVersion > 1) ThrowStatus(ERROR_REVISION_MISMATCH);
    pCardCapabilities->dwVersion = 1;
    pCardCapabilities->fCertificateCompression = TRUE;
    pCardCapabilities->fKeyGen = TRUE;
}
