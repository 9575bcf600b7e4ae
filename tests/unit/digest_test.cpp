#include <gcrypt.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "hex.h"
#include "libapdu/token/digest.h"
#include "libapdu/token/failure.h"

using digest::DigestAlg;
using libapdu::ByteVector;

namespace {

constexpr std::pair<DigestAlg, int> kAlgorithms[] = {{DigestAlg::Sha1, GCRY_MD_SHA1},
                                                     {DigestAlg::Sha256, GCRY_MD_SHA256},
                                                     {DigestAlg::Sha384, GCRY_MD_SHA384},
                                                     {DigestAlg::Sha512, GCRY_MD_SHA512}};

ByteVector Gcrypt(int algo, const ByteVector& message) {
    EXPECT_NE(gcry_check_version(nullptr), nullptr);
    ByteVector out(gcry_md_get_algo_dlen(algo));
    gcry_md_hash_buffer(algo, out.data(), message.data(), message.size());
    return out;
}

ByteVector Counting(size_t n) {
    ByteVector out(n);
    for (size_t i = 0; i < n; ++i) out[i] = static_cast<uint8_t>(i * 7 + n);
    return out;
}

}  // namespace

// FIPS 180 examples: "abc" and a million "a" (a bit count past 16 and 32 bits of bytes); MGF1 with SHA-1, a
// mask of 21 bytes keeping one byte of the second block.
TEST(Digest, KnownAnswers) {
    const std::string abc = "abc";
    const std::string millionA(1000000, 'a');
    const std::tuple<DigestAlg, const std::string&, const char*> cases[] = {
        {DigestAlg::Sha1, abc, "a9993e364706816aba3e25717850c26c9cd0d89d"},
        {DigestAlg::Sha1, millionA, "34aa973cd4c4daa4f61eeb2bdbad27316534016f"},
        {DigestAlg::Sha256, abc, "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
        {DigestAlg::Sha256, millionA, "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"},
        {DigestAlg::Sha384, abc,
         "cb00753f45a35e8bb5a03d699ac65007272c32ab0eded1631a8b605a43ff5bed8086072ba1e7cc2358baeca134c825a7"},
        {DigestAlg::Sha512, millionA,
         "e718483d0ce769644e2e42c7bc15b4638e1f98b13b2044285632a803afa973eb"
         "de0ff244877ea60a4cb0432ce577c31beb009c5c2c49aa2e4eadb217ad8cc09b"},
    };
    for (const auto& [alg, message, expected] : cases) {
        EXPECT_EQ(ToHex(digest::Digest(alg, ByteVector(message.begin(), message.end()))),
                  ToHex(Hex(expected)))
            << static_cast<int>(alg) << " of " << message.size();
    }
    ByteVector seed(20);
    for (size_t i = 0; i < seed.size(); ++i) seed[i] = static_cast<uint8_t>(i);
    EXPECT_EQ(ToHex(digest::Mgf1(DigestAlg::Sha1, seed, 21)), "028553D821DB1E8D1BC66BA574C0E3103105293199");
    EXPECT_THROW(digest::DigestLength(static_cast<DigestAlg>(7)), StatusCode);
}

// Every length 0..300 passes each padding boundary (55/56/63/64 bytes left in a 64-byte block,
// 111/112/127/128 in a 128-byte block) more than once; pieces of any size give the same digest, and MGF1 is
// the digests of seed || counter, cut at the mask length.
TEST(Digest, AgreesWithLibgcryptAtEveryLengthAndPieceSize) {
    for (const auto& [alg, algo] : kAlgorithms) {
        SCOPED_TRACE(algo);
        for (size_t length = 0; length <= 300; ++length) {
            const ByteVector message = Counting(length);
            ASSERT_EQ(digest::Digest(alg, message), Gcrypt(algo, message)) << length << " bytes";
        }
        const ByteVector message = Counting(2000);
        for (size_t piece : {1, 63, 64, 65, 127, 128, 129}) {
            digest::CDigest d(alg);
            d.Update(Counting(100));
            d.Reset();
            for (size_t at = 0; at < message.size(); at += piece)
                d.Update(libapdu::ByteSpan(message.data() + at, std::min(piece, message.size() - at)));
            EXPECT_EQ(d.Finish(), Gcrypt(algo, message)) << "pieces of " << piece;
        }
        const ByteVector seed = Counting(37);
        ByteVector stream;
        for (uint8_t counter = 0; counter < 10; ++counter) {
            const ByteVector block = Gcrypt(algo, Concat({seed, {0, 0, 0, counter}}));
            stream.insert(stream.end(), block.begin(), block.end());
        }
        for (uint32_t length : {0u, 1u, 21u, 64u, 65u, 129u})
            EXPECT_EQ(digest::Mgf1(alg, seed, length), ByteVector(stream.begin(), stream.begin() + length));
    }
}
