// What every entry point shares: the process-wide call lock, the contexts this module handed
// out, the call's log line and the one place where a failure becomes a return code.
#pragma once

#include <memory>
#include <mutex>

#include "card/card_context.h"
#include "log/mdlog.h"
#include "platform/minidriver.h"
#include "platform/platform.h"

namespace entry {

// One card-module method at a time in the whole process, whatever the number of contexts.
// Not recursive: no entry point calls another.
std::mutex& CallLock() noexcept;

// The contexts created by CardAcquireContext and not yet released. A pointer the host hands
// back is used only when it is one of them. All three run under the call lock.
void* Adopt(std::unique_ptr<CCardContext> context);
CCardContext* Find(const void* vendorSpecific) noexcept;
std::unique_ptr<CCardContext> Release(const void* vendorSpecific) noexcept;

// The context of a record, or SCARD_E_INVALID_HANDLE once it has been released.
CCardContext& ContextOf(const CARD_DATA& cardData);

// Writes a call line whose format starts with the process id, the thread id and the record's
// two handles, then `args`. Handles are shown in 32 bits, as the format's width says.
template <class... A>
void LogCall(const CARD_DATA& cardData, const char* format, const A&... args) noexcept {
    MdLog(format, platform::ProcessId(), platform::ThreadId(), static_cast<DWORD>(cardData.hSCardCtx),
          static_cast<DWORD>(cardData.hScard), args...);
}

// To be called inside a catch block of an entry point: logs the failure and returns its code
// (a thrown status code or CAException's code as it is, anything else ERROR_GEN_FAILURE).
DWORD CallFailure() noexcept;
// The same for CardAcquireContext, which has no generic failure: exhausted memory is
// SCARD_E_NO_MEMORY and anything unknown SCARD_E_UNEXPECTED, each logged with its code.
DWORD AcquireFailure() noexcept;

// The frame of a wrapped entry point: the call lock, the record check, the call's line (which
// `line` writes, or not), then `body` with every failure mapped.
template <class Writer, class Body>
DWORD Framed(PCARD_DATA cardData, Writer&& line, Body&& body) noexcept {
    const std::lock_guard<std::mutex> hold(CallLock());
    if (cardData == nullptr) return SCARD_E_INVALID_PARAMETER;
    line(*cardData);
    try {
        body(*cardData);
    } catch (...) {
        return CallFailure();
    }
    return SCARD_S_SUCCESS;
}

// Slots of the function table, filled up to `version` (normal mode) or for the key-injection
// mode without a card.
void InstallCardTable(CARD_DATA& cardData, DWORD version) noexcept;
void InstallNoCardTable(CARD_DATA& cardData) noexcept;

}  // namespace entry
