#include "libapdu/applet_helix.h"

#include "libapdu/apperror/error_helix.h"
#include "libapdu/apppack/pack_helix.h"

namespace libapdu {

CAppletHelix::CAppletHelix(ISender* sender) : IApplet(sender) {
    m_error = std::make_unique<CErrorHelix>();
    m_pack = std::make_unique<CPackHelix>(*this);
}

CAppletHelix::~CAppletHelix() = default;

ByteVector CAppletHelix::SelectCommand() {
    return {0x00, 0xA4, 0x04, 0x00, 0x0C, 0xA0, 0x00, 0x00, 0x01, 0x64, 'P', 'R', 'I', 'S', 'M', 0x00, 0x01};
}

void CAppletHelix::Select() {
    (void)Exchange(SelectCommand());
}

void CAppletHelix::Identify() {}

}  // namespace libapdu
