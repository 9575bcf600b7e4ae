#include "libapdu/appinfo/info_helix.h"

#include <algorithm>

#include "libapdu/applet_helix.h"

namespace libapdu {

namespace {
constexpr uint16_t kBadAnswer = 0x6281;
}

ByteVector CInfoHelix::Query(const ByteVector& command, size_t length) {
    ByteVector data = m_applet.Exchange(command);
    if (data.size() != length) ThrowAPDUException(kBadAnswer, u"IAppInfo::Query", __LINE__);
    return data;
}

void CInfoHelix::GetRandom(ByteVector& out, uint32_t count) {
    // GET CHALLENGE gives at most eight bytes at a time.
    for (uint32_t remaining = count; remaining > 0;) {
        const uint8_t n = static_cast<uint8_t>(std::min<uint32_t>(8, remaining));
        const ByteVector piece = Query({kClaIso, 0x84, 0x00, 0x00, n}, n);
        out.insert(out.end(), piece.begin(), piece.end());
        remaining -= n;
    }
}

ByteVector CInfoHelix::GetData0003() {
    return Query({kClaIso, 0xCB, 0x00, 0x03, 0x00}, 4);
}

ByteVector CInfoHelix::GetData0114() {
    return Query({kClaProprietary, 0xCB, 0x01, 0x14, 0x00}, 6);
}

uint32_t CInfoHelix::Memory(uint8_t p2) {
    const ByteVector data = m_applet.Exchange({kClaProprietary, 0xCB, 0x01, p2, 0x00});
    uint32_t value = 0;
    if (data.size() != 4 && data.size() != 2) ThrowAPDUException(kBadAnswer, u"IAppInfo::Memory", __LINE__);
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
