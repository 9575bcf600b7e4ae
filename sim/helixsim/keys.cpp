#include <algorithm>
#include <array>
#include <map>
#include <stdexcept>
#include <vector>

#include "helixsim/model.h"

namespace helixsim {

namespace {

// Usage block byte 1: what the key may do.
constexpr uint8_t kUseSign = 0x04;
constexpr uint8_t kUseDecipher = 0x08;
constexpr uint8_t kUseAgree = 0x80;

constexpr uint8_t kAlgorithmEc = 0x11;
constexpr uint16_t kRsa4096 = 0x200;

struct RsaAlgorithm {
    uint8_t algorithm;
    uint16_t size;  // bytes
};
constexpr std::array<RsaAlgorithm, 9> kRsaAlgorithms{{{5, 0x40},
                                                      {6, 0x80},
                                                      {7, 0x100},
                                                      {8, kRsa4096},
                                                      {9, 0x60},
                                                      {10, 0xA0},
                                                      {11, 0xC0},
                                                      {12, 0xF8},
                                                      {13, 0x180}}};

const Bytes kGenerateHead{0xAC, 0x03, 0x80, 0x01};

bool IsEcObject(const Node& node) {
    return !node.domain.empty();
}

std::optional<uint8_t> RsaAlgorithmFor(uint16_t size) {
    for (const RsaAlgorithm& entry : kRsaAlgorithms) {
        if (entry.size == size) return entry.algorithm;
    }
    return std::nullopt;
}

std::optional<uint16_t> RsaSizeFor(uint8_t algorithm) {
    for (const RsaAlgorithm& entry : kRsaAlgorithms) {
        if (entry.algorithm == algorithm) return entry.size;
    }
    return std::nullopt;
}

uint8_t AlgorithmFor(const Node& keyObject) {
    if (IsEcObject(keyObject)) return kAlgorithmEc;
    return RsaAlgorithmFor(keyObject.size).value_or(0);
}

// Every tag of `wanted` exactly once and nothing else; nullopt otherwise.
std::optional<std::map<uint8_t, crypto::SecretBytes>> Components(const Bytes& material,
                                                                 std::initializer_list<uint8_t> wanted) {
    std::map<uint8_t, crypto::SecretBytes> parts;
    Cursor cursor(material);
    while (!cursor.AtEnd()) {
        auto tlv = cursor.NextTlv();
        if (!tlv) return std::nullopt;
        crypto::SecretBytes value(std::move(tlv->value));
        if (std::find(wanted.begin(), wanted.end(), tlv->tag) == wanted.end() || parts.count(tlv->tag) != 0)
            return std::nullopt;
        parts.emplace(tlv->tag, std::move(value));
    }
    if (parts.size() != wanted.size()) return std::nullopt;
    return parts;
}

// Equal pieces of `whole`, each `length` bytes; none unless they fill it exactly.
std::vector<crypto::SecretBytes> Split(const Bytes& whole, size_t pieces, size_t length) {
    std::vector<crypto::SecretBytes> out;
    if (length == 0 || whole.size() != pieces * length) return out;
    for (size_t i = 0; i < pieces; ++i) {
        const auto begin = whole.begin() + static_cast<std::ptrdiff_t>(i * length);
        out.emplace_back(Bytes(begin, begin + static_cast<std::ptrdiff_t>(length)));
    }
    return out;
}

// 71: 90 e, 91 n, 92 d, 93 p || q, 94 dp || dq || qinv; the halves each half the modulus long.
std::optional<crypto::AsymKey> ImportRsa(uint16_t size, const Bytes& material) {
    const auto parts = Components(material, {0x90, 0x91, 0x92, 0x93, 0x94});
    if (!parts) return std::nullopt;
    const Bytes& e = parts->at(0x90).bytes();
    const Bytes& n = parts->at(0x91).bytes();
    const Bytes& d = parts->at(0x92).bytes();
    if (e.empty() || e.size() > size || n.size() != size || d.empty() || d.size() > size) return std::nullopt;
    const auto primes = Split(parts->at(0x93).bytes(), 2, size / 2u);
    const auto crt = Split(parts->at(0x94).bytes(), 3, size / 2u);
    if (primes.empty() || crt.empty()) return std::nullopt;
    crypto::AsymKey key = crypto::AsymKey::FromRsa(n, e, d, primes[0].bytes(), primes[1].bytes(),
                                                   crt[0].bytes(), crt[1].bytes(), crt[2].bytes());
    if (key.Bits() != 8u * size) return std::nullopt;
    return key;
}

// After the domain parameters: 96 d, 97 04 x y.
std::optional<crypto::AsymKey> ImportEc(uint16_t size, const Bytes& material) {
    const auto curve = CurveOfSize(size);
    const auto parts = Components(material, {0x96, 0x97});
    if (!curve || !parts) return std::nullopt;
    const Bytes& d = parts->at(0x96).bytes();
    if (d.empty() || d.size() > size) return std::nullopt;
    return crypto::AsymKey::FromEc(*curve, d, parts->at(0x97).bytes());
}

// 7F 49 { 81 n, 82 e } or 7F 49 { 86 04 x y }.
Bytes PublicKeyTemplate(const crypto::AsymKey& key) {
    Bytes inner;
    if (key.IsRsa()) {
        AppendTlv(inner, 0x81, key.Modulus());
        AppendTlv(inner, 0x82, key.PublicExponent());
    } else {
        AppendTlv(inner, 0x86, key.PublicPoint());
    }
    Bytes out{0x7F};
    AppendTlv(out, 0x49, inner);
    return out;
}

}  // namespace

std::optional<crypto::Curve> CurveOfSize(uint16_t size) {
    switch (size) {
        case 0x20:
            return crypto::Curve::P256;
        case 0x30:
            return crypto::Curve::P384;
        case 0x42:
            return crypto::Curve::P521;
        default:
            return std::nullopt;
    }
}

bool IsRsaKeySize(uint16_t size, bool rsa4096) {
    return RsaAlgorithmFor(size).has_value() && (rsa4096 || size != kRsa4096);
}

std::optional<HelixCard::KeyObjectView> CardModel::KeyObject(const CardPath& path) const {
    const auto handle = Resolve(path);
    if (!handle || m_nodes.at(*handle).kind != NodeKind::Key) return std::nullopt;
    const Node& node = m_nodes.at(*handle);
    HelixCard::KeyObjectView view;
    view.size = node.size;
    view.usage = node.usage;
    view.hasKey = node.key.has_value();
    if (node.key && node.key->IsRsa()) {
        view.modulus = node.key->Modulus();
        view.exponent = node.key->PublicExponent();
    } else if (node.key) {
        view.point = node.key->PublicPoint();
    }
    return view;
}

Answer CardModel::KeyCommand(const Command& cmd) {
    const Apdu& a = cmd.apdu;
    switch ((a.cla << 8) | a.ins) {
        case 0x80CB:
            return Capabilities(a);
        case 0x8048:
            return ReadPublicKey(a);
        case 0x0047:
            return GenerateKeyPair(a);
        case 0x002A:
            return SecurityOperation(a);
        case 0x804A:
            return AgreeKey(a);
        default:
            return Status(0x6D00);
    }
}

Node* CardModel::CurrentKeyObject() {
    Node& node = m_nodes.at(m_currentFile);
    return node.kind == NodeKind::Key ? &node : nullptr;
}

// Access before anything about the key, so a caller without the PIN learns nothing else.
std::optional<uint16_t> CardModel::Refusal(bool ec, uint8_t use) const {
    const Node& node = m_nodes.at(m_currentFile);
    if (node.kind != NodeKind::Key) return 0x6986;
    if (!Permits(node, static_cast<size_t>(KeyRule::Use))) return 0x6982;
    if (!node.key || IsEcObject(node) != ec || (node.usage.at(1) & use) == 0) return 0x6985;
    return std::nullopt;
}

// 01 88: byte 1 the small curves (none), byte 2 RSA 4096 (80) and 3072 (40) and the curves
// P-256, P-384, P-521 (01, 02, 04), byte 3 RSA 512, 768, 1280, 1536, 1984. 01 80: EC (byte 0, 08).
Answer CardModel::Capabilities(const Apdu& apdu) const {
    if (!apdu.data.empty()) return Status(0x6700);
    if (apdu.p2 == 0x80) return Fixed(apdu, {static_cast<uint8_t>(m_profile.ec ? 0x08 : 0x00), 0x00, 0x00});
    uint8_t large = 0x40;
    if (m_profile.rsa4096) large |= 0x80;
    if (m_profile.ec) large |= 0x07;
    return Fixed(apdu, {0x00, 0x00, large, 0x75, 0x00});
}

Answer CardModel::ReadPublicKey(const Apdu& apdu) {
    if (apdu.p1 != 0 || apdu.p2 != 0) return Status(0x6A86);
    if (!apdu.data.empty()) return Status(0x6700);
    const Node* node = CurrentKeyObject();
    if (node == nullptr) return Status(0x6986);
    if (!Permits(*node, static_cast<size_t>(KeyRule::ReadPublic))) return Status(0x6982);
    if (!node->key) return Status(0x6985);
    return Answer{PublicKeyTemplate(*node->key), 0x9000};
}

// AC 03 80 01 p: p names the algorithm and size, and must be the key object's own.
Answer CardModel::GenerateKeyPair(const Apdu& apdu) {
    if (apdu.p1 != 0 || apdu.p2 != 0) return Status(0x6A86);
    if (apdu.data.size() != kGenerateHead.size() + 1) return Status(0x6700);
    Node* node = CurrentKeyObject();
    if (node == nullptr) return Status(0x6986);
    if (!Permits(*node, static_cast<size_t>(KeyRule::GenerateOrImport))) return Status(0x6982);
    if (!std::equal(kGenerateHead.begin(), kGenerateHead.end(), apdu.data.begin())) return Status(0x6A80);
    const uint8_t algorithm = apdu.data.back();
    const auto rsaSize = RsaSizeFor(algorithm);
    const bool offered =
        algorithm == kAlgorithmEc ? m_profile.ec : rsaSize && IsRsaKeySize(*rsaSize, m_profile.rsa4096);
    if (!offered) return Status(0x6A81);
    if (algorithm != AlgorithmFor(*node)) return Status(0x6A80);
    if (const auto curve = CurveOfSize(node->size); curve && IsEcObject(*node)) {
        node->key = crypto::AsymKey::GenerateEc(*curve);
    } else {
        node->key = crypto::AsymKey::GenerateRsa(8u * node->size);
    }
    return Status(0x9000);
}

// 9E 8A: PKCS#1 v1.5 signature of the DigestInfo in 80. 9E 91: ECDSA of the hash in 80, as a
// DER SEQUENCE. 80 0C: raw RSA on the block in 82, answered as 80.
Answer CardModel::SecurityOperation(const Apdu& apdu) {
    const uint16_t operation = static_cast<uint16_t>((apdu.p1 << 8) | apdu.p2);
    if (operation != 0x9E8A && operation != 0x9E91 && operation != 0x800C) return Status(0x6A86);
    if (apdu.data.empty()) return Status(0x6700);
    const bool ec = operation == 0x9E91;
    const bool raw = operation == 0x800C;
    const auto input = SoleTlv(apdu.data, raw ? 0x82 : 0x80);
    if (const auto refused = Refusal(ec, raw ? kUseDecipher : kUseSign)) {
        // A signature key signs encoded blocks (PSS) through the raw operation, but opens nothing
        // else: the block must carry the EMSA-PSS trailer byte BC and a clear top bit.
        const bool pssBlock =
            input && !input->empty() && input->back() == 0xBC && (input->front() & 0x80) == 0;
        if (!(raw && *refused == 0x6985 && pssBlock && !Refusal(false, kUseSign))) return Status(*refused);
    }
    const crypto::AsymKey& key = *m_nodes.at(m_currentFile).key;
    if (!input || input->empty()) return Status(0x6A80);
    if (operation == 0x9E91) {
        if (input->size() > m_nodes.at(m_currentFile).size) return Status(0x6A80);
        return Answer{key.EcdsaSign(*input), 0x9000};
    }
    if (operation == 0x9E8A) {
        auto signature = key.RsaSignPkcs1(*input);
        if (!signature) return Status(0x6A80);
        return Answer{std::move(*signature), 0x9000};
    }
    const auto plain = key.RsaPrivate(*input);
    if (!plain) return Status(0x6A80);
    Answer answer;
    AppendTlv(answer.data, 0x80, *plain);
    return answer;
}

// 04 x y of the peer, as long as the key's own point; the answer is the shared x-coordinate.
Answer CardModel::AgreeKey(const Apdu& apdu) {
    if (apdu.p1 != 0 || apdu.p2 != 0) return Status(0x6A86);
    if (const auto refused = Refusal(true, kUseAgree)) return Status(*refused);
    const Node& node = m_nodes.at(m_currentFile);
    if (apdu.data.size() != 1u + 2u * node.size) return Status(0x6700);
    auto secret = node.key->EcdhX(apdu.data);
    if (!secret) return Status(0x6A80);
    return Fixed(apdu, std::move(*secret));
}

Answer CardModel::ImportKeyMaterial(Node& keyObject, const Bytes& material, const Command& cmd) {
    if (!cmd.insideSm) return Status(0x6982);
    if (!Permits(keyObject, static_cast<size_t>(KeyRule::GenerateOrImport))) return Status(0x6982);
    try {
        auto key =
            IsEcObject(keyObject) ? ImportEc(keyObject.size, material) : ImportRsa(keyObject.size, material);
        if (!key) return Status(0x6A80);
        keyObject.key = std::move(key);
    } catch (const std::invalid_argument&) {
        return Status(0x6A80);
    }
    return Status(0x9000);
}

}  // namespace helixsim
