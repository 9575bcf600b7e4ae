// A PC/SC card transaction held for one stretch of card work. Taken under the call lock, so the
// order is always: call lock, then card transaction.
#pragma once

#include "platform/win32.h"

class [[nodiscard]] CTransactionGuard {
public:
    // Begins the transaction; any failure is thrown as SCARD_E_UNEXPECTED (the PC/SC result
    // itself is not passed on).
    explicit CTransactionGuard(SCARDHANDLE card);
    // Ends it with SCARD_LEAVE_CARD; the result is ignored.
    ~CTransactionGuard();
    CTransactionGuard(const CTransactionGuard&) = delete;
    CTransactionGuard& operator=(const CTransactionGuard&) = delete;

private:
    SCARDHANDLE m_card;
};
