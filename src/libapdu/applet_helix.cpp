#include "libapdu/applet_helix.h"

#include "libapdu/appbio/bio_helix.h"
#include "libapdu/appcry/cry_helix.h"
#include "libapdu/apperror/error_helix.h"
#include "libapdu/appfs/fs_helix.h"
#include "libapdu/appinfo/info_helix.h"
#include "libapdu/applabel/label_helix.h"
#include "libapdu/apppack/pack_helix.h"
#include "libapdu/apppin/pin_helix.h"

namespace libapdu {

CAppletHelix::CAppletHelix(ISender* sender) : IApplet(sender) {
    m_error = std::make_unique<CErrorHelix>();
    m_bio = std::make_unique<CBioHelix>(*this);
    m_pin = std::make_unique<CPinHelix>(*this);
    m_info = std::make_unique<CInfoHelix>(*this);
    m_label = std::make_unique<CLabelHelix>(*this);
    m_pack = std::make_unique<CPackHelix>(*this);
    m_crypto = std::make_unique<CCryHelix>(*this);
    auto fs = std::make_unique<CFSHelix>(*this);
    m_helixFS = fs.get();
    m_fs = std::move(fs);
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
