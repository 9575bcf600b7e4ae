#include "libapdu/libapdu.h"

namespace libapdu {

IApplet::IApplet(ISender* sender)
    : m_sender(sender),
      m_error(std::make_unique<IAppError>()),
      m_pack(std::make_unique<IAppPack>()),
      m_fs(std::make_unique<IAppFS>()),
      m_pin(std::make_unique<IAppPin>()),
      m_info(std::make_unique<IAppInfo>()),
      m_label(std::make_unique<IAppLabel>()),
      m_crypto(std::make_unique<IAppCrypto>()),
      m_bio(std::make_unique<IAppBio>()),
      m_session(std::make_unique<IAppSession>()) {}

IApplet::~IApplet() = default;

ByteVector IApplet::Transmit(const ByteVector& command) {
    if (m_sender == nullptr) HELIX_NOT_SUPPORTED("IApplet::Send");
    ByteVector response;
    m_sender->Transmit(command, response);
    return response;
}

ByteVector IApplet::Send(const Command& command) {
    ByteVector encoded = command.Encode();
    try {
        ByteVector response = Transmit(encoded);
        Wipe(encoded);
        return response;
    } catch (...) {
        Wipe(encoded);
        throw;
    }
}

ByteVector IApplet::Exchange(const Command& command) {
    ByteVector response = Send(command);
    m_error->CheckResponse(response);
    response.resize(response.size() - 2);
    return response;
}

}  // namespace libapdu
