// The one object that talks to the reader: transmits command APDUs through PC/SC, completes
// each exchange at transport level and logs every command and response.
#pragma once

#include "libapdu/isender.h"
#include "libapdu/token/apdu.h"
#include "platform/win32.h"

class CSCardSender final : public libapdu::ISender {
public:
    static constexpr size_t kMaxResponseRounds = libapdu::kMaxGetResponseRounds;
    static constexpr size_t kMaxResponseBytes = 65536;

    // `protocol` is the fallback when the reader cannot say which protocol is active.
    CSCardSender(SCARDHANDLE card, DWORD protocol);

    void Transmit(const libapdu::ByteVector& command, libapdu::ByteVector& response) override;
    libapdu::ByteVector GetATR() override;

private:
    // One SCardTransmit into `buffer`; returns the received bytes or throws after logging
    // `errorFormat` with the PC/SC result.
    libapdu::ByteSpan Exchange(const libapdu::ByteVector& command, libapdu::ByteVector& buffer,
                               const char* errorFormat);

    SCARDHANDLE m_card;
    DWORD m_protocol;
    bool m_atrRead = false;
    libapdu::ByteVector m_atr;
};
