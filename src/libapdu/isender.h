// The card channel as the token library sees it.
#pragma once

#include "libapdu/token/bytes.h"

namespace libapdu {

class ISender {
public:
    // Sends one command APDU and fills `response` with the whole response data followed by the
    // final status word. Transport-level continuation (61xx, 6Cxx) is the sender's business.
    virtual void Transmit(const ByteVector& command, ByteVector& response) = 0;
    virtual ByteVector GetATR() = 0;
    // A slot kept for channels of other card families; not supported by default.
    virtual void Reserved();
    virtual ~ISender() = default;

protected:
    ISender() = default;
    ISender(const ISender&) = default;
    ISender& operator=(const ISender&) = default;
};

}  // namespace libapdu
