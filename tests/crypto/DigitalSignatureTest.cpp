// The crypto-library routines: RSA public decryption and "Salted__"
// containers, against the openssl command line.

#include "common/core/crypto/digitalsignature/DigitalSignature.h"
#include "testkit/ScratchDirectory.h"
#include "testkit/crypto/CertificateBuilder.h"
#include "testkit/crypto/OpenSslCommand.h"

#include <gtest/gtest.h>

#include <span>
#include <string>
#include <vector>

using namespace testkit;

TEST(X509CertTest, RsaPublicDecryptRecoversTheSignedBytes)
{
    const std::string pem = BuildX509Pem(MakerX509Spec("Partner Certificate"),
                                         CTestKey::Get(kVendorKey), CTestKey::Get(kMasterKey));
    const std::vector<uint8_t> digest{1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16};
    const std::vector<uint8_t> signature = CTestKey::Get(kVendorKey).SignDigest(digest);
    DecryptResult result;
    RsaPublicDecrypt(signature, pem.data(), pem.size(), kCertificateFormatPem, result);
    EXPECT_EQ(result.data, digest);
    EXPECT_EQ(result.length, 16);

    RsaPublicDecrypt(signature, "garbage", 7, kCertificateFormatPem, result);
    EXPECT_TRUE(result.data.empty());
    EXPECT_EQ(result.libraryError, 5u);
}

TEST(SaltedContainerTest, ReadsWhatTheCommandLineWrites)
{
    CScratchDirectory scratch("salted");
    const std::string plain(300, 'r');
    const std::string input = scratch.WriteText("plain", plain);
    const std::string containerText =
        RunCommand("openssl enc -aes-128-cbc -md md5 -pass pass:phrase -in " + input);
    const std::vector<uint8_t> container(containerText.begin(), containerText.end());
    const std::string phrase = "phrase";
    const std::span<const uint8_t> pass(reinterpret_cast<const uint8_t*>(phrase.data()),
                                        phrase.size());
    std::vector<uint8_t> out;
    EXPECT_EQ(DecryptSaltedContainer(pass, container, out, 2, 0), kSaltedOk);
    EXPECT_EQ(std::string(out.begin(), out.end()), plain);

    std::vector<uint8_t> noMagic = container;
    noMagic[0] = 'X';
    out.clear();
    EXPECT_EQ(DecryptSaltedContainer(pass, noMagic, out, 2, 0), kSaltedNoMagic);
    EXPECT_TRUE(out.empty());
    EXPECT_EQ(DecryptSaltedContainer(pass, container, out, 9, 0), kSaltedUnknownCipher);
    const std::string wrong = "phrasf";
    EXPECT_NE(DecryptSaltedContainer({reinterpret_cast<const uint8_t*>(wrong.data()), wrong.size()},
                                     container, out, 2, 0),
              kSaltedOk);

    const std::vector<uint8_t> made =
        MakeSaltedContainer(pass, std::vector<uint8_t>(plain.begin(), plain.end()));
    const std::string madeFile = scratch.WriteBytes("made", made);
    EXPECT_EQ(RunCommand("openssl enc -d -aes-128-cbc -md md5 -pass pass:phrase -in " + madeFile),
              plain);
}
