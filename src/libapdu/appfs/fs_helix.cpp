#include "libapdu/appfs/fs_helix.h"

#include "libapdu/applet_helix.h"

namespace libapdu {

CFSHelix::CFSHelix(CAppletHelix& applet) : m_applet(applet) {}

void CFSHelix::ReadChunk(ByteVector& /*chunk*/, uint32_t /*offset*/) {
    HELIX_NOT_SUPPORTED("CFSHelix::ReadChunk");
}

void CFSHelix::WriteChunk(const ByteVector& /*chunk*/, uint32_t /*offset*/) {
    HELIX_NOT_SUPPORTED("CFSHelix::WriteChunk");
}

void CFSHelix::DeleteSelected() {
    HELIX_NOT_SUPPORTED("CFSHelix::DeleteSelected");
}

}  // namespace libapdu
