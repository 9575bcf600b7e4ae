#include "libapdu/appbio/bio_helix.h"

#include "libapdu/applet_helix.h"
#include "libapdu/token/tlv.h"

namespace libapdu {

void CBioHelix::VerifyBiometric(uint8_t objectId, ByteSpan value) {
    if (value.size > 0xFF) ThrowAPDUException(kBadCommand, u"IAppBio::VerifyBiometric", __LINE__);
    SecretBytes command{kClaIso, 0x20, 0x00, objectId, static_cast<uint8_t>(value.size)};
    command.insert(command.end(), value.begin(), value.end());
    ByteVector plain(command.begin(), command.end());
    ByteVector response = m_applet.Send(plain);
    Wipe(plain);
    m_applet.Error()->CheckResponse(response);
}

uint32_t CBioHelix::GetUserAuthKind() {
    // The application directory's security attributes name the object that guards it.
    const ByteVector fcp =
        m_applet.Exchange({0x80, 0xA4, 0x08, 0x0C, 0x06, 0x3F, 0x00, 0x30, 0x00, 0x30, 0x02, 0x00});
    const ParsedTlv attributes = FindBerTlv(FindBerTlv(fcp, 0x62).Value(), 0x86);
    if (attributes.length < 2) return 0;
    const uint8_t id = attributes.Value()[1];
    return (id == 0x20 || id == 0x23 || id == 0x24 || id == 0x25) ? id : 0;
}

}  // namespace libapdu
