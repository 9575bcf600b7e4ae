#include "mdhost/readers.h"

#include <stdexcept>

#include "mdhost/pcsc_client.h"
#include "mdhost/status_names.h"

namespace mdhost {

CPcscReader::CPcscReader(const std::string& reader) : m_reader(reader) {
    const pcscclient::Opened context = pcscclient::EstablishContext();
    if (context.rv != SCARD_S_SUCCESS)
        throw std::runtime_error("no PC/SC service: " + StatusText(context.rv));
    m_context = context.handle;
    const pcscclient::Opened card = pcscclient::Connect(m_context, reader);
    if (card.rv != SCARD_S_SUCCESS) {
        (void)pcscclient::ReleaseContext(m_context);
        throw std::runtime_error("cannot connect to \"" + reader + "\": " + StatusText(card.rv));
    }
    m_card = card.handle;
}

CPcscReader::~CPcscReader() {
    (void)Close();
}

DWORD CPcscReader::Atr(Bytes& atr) {
    return pcscclient::Status(m_card, atr);
}

DWORD CPcscReader::Reconnect() {
    return pcscclient::Reconnect(m_card, pcscclient::kLeaveCard);
}

// A second connection of the same process stands in for the other application.
DWORD CPcscReader::ResetByAnotherApplication() {
    const pcscclient::Opened other = pcscclient::Connect(m_context, m_reader);
    if (other.rv != SCARD_S_SUCCESS) return other.rv;
    const DWORD rv = pcscclient::Reconnect(other.handle, pcscclient::kResetCard);
    (void)pcscclient::Disconnect(other.handle, pcscclient::kLeaveCard);
    return rv;
}

bool CPcscReader::BeginTransaction() {
    return pcscclient::BeginTransaction(m_card) == SCARD_S_SUCCESS;
}

void CPcscReader::EndTransaction() {
    (void)pcscclient::EndTransaction(m_card, pcscclient::kLeaveCard);
}

DWORD CPcscReader::Close() {
    if (m_context == 0) return SCARD_S_SUCCESS;
    const DWORD rv = pcscclient::Disconnect(m_card, pcscclient::kLeaveCard);
    (void)pcscclient::ReleaseContext(m_context);
    m_card = 0;
    m_context = 0;
    return rv;
}

namespace {

template <class F>
F Required(const os::CLibrary& library, const char* name) {
    const F function = library.Function<F>(name);
    if (function == nullptr)
        throw std::runtime_error(std::string("the module has no embedded card (no ") + name + ")");
    return function;
}

}  // namespace

SimHostApi::SimHostApi(const os::CLibrary& library)
    : openCard(Required<PFN_HELIX_SIM_OPEN_CARD>(library, "HelixSimOpenCard")),
      closeCard(Required<PFN_HELIX_SIM_CLOSE_CARD>(library, "HelixSimCloseCard")),
      status(Required<PFN_HELIX_SIM_STATUS>(library, "HelixSimStatus")),
      reconnect(Required<PFN_HELIX_SIM_RECONNECT>(library, "HelixSimReconnect")),
      resetCard(Required<PFN_HELIX_SIM_RESET_CARD>(library, "HelixSimResetCard")),
      commandCount(Required<PFN_HELIX_SIM_COMMAND_COUNT>(library, "HelixSimCommandCount")),
      lastError(Required<PFN_HELIX_SIM_LAST_ERROR>(library, "HelixSimLastError")),
      addFault(library.Function<PFN_HELIX_SIM_ADD_FAULT>("HelixSimAddFault")) {}

CEmbeddedReader::CEmbeddedReader(const os::CLibrary& library, const std::string& profile,
                                 const std::string& imagePath)
    : m_api(library), m_imagePath(imagePath) {
    const DWORD rv = m_api.openCard(profile.c_str(), imagePath.c_str(), &m_context, &m_card);
    if (rv != SCARD_S_SUCCESS) throw std::runtime_error(LastError());
    m_open = true;
}

CEmbeddedReader::~CEmbeddedReader() {
    (void)Close();
}

DWORD CEmbeddedReader::Atr(Bytes& atr) {
    BYTE buffer[36];
    DWORD length = sizeof buffer;
    DWORD protocol = 0;
    const DWORD rv = m_api.status(m_card, buffer, &length, &protocol);
    if (rv == SCARD_S_SUCCESS) atr.assign(buffer, buffer + length);
    return rv;
}

DWORD CEmbeddedReader::Reconnect() {
    DWORD protocol = 0;
    return m_api.reconnect(m_card, 0, &protocol);
}

DWORD CEmbeddedReader::ResetByAnotherApplication() {
    return m_api.resetCard();
}

std::optional<uint64_t> CEmbeddedReader::CardCommands() {
    DWORD count = 0;
    if (m_api.commandCount(&count) != SCARD_S_SUCCESS) return std::nullopt;
    return count;
}

DWORD CEmbeddedReader::AddFault(const std::string& fault) const {
    return m_api.addFault == nullptr ? SCARD_E_UNSUPPORTED_FEATURE : m_api.addFault(fault.c_str());
}

DWORD CEmbeddedReader::Close() {
    if (!m_open) return SCARD_S_SUCCESS;
    m_open = false;
    return m_api.closeCard(m_context, m_card, m_imagePath.empty() ? nullptr : m_imagePath.c_str());
}

}  // namespace mdhost
