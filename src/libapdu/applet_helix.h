#pragma once

#include "libapdu/libapdu.h"

namespace libapdu {

// The Helix card application (applet id 0x2101).
class CAppletHelix final : public IApplet, public IAPDUDefinitions {
public:
    explicit CAppletHelix(ISender* sender);
    ~CAppletHelix() override;

    // SELECT by AID: A0 00 00 01 64, "PRISM", 00 01; no Le.
    static ByteVector SelectCommand();

    void Select() override;
    void Identify() override;
};

}  // namespace libapdu
