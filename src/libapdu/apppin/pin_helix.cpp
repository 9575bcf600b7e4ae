#include "libapdu/apppin/pin_helix.h"

#include "libapdu/applet_helix.h"

namespace libapdu {

CPinHelix::CPinHelix(CAppletHelix& applet) : m_applet(applet) {}

void CPinHelix::LoadPinInfo() {
    HELIX_NOT_SUPPORTED("CPinHelix::LoadPinInfo");
}

}  // namespace libapdu
