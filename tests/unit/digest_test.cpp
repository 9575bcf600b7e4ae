#include <gcrypt.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <string>
#include <vector>

#include "hex.h"
#include "libapdu/token/digest.h"
#include "libapdu/token/failure.h"

using digest::CDigest;
using digest::DigestAlg;
using libapdu::ByteSpan;
using libapdu::ByteVector;

namespace {

constexpr DigestAlg kAllAlgorithms[] = {DigestAlg::Sha1, DigestAlg::Sha256, DigestAlg::Sha384,
                                        DigestAlg::Sha512};
constexpr const char* kNames[] = {"Sha1", "Sha256", "Sha384", "Sha512"};
constexpr int kGcrypt[] = {GCRY_MD_SHA1, GCRY_MD_SHA256, GCRY_MD_SHA384, GCRY_MD_SHA512};

ByteVector RandomBytes(size_t n, uint32_t seed) {
    std::mt19937 gen(seed);
    ByteVector out(n);
    for (auto& b : out) b = static_cast<uint8_t>(gen());
    return out;
}

ByteVector GcryptDigest(DigestAlg alg, const ByteVector& message) {
    EXPECT_NE(gcry_check_version(nullptr), nullptr);
    const int algo = kGcrypt[static_cast<int>(alg)];
    ByteVector out(gcry_md_get_algo_dlen(algo));
    gcry_md_hash_buffer(algo, out.data(), message.data(), message.size());
    return out;
}

}  // namespace

namespace digest {
void PrintTo(DigestAlg alg, std::ostream* os) {
    *os << kNames[static_cast<int>(alg)];
}
}  // namespace digest

// FIPS 180 examples: "abc" and a million "a" (a bit count past 16 and 32 bits of bytes).
TEST(Digest, MatchesFips180ExampleVectors) {
    const std::string abc = "abc";
    const std::string millionA(1000000, 'a');
    const struct {
        DigestAlg alg;
        const std::string& message;
        const char* expected;
    } cases[] = {
        {DigestAlg::Sha1, abc, "a9993e364706816aba3e25717850c26c9cd0d89d"},
        {DigestAlg::Sha1, millionA, "34aa973cd4c4daa4f61eeb2bdbad27316534016f"},
        {DigestAlg::Sha256, abc, "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
        {DigestAlg::Sha256, millionA, "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"},
        {DigestAlg::Sha384, abc,
         "cb00753f45a35e8bb5a03d699ac65007272c32ab0eded1631a8b605a43ff5bed8086072ba1e7cc2358baeca134c825a7"},
        {DigestAlg::Sha384, millionA,
         "9d0e1809716474cb086e834e310a4a1ced149e9c00f248527972cec5704c2a5b07b8b3dc38ecc4ebae97ddd87f3d8985"},
        {DigestAlg::Sha512, abc,
         "ddaf35a193617abacc417349ae20413112e6fa4e89a97ea20a9eeee64b55d39a"
         "2192992a274fc1a836ba3c23a3feebbd454d4423643ce80e2a9ac94fa54ca49f"},
        {DigestAlg::Sha512, millionA,
         "e718483d0ce769644e2e42c7bc15b4638e1f98b13b2044285632a803afa973eb"
         "de0ff244877ea60a4cb0432ce577c31beb009c5c2c49aa2e4eadb217ad8cc09b"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << kNames[static_cast<int>(c.alg)] << " of " << c.message.size());
        EXPECT_EQ(digest::Digest(c.alg, ByteVector(c.message.begin(), c.message.end())), Hex(c.expected));
    }
    // MGF1 with SHA-1: a mask of 21 bytes keeps one byte of the second block.
    ByteVector seed(20);
    for (size_t i = 0; i < seed.size(); ++i) seed[i] = static_cast<uint8_t>(i);
    EXPECT_EQ(digest::Mgf1(DigestAlg::Sha1, seed, 21), Hex("028553d821db1e8d1bc66ba574c0e3103105293199"));
}

TEST(Digest, RejectsAnAlgorithmOutsideTheEnumeration) {
    const auto bogus = static_cast<DigestAlg>(7);
    EXPECT_THROW(digest::DigestLength(bogus), StatusCode);
    EXPECT_THROW(CDigest{bogus}, StatusCode);
}

class DigestEachAlgorithm : public testing::TestWithParam<DigestAlg> {};

// Every length 0..300 passes through each padding boundary: 55/56/63/64 bytes left in a 64-byte
// block and 111/112/127/128 in a 128-byte block, more than once.
TEST_P(DigestEachAlgorithm, AgreesWithLibgcryptForEveryLengthUpTo300Bytes) {
    for (size_t length = 0; length <= 300; ++length) {
        SCOPED_TRACE(testing::Message() << length << " bytes");
        const ByteVector message = RandomBytes(length, static_cast<uint32_t>(length));
        const ByteVector expected = GcryptDigest(GetParam(), message);
        EXPECT_EQ(digest::DigestLength(GetParam()), expected.size());
        EXPECT_EQ(digest::Digest(GetParam(), message), expected);
    }
}

TEST_P(DigestEachAlgorithm, GivesTheSameDigestWhateverTheUpdateSizes) {
    const ByteVector message = RandomBytes(2000, 2024);
    const ByteVector expected = GcryptDigest(GetParam(), message);
    const std::vector<std::vector<size_t>> splits = {
        {1}, {7}, {63}, {64}, {65}, {127}, {128}, {129}, {0, 1, 7, 63, 64, 65, 127, 128, 129}};
    for (const auto& pieces : splits) {
        SCOPED_TRACE(testing::Message() << "first piece " << pieces.front() << " of " << pieces.size());
        CDigest d(GetParam());
        for (size_t i = 0, offset = 0; offset < message.size(); ++i) {
            const size_t n = std::min(pieces[i % pieces.size()], message.size() - offset);
            d.Update(ByteSpan(message.data() + offset, n));
            offset += n;
        }
        d.Update(ByteSpan());
        EXPECT_EQ(d.Finish(), expected);
    }
    // Finish and Reset start the next message from scratch.
    CDigest d(GetParam());
    d.Update(RandomBytes(100, 1));
    d.Finish();
    d.Update(message);
    EXPECT_EQ(d.Finish(), expected);
    d.Update(RandomBytes(100, 2));
    d.Reset();
    EXPECT_EQ(d.Finish(), GcryptDigest(GetParam(), {}));
}

TEST_P(DigestEachAlgorithm, Mgf1ConcatenatesTheDigestsOfSeedAndCounterUpToTheMaskLength) {
    const ByteVector seed = RandomBytes(37, 5);
    ByteVector stream;
    for (uint8_t counter = 0; counter < 10; ++counter) {
        const ByteVector block = GcryptDigest(GetParam(), Concat({seed, {0, 0, 0, counter}}));
        stream.insert(stream.end(), block.begin(), block.end());
    }
    for (uint32_t length : {0u, 1u, 20u, 21u, 32u, 48u, 64u, 65u, 100u, 129u}) {
        SCOPED_TRACE(testing::Message() << "mask of " << length << " bytes");
        EXPECT_EQ(digest::Mgf1(GetParam(), seed, length),
                  ByteVector(stream.begin(), stream.begin() + length));
    }
}

INSTANTIATE_TEST_SUITE_P(Sha, DigestEachAlgorithm, testing::ValuesIn(kAllAlgorithms),
                         [](const auto& p) { return std::string(kNames[static_cast<int>(p.param)]); });
