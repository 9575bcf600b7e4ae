#include "entry/call_frame.h"

#include <map>
#include <new>

#include "libapdu/token/failure.h"

namespace entry {

namespace {

// Constant-initialised, so it exists before any host can call, and lives until unload.
std::mutex g_callLock;

using ContextTable = std::map<const void*, std::unique_ptr<CCardContext>>;

ContextTable& Contexts() {
    static ContextTable contexts;
    return contexts;
}

// The value is the 32-bit code, shown without sign extension. A thrown 0 is how the TLV readers
// report an element that is malformed or missing: a failure of unknown kind, never a success.
DWORD LoggedException(DWORD code) noexcept {
    if (code == 0) {
        MdLog("Unknown failure.");
        return ERROR_GEN_FAILURE;
    }
    MdLog("Exception: %llx", static_cast<uint64_t>(code));
    return code;
}

}  // namespace

std::mutex& CallLock() noexcept {
    return g_callLock;
}

void* Adopt(std::unique_ptr<CCardContext> context) {
    const void* key = context.get();
    Contexts().emplace(key, std::move(context));
    return const_cast<void*>(key);
}

CCardContext* Find(const void* vendorSpecific) noexcept {
    const auto found = Contexts().find(vendorSpecific);
    return found == Contexts().end() ? nullptr : found->second.get();
}

std::unique_ptr<CCardContext> Release(const void* vendorSpecific) noexcept {
    const auto found = Contexts().find(vendorSpecific);
    if (found == Contexts().end()) return nullptr;
    std::unique_ptr<CCardContext> context = std::move(found->second);
    Contexts().erase(found);
    return context;
}

CCardContext& ContextOf(const CARD_DATA& cardData) {
    CCardContext* context = Find(cardData.pvVendorSpecific);
    if (context == nullptr) ThrowStatus(SCARD_E_INVALID_HANDLE);
    return *context;
}

DWORD CallFailure() noexcept {
    try {
        throw;
    } catch (StatusCode code) {
        return LoggedException(static_cast<DWORD>(code));
    } catch (const CAException& e) {
        return LoggedException(e.Code());
    } catch (...) {
        MdLog("Unknown failure.");
        return ERROR_GEN_FAILURE;
    }
}

DWORD AcquireFailure() noexcept {
    try {
        throw;
    } catch (StatusCode code) {
        return LoggedException(static_cast<DWORD>(code));
    } catch (const CAException& e) {
        return LoggedException(e.Code());
    } catch (const std::bad_alloc&) {
        return LoggedException(SCARD_E_NO_MEMORY);
    } catch (...) {
        return LoggedException(SCARD_E_UNEXPECTED);
    }
}

}  // namespace entry
