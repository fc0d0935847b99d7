// SHA-256, the image hashes and the PKCS#1 check, against the openssl command
// line and fixed vectors.

#include "common/core/crypto/digitalsignature/Digests.h"
#include "testkit/ScratchDirectory.h"
#include "testkit/crypto/OpenSslCommand.h"
#include "testkit/crypto/TestKeys.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

using testkit::HexText;

namespace
{
std::vector<uint8_t> Pattern(size_t length)
{
    std::vector<uint8_t> bytes(length);
    for (size_t i = 0; i < length; ++i)
    {
        bytes[i] = static_cast<uint8_t>(i * 31 + 7);
    }
    return bytes;
}

std::vector<uint8_t> Bytes(const std::string& text)
{
    return {text.begin(), text.end()};
}

ImageHashState Fnv(const std::vector<std::vector<uint8_t>>& pieces)
{
    ImageHashState state = kFnvStart;
    for (const auto& piece : pieces)
    {
        FnvDualHash64(piece.data(), piece.size(), state.data());
    }
    return state;
}

ImageHashState DaviesMeyer(const std::vector<std::vector<uint8_t>>& pieces)
{
    ImageHashState state = kDaviesMeyerStart;
    for (const auto& piece : pieces)
    {
        AesDaviesMeyerHash(piece.data(), piece.size(), state.data());
    }
    return state;
}
} // namespace

TEST(Sha256Test, MatchesTheCommandLineAroundTheBlockEdges)
{
    testkit::CScratchDirectory scratch("sha256");
    for (size_t length : {0, 55, 56, 63, 64, 1000})
    {
        const std::vector<uint8_t> data = Pattern(length);
        const std::string file = scratch.WriteBytes("data" + std::to_string(length), data);
        const std::string expected =
            testkit::RunCommand("openssl dgst -sha256 -r " + file).substr(0, 64);
        uint8_t digest[kSha256Size];
        Sha256(data.data(), data.size(), digest);
        EXPECT_EQ(HexText(digest, kSha256Size), expected) << "length " << length;
    }
}

TEST(FnvDualHashTest, KnownVectorsAndOddEnds)
{
    const ImageHashState a = Fnv({Bytes("a")});
    EXPECT_EQ(HexText(a.data(), 16), "d3a4000000610000"
                                     "4db1010000ff0000");
    const ImageHashState abc = Fnv({Bytes("abc")});
    EXPECT_EQ(HexText(abc.data(), 16), "10d7170100834901"
                                       "9bdf1a0100ff4c01");
    EXPECT_EQ(Fnv({{}}), kFnvStart);
    // Each call pads its own odd end, so a split changes the result.
    EXPECT_NE(Fnv({Bytes("a"), Bytes("bc")}), abc);
    EXPECT_EQ(Fnv({Bytes("ab"), Bytes("c")}), abc);
    EXPECT_EQ(Fnv({Bytes("ab"), Bytes("cd")}), Fnv({Bytes("abcd")}));
}

namespace
{
// One Davies-Meyer step done by the command line: H = AES-Decrypt(key, H) ^ H.
void ReferenceStep(const testkit::CScratchDirectory& scratch, ImageHashState& state,
                   const uint8_t* key)
{
    const std::string file = scratch.WriteBytes("block", state);
    const std::string plain = testkit::RunCommand("openssl enc -d -aes-128-ecb -nopad -K " +
                                                  HexText(key, 16) + " -in " + file);
    ASSERT_EQ(plain.size(), 16u);
    for (size_t i = 0; i < 16; ++i)
    {
        state[i] ^= static_cast<uint8_t>(plain[i]);
    }
}

ImageHashState ReferenceDaviesMeyer(const std::vector<uint8_t>& data)
{
    testkit::CScratchDirectory scratch("dmhash");
    std::vector<uint8_t> padded = data;
    padded.resize((data.size() + 255) / 256 * 256, 0xED);
    ImageHashState state = kDaviesMeyerStart;
    for (size_t at = 0; at < padded.size(); at += 16)
    {
        ReferenceStep(scratch, state, padded.data() + at);
    }
    uint8_t final[16] = {0x80};
    const auto bits = static_cast<uint32_t>(data.size() * 8);
    final[12] = static_cast<uint8_t>(bits >> 24);
    final[13] = static_cast<uint8_t>(bits >> 16);
    final[14] = static_cast<uint8_t>(bits >> 8);
    final[15] = static_cast<uint8_t>(bits);
    ReferenceStep(scratch, state, final);
    return state;
}
} // namespace

TEST(DaviesMeyerHashTest, MatchesAesOfTheCommandLineAtAWholeAndAPaddedChunk)
{
    for (size_t length : {256, 257})
    {
        const std::vector<uint8_t> data = Pattern(length);
        EXPECT_EQ(DaviesMeyer({data}), ReferenceDaviesMeyer(data)) << "length " << length;
    }
}

TEST(DaviesMeyerHashTest, EmptyIsOnePaddedChunkAndEveryCallEndsItsOwnMessage)
{
    const ImageHashState empty = DaviesMeyer({{}});
    EXPECT_NE(empty, kDaviesMeyerStart);
    EXPECT_EQ(empty, DaviesMeyer({std::vector<uint8_t>()}));
    EXPECT_NE(DaviesMeyer({Bytes("ab"), Bytes("c")}), DaviesMeyer({Bytes("abc")}));
}

TEST(ImageStageHashesTest, OnePassLeavesTheStatesOfBothHashesRangeAfterRange)
{
    // Ranges of whole chunks, odd ends and empty ones, with the block groups
    // of the one-pass loop cut at every place.
    const std::vector<std::vector<size_t>> cases = {
        {0}, {1}, {16}, {255}, {256}, {257}, {512, 1}, {4096 + 48, 3, 256 * 5 + 16}, {33, 0, 768}};
    for (const std::vector<size_t>& lengths : cases)
    {
        std::vector<std::vector<uint8_t>> pieces;
        ImageStageHashes stage;
        for (size_t length : lengths)
        {
            pieces.push_back(Pattern(length + pieces.size()));
            stage.Add(pieces.back().data(), pieces.back().size());
        }
        EXPECT_EQ(stage.dm, DaviesMeyer(pieces)) << lengths.front();
        EXPECT_EQ(stage.fnv, Fnv(pieces)) << lengths.front();
    }
}

TEST(Pkcs1SignatureTest, AcceptsTheExactBlockOnly)
{
    const testkit::CTestKey& key = testkit::CTestKey::Get(testkit::kVendorKey);
    const auto modulus = key.Modulus();
    for (size_t digestSize : {16, 32})
    {
        const std::vector<uint8_t> digest = Pattern(digestSize);
        std::vector<uint8_t> signature = key.SignDigest(digest);
        auto check = [&](uint32_t exponent, const std::vector<uint8_t>& d)
        {
            return VerifyPkcs1Signature(modulus, exponent,
                                        std::span<const uint8_t, 128>(signature.data(), 128), d);
        };
        EXPECT_TRUE(check(key.Exponent(), digest)) << digestSize;
        std::vector<uint8_t> otherDigest = digest;
        otherDigest.back() ^= 1;
        EXPECT_FALSE(check(key.Exponent(), otherDigest));
        EXPECT_FALSE(check(0, digest));
        signature[64] ^= 0x10;
        EXPECT_FALSE(check(key.Exponent(), digest));
    }
}

TEST(Pkcs1SignatureTest, RefusesASignatureOfAnotherKey)
{
    const std::vector<uint8_t> digest = Pattern(32);
    const std::vector<uint8_t> signature =
        testkit::CTestKey::Get(testkit::kStrangerKey).SignDigest(digest);
    EXPECT_FALSE(VerifyPkcs1Signature(testkit::CTestKey::Get(testkit::kVendorKey).Modulus(), 65537,
                                      std::span<const uint8_t, 128>(signature.data(), 128),
                                      digest));
}
