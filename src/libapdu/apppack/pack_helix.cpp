#include "libapdu/apppack/pack_helix.h"

#include "libapdu/applet_helix.h"
#include "libapdu/commands_helix.h"
#include "libapdu/token/host_crypto.h"
#include "libapdu/token/tlv.h"

namespace libapdu {

namespace {

constexpr size_t kHostSecretBytes = 20;
constexpr size_t kSessionKeyBytes = 16;

// One piece of a command sent in several: the command's own header under another class byte.
Command Piece(const ApduParts& parts, uint8_t cla, ByteSpan data) {
    return Command(cla, parts.header[1], parts.header[2], parts.header[3]).Data(data);
}

// Ends the card's secure session after a failure, keeping the failure that ended it.
class SessionCloser {
public:
    explicit SessionCloser(CAppletHelix& applet) : m_applet(applet) {}
    SessionCloser(const SessionCloser&) = delete;
    SessionCloser& operator=(const SessionCloser&) = delete;
    ~SessionCloser() {
        if (!m_armed) return;
        try {
            m_applet.Send(helix::CloseSecureSession());
        } catch (...) {
            // The original failure is what the caller needs to see.
        }
    }
    void Disarm() { m_armed = false; }

private:
    CAppletHelix& m_applet;
    bool m_armed = true;
};

}  // namespace

uint16_t CPackHelix::Collect(ByteVector response, ByteVector& answer) {
    IAppError& error = *m_applet.Error();
    for (size_t round = 0;; ++round) {
        const uint16_t word = error.StatusWord(response);
        if (response.size() >= 2) answer.insert(answer.end(), response.begin(), response.end() - 2);
        const auto sw1 = static_cast<uint8_t>(word >> 8);
        if ((sw1 != 0x61 && sw1 != 0x6D) || round >= kMaxGetResponseRounds) return word;
        response = m_applet.Send(GetResponse(static_cast<uint8_t>(word & 0xFF)));
    }
}

void CPackHelix::ChainedSend(const ByteVector& command, ByteVector& answer) {
    const ApduParts parts = SplitApdu(command);
    IAppError& error = *m_applet.Error();
    if (parts.data.empty()) {
        error.Check(Collect(m_applet.Transmit(command), answer));
        return;
    }
    const std::vector<ByteSpan> pieces = ChainPieces(parts.data, kPiece);
    const auto chained = static_cast<uint8_t>(parts.header[0] | kClaChaining);
    for (size_t i = 0; i + 1 < pieces.size(); ++i)
        error.CheckResponse(m_applet.Send(Piece(parts, chained, pieces[i])));
    error.Check(Collect(m_applet.Send(Piece(parts, parts.header[0], pieces.back()).ExpectMaximum()), answer));
}

void CPackHelix::SecureSend(const ByteVector& command, ByteVector& answer) {
    IAppError& error = *m_applet.Error();
    const SecretBytes r = RandomSecret(kHostSecretBytes);

    // The card's key-establishment values: 80 g, 81 p, 82 B.
    ByteVector values;
    ChainedSend(helix::KeyEstablishmentValues().Encode(), values);
    const ParsedTlv g = FindBerTlv(values, 0x80);
    const ParsedTlv p = FindBerTlv(values, 0x81);
    const ParsedTlv b = FindBerTlv(values, 0x82);
    ByteVector base(p.length > g.length ? p.length - g.length : 0, 0x00);
    base.insert(base.end(), g.Value().begin(), g.Value().end());

    const SecretBytes a = ModExpWords(base, ByteSpan(r.data(), r.size()), p.Value());
    const SecretBytes k = ModExpWords(b.Value(), ByteSpan(r.data(), r.size()), p.Value());
    if (k.size() < 40) ThrowAPDUException(sw::kCorruptedData, u"IAppPack::SecureSend", __LINE__);

    ByteVector maskedAnswer = m_applet.Send(helix::OpenSecureSession(ByteSpan(a.data(), a.size())));
    const uint16_t agreed = error.StatusWord(maskedAnswer);
    const SecretBytes masked(maskedAnswer.begin(), maskedAnswer.end());
    Wipe(maskedAnswer);
    error.Check(agreed);
    SessionCloser closer(m_applet);
    if (masked.size() < 2 * kSessionKeyBytes + 2)
        ThrowAPDUException(sw::kCorruptedData, u"IAppPack::SecureSend", __LINE__);
    SecretBytes sk1(kSessionKeyBytes);
    SecretBytes sk2(kSessionKeyBytes);
    for (size_t i = 0; i < kSessionKeyBytes; ++i) {
        sk1[i] = masked[i] ^ k[i];
        sk2[i] = masked[kSessionKeyBytes + i] ^ k[24 + i];
    }

    // The command carries a secret: its plain data is wiped once it is wrapped.
    ApduParts parts = SplitApdu(command);
    struct PlainWiper {
        ByteVector& data;
        ~PlainWiper() { Wipe(data); }
    } wiper{parts.data};
    const std::vector<ByteSpan> pieces = ChainPieces(parts.data, kPiece);
    uint8_t counter = 0;
    ByteVector response;
    for (size_t i = 0; i < pieces.size(); ++i) {
        const bool last = i + 1 == pieces.size();
        ++counter;
        const auto cla =
            static_cast<uint8_t>(parts.header[0] | kClaSecureMessaging | (last ? 0 : kClaChaining));
        const ByteVector header{cla, parts.header[1], parts.header[2], parts.header[3]};

        ByteVector padded = Pad2(pieces[i]);
        const ByteVector cryptogram = TdesCbcEncrypt(ByteSpan(sk1.data(), sk1.size()), padded);
        Wipe(padded);
        ByteVector object{0x87, 0x81, static_cast<uint8_t>(cryptogram.size() + 1), 0x01};
        object.insert(object.end(), cryptogram.begin(), cryptogram.end());

        ByteVector macInput{0, 0, 0, 0, 0, 0, 0, counter};
        macInput.insert(macInput.end(), header.begin(), header.end());
        macInput.insert(macInput.end(), {0x80, 0x00, 0x00, 0x00});
        macInput.insert(macInput.end(), object.begin(), object.end());
        const ByteVector mac = TdesCbcMac(ByteSpan(sk2.data(), sk2.size()), macInput);

        ByteVector wrapped = object;
        wrapped.insert(wrapped.end(), {0x8E, 0x08});
        wrapped.insert(wrapped.end(), mac.begin(), mac.end());
        response = m_applet.Send(Piece(parts, cla, wrapped).ExpectMaximum());
        if (!last) error.CheckResponse(response);
    }
    ++counter;  // the answer's turn; the answer itself comes back in clear

    const uint16_t word = Collect(std::move(response), answer);
    error.Check(word);
    closer.Disarm();
    answer.push_back(static_cast<uint8_t>(word >> 8));
    answer.push_back(static_cast<uint8_t>(word & 0xFF));
}

}  // namespace libapdu
