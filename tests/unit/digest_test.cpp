#include <gcrypt.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <string>
#include <vector>

#include "libapdu/token/digest.h"
#include "libapdu/token/failure.h"

using digest::CDigest;
using digest::DigestAlg;
using libapdu::ByteSpan;
using libapdu::ByteVector;

namespace {

constexpr DigestAlg kAllAlgorithms[] = {DigestAlg::Sha1, DigestAlg::Sha256, DigestAlg::Sha384,
                                        DigestAlg::Sha512};

ByteVector Hex(const std::string& hex) {
    ByteVector out;
    for (size_t i = 0; i + 1 < hex.size(); i += 2) {
        out.push_back(static_cast<uint8_t>(std::stoul(hex.substr(i, 2), nullptr, 16)));
    }
    return out;
}

ByteVector Text(const std::string& s) {
    return ByteVector(s.begin(), s.end());
}

ByteVector RandomBytes(size_t n, uint32_t seed) {
    std::mt19937 gen(seed);
    ByteVector out(n);
    for (auto& b : out) b = static_cast<uint8_t>(gen());
    return out;
}

int GcryptAlgorithm(DigestAlg alg) {
    switch (alg) {
        case DigestAlg::Sha1:
            return GCRY_MD_SHA1;
        case DigestAlg::Sha256:
            return GCRY_MD_SHA256;
        case DigestAlg::Sha384:
            return GCRY_MD_SHA384;
        case DigestAlg::Sha512:
            return GCRY_MD_SHA512;
    }
    return GCRY_MD_NONE;
}

ByteVector GcryptDigest(DigestAlg alg, const ByteVector& message) {
    static const bool ready = gcry_check_version(nullptr) != nullptr;
    EXPECT_TRUE(ready);
    const int algo = GcryptAlgorithm(alg);
    ByteVector out(gcry_md_get_algo_dlen(algo));
    gcry_md_hash_buffer(algo, out.data(), message.data(), message.size());
    return out;
}

std::string AlgorithmName(const testing::TestParamInfo<DigestAlg>& info) {
    constexpr const char* kNames[] = {"Sha1", "Sha256", "Sha384", "Sha512"};
    return kNames[static_cast<int>(info.param)];
}

}  // namespace

namespace digest {
void PrintTo(DigestAlg alg, std::ostream* os) {
    *os << AlgorithmName({alg, 0});
}
}  // namespace digest

TEST(Digest, MatchesFips180ExampleVectors) {
    const std::string kAbc = "abc";
    const std::string k448 = "abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq";
    const std::string k896 =
        "abcdefghbcdefghicdefghijdefghijkefghijklfghijklmghijklmnhijklmnoijklmnopjklmnopqklmnopqrlmnopqrsmnop"
        "q"
        "rstnopqrstu";
    const std::string kMillionA(1000000, 'a');
    struct Case {
        DigestAlg alg;
        const std::string& message;
        const char* expected;
    };
    const Case cases[] = {
        {DigestAlg::Sha1, kAbc, "a9993e364706816aba3e25717850c26c9cd0d89d"},
        {DigestAlg::Sha1, k448, "84983e441c3bd26ebaae4aa1f95129e5e54670f1"},
        {DigestAlg::Sha1, kMillionA, "34aa973cd4c4daa4f61eeb2bdbad27316534016f"},
        {DigestAlg::Sha256, kAbc, "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
        {DigestAlg::Sha256, k448, "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
        {DigestAlg::Sha256, kMillionA, "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"},
        {DigestAlg::Sha384, kAbc,
         "cb00753f45a35e8bb5a03d699ac65007272c32ab0eded1631a8b605a43ff5bed8086072ba1e7cc2358baeca134c825a7"},
        {DigestAlg::Sha384, k896,
         "09330c33f71147e83d192fc782cd1b4753111b173b3b05d22fa08086e3b0f712fcc7c71a557e2db966c3e9fa91746039"},
        {DigestAlg::Sha384, kMillionA,
         "9d0e1809716474cb086e834e310a4a1ced149e9c00f248527972cec5704c2a5b07b8b3dc38ecc4ebae97ddd87f3d8985"},
        {DigestAlg::Sha512, kAbc,
         "ddaf35a193617abacc417349ae20413112e6fa4e89a97ea20a9eeee64b55d39a"
         "2192992a274fc1a836ba3c23a3feebbd454d4423643ce80e2a9ac94fa54ca49f"},
        {DigestAlg::Sha512, k896,
         "8e959b75dae313da8cf4f72814fc143f8f7779c6eb9f7fa17299aeadb6889018"
         "501d289e4900f7e4331b99dec4b5433ac7d329eeb6dd26545e96e55b874be909"},
        {DigestAlg::Sha512, kMillionA,
         "e718483d0ce769644e2e42c7bc15b4638e1f98b13b2044285632a803afa973eb"
         "de0ff244877ea60a4cb0432ce577c31beb009c5c2c49aa2e4eadb217ad8cc09b"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message()
                     << AlgorithmName({c.alg, 0}) << " of " << c.message.size() << " bytes");
        EXPECT_EQ(digest::Digest(c.alg, Text(c.message)), Hex(c.expected));
    }
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
    const DigestAlg alg = GetParam();
    for (size_t length = 0; length <= 300; ++length) {
        SCOPED_TRACE(testing::Message() << length << " bytes");
        const ByteVector message = RandomBytes(length, static_cast<uint32_t>(length));
        const ByteVector expected = GcryptDigest(alg, message);
        EXPECT_EQ(digest::DigestLength(alg), expected.size());
        EXPECT_EQ(digest::Digest(alg, message), expected);
    }
}

TEST_P(DigestEachAlgorithm, GivesTheSameDigestWhateverTheUpdateSizes) {
    const DigestAlg alg = GetParam();
    const ByteVector message = RandomBytes(2000, 2024);
    const ByteVector expected = GcryptDigest(alg, message);
    const std::vector<std::vector<size_t>> splits = {
        {1}, {7}, {63}, {64}, {65}, {127}, {128}, {129}, {0, 1, 7, 63, 64, 65, 127, 128, 129}};
    for (const auto& pieces : splits) {
        SCOPED_TRACE(testing::Message() << "first piece " << pieces.front() << " of " << pieces.size());
        CDigest d(alg);
        size_t offset = 0;
        for (size_t i = 0; offset < message.size(); ++i) {
            const size_t n = std::min(pieces[i % pieces.size()], message.size() - offset);
            d.Update(ByteSpan(message.data() + offset, n));
            offset += n;
        }
        d.Update(ByteSpan());
        EXPECT_EQ(d.Finish(), expected);
    }
}

TEST_P(DigestEachAlgorithm, FinishStartsTheNextMessageFromScratch) {
    const DigestAlg alg = GetParam();
    CDigest d(alg);
    d.Update(RandomBytes(100, 1));
    d.Finish();
    d.Update(Text("abc"));
    EXPECT_EQ(d.Finish(), GcryptDigest(alg, Text("abc")));
    d.Update(RandomBytes(100, 2));
    d.Reset();
    EXPECT_EQ(d.Finish(), GcryptDigest(alg, {}));
}

INSTANTIATE_TEST_SUITE_P(Sha, DigestEachAlgorithm, testing::ValuesIn(kAllAlgorithms), AlgorithmName);

class Mgf1EachAlgorithm : public testing::TestWithParam<DigestAlg> {};

TEST_P(Mgf1EachAlgorithm, ConcatenatesTheDigestsOfSeedAndCounterUpToTheMaskLength) {
    const DigestAlg alg = GetParam();
    const ByteVector seed = RandomBytes(37, 5);
    ByteVector stream;
    for (uint8_t counter = 0; counter < 10; ++counter) {
        ByteVector input = seed;
        input.insert(input.end(), {0, 0, 0, counter});
        const ByteVector block = GcryptDigest(alg, input);
        stream.insert(stream.end(), block.begin(), block.end());
    }
    for (uint32_t length : {0u, 1u, 20u, 21u, 32u, 48u, 64u, 65u, 100u, 129u}) {
        SCOPED_TRACE(testing::Message() << "mask of " << length << " bytes");
        EXPECT_EQ(digest::Mgf1(alg, seed, length), ByteVector(stream.begin(), stream.begin() + length));
    }
}

INSTANTIATE_TEST_SUITE_P(Sha, Mgf1EachAlgorithm, testing::ValuesIn(kAllAlgorithms), AlgorithmName);

TEST(Mgf1, Sha1MaskOf21BytesKeepsOneByteOfTheSecondBlock) {
    ByteVector seed(20);
    for (size_t i = 0; i < seed.size(); ++i) seed[i] = static_cast<uint8_t>(i);
    EXPECT_EQ(digest::Mgf1(DigestAlg::Sha1, seed, 21), Hex("028553d821db1e8d1bc66ba574c0e3103105293199"));
}
