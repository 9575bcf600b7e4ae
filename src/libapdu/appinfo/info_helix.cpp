#include "libapdu/appinfo/info_helix.h"

#include <algorithm>

#include "libapdu/applet_helix.h"
#include "libapdu/commands_helix.h"

namespace libapdu {

ByteVector CInfoHelix::Query(const Command& command, size_t length) {
    ByteVector data = m_applet.Exchange(command);
    if (data.size() != length) ThrowAPDUException(sw::kCorruptedData, u"IAppInfo::Query", __LINE__);
    return data;
}

void CInfoHelix::GetRandom(ByteVector& out, uint32_t count) {
    // GET CHALLENGE gives at most eight bytes at a time.
    for (uint32_t remaining = count; remaining > 0;) {
        const uint8_t n = static_cast<uint8_t>(std::min<uint32_t>(8, remaining));
        const ByteVector piece = Query(helix::GetChallenge(n), n);
        out.insert(out.end(), piece.begin(), piece.end());
        remaining -= n;
    }
}

ByteVector CInfoHelix::GetData0003() {
    return Query(helix::GetData(kClaIso, 0x0003), 4);
}

ByteVector CInfoHelix::GetData0114() {
    return Query(helix::GetData(kClaProprietary, 0x0114), 6);
}

uint32_t CInfoHelix::Memory(uint8_t p2) {
    const ByteVector data =
        m_applet.Exchange(helix::GetData(kClaProprietary, static_cast<uint16_t>(0x0100 | p2)));
    uint32_t value = 0;
    if (data.size() != 4 && data.size() != 2)
        ThrowAPDUException(sw::kCorruptedData, u"IAppInfo::Memory", __LINE__);
    for (uint8_t b : data) value = value << 8 | b;
    return value;
}

uint32_t CInfoHelix::GetFreeMemory() {
    return Memory(0x11);
}

uint32_t CInfoHelix::GetTotalMemory() {
    return Memory(0x10);
}

}  // namespace libapdu
