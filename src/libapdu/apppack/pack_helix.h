#pragma once

#include "libapdu/libapdu.h"

namespace libapdu {

class CAppletHelix;

class CPackCommon : public IAppPack, public IAPDUDefinitions {};

// Long commands in chained pieces, and commands carrying secrets under a one-shot secure
// channel (Diffie-Hellman, triple-DES cryptogram and CBC-MAC with a counter).
class CPackHelix final : public CPackCommon {
public:
    static constexpr size_t kPiece = 0xE0;

    explicit CPackHelix(CAppletHelix& applet) : m_applet(applet) {}

    void SecureSend(const ByteVector& command, ByteVector& answer) override;
    void ChainedSend(const ByteVector& command, ByteVector& answer) override;

private:
    // Appends the data of `response` and of every GET RESPONSE its status asks for; returns the
    // final status word.
    uint16_t Collect(ByteVector response, ByteVector& answer);

    CAppletHelix& m_applet;
};

}  // namespace libapdu
