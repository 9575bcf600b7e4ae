#include "helixsim/model.h"

namespace helixsim {

namespace {

const Bytes kAppletVersion{0x02, 0x01, 0x00, 0x00};

Bytes U32(uint32_t value) {
    return {static_cast<uint8_t>(value >> 24), static_cast<uint8_t>(value >> 16),
            static_cast<uint8_t>(value >> 8), static_cast<uint8_t>(value)};
}

}  // namespace

Answer CardModel::GetData(const Apdu& apdu) {
    if (!apdu.data.empty()) return Status(0x6700);
    const uint16_t tag = static_cast<uint16_t>((apdu.p1 << 8) | apdu.p2);
    if (apdu.cla == 0x00) return tag == 0x0003 ? Fixed(apdu, kAppletVersion) : Status(0x6A88);
    switch (tag) {
        case 0x0110:
            return Fixed(apdu, U32(m_profile.totalMemory));
        case 0x0111:
            return Fixed(apdu, U32(FreeMemory()));
        case 0x0114:
            return Fixed(apdu, m_serial);
        default:
            return Status(0x6A88);
    }
}

}  // namespace helixsim
