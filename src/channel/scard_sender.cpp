#include "channel/scard_sender.h"

#include "channel/pcsc.h"
#include "libapdu/token/failure.h"
#include "log/mdlog.h"

using libapdu::ByteSpan;
using libapdu::ByteVector;

namespace {

constexpr DWORD kReceiveSize = 65536;

// The command forms a reader accepts: header only, header + Le, short Lc + data (+ Le),
// extended Lc + data (+ one more byte, or the two-byte Le of a long key-agreement command).
bool IsAcceptedForm(const ByteVector& c) {
    const size_t n = c.size();
    if (n == 4 || n == 5) return true;
    if (n > 5 && (n == c[4] + 5u || n == c[4] + 6u)) return true;
    if (n > 7) {
        const size_t lc = static_cast<size_t>(c[5]) * 256 + c[6];
        if (n == lc + 7 || n == lc + 8 || n == lc + 9) return true;
    }
    return false;
}

// Wrong length (6Cxx): resend with the card's Le. Commands without an Le get one appended;
// otherwise the last byte is replaced.
ByteVector WithCorrectedLe(const ByteVector& command, uint8_t le) {
    ByteVector corrected = command;
    const size_t n = command.size();
    if (n == 4 || (n > 5 && n == command[4] + 5u)) {
        corrected.push_back(le);
    } else {
        corrected.back() = le;
    }
    return corrected;
}

uint8_t Sw1(ByteSpan r) {
    return r[r.size - 2];
}
uint8_t Sw2(ByteSpan r) {
    return r[r.size - 1];
}

}  // namespace

CSCardSender::CSCardSender(SCARDHANDLE card, DWORD protocol) : m_card(card), m_protocol(protocol) {
    // Address the card with the protocol it really runs; a card that was reset since the
    // connect cannot tell us, and then the given protocol stands.
    DWORD active = 0;
    BYTE atr[36];
    DWORD atrLength = sizeof atr;
    if (pcsc::Status(m_card, &active, atr, &atrLength) == SCARD_S_SUCCESS && active != 0) m_protocol = active;
}

ByteVector CSCardSender::GetATR() {
    if (!m_atrRead) {
        BYTE atr[36];
        DWORD atrLength = sizeof atr;
        DWORD active = 0;
        const DWORD rv = pcsc::Status(m_card, &active, atr, &atrLength);
        if (rv != SCARD_S_SUCCESS) HELIX_THROW_CA(rv);
        m_atr.assign(atr, atr + atrLength);
        m_atrRead = true;
    }
    return m_atr;
}

ByteSpan CSCardSender::Exchange(const ByteVector& command, ByteVector& buffer, const char* errorFormat) {
    DWORD received = kReceiveSize;
    const DWORD rv = pcsc::Transmit(m_card, m_protocol, command.data(), static_cast<DWORD>(command.size()),
                                    buffer.data(), &received);
    if (rv != SCARD_S_SUCCESS) {
        MdLogRaw(errorFormat, rv);
        HELIX_THROW_CA(rv);
    }
    if (received > kReceiveSize) received = kReceiveSize;
    MdLogHex(HELIX_WTEXT("RAPDU: "), buffer.data(), received);
    // Without a status word there is nothing to judge: the exchange itself failed.
    if (received < 2) HELIX_THROW_CA(SCARD_F_COMM_ERROR);
    return ByteSpan(buffer.data(), received);
}

void CSCardSender::Transmit(const ByteVector& command, ByteVector& response) {
    if (!IsAcceptedForm(command)) HELIX_THROW_CA(libapdu::sw::kWrongParameters);
    response.clear();
    ByteVector buffer(kReceiveSize);

    MdLogHex(HELIX_WTEXT("CAPDU: "), command.data(), command.size());
    ByteSpan answer = Exchange(command, buffer, "SCardTransmit error = 0x%08X");

    if (answer.size == 2 && Sw1(answer) == 0x6C) {
        const ByteVector corrected = WithCorrectedLe(command, Sw2(answer));
        MdLogHex(HELIX_WTEXT("CAPDU_6C: "), corrected.data(), corrected.size());
        // The letter after "6" is 0xD1, Cyrillic Es in code page 1251, kept as the log has it.
        answer = Exchange(corrected, buffer, "SCardTransmit_6\xD1 error = 0x%08X");
    }

    size_t rounds = 0;
    while (Sw1(answer) == 0x61) {
        response.insert(response.end(), answer.begin(), answer.end() - 2);
        if (++rounds > kMaxResponseRounds || response.size() > kMaxResponseBytes)
            HELIX_THROW_CA(SCARD_E_COMM_DATA_LOST);
        const ByteVector getResponse = libapdu::GetResponse(Sw2(answer)).Encode();
        MdLogHex(HELIX_WTEXT("CAPDU_reqResponse: "), getResponse.data(), getResponse.size());
        answer = Exchange(getResponse, buffer, "SCardTransmit_reqResp error = 0x%08X");
    }
    response.insert(response.end(), answer.begin(), answer.end());
    if (response.size() > kMaxResponseBytes + 2) HELIX_THROW_CA(SCARD_E_COMM_DATA_LOST);

    // 6Dxx and 6Exx with a non-zero SW2 come back as 00xx and 01xx.
    uint8_t& sw1 = response[response.size() - 2];
    if ((sw1 == 0x6D || sw1 == 0x6E) && response.back() != 0) sw1 = static_cast<uint8_t>(sw1 - 0x6D);
}
