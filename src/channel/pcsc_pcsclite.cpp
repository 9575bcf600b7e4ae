// The PC/SC seam over pcsc-lite. pcsc-lite's DWORD and LONG are 8 bytes on 64-bit Linux and its
// handles are signed; this is the only place that converts between them and the Windows model.
// pcsc-lite's headers declare their own DWORD, so this file cannot see the module's platform
// header: it defines the functions of channel/pcsc.h with the same fixed-width types spelled out
// (a mismatch fails at link time).
#include <PCSC/winscard.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

namespace pcsc {

using Dword = uint32_t;    // the module's DWORD
using Handle = uintptr_t;  // the module's SCARDHANDLE and SCARDCONTEXT

namespace {

constexpr Dword kProtocolT0 = 1;

using LiteDword = ::DWORD;
using LiteHandle = ::SCARDHANDLE;
using LiteContext = ::SCARDCONTEXT;

Dword Result(LONG rv) {
    return static_cast<Dword>(static_cast<uint64_t>(rv));
}

LiteHandle Lite(Handle h) {
    return static_cast<LiteHandle>(h);
}
LiteContext LiteCtx(Handle c) {
    return static_cast<LiteContext>(c);
}

}  // namespace

Dword Transmit(Handle card, Dword protocol, const uint8_t* send, Dword sendLength, uint8_t* recv,
               Dword* recvLength) {
    const SCARD_IO_REQUEST* pci = protocol == kProtocolT0 ? SCARD_PCI_T0 : SCARD_PCI_T1;
    LiteDword length = *recvLength;
    const Dword rv = Result(::SCardTransmit(Lite(card), pci, send, sendLength, nullptr, recv, &length));
    *recvLength = rv == 0 ? static_cast<Dword>(length) : 0;
    return rv;
}

Dword Status(Handle card, Dword* protocol, uint8_t* atr, Dword* atrLength) {
    char reader[MAX_READERNAME] = {};
    LiteDword readerLength = sizeof reader;
    LiteDword state = 0;
    LiteDword proto = 0;
    BYTE buffer[MAX_ATR_SIZE] = {};
    LiteDword length = sizeof buffer;
    const Dword rv =
        Result(::SCardStatus(Lite(card), reader, &readerLength, &state, &proto, buffer, &length));
    if (rv != 0) return rv;
    if (protocol != nullptr) *protocol = static_cast<Dword>(proto);
    if (atr != nullptr && atrLength != nullptr) {
        const Dword n = length < *atrLength ? static_cast<Dword>(length) : *atrLength;
        std::memcpy(atr, buffer, n);
        *atrLength = n;
    }
    return rv;
}

Dword ReaderName(Handle card, char* reader, Dword* readerLength) {
    LiteDword length = *readerLength;
    LiteDword state = 0;
    LiteDword proto = 0;
    BYTE atr[32] = {};
    LiteDword atrLength = sizeof atr;
    const Dword rv = Result(::SCardStatus(Lite(card), reader, &length, &state, &proto, atr, &atrLength));
    *readerLength = static_cast<Dword>(length);
    return rv;
}

Dword BeginTransaction(Handle card) {
    return Result(::SCardBeginTransaction(Lite(card)));
}

Dword EndTransaction(Handle card, Dword disposition) {
    return Result(::SCardEndTransaction(Lite(card), disposition));
}

Dword Reconnect(Handle card, Dword initialization, Dword* protocol) {
    LiteDword proto = 0;
    const Dword rv = Result(::SCardReconnect(Lite(card), SCARD_SHARE_SHARED,
                                             SCARD_PROTOCOL_T0 | SCARD_PROTOCOL_T1, initialization, &proto));
    if (protocol != nullptr) *protocol = static_cast<Dword>(proto);
    return rv;
}

Dword EstablishContext(Handle* context) {
    LiteContext c = 0;
    const Dword rv = Result(::SCardEstablishContext(SCARD_SCOPE_SYSTEM, nullptr, nullptr, &c));
    *context = static_cast<Handle>(c);
    return rv;
}

Dword ReleaseContext(Handle context) {
    return Result(::SCardReleaseContext(LiteCtx(context)));
}

Dword ListReaders(Handle context, std::string* multiString) {
    LiteDword length = 0;
    Dword rv = Result(::SCardListReaders(LiteCtx(context), nullptr, nullptr, &length));
    if (rv != 0) return rv;
    std::vector<char> names(length + 1, 0);
    rv = Result(::SCardListReaders(LiteCtx(context), nullptr, names.data(), &length));
    if (rv == 0) multiString->assign(names.data(), length);
    return rv;
}

Dword Connect(Handle context, const char* reader, Handle* card, Dword* protocol) {
    LiteHandle h = 0;
    LiteDword proto = 0;
    const Dword rv = Result(::SCardConnect(LiteCtx(context), reader, SCARD_SHARE_SHARED,
                                           SCARD_PROTOCOL_T0 | SCARD_PROTOCOL_T1, &h, &proto));
    *card = static_cast<Handle>(h);
    if (protocol != nullptr) *protocol = static_cast<Dword>(proto);
    return rv;
}

Dword Disconnect(Handle card, Dword disposition) {
    return Result(::SCardDisconnect(Lite(card), disposition));
}

}  // namespace pcsc
