// The module's own SHA-1 and SHA-2 digests and MGF1. PSS encoding and the PIN history hash on the
// host without BCrypt, so these are computed here.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include "libapdu/token/bytes.h"

namespace digest {

enum class DigestAlg { Sha1, Sha256, Sha384, Sha512 };

// Both throw SCARD_E_INVALID_PARAMETER (as a status code) for a value outside the enumeration.
size_t DigestLength(DigestAlg alg);
size_t BlockLength(DigestAlg alg);

// A running digest. The state may have seen a PIN, so it is wiped when the object goes.
class CDigest final {
public:
    explicit CDigest(DigestAlg alg);
    ~CDigest();
    CDigest(const CDigest&) = delete;
    CDigest& operator=(const CDigest&) = delete;

    // Discards anything fed so far and starts a new message.
    void Reset();
    void Update(libapdu::ByteSpan data);
    // Returns the digest of everything fed since the last reset, then resets.
    libapdu::ByteVector Finish();

private:
    void Compress(const uint8_t* block);
    void AppendPadding();
    libapdu::ByteVector ChainingValueBytes() const;

    const DigestAlg m_alg;
    const size_t m_blockLength;
    std::array<uint32_t, 8> m_chain32{};  // SHA-1 (first five words) and SHA-256
    std::array<uint64_t, 8> m_chain64{};  // SHA-384 and SHA-512
    std::array<uint8_t, 128> m_block{};
    size_t m_buffered = 0;
    uint64_t m_totalBytes = 0;
};

libapdu::ByteVector Digest(DigestAlg alg, libapdu::ByteSpan data);

// MGF1 (RFC 8017, B.2.1): the digests of seed || counter (4 bytes, high byte first) for counter
// 0, 1, ..., concatenated and cut to maskLength. With hLen >= 20 the counter cannot overflow.
libapdu::ByteVector Mgf1(DigestAlg alg, libapdu::ByteSpan seed, uint32_t maskLength);

// EMSA-PSS encoding (RFC 8017, 9.1.1) of the message digest `mHash` for a modulus of 8 * emLen bits:
// MGF1 over the same digest, trailer BC, the top bit of the block cleared. SCARD_E_INVALID_PARAMETER
// when emLen cannot hold the digest, the salt and the two fixed bytes.
libapdu::ByteVector PssEncode(DigestAlg alg, libapdu::ByteSpan mHash, libapdu::ByteSpan salt, size_t emLen);

}  // namespace digest
