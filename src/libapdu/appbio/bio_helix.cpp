#include "libapdu/appbio/bio_helix.h"

#include "libapdu/applet_helix.h"
#include "libapdu/commands_helix.h"
#include "libapdu/token/tlv.h"

namespace libapdu {

void CBioHelix::VerifyBiometric(uint8_t objectId, ByteSpan value) {
    if (value.size > 0xFF) ThrowAPDUException(sw::kWrongParameters, u"IAppBio::VerifyBiometric", __LINE__);
    (void)m_applet.Exchange(helix::Verify(objectId, value));
}

uint32_t CBioHelix::GetUserAuthKind() {
    // The application directory's security attributes name the object that guards it.
    const ByteVector fcp = m_applet.Exchange(helix::SelectPath(ApplicationDirectory()));
    const ParsedTlv attributes = FindBerTlv(FindBerTlv(fcp, 0x62).Value(), 0x86);
    if (attributes.length < 2) return 0;
    const uint8_t id = attributes.Value()[1];
    return (id == 0x20 || id == 0x23 || id == 0x24 || id == 0x25) ? id : 0;
}

}  // namespace libapdu
