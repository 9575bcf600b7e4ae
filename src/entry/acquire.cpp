#include <algorithm>
#include <memory>

#include "entry/call_frame.h"
#include "entry/call_lines.h"

namespace {

// Binds a new card context to the record; nothing is stored unless initialisation succeeded.
DWORD StartContext(CARD_DATA& cardData) noexcept {
    const DWORD requested = cardData.dwVersion;
    try {
        auto context = std::make_unique<CCardContext>();
        context->Initialise(&cardData);
        cardData.pvVendorSpecific = entry::Adopt(std::move(context));
        entry::InstallCardTable(cardData, requested);
        return SCARD_S_SUCCESS;
    } catch (...) {
        return entry::AcquireFailure();
    }
}

}  // namespace

extern "C" DWORD WINAPI CardAcquireContext(PCARD_DATA pCardData, DWORD dwFlags) {
    const std::lock_guard<std::mutex> hold(entry::CallLock());
    if (pCardData == nullptr) return SCARD_E_INVALID_PARAMETER;
    CARD_DATA& cardData = *pCardData;
    entry::LogCall(cardData, entry::lines::kAcquireContext, dwFlags);
    const bool noCard = dwFlags == CARD_SECURE_KEY_INJECTION_NO_CARD_MODE;
    if (!noCard && (cardData.hSCardCtx == 0 || cardData.hScard == 0)) return SCARD_E_INVALID_HANDLE;

    MdLog(entry::lines::kAcquireProcess, platform::ProcessName(), platform::ProcessId(), platform::ThreadId(),
          static_cast<DWORD>(cardData.hSCardCtx), static_cast<DWORD>(cardData.hScard));
    if (cardData.dwVersion < CARD_DATA_VERSION_FOUR) return ERROR_REVISION_MISMATCH;
    if (dwFlags != 0) {
        // Key injection without a card is a version 7 mode only.
        if (!noCard || cardData.dwVersion != CARD_DATA_VERSION_SEVEN) return SCARD_E_INVALID_PARAMETER;
        entry::InstallNoCardTable(cardData);
    } else {
        const DWORD status = StartContext(cardData);
        if (status != SCARD_S_SUCCESS) return status;
    }
    cardData.dwVersion = std::min<DWORD>(cardData.dwVersion, CARD_DATA_CURRENT_VERSION);
    return SCARD_S_SUCCESS;
}
