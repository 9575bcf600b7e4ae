#include "libapdu/apppack/pack_helix.h"

#include "channel/scard_sender.h"
#include "libapdu/applet_helix.h"
#include "libapdu/token/apdu.h"
#include "libapdu/token/host_crypto.h"
#include "libapdu/token/tlv.h"

namespace libapdu {

namespace {

constexpr size_t kHostSecretBytes = 20;
constexpr size_t kSessionKeyBytes = 16;

ByteVector Header(const ApduParts& parts, uint8_t cla) {
    return ByteVector{cla, parts.header[1], parts.header[2], parts.header[3]};
}

// The data cut into pieces of 224 bytes; a last piece of exactly 224 bytes is the final one.
std::vector<ByteSpan> Pieces(const ByteVector& data) {
    std::vector<ByteSpan> pieces;
    size_t at = 0;
    while (data.size() - at > CPackHelix::kPiece) {
        pieces.emplace_back(data.data() + at, CPackHelix::kPiece);
        at += CPackHelix::kPiece;
    }
    pieces.emplace_back(data.data() + at, data.size() - at);
    return pieces;
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
            m_applet.Send(ByteVector{0x80, 0x86, 0xFF, 0xFF});
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
        const uint16_t sw = error.StatusWord(response);
        if (response.size() >= 2) answer.insert(answer.end(), response.begin(), response.end() - 2);
        const uint8_t sw1 = static_cast<uint8_t>(sw >> 8);
        if ((sw1 != 0x61 && sw1 != 0x6D) || round >= CSCardSender::kMaxResponseRounds) return sw;
        response =
            m_applet.Send(ByteVector{0x00, kInsGetResponse, 0x00, 0x00, static_cast<uint8_t>(sw & 0xFF)});
    }
}

void CPackHelix::ChainedSend(const ByteVector& command, ByteVector& answer) {
    const ApduParts parts = SplitApdu(command);
    IAppError& error = *m_applet.Error();
    if (parts.data.empty()) {
        error.Check(Collect(m_applet.Send(command), answer));
        return;
    }
    const std::vector<ByteSpan> pieces = Pieces(parts.data);
    for (size_t i = 0; i + 1 < pieces.size(); ++i) {
        ByteVector piece = Header(parts, parts.header[0] | kClaChaining);
        piece.push_back(static_cast<uint8_t>(kPiece));
        piece.insert(piece.end(), pieces[i].begin(), pieces[i].end());
        error.CheckResponse(m_applet.Send(piece));
    }
    const ByteSpan last = pieces.back();
    ByteVector piece = Header(parts, parts.header[0]);
    piece.push_back(static_cast<uint8_t>(last.size));
    piece.insert(piece.end(), last.begin(), last.end());
    piece.push_back(0x00);
    error.Check(Collect(m_applet.Send(piece), answer));
}

void CPackHelix::SecureSend(const ByteVector& command, ByteVector& answer) {
    IAppError& error = *m_applet.Error();
    const SecretBytes r = RandomSecret(kHostSecretBytes);

    // The card's key-establishment values: 80 g, 81 p, 82 B.
    ByteVector values;
    ChainedSend(ByteVector{0x80, 0x48, 0x00, 0x80, 0x00}, values);
    const ParsedTlv g = FindBerTlv(values, 0x80);
    const ParsedTlv p = FindBerTlv(values, 0x81);
    const ParsedTlv b = FindBerTlv(values, 0x82);
    ByteVector base(p.length > g.length ? p.length - g.length : 0, 0x00);
    base.insert(base.end(), g.Value().begin(), g.Value().end());

    const SecretBytes a = ModExpWords(base, ByteSpan(r.data(), r.size()), p.Value());
    const SecretBytes k = ModExpWords(b.Value(), ByteSpan(r.data(), r.size()), p.Value());
    if (k.size() < 40) ThrowAPDUException(0x6281, u"IAppPack::SecureSend", __LINE__);

    // A goes out directly, with an extended Lc when it is longer than a short one allows.
    ByteVector agree{0x80, 0x86, 0x00, 0x00};
    if (a.size() > 0xFF) {
        agree.insert(agree.end(),
                     {0x00, static_cast<uint8_t>(a.size() >> 8), static_cast<uint8_t>(a.size())});
    } else {
        agree.push_back(static_cast<uint8_t>(a.size()));
    }
    agree.insert(agree.end(), a.begin(), a.end());
    agree.insert(agree.end(), a.size() > 0xFF ? 2 : 1, 0x00);  // Le 00, or 00 00 when extended
    ByteVector maskedAnswer = m_applet.Send(agree);
    const uint16_t agreed = error.StatusWord(maskedAnswer);
    const SecretBytes masked(maskedAnswer.begin(), maskedAnswer.end());
    Wipe(maskedAnswer);
    error.Check(agreed);
    SessionCloser closer(m_applet);
    if (masked.size() < 2 * kSessionKeyBytes + 2)
        ThrowAPDUException(0x6281, u"IAppPack::SecureSend", __LINE__);
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
    const std::vector<ByteSpan> pieces = Pieces(parts.data);
    uint8_t counter = 0;
    ByteVector response;
    for (size_t i = 0; i < pieces.size(); ++i) {
        const bool last = i + 1 == pieces.size();
        ++counter;
        const uint8_t cla =
            static_cast<uint8_t>(parts.header[0] | kClaSecureMessaging | (last ? 0 : kClaChaining));
        const ByteVector header = Header(parts, cla);

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

        ByteVector piece = header;
        piece.push_back(static_cast<uint8_t>(object.size() + 2 + mac.size()));
        piece.insert(piece.end(), object.begin(), object.end());
        piece.insert(piece.end(), {0x8E, 0x08});
        piece.insert(piece.end(), mac.begin(), mac.end());
        piece.push_back(0x00);
        response = m_applet.Send(piece);
        if (!last) error.CheckResponse(response);
    }
    ++counter;  // the answer's turn; the answer itself comes back in clear

    const uint16_t sw = Collect(std::move(response), answer);
    error.Check(sw);
    closer.Disarm();
    answer.push_back(static_cast<uint8_t>(sw >> 8));
    answer.push_back(static_cast<uint8_t>(sw & 0xFF));
}

}  // namespace libapdu
