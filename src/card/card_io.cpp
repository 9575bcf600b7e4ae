#include "card/card_io.h"

#include <cstring>

#include "libapdu/token/failure.h"

libapdu::ByteVector ReadWhole(libapdu::IAppFS& fs, const libapdu::CardPath& path) {
    fs.SelectPath(path);
    libapdu::ByteVector content(fs.GetFileInfo().size);
    fs.ReadFile(content, 0);
    return content;
}

uint8_t UserPinId(libapdu::IToken& token) {
    const libapdu::PinReference reference = token.GetPin()->GetUserPinRef();
    if (reference.empty()) ThrowStatus(SCARD_E_UNEXPECTED);
    return static_cast<uint8_t>(reference.back() & 0xFF);
}

BYTE* CopyOut(const CARD_DATA& data, libapdu::ByteSpan bytes) {
    if (data.pfnCspAlloc == nullptr) ThrowStatus(SCARD_E_INVALID_PARAMETER);
    auto* out = static_cast<BYTE*>(data.pfnCspAlloc(bytes.size));
    if (out == nullptr) {
        if (bytes.empty()) return nullptr;
        ThrowStatus(SCARD_E_NO_MEMORY);
    }
    if (!bytes.empty()) std::memcpy(out, bytes.data, bytes.size);
    return out;
}
