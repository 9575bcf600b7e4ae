// The host's private key blobs as the module hands them to the card, and the public key blob it
// hands back. A PRIVATEKEYBLOB or BCRYPT_ECCPRIVATE_BLOB exactly as long as its key size says
// (the module is given no length) is read without a byte past it, every field lands in the card
// record most significant byte first, and the public blob made from that record carries the
// host's modulus and exponent, or point, back.
// Input: a dwKeySpec byte, a size byte, then the blob (cut or padded with zeros to its length).
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <vector>

#include "card/key_material.h"
#include "fuzz_check.h"
#include "libapdu/token/failure.h"

namespace {

using libapdu::ByteVector;

// Sizes the card makes and a few it does not.
constexpr DWORD kSizes[] = {256, 384, 512, 528, 768, 1024, 1280, 1536, 1984, 2048, 3072, 4096, 1000, 2056};

bool Offered(DWORD bits) {
    return bits != 1000 && bits != 2056;
}

uint32_t U32(const uint8_t* p) {
    return p[0] | p[1] << 8 | p[2] << 16 | static_cast<uint32_t>(p[3]) << 24;
}

template <class Bytes>
ByteVector Reversed(const Bytes& bytes) {
    return ByteVector(bytes.rbegin(), bytes.rend());
}

ByteVector Slice(const std::vector<BYTE>& blob, size_t at, size_t length) {
    return ByteVector(blob.begin() + static_cast<long>(at), blob.begin() + static_cast<long>(at + length));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 2) return 0;
    const DWORD keySpec = AT_KEYEXCHANGE + data[0] % AT_ECDHE_P521;
    const ContainerKey key = ContainerKey::Of(keySpec, kSizes[data[1] % std::size(kSizes)]);
    const size_t bytes = key.bits / 8;
    const size_t half = (key.bits + 15) / 16;
    // BLOBHEADER and RSAPUBKEY, modulus, five halves, private exponent; or the 8-byte header, X, Y, d.
    const size_t length = key.Ec() ? 8 + 3 * bytes : 20 + 2 * bytes + 5 * half;
    std::vector<BYTE> blob(length, 0);
    std::memcpy(blob.data(), data + 2, std::min(length, size - 2));

    libapdu::KeyRecord record;
    try {
        record = ImportRecord(key, blob.data());
    } catch (const StatusCode&) {
        FUZZ_REQUIRE(!Offered(key.bits));
        return 0;
    }
    FUZZ_REQUIRE(Offered(key.bits));
    FUZZ_REQUIRE(record.length == bytes && record.usage == key.Usage() &&
                 record.algorithm == key.Algorithm());

    uint8_t publicKey[512] = {};
    uint32_t exponent = 0;
    if (key.Ec()) {
        FUZZ_REQUIRE(record.ecPublic == Slice(blob, 8, 2 * bytes));
        FUZZ_REQUIRE(ByteVector(record.ecPrivate.begin(), record.ecPrivate.end()) ==
                     Slice(blob, 8 + 2 * bytes, bytes));
        publicKey[0] = 0x04;
        std::copy(record.ecPublic.begin(), record.ecPublic.end(), publicKey + 1);
    } else {
        FUZZ_REQUIRE(record.rsaExponent == Reversed(Slice(blob, 16, 3)));
        FUZZ_REQUIRE(Reversed(record.rsaModulus) == Slice(blob, 20, bytes));
        size_t at = 20 + bytes;
        for (const auto* field :
             {&record.prime1, &record.prime2, &record.exponent1, &record.exponent2, &record.coefficient}) {
            FUZZ_REQUIRE(Reversed(*field) == Slice(blob, at, half));
            at += half;
        }
        FUZZ_REQUIRE(Reversed(record.rsaPrivateExponent) == Slice(blob, at, bytes));
        // The container list keeps the modulus least significant byte first.
        std::reverse_copy(record.rsaModulus.begin(), record.rsaModulus.end(), publicKey);
        for (uint8_t b : record.rsaExponent) exponent = exponent << 8 | b;
    }

    ByteVector out;
    try {
        out = PublicKeyBlob(keySpec, static_cast<uint32_t>(bytes), publicKey, exponent);
    } catch (const StatusCode&) {
        // RSA keys of curve sizes have no public blob length of their own
        FUZZ_REQUIRE(!key.Ec() && (key.bits == 256 || key.bits == 384 || key.bits == 528));
        return 0;
    }
    if (key.Ec()) {
        FUZZ_REQUIRE(out.size() == 8 + 2 * bytes && U32(out.data() + 4) == bytes);
        FUZZ_REQUIRE(ByteVector(out.begin() + 8, out.end()) == record.ecPublic);
    } else {
        FUZZ_REQUIRE(out.size() == 20 + bytes && U32(out.data() + 12) == key.bits);
        FUZZ_REQUIRE(U32(out.data() + 16) == (U32(blob.data() + 16) & 0xFFFFFF));
        FUZZ_REQUIRE(ByteVector(out.begin() + 20, out.end()) == Slice(blob, 20, bytes));
    }
    return 0;
}
