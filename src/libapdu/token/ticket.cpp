#include "libapdu/token/ticket.h"

#include <gcrypt.h>

#include <array>
#include <string_view>

#include "libapdu/token/base64.h"
#include "libapdu/token/host_crypto.h"
#include "libapdu/token/reader.h"
#include "libapdu/token/tlv.h"

namespace libapdu {

namespace {

constexpr size_t kMd5Size = 16;

void Md5WithPrefix(uint8_t prefix, ByteSpan data, uint8_t* digest) {
    EnsureGcrypt();
    SecretBytes message;
    message.reserve(1 + data.size);
    message.push_back(prefix);
    message.insert(message.end(), data.begin(), data.end());
    gcry_md_hash_buffer(GCRY_MD_MD5, digest, message.data(), message.size());
}

}  // namespace

void DeriveKey24(ByteSpan data, uint8_t* out, size_t outLength) {
    if (outLength != kCheckValueSize) return;
    std::array<uint8_t, 2 * kMd5Size> s{};
    Md5WithPrefix(0x00, data, s.data());
    Md5WithPrefix(0x01, data, s.data() + kMd5Size);

    // Bits are taken from the lowest of each byte of S upwards, seven per output byte.
    size_t bit = 0;
    for (size_t j = 0; j < kCheckValueSize; ++j) {
        uint8_t value = 0;
        for (unsigned i = 0; i < 7; ++i, ++bit)
            value |= static_cast<uint8_t>(((s[bit / 8] >> (bit % 8)) & 1u) << i);
        out[j] = value;
    }
    platform::SecureWipe(s.data(), s.size());
}

SecretBytes DecodeTicket(ByteSpan ticket) {
    const SecretBytes decoded =
        Base64DecodeSecret(std::string_view(reinterpret_cast<const char*>(ticket.data), ticket.size));
    Reader r(ByteSpan(decoded.data(), decoded.size()), Failure::Apdu(sw::kWrongParameters, u"DecodeTicket"));
    r.Skip(kCheckValueSize);
    const ParsedTlv element = FindSimpleTlv(r.Rest(), 0x01);
    Reader value(element.Value(), Failure::Apdu(sw::kWrongParameters, u"DecodeTicket"));
    return ToSecret(value.Take(kSessionRecordSize));
}

}  // namespace libapdu
