// Where the card is: a real reader through PC/SC, or the card embedded in the module built with
// the simulator. Either way the host gets a context and a card handle to put in CARD_DATA, the
// ATR, and the reconnection the Windows stack performs after a reset.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "mdhost/host_os.h"
#include "platform/win32.h"
#include "simhost/helix_sim_host.h"

namespace mdhost {

using Bytes = std::vector<uint8_t>;

class ICardReader {
public:
    virtual ~ICardReader() = default;

    virtual std::string Name() const = 0;
    virtual SCARDCONTEXT Context() const = 0;
    virtual SCARDHANDLE Card() const = 0;
    virtual DWORD Atr(Bytes& atr) = 0;
    // SCardReconnect of the host's handle, shared, T=0 or T=1, leaving the card as it is.
    virtual DWORD Reconnect() = 0;
    // Another application resets the card: the host's handle misses the reset until it reconnects.
    virtual DWORD ResetByAnotherApplication() = 0;
    // Commands the card itself has received, where the card can tell.
    virtual std::optional<uint64_t> CardCommands() = 0;
    // The host's card transaction; false when it did not begin.
    virtual bool BeginTransaction() = 0;
    virtual void EndTransaction() = 0;
    // Lets the card go; reports what went wrong on the way (for example an image not saved).
    virtual DWORD Close() = 0;
};

// A reader of the PC/SC service. Throws std::runtime_error when the reader cannot be reached.
class CPcscReader final : public ICardReader {
public:
    explicit CPcscReader(const std::string& reader);
    ~CPcscReader() override;
    CPcscReader(const CPcscReader&) = delete;
    CPcscReader& operator=(const CPcscReader&) = delete;

    std::string Name() const override { return m_reader; }
    SCARDCONTEXT Context() const override { return m_context; }
    SCARDHANDLE Card() const override { return m_card; }
    DWORD Atr(Bytes& atr) override;
    DWORD Reconnect() override;
    DWORD ResetByAnotherApplication() override;
    std::optional<uint64_t> CardCommands() override { return std::nullopt; }
    bool BeginTransaction() override;
    void EndTransaction() override;
    DWORD Close() override;

private:
    std::string m_reader;
    SCARDCONTEXT m_context = 0;
    SCARDHANDLE m_card = 0;
};

// The host functions of a module built with an embedded card.
struct SimHostApi {
    explicit SimHostApi(const os::CLibrary& library);

    PFN_HELIX_SIM_OPEN_CARD openCard;
    PFN_HELIX_SIM_CLOSE_CARD closeCard;
    PFN_HELIX_SIM_STATUS status;
    PFN_HELIX_SIM_RECONNECT reconnect;
    PFN_HELIX_SIM_RESET_CARD resetCard;
    PFN_HELIX_SIM_COMMAND_COUNT commandCount;
    PFN_HELIX_SIM_LAST_ERROR lastError;
    PFN_HELIX_SIM_ADD_FAULT addFault;  // null in a module without faults
};

// The embedded card: loaded from `imagePath` when that file exists, else a new card of
// `profile`; saved back to `imagePath` (when given) by Close.
class CEmbeddedReader final : public ICardReader {
public:
    CEmbeddedReader(const os::CLibrary& library, const std::string& profile, const std::string& imagePath);
    ~CEmbeddedReader() override;
    CEmbeddedReader(const CEmbeddedReader&) = delete;
    CEmbeddedReader& operator=(const CEmbeddedReader&) = delete;

    std::string Name() const override { return "embedded card"; }
    SCARDCONTEXT Context() const override { return m_context; }
    SCARDHANDLE Card() const override { return m_card; }
    DWORD Atr(Bytes& atr) override;
    DWORD Reconnect() override;
    DWORD ResetByAnotherApplication() override;
    std::optional<uint64_t> CardCommands() override;
    // The embedded card has no other host to keep away.
    bool BeginTransaction() override { return false; }
    void EndTransaction() override {}
    DWORD Close() override;
    // A fault as --fault spells it, N counted from the card's next command.
    DWORD AddFault(const std::string& fault) const;

    const SimHostApi& Api() const { return m_api; }
    // The simulator's words for its last failure.
    std::string LastError() const { return m_api.lastError(); }

private:
    SimHostApi m_api;
    std::string m_imagePath;
    SCARDCONTEXT m_context = 0;
    SCARDHANDLE m_card = 0;
    bool m_open = false;
};

}  // namespace mdhost
