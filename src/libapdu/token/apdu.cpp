#include "libapdu/token/apdu.h"

#include "libapdu/token/reader.h"

namespace libapdu {

ApduParts SplitApdu(ByteSpan command) {
    Reader r(command, Failure::Apdu(kBadCommand, u"SplitApdu"));
    ApduParts parts;
    for (uint8_t& b : parts.header) b = r.U8();

    const size_t n = command.size;
    uint16_t nc = 0;
    if (n >= 5 && command[4] != 0) {
        nc = r.U8();
    } else if (n >= 7 && command[4] == 0) {
        r.Skip(1);
        nc = r.U16BE();
    }

    // A length field that ends the command is the Le of a command without data.
    if (r.AtEnd()) {
        parts.le = nc;
        return parts;
    }

    parts.data = r.Take(nc).ToVector();
    // Trailing bytes are counted in one byte: 256 of them read as none.
    switch (r.Remaining() % 256) {
        case 0:
            break;
        case 1:
            parts.le = r.U8();
            break;
        case 2:
            parts.le = r.U16BE();
            break;
        case 3:
            r.Require(r.U8() == 0x00);
            parts.le = r.U16BE();
            break;
        default:
            r.Fail();
    }
    return parts;
}

}  // namespace libapdu
