// A PC/SC card transaction held for one stretch of card work. Taken under the call lock, so the
// order is always: call lock, then card transaction.
#pragma once

#include <cstdint>
#include <functional>

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

// Lets an outside component use the reader while the module waits: ends the host's transaction,
// names the reader to `component`, then takes the card back, reconnecting once if it was reset
// meanwhile. The transaction taken back stays open, in place of the host's. The component's
// answer 1 is thrown as SCARD_W_CANCELLED_BY_USER; any other non-zero answer, or a card not
// regained, as SCARD_E_UNEXPECTED. `component` must not throw.
void HandOverCard(SCARDHANDLE card,
                  const std::function<uint32_t(const char* reader, DWORD readerLength)>& component);
