#include "libapdu/token/digest.h"

#include <algorithm>

#include "libapdu/token/failure.h"
#include "platform/platform.h"

namespace digest {
namespace {

using libapdu::ByteSpan;
using libapdu::ByteVector;

template <class Word>
Word LoadBigEndian(const uint8_t* p) {
    Word w = 0;
    for (size_t i = 0; i < sizeof(Word); ++i) w = static_cast<Word>((w << 8) | p[i]);
    return w;
}

template <class Word>
void StoreBigEndian(Word w, uint8_t* p) {
    for (size_t i = sizeof(Word); i-- > 0; w >>= 8) p[i] = static_cast<uint8_t>(w);
}

template <class Word>
Word Rotr(Word x, unsigned n) {
    return static_cast<Word>((x >> n) | (x << (8 * sizeof(Word) - n)));
}

template <class Word>
Word Rotl(Word x, unsigned n) {
    return Rotr(x, 8 * sizeof(Word) - n);
}

template <class Word, size_t N>
void WipeArray(std::array<Word, N>& a) noexcept {
    platform::SecureWipe(a.data(), sizeof(a));
}

constexpr std::array<uint32_t, 5> kSha1Initial{0x67452301, 0xefcdab89, 0x98badcfe, 0x10325476, 0xc3d2e1f0};
constexpr std::array<uint32_t, 8> kSha256Initial{0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a,
                                                 0x510e527f, 0x9b05688c, 0x1f83d9ab, 0x5be0cd19};
constexpr std::array<uint64_t, 8> kSha384Initial{0xcbbb9d5dc1059ed8, 0x629a292a367cd507, 0x9159015a3070dd17,
                                                 0x152fecd8f70e5939, 0x67332667ffc00b31, 0x8eb44a8768581511,
                                                 0xdb0c2e0d64f98fa7, 0x47b5481dbefa4fa4};
constexpr std::array<uint64_t, 8> kSha512Initial{0x6a09e667f3bcc908, 0xbb67ae8584caa73b, 0x3c6ef372fe94f82b,
                                                 0xa54ff53a5f1d36f1, 0x510e527fade682d1, 0x9b05688c2b3e6c1f,
                                                 0x1f83d9abfb41bd6b, 0x5be0cd19137e2179};

void Sha1Compress(std::array<uint32_t, 8>& h, const uint8_t* block) {
    std::array<uint32_t, 80> w{};
    for (size_t t = 0; t < 16; ++t) w[t] = LoadBigEndian<uint32_t>(block + 4 * t);
    for (size_t t = 16; t < 80; ++t) w[t] = Rotl(w[t - 3] ^ w[t - 8] ^ w[t - 14] ^ w[t - 16], 1);

    uint32_t a = h[0];
    uint32_t b = h[1];
    uint32_t c = h[2];
    uint32_t d = h[3];
    uint32_t e = h[4];
    for (size_t t = 0; t < 80; ++t) {
        uint32_t f = 0;
        uint32_t k = 0;
        if (t < 20) {
            f = (b & c) | (~b & d);
            k = 0x5a827999;
        } else if (t < 40) {
            f = b ^ c ^ d;
            k = 0x6ed9eba1;
        } else if (t < 60) {
            f = (b & c) | (b & d) | (c & d);
            k = 0x8f1bbcdc;
        } else {
            f = b ^ c ^ d;
            k = 0xca62c1d6;
        }
        const uint32_t next = Rotl(a, 5) + f + e + k + w[t];
        e = d;
        d = c;
        c = Rotl(b, 30);
        b = a;
        a = next;
    }
    h[0] += a;
    h[1] += b;
    h[2] += c;
    h[3] += d;
    h[4] += e;
    WipeArray(w);
}

// SHA-256 and SHA-512 run the same compression over different word sizes; a family supplies the
// word, the round constants and the rotation amounts (the last amount of each small sigma is a shift).
struct Sha256Family {
    using Word = uint32_t;
    static constexpr std::array<unsigned, 3> kSum0{2, 13, 22};
    static constexpr std::array<unsigned, 3> kSum1{6, 11, 25};
    static constexpr std::array<unsigned, 3> kSigma0{7, 18, 3};
    static constexpr std::array<unsigned, 3> kSigma1{17, 19, 10};
    static constexpr std::array<uint32_t, 64> kRoundConstants{
        0x428a2f98, 0x71374491, 0xb5c0fbcf, 0xe9b5dba5, 0x3956c25b, 0x59f111f1, 0x923f82a4, 0xab1c5ed5,
        0xd807aa98, 0x12835b01, 0x243185be, 0x550c7dc3, 0x72be5d74, 0x80deb1fe, 0x9bdc06a7, 0xc19bf174,
        0xe49b69c1, 0xefbe4786, 0x0fc19dc6, 0x240ca1cc, 0x2de92c6f, 0x4a7484aa, 0x5cb0a9dc, 0x76f988da,
        0x983e5152, 0xa831c66d, 0xb00327c8, 0xbf597fc7, 0xc6e00bf3, 0xd5a79147, 0x06ca6351, 0x14292967,
        0x27b70a85, 0x2e1b2138, 0x4d2c6dfc, 0x53380d13, 0x650a7354, 0x766a0abb, 0x81c2c92e, 0x92722c85,
        0xa2bfe8a1, 0xa81a664b, 0xc24b8b70, 0xc76c51a3, 0xd192e819, 0xd6990624, 0xf40e3585, 0x106aa070,
        0x19a4c116, 0x1e376c08, 0x2748774c, 0x34b0bcb5, 0x391c0cb3, 0x4ed8aa4a, 0x5b9cca4f, 0x682e6ff3,
        0x748f82ee, 0x78a5636f, 0x84c87814, 0x8cc70208, 0x90befffa, 0xa4506ceb, 0xbef9a3f7, 0xc67178f2};
};

struct Sha512Family {
    using Word = uint64_t;
    static constexpr std::array<unsigned, 3> kSum0{28, 34, 39};
    static constexpr std::array<unsigned, 3> kSum1{14, 18, 41};
    static constexpr std::array<unsigned, 3> kSigma0{1, 8, 7};
    static constexpr std::array<unsigned, 3> kSigma1{19, 61, 6};
    static constexpr std::array<uint64_t, 80> kRoundConstants{
        0x428a2f98d728ae22, 0x7137449123ef65cd, 0xb5c0fbcfec4d3b2f, 0xe9b5dba58189dbbc, 0x3956c25bf348b538,
        0x59f111f1b605d019, 0x923f82a4af194f9b, 0xab1c5ed5da6d8118, 0xd807aa98a3030242, 0x12835b0145706fbe,
        0x243185be4ee4b28c, 0x550c7dc3d5ffb4e2, 0x72be5d74f27b896f, 0x80deb1fe3b1696b1, 0x9bdc06a725c71235,
        0xc19bf174cf692694, 0xe49b69c19ef14ad2, 0xefbe4786384f25e3, 0x0fc19dc68b8cd5b5, 0x240ca1cc77ac9c65,
        0x2de92c6f592b0275, 0x4a7484aa6ea6e483, 0x5cb0a9dcbd41fbd4, 0x76f988da831153b5, 0x983e5152ee66dfab,
        0xa831c66d2db43210, 0xb00327c898fb213f, 0xbf597fc7beef0ee4, 0xc6e00bf33da88fc2, 0xd5a79147930aa725,
        0x06ca6351e003826f, 0x142929670a0e6e70, 0x27b70a8546d22ffc, 0x2e1b21385c26c926, 0x4d2c6dfc5ac42aed,
        0x53380d139d95b3df, 0x650a73548baf63de, 0x766a0abb3c77b2a8, 0x81c2c92e47edaee6, 0x92722c851482353b,
        0xa2bfe8a14cf10364, 0xa81a664bbc423001, 0xc24b8b70d0f89791, 0xc76c51a30654be30, 0xd192e819d6ef5218,
        0xd69906245565a910, 0xf40e35855771202a, 0x106aa07032bbd1b8, 0x19a4c116b8d2d0c8, 0x1e376c085141ab53,
        0x2748774cdf8eeb99, 0x34b0bcb5e19b48a8, 0x391c0cb3c5c95a63, 0x4ed8aa4ae3418acb, 0x5b9cca4f7763e373,
        0x682e6ff3d6b2b8a3, 0x748f82ee5defb2fc, 0x78a5636f43172f60, 0x84c87814a1f0ab72, 0x8cc702081a6439ec,
        0x90befffa23631e28, 0xa4506cebde82bde9, 0xbef9a3f7b2c67915, 0xc67178f2e372532b, 0xca273eceea26619c,
        0xd186b8c721c0c207, 0xeada7dd6cde0eb1e, 0xf57d4f7fee6ed178, 0x06f067aa72176fba, 0x0a637dc5a2c898a6,
        0x113f9804bef90dae, 0x1b710b35131c471b, 0x28db77f523047d84, 0x32caab7b40c72493, 0x3c9ebe0a15c9bebc,
        0x431d67c49c100d4c, 0x4cc5d4becb3e42b6, 0x597f299cfc657e2a, 0x5fcb6fab3ad6faec, 0x6c44198c4a475817};
};

template <class Word>
Word BigSigma(Word x, const std::array<unsigned, 3>& r) {
    return Rotr(x, r[0]) ^ Rotr(x, r[1]) ^ Rotr(x, r[2]);
}

template <class Word>
Word SmallSigma(Word x, const std::array<unsigned, 3>& r) {
    return Rotr(x, r[0]) ^ Rotr(x, r[1]) ^ static_cast<Word>(x >> r[2]);
}

template <class Family>
void Sha2Compress(std::array<typename Family::Word, 8>& h, const uint8_t* block) {
    using Word = typename Family::Word;
    constexpr size_t kRounds = Family::kRoundConstants.size();
    std::array<Word, kRounds> w{};
    for (size_t t = 0; t < 16; ++t) w[t] = LoadBigEndian<Word>(block + sizeof(Word) * t);
    for (size_t t = 16; t < kRounds; ++t) {
        w[t] = SmallSigma(w[t - 2], Family::kSigma1) + w[t - 7] + SmallSigma(w[t - 15], Family::kSigma0) +
               w[t - 16];
    }

    Word a = h[0];
    Word b = h[1];
    Word c = h[2];
    Word d = h[3];
    Word e = h[4];
    Word f = h[5];
    Word g = h[6];
    Word hh = h[7];
    for (size_t t = 0; t < kRounds; ++t) {
        const Word choose = (e & f) ^ (~e & g);
        const Word majority = (a & b) ^ (a & c) ^ (b & c);
        const Word t1 = hh + BigSigma(e, Family::kSum1) + choose + Family::kRoundConstants[t] + w[t];
        const Word t2 = BigSigma(a, Family::kSum0) + majority;
        hh = g;
        g = f;
        f = e;
        e = d + t1;
        d = c;
        c = b;
        b = a;
        a = t1 + t2;
    }
    h[0] += a;
    h[1] += b;
    h[2] += c;
    h[3] += d;
    h[4] += e;
    h[5] += f;
    h[6] += g;
    h[7] += hh;
    WipeArray(w);
}

template <class Word, size_t N>
ByteVector WordsBigEndian(const std::array<Word, N>& words, size_t length) {
    ByteVector out(N * sizeof(Word));
    for (size_t i = 0; i < N; ++i) StoreBigEndian(words[i], &out[i * sizeof(Word)]);
    out.resize(length);
    return out;
}

}  // namespace

size_t DigestLength(DigestAlg alg) {
    switch (alg) {
        case DigestAlg::Sha1:
            return 20;
        case DigestAlg::Sha256:
            return 32;
        case DigestAlg::Sha384:
            return 48;
        case DigestAlg::Sha512:
            return 64;
    }
    ThrowStatus(SCARD_E_INVALID_PARAMETER);
}

size_t BlockLength(DigestAlg alg) {
    switch (alg) {
        case DigestAlg::Sha1:
        case DigestAlg::Sha256:
            return 64;
        case DigestAlg::Sha384:
        case DigestAlg::Sha512:
            return 128;
    }
    ThrowStatus(SCARD_E_INVALID_PARAMETER);
}

CDigest::CDigest(DigestAlg alg) : m_alg(alg), m_blockLength(BlockLength(alg)) {
    Reset();
}

CDigest::~CDigest() {
    WipeArray(m_chain32);
    WipeArray(m_chain64);
    WipeArray(m_block);
}

void CDigest::Reset() {
    m_chain32.fill(0);
    m_chain64.fill(0);
    switch (m_alg) {
        case DigestAlg::Sha1:
            std::copy(kSha1Initial.begin(), kSha1Initial.end(), m_chain32.begin());
            break;
        case DigestAlg::Sha256:
            m_chain32 = kSha256Initial;
            break;
        case DigestAlg::Sha384:
            m_chain64 = kSha384Initial;
            break;
        case DigestAlg::Sha512:
            m_chain64 = kSha512Initial;
            break;
    }
    WipeArray(m_block);
    m_buffered = 0;
    m_totalBytes = 0;
}

void CDigest::Compress(const uint8_t* block) {
    switch (m_alg) {
        case DigestAlg::Sha1:
            Sha1Compress(m_chain32, block);
            break;
        case DigestAlg::Sha256:
            Sha2Compress<Sha256Family>(m_chain32, block);
            break;
        case DigestAlg::Sha384:
        case DigestAlg::Sha512:
            Sha2Compress<Sha512Family>(m_chain64, block);
            break;
    }
}

void CDigest::Update(ByteSpan data) {
    const uint8_t* next = data.data;
    size_t left = data.size;
    m_totalBytes += left;
    if (left == 0) return;

    if (m_buffered != 0) {
        const size_t take = std::min(left, m_blockLength - m_buffered);
        std::copy_n(next, take, m_block.begin() + m_buffered);
        m_buffered += take;
        next += take;
        left -= take;
        if (m_buffered < m_blockLength) return;
        Compress(m_block.data());
        m_buffered = 0;
    }
    for (; left >= m_blockLength; next += m_blockLength, left -= m_blockLength) Compress(next);
    std::copy_n(next, left, m_block.begin());
    m_buffered = left;
}

// 0x80, zeros, then the message length in bits, high byte first, in the last 8 (SHA-1/256) or
// 16 (SHA-384/512) bytes of a block; a second block follows when the length no longer fits.
void CDigest::AppendPadding() {
    const size_t lengthField = m_blockLength / 8;
    m_block[m_buffered++] = 0x80;
    if (m_buffered > m_blockLength - lengthField) {
        std::fill(m_block.begin() + m_buffered, m_block.begin() + m_blockLength, 0);
        Compress(m_block.data());
        m_buffered = 0;
    }
    std::fill(m_block.begin() + m_buffered, m_block.begin() + m_blockLength - 8, 0);
    // A 64-bit byte count is at most 67 bits of bit count; the 128-bit field gets the top three.
    if (lengthField == 16) StoreBigEndian<uint64_t>(m_totalBytes >> 61, &m_block[m_blockLength - 16]);
    StoreBigEndian<uint64_t>(m_totalBytes << 3, &m_block[m_blockLength - 8]);
    Compress(m_block.data());
}

ByteVector CDigest::ChainingValueBytes() const {
    const size_t length = DigestLength(m_alg);
    return m_blockLength == 64 ? WordsBigEndian(m_chain32, length) : WordsBigEndian(m_chain64, length);
}

ByteVector CDigest::Finish() {
    AppendPadding();
    ByteVector out = ChainingValueBytes();
    Reset();
    return out;
}

ByteVector Digest(DigestAlg alg, ByteSpan data) {
    CDigest d(alg);
    d.Update(data);
    return d.Finish();
}

ByteVector Mgf1(DigestAlg alg, ByteSpan seed, uint32_t maskLength) {
    ByteVector mask;
    mask.reserve(maskLength);
    CDigest d(alg);
    for (uint32_t counter = 0; mask.size() < maskLength; ++counter) {
        std::array<uint8_t, 4> counterBytes{};
        StoreBigEndian(counter, counterBytes.data());
        d.Update(seed);
        d.Update(ByteSpan(counterBytes.data(), counterBytes.size()));
        const ByteVector block = d.Finish();
        const size_t take = std::min(block.size(), maskLength - mask.size());
        mask.insert(mask.end(), block.begin(), block.begin() + static_cast<ptrdiff_t>(take));
    }
    return mask;
}

// EM = maskedDB || H || BC, where H = Hash(00 x 8 || mHash || salt) and DB = 00 .. 00 01 || salt.
ByteVector PssEncode(DigestAlg alg, ByteSpan mHash, ByteSpan salt, size_t emLen) {
    const size_t hLen = DigestLength(alg);
    if (emLen < hLen + salt.size + 2 || emLen > UINT32_MAX) ThrowStatus(SCARD_E_INVALID_PARAMETER);
    CDigest d(alg);
    const std::array<uint8_t, 8> zeros{};
    d.Update(ByteSpan(zeros.data(), zeros.size()));
    d.Update(mHash);
    d.Update(salt);
    const ByteVector h = d.Finish();

    const size_t dbLength = emLen - hLen - 1;
    ByteVector em(dbLength - salt.size - 1, 0x00);
    em.push_back(0x01);
    em.insert(em.end(), salt.begin(), salt.end());
    const ByteVector mask = Mgf1(alg, h, static_cast<uint32_t>(dbLength));
    for (size_t i = 0; i < dbLength; ++i) em[i] ^= mask[i];
    em[0] &= 0x7F;
    em.insert(em.end(), h.begin(), h.end());
    em.push_back(0xBC);
    return em;
}

}  // namespace digest
