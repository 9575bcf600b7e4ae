#pragma once

#include "libapdu/libapdu.h"

namespace libapdu {

class CFSHelix;

// The Helix card application (applet id 0x2101).
class CAppletHelix final : public IApplet, public IAPDUDefinitions {
public:
    explicit CAppletHelix(ISender* sender);
    ~CAppletHelix() override;

    void Select() override;
    void Identify() override;

    // The file-system facet with the state that IAppFS does not show (the attribute substitute).
    CFSHelix& HelixFS() const { return *m_helixFS; }

private:
    CFSHelix* m_helixFS = nullptr;  // borrowed from m_fs
};

}  // namespace libapdu
