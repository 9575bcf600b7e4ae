#include "libapdu/appcry/cry_helix.h"

#include "libapdu/applet_helix.h"

namespace libapdu {

CCryHelix::CCryHelix(CAppletHelix& applet) : m_applet(applet) {}

}  // namespace libapdu
