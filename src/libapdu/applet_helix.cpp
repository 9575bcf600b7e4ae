#include "libapdu/applet_helix.h"

#include "libapdu/appbio/bio_helix.h"
#include "libapdu/appcry/cry_helix.h"
#include "libapdu/apperror/error_helix.h"
#include "libapdu/appfs/fs_helix.h"
#include "libapdu/appinfo/info_helix.h"
#include "libapdu/applabel/label_helix.h"
#include "libapdu/apppack/pack_helix.h"
#include "libapdu/apppin/pin_helix.h"
#include "libapdu/commands_helix.h"

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

void CAppletHelix::Select() {
    (void)Exchange(helix::SelectApplet());
}

void CAppletHelix::Identify() {
    m_pin->Logout();
    // The configuration file must hold at least 98 bytes, and byte 0x61 names a layout of at least 4.
    m_fs->SelectPath({kMasterFile, 0x3000, 0xC000});
    const FileDescriptor configuration = m_fs->GetFileInfo();
    if (configuration.size < 0x62) ThrowAPDUException(sw::kExecutionError, u"IApplet::Identify", __LINE__);
    ByteVector content(configuration.size);
    m_fs->ReadFile(content, 0);
    if (content[0x61] < 4) ThrowAPDUException(sw::kExecutionError, u"IApplet::Identify", __LINE__);
    (void)m_info->Constant2();
    m_helixFS->SetAttributeSubstitute(static_cast<uint8_t>(m_bio->GetUserAuthKind()));
}

}  // namespace libapdu
