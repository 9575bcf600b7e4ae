#include "libapdu/appcry/cry_helix.h"

#include <algorithm>
#include <initializer_list>

#include "libapdu/appfs/curves.h"
#include "libapdu/applet_helix.h"
#include "libapdu/commands_helix.h"
#include "libapdu/token/reader.h"

namespace libapdu {

namespace {

constexpr char16_t kSelect[] = u"IAppCrypto::SelectKeyObject";
constexpr char16_t kImport[] = u"IAppCrypto::ImportKey";
constexpr char16_t kDecipher[] = u"IAppCrypto::Decipher";
constexpr char16_t kGenerate[] = u"IAppCrypto::GenerateKeyPair";
constexpr char16_t kSign[] = u"IAppCrypto::Sign";
constexpr char16_t kAgree[] = u"IAppCrypto::AgreeKey";
constexpr char16_t kAlgorithms[] = u"IAppCrypto::GetAlgorithmInfo";

constexpr uint8_t kKeyFileSeries = 0x02;
constexpr uint8_t kCertificateSeries = 0x84;

constexpr uint8_t kPublicKeyTag[] = {0x7F, 0x49};
constexpr uint8_t kTagModulus = 0x81;
constexpr uint8_t kTagExponent = 0x82;
constexpr uint8_t kTagPoint = 0x86;
constexpr uint8_t kTagPlain = 0x80;
constexpr uint8_t kTagCipher = 0x82;
constexpr uint8_t kTagToSign = 0x80;

constexpr uint8_t kDerSequence = 0x30;
constexpr uint8_t kDerInteger = 0x02;

constexpr size_t kMaxExtended = 0xFFFF;
// Capability answers must reach the last byte that is looked at.
constexpr size_t kRsaCapabilityBytes = 4;
constexpr size_t kEcCapabilityBytes = 3;

[[noreturn]] void Fail(uint16_t word, const char16_t* where) {
    ThrowAPDUException(word, where, __LINE__);
}

template <class Bytes>
ByteSpan View(const Bytes& bytes) {
    return ByteSpan(bytes.data(), bytes.size());
}

template <class Bytes>
void Append(Bytes& out, ByteSpan bytes) {
    out.insert(out.end(), bytes.begin(), bytes.end());
}

template <class Bytes>
void AppendU16(Bytes& out, size_t value) {
    out.push_back(static_cast<uint8_t>(value >> 8));
    out.push_back(static_cast<uint8_t>(value & 0xFF));
}

enum class LengthForm {
    kShortest,  // one byte below 128, then 81 xx, then 82 xx xx
    kLong,      // 81 xx up to 255, else 82 xx xx
    kWord,      // always 82 xx xx
};

template <class Bytes>
void AppendTlv(Bytes& out, uint8_t tag, ByteSpan value, LengthForm form, const char16_t* where) {
    const size_t n = value.size;
    if (n > kMaxExtended) Fail(sw::kWrongLength, where);
    out.push_back(tag);
    if (form == LengthForm::kShortest && n < 0x80) {
        out.push_back(static_cast<uint8_t>(n));
    } else if (form != LengthForm::kWord && n <= 0xFF) {
        out.push_back(0x81);
        out.push_back(static_cast<uint8_t>(n));
    } else {
        out.push_back(0x82);
        AppendU16(out, n);
    }
    Append(out, value);
}

SecretBytes Concat(std::initializer_list<ByteSpan> parts) {
    size_t n = 0;
    for (const ByteSpan& part : parts) n += part.size;
    SecretBytes out;
    out.reserve(n);
    for (const ByteSpan& part : parts) Append(out, part);
    return out;
}

// Wipes a plain buffer that held secrets however the scope is left.
class WipeOnExit {
public:
    explicit WipeOnExit(ByteVector& bytes) : m_bytes(bytes) {}
    WipeOnExit(const WipeOnExit&) = delete;
    WipeOnExit& operator=(const WipeOnExit&) = delete;
    ~WipeOnExit() { Wipe(m_bytes); }

private:
    ByteVector& m_bytes;
};

uint8_t UsageOf(uint8_t usageBits) {
    switch (usageBits & 0x0C) {
        case 0x04:
            return 2;
        case 0x08:
            return 1;
        default:
            return 0;
    }
}

struct CapabilityBit {
    size_t byte;
    uint8_t bit;
    uint16_t length;
};

constexpr CapabilityBit kRsaBits[] = {{2, 0x80, 0x200}, {2, 0x40, 0x180}, {3, 0x01, 0x40}, {3, 0x04, 0x60},
                                      {3, 0x10, 0xA0},  {3, 0x20, 0xC0},  {3, 0x40, 0xF8}};
constexpr CapabilityBit kEcBitsBelow1C[] = {
    {1, 0x10, 0x0E}, {1, 0x20, 0x10}, {1, 0x40, 0x14}, {1, 0x80, 0x18}};
constexpr CapabilityBit kEcBitsAbove1C[] = {{2, 0x01, 0x20}, {2, 0x02, 0x30}, {2, 0x04, 0x42}};

template <size_t N>
void AddListed(std::vector<uint16_t>& lengths, const ByteVector& capabilities,
               const CapabilityBit (&bits)[N]) {
    for (const CapabilityBit& c : bits) {
        if (capabilities[c.byte] & c.bit) lengths.push_back(c.length);
    }
}

// Key information byte 1: which operations the key serves, by algorithm and usage (2 signature,
// 1 key exchange, anything else both).
uint8_t KeyUse(bool ec, uint8_t usage) {
    if (usage == 2) return 0x04;
    if (usage == 1) return ec ? 0x80 : 0x08;
    return ec ? 0x84 : 0x0C;
}

// 71 82 length | 90 e | 91 n | 92 d | 93 p q | 94 dp dq qinv
SecretBytes RsaMaterial(const KeyRecord& key) {
    const SecretBytes primes = Concat({View(key.prime1), View(key.prime2)});
    const SecretBytes crt = Concat({View(key.exponent1), View(key.exponent2), View(key.coefficient)});
    SecretBytes values;
    AppendTlv(values, 0x90, View(key.rsaExponent), LengthForm::kShortest, kImport);
    AppendTlv(values, 0x91, View(key.rsaModulus), LengthForm::kLong, kImport);
    AppendTlv(values, 0x92, View(key.rsaPrivateExponent), LengthForm::kLong, kImport);
    AppendTlv(values, 0x93, View(primes), LengthForm::kLong, kImport);
    AppendTlv(values, 0x94, View(crt), LengthForm::kLong, kImport);
    SecretBytes material;
    AppendTlv(material, 0x71, View(values), LengthForm::kWord, kImport);
    return material;
}

// E1 82 length | 90 p | 91 a | 92 b | 93 81 l G | 94 n | 95 h | 96 d | 97 04 X Y
SecretBytes EcMaterial(const KeyRecord& key) {
    const CurveParameters* curve = CurveForKeyBytes(key.length);
    if (curve == nullptr) NotSupported(kImport, __LINE__);
    ByteVector point{0x04};
    Append(point, View(key.ecPublic));
    SecretBytes values;
    AppendTlv(values, 0x90, View(curve->p), LengthForm::kShortest, kImport);
    AppendTlv(values, 0x91, View(curve->a), LengthForm::kShortest, kImport);
    AppendTlv(values, 0x92, View(curve->b), LengthForm::kShortest, kImport);
    AppendTlv(values, 0x93, View(curve->g), LengthForm::kLong, kImport);
    AppendTlv(values, 0x94, View(curve->n), LengthForm::kShortest, kImport);
    AppendTlv(values, 0x95, View(curve->h), LengthForm::kShortest, kImport);
    AppendTlv(values, 0x96, View(key.ecPrivate), LengthForm::kShortest, kImport);
    AppendTlv(values, 0x97, View(point), LengthForm::kShortest, kImport);
    SecretBytes material;
    AppendTlv(material, 0xE1, View(values), LengthForm::kWord, kImport);
    return material;
}

// 62 82 length | 8A 01 04 | 83 02 id | 80 02 length | 86 0E 00 00 00 FF 00 FF 00 u 00 u 00 00 00 u |
// 85 05 (05 t 20 | 03 t 30) 00 A3 | key material
SecretBytes KeyTemplate(uint16_t id, const KeyRecord& key, uint8_t u) {
    const bool ec = key.algorithm == kAlgEc;
    SecretBytes fields{0x8A, 0x01, 0x04, 0x83, 0x02};
    AppendU16(fields, id);
    fields.insert(fields.end(), {0x80, 0x02});
    AppendU16(fields, key.length);
    fields.insert(fields.end(),
                  {0x86, 0x0E, 0x00, 0x00, 0x00, 0xFF, 0x00, 0xFF, 0x00, u, 0x00, u, 0x00, 0x00, 0x00, u});
    fields.insert(fields.end(), {0x85, 0x05, static_cast<uint8_t>(ec ? 0x03 : 0x05), KeyUse(ec, key.usage),
                                 ec ? CCryFinder::kKeyTypeEc : CCryFinder::kKeyTypeRsa, 0x00, 0xA3});
    const SecretBytes material = ec ? EcMaterial(key) : RsaMaterial(key);
    Append(fields, View(material));
    SecretBytes fcp;
    AppendTlv(fcp, 0x62, View(fields), LengthForm::kWord, kImport);
    return fcp;
}

// The input of a decipher or sign command: its length always in the 81 or 82 form.
ByteVector DataObject(uint8_t tag, const ByteVector& input, const char16_t* where) {
    ByteVector object;
    AppendTlv(object, tag, View(input), LengthForm::kLong, where);
    if (object.size() > kMaxExtended) Fail(sw::kWrongLength, where);
    return object;
}

size_t DerLength(Reader& r) {
    const uint8_t first = r.U8();
    if (first < 0x80) return first;
    if (first == 0x81) {
        const uint8_t length = r.U8();
        r.Require(length >= 0x80);
        return length;
    }
    r.Require(first == 0x82);
    const uint16_t length = r.U16BE();
    r.Require(length > 0xFF);
    return length;
}

ByteSpan DerElement(Reader& r, uint8_t tag) {
    r.Require(r.U8() == tag);
    return r.Take(DerLength(r));
}

// An INTEGER brought to exactly `size` bytes: the sign byte that makes it one longer goes, a
// shorter one is padded in front.
void AppendScalar(ByteVector& out, ByteSpan integer, size_t size, const Reader& r) {
    r.Require(!integer.empty());
    if (integer.size == size + 1 && integer[0] == 0x00) integer = ByteSpan(integer.data + 1, size);
    r.Require(integer.size <= size);
    out.insert(out.end(), size - integer.size, 0x00);
    Append(out, integer);
}

// SEQUENCE { INTEGER r, INTEGER s } to r || s, each at the key size.
ByteVector EcdsaSignature(const ByteVector& der, uint16_t size) {
    const Failure failure = Failure::Apdu(sw::kCorruptedData, kSign);
    Reader outer(der, failure);
    Reader pair(DerElement(outer, kDerSequence), failure);
    outer.Require(outer.AtEnd());
    ByteVector signature;
    signature.reserve(2u * size);
    AppendScalar(signature, DerElement(pair, kDerInteger), size, pair);
    AppendScalar(signature, DerElement(pair, kDerInteger), size, pair);
    pair.Require(pair.AtEnd());
    return signature;
}

}  // namespace

CCryHelix::CCryHelix(CAppletHelix& applet) : m_applet(applet), m_finder(applet) {}

void CCryHelix::SelectKeyObject(CardPath path) {
    if (path.empty()) Fail(sw::kFileNotFound, kSelect);
    const uint16_t last = path.back();
    switch (last >> 8) {
        case kKeyFileSeries:
            m_record = ReadKeyObject(static_cast<uint8_t>(last & 0xFF));
            return;
        case kCertificateSeries: {
            KeyObjectInfo record;
            record.content = m_finder.ReadCertificate(path, kSelect);
            m_record = std::move(record);
            return;
        }
        default:
            Fail(sw::kFileNotFound, kSelect);
    }
}

// A key without its certificate object is still a key: the content stays empty.
KeyObjectInfo CCryHelix::ReadKeyObject(uint8_t nn) {
    const KeyObjectFcp key = m_finder.SelectKeyObject(CCryFinder::KeyObjectOfKeyFile(nn), kSelect);
    KeyObjectInfo record;
    record.algorithm = key.keyType == CCryFinder::kKeyTypeEc ? kAlgEc : kAlgRsa;
    record.size = key.size;
    record.usage = UsageOf(key.usageBits);
    ReadPublicKey(record);
    record.content =
        m_finder.TryReadCertificate(CCryFinder::CertificatePathOfKeyFile(nn), kSelect).value_or(ByteVector());
    return record;
}

// A 7F 49 template with modulus 81 and exponent 82, or point 86.
void CCryHelix::ReadPublicKey(KeyObjectInfo& record) {
    const ByteVector answer = m_applet.Exchange(helix::ReadPublicKey());
    if (answer.size() < 2 || answer[0] != kPublicKeyTag[0] || answer[1] != kPublicKeyTag[1])
        Fail(sw::kCorruptedData, kSelect);
    // The TLV reader takes only 1F as the lead byte of a longer tag: past the 7F, the template
    // reads as the one-byte tag 49 with the template's length and value.
    const ParsedTlv key = ParseBerTlv(answer, 1);
    if (record.algorithm == kAlgEc) {
        record.point = RequireElement(key.Value(), kTagPoint, kSelect).CopyValue();
    } else {
        record.modulus = RequireElement(key.Value(), kTagModulus, kSelect).CopyValue();
        record.exponent = RequireElement(key.Value(), kTagExponent, kSelect).CopyValue();
    }
}

// The key goes out only under the secure channel; every buffer that held it is wiped.
void CCryHelix::ImportKey(uint16_t keyObjectId, KeyRecord key) {
    if (IsReservedFileId(keyObjectId)) Fail(sw::kNotAllowed, kImport);
    const std::vector<uint16_t> lengths = GetAlgorithmInfo(key.algorithm).lengths;
    if (std::find(lengths.begin(), lengths.end(), key.length) == lengths.end())
        Fail(sw::kNotAllowed, kImport);

    const SecretBytes fcp = KeyTemplate(keyObjectId, key, UserPinId());
    if (fcp.size() > Command::kMaxData) Fail(sw::kWrongLength, kImport);
    ByteVector command = helix::CreateKeyObject(View(fcp)).Encode();
    const WipeOnExit wipe(command);
    ByteVector answer;
    m_applet.Pack()->SecureSend(command, answer);
}

uint8_t CCryHelix::UserPinId() {
    const PinReference reference = m_applet.Pin()->GetUserPinRef();
    if (reference.empty()) Fail(sw::kFileNotFound, kImport);
    return static_cast<uint8_t>(reference.back() & 0xFF);
}

// The plaintext may be a key: the answer that carried it is wiped.
ByteVector CCryHelix::Decipher(const ByteVector& input) {
    ByteVector answer;
    const WipeOnExit wipe(answer);
    m_applet.Pack()->ChainedSend(
        helix::PerformSecurityOperation(0x80, 0x0C, DataObject(kTagCipher, input, kDecipher)).Encode(),
        answer);
    return RequireElement(answer, kTagPlain, kDecipher).CopyValue();
}

void CCryHelix::GenerateKeyPair(const uint8_t* parameter, uint32_t /*unused*/) {
    if (parameter == nullptr || *parameter < 0x05 || *parameter > 0x11) Fail(sw::kNotAllowed, kGenerate);
    (void)m_applet.Exchange(helix::GenerateKeyPair(*parameter));
}

// The key object's type picks the operation: 8A computes a digital signature over a formatted
// block, 91 an ECDSA signature over a hash.
ByteVector CCryHelix::Sign(uint8_t keyReference, const ByteVector& /*auxiliary*/, const ByteVector& data,
                           bool raw) {
    if (raw) return Decipher(data);
    const ByteVector object = DataObject(kTagToSign, data, kSign);
    const uint16_t id = static_cast<uint8_t>(keyReference + 0x41);
    const KeyObjectFcp key = m_finder.SelectKeyObject(id, kSign);
    const bool rsa = key.keyType == CCryFinder::kKeyTypeRsa;
    ByteVector answer;
    m_applet.Pack()->ChainedSend(helix::PerformSecurityOperation(0x9E, rsa ? 0x8A : 0x91, object).Encode(),
                                 answer);
    return rsa ? answer : EcdsaSignature(answer, key.size);
}

// Le is the low byte of the key size.
SecretBytes CCryHelix::AgreeKey(const ByteVector& peerPublic, const ByteVector& /*auxiliary*/,
                                uint8_t keyIndex, bool /*flag*/) {
    if (peerPublic.size() >= 0xFF) Fail(sw::kWrongLength, kAgree);
    const KeyObjectFcp key = m_finder.SelectKeyObject(static_cast<uint16_t>(0x41 + keyIndex), kAgree);
    ByteVector answer = m_applet.Exchange(helix::AgreeKey(peerPublic, static_cast<uint8_t>(key.size & 0xFF)));
    SecretBytes secret(answer.begin(), answer.end());
    Wipe(answer);
    if (secret.size() != key.size) Fail(sw::kCorruptedData, kAgree);
    return secret;
}

// An algorithm the card does not know has no lengths; nothing is asked.
AlgorithmInfo CCryHelix::GetAlgorithmInfo(uint16_t algorithm) {
    const auto known = m_algorithms.find(algorithm);
    if (known != m_algorithms.end()) return known->second;
    AlgorithmInfo info;
    if (algorithm == kAlgRsa) info.lengths = RsaLengths();
    if (algorithm == kAlgEc) info.lengths = EcLengths();
    m_algorithms.emplace(algorithm, info);
    return info;
}

ByteVector CCryHelix::Capabilities(uint8_t p2, uint8_t length, size_t minimum, const char16_t* where) {
    ByteVector answer = m_applet.Exchange(helix::GetCapabilities(p2, length));
    if (answer.size() < minimum) Fail(sw::kCorruptedData, where);
    return answer;
}

// Algorithm capabilities (88): bytes 2 and 3 name the RSA lengths beyond 1024 and 2048 bits.
std::vector<uint16_t> CCryHelix::RsaLengths() {
    const ByteVector capabilities = Capabilities(0x88, 0x05, kRsaCapabilityBytes, kAlgorithms);
    std::vector<uint16_t> lengths{0x80, 0x100};
    AddListed(lengths, capabilities, kRsaBits);
    return lengths;
}

// Card capabilities (80): byte 0 bit 08 says whether the card has elliptic curves at all; then
// bytes 1 and 2 of the algorithm capabilities name the curve sizes.
std::vector<uint16_t> CCryHelix::EcLengths() {
    const ByteVector curves = Capabilities(0x80, 0x03, 1, kAlgorithms);
    if ((curves[0] & 0x08) == 0) return {};
    const ByteVector capabilities = Capabilities(0x88, 0x05, kEcCapabilityBytes, kAlgorithms);
    std::vector<uint16_t> lengths;
    AddListed(lengths, capabilities, kEcBitsBelow1C);
    lengths.push_back(0x1C);
    AddListed(lengths, capabilities, kEcBitsAbove1C);
    return lengths;
}

}  // namespace libapdu
