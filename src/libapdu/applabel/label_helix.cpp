#include "libapdu/applabel/label_helix.h"

#include <algorithm>

#include "libapdu/applet_helix.h"

namespace libapdu {

namespace {
const CardPath kConfigurationFile{kMasterFile, 0x3000, 0xC000};
}

void CLabelHelix::ReadLabel(ByteVector& label) {
    IAppFS& fs = *m_applet.FS();
    fs.SelectPath(kConfigurationFile);
    ByteVector bytes(kLabelBytes);
    fs.ReadFile(bytes, 0);
    while (!bytes.empty() && (bytes.back() == 0x20 || bytes.back() == 0x00)) bytes.pop_back();
    label = std::move(bytes);
}

void CLabelHelix::WriteLabel(const ByteVector& label) {
    const bool printable =
        std::all_of(label.begin(), label.end(), [](uint8_t b) { return b >= 0x01 && b <= 0x7F; });
    if (label.size() > kLabelBytes || !printable)
        ThrowAPDUException(sw::kWrongParameters, u"IAppLabel::WriteLabel", __LINE__);
    ByteVector padded = label;
    padded.resize(kLabelBytes, 0x20);
    IAppFS& fs = *m_applet.FS();
    fs.SelectPath(kConfigurationFile);
    fs.WriteFile(padded, 0);
}

}  // namespace libapdu
