#include "channel/transaction.h"

#include <string>

#include "channel/pcsc.h"
#include "libapdu/token/failure.h"

CTransactionGuard::CTransactionGuard(SCARDHANDLE card) : m_card(card) {
    if (pcsc::BeginTransaction(m_card) != SCARD_S_SUCCESS) ThrowStatus(SCARD_E_UNEXPECTED);
}

CTransactionGuard::~CTransactionGuard() {
    (void)pcsc::EndTransaction(m_card, pcsc::kLeaveCard);
}

namespace {

// The first status call presets this many characters for the name it only measures.
constexpr DWORD kNameLengthProbe = 200;
// More than any reader name; a larger length from the resource manager is not believed.
constexpr DWORD kLongestName = 4096;
constexpr uint32_t kCancelled = 1;

}  // namespace

void HandOverCard(SCARDHANDLE card,
                  const std::function<uint32_t(const char* reader, DWORD readerLength)>& component) {
    (void)pcsc::EndTransaction(card, pcsc::kLeaveCard);

    DWORD length = kNameLengthProbe;
    (void)pcsc::ReaderName(card, nullptr, &length);
    if (length > kLongestName) length = kLongestName;
    std::string reader(length, '\0');
    (void)pcsc::ReaderName(card, reader.data(), &length);
    if (length > reader.size()) length = static_cast<DWORD>(reader.size());

    const uint32_t result = component(reader.c_str(), length);

    DWORD taken = pcsc::BeginTransaction(card);
    if (taken != SCARD_S_SUCCESS) {
        DWORD protocol = 0;
        (void)pcsc::Reconnect(card, pcsc::kLeaveCard, &protocol);
        taken = pcsc::BeginTransaction(card);
    }
    if (result == kCancelled) ThrowStatus(SCARD_W_CANCELLED_BY_USER);
    if (result != 0 || taken != SCARD_S_SUCCESS) ThrowStatus(SCARD_E_UNEXPECTED);
}
