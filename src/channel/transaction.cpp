#include "channel/transaction.h"

#include "channel/pcsc.h"
#include "libapdu/token/failure.h"

CTransactionGuard::CTransactionGuard(SCARDHANDLE card) : m_card(card) {
    if (pcsc::BeginTransaction(m_card) != SCARD_S_SUCCESS) ThrowStatus(SCARD_E_UNEXPECTED);
}

CTransactionGuard::~CTransactionGuard() {
    (void)pcsc::EndTransaction(m_card, pcsc::kLeaveCard);
}
