// Certificates 2.0: parse and signature table, validity on an injected clock,
// extensions, attributes and the printout.

#include "common/core/crypto/Cert20KRCert.h"
#include "common/core/crypto/CertificateTime.h"
#include "testkit/ScratchDirectory.h"
#include "testkit/crypto/CertificateBuilder.h"
#include "testkit/varnex/CapturedLog.h"

#include <gtest/gtest.h>

using namespace testkit;

namespace
{
const CTestKey& Master()
{
    return CTestKey::Get(kMasterKey);
}
const CTestKey& Vendor()
{
    return CTestKey::Get(kVendorKey);
}

std::vector<uint8_t> MasterBytes()
{
    Cert20Spec spec;
    spec.type = 2;
    return BuildCert20(spec, Master(), &CTestKey::Get(kRootKey));
}

CRefPtr<CBCRT20KRCert> Checked(const std::vector<uint8_t>& bytes)
{
    const std::vector<uint8_t> issuer = MasterBytes();
    return new CBCRT20KRCert(bytes, issuer, kCertOptionsFormat20, 0);
}

Cert20Spec WithExtensions()
{
    Cert20Spec spec;
    spec.extensions = {{cert20::kExtTimeServer, TextData("time.example.net")},
                       {cert20::kExtSigningProfile, TextData("DOZU Default")},
                       {cert20::kExtVendorPrivilege, TextData("Allow-PP")},
                       {cert20::kExtVendorName, TextData("Vendor Co")},
                       {cert20::kExtGpuId, {0x34, 0x12, 0x00, 0x00}}};
    return spec;
}
} // namespace

TEST(Cert20Test, SignatureAndHeaderTable)
{
    struct Case
    {
        const char* name;
        Cert20Spec spec;
        const CTestKey* signer;
        int32_t code;
    };
    Cert20Spec issuer2, version21, rsa3072, dmHash, threeAes;
    issuer2.issuerId = 2;
    version21.version = 0x21;
    rsa3072.crypto = 2;
    dmHash.hash = 1;
    threeAes = WithExtensions();
    threeAes.altCrypto = 2;
    threeAes.productionAltSignature = true;
    const Case cases[] = {
        {"good", Cert20Spec{}, &Master(), 0},
        {"good with extensions", WithExtensions(), &Master(), 0},
        {"3AES128 layout", threeAes, &Master(), 0},
        {"wrong issuer key", Cert20Spec{}, &CTestKey::Get(kStrangerKey), 58},
        {"issuer ID 2", issuer2, &Master(), 53},
        {"version 0x21", version21, &Master(), 48},
        {"crypto byte 2", rsa3072, &Master(), 56},
        {"hash byte not SHA-256", dmHash, &Master(), 58},
    };
    for (const Case& c : cases)
    {
        const CRefPtr<CBCRT20KRCert> cert = Checked(BuildCert20(c.spec, Vendor(), c.signer));
        EXPECT_EQ(cert->GetErrorCode(), c.code) << c.name;
        EXPECT_EQ(cert->IsValid(), c.code == 0) << c.name;
    }
}

TEST(Cert20Test, ThreeAesLayoutSignsAllButTheTrailingAlternateSignature)
{
    Cert20Spec spec = WithExtensions();
    spec.altCrypto = 2;
    spec.productionAltSignature = true;
    std::vector<uint8_t> bytes = BuildCert20(spec, Vendor(), &Master());
    bytes.back() ^= 0xFF; // alternate signature: not covered
    EXPECT_TRUE(Checked(bytes)->IsValid());
    bytes[bytes.size() - 32 - 128 - 1] ^= 1; // last signed byte
    EXPECT_EQ(Checked(bytes)->GetErrorCode(), 58);
}

TEST(Cert20Test, TruncatedCertificatesAreInvalidWithoutReadingPastTheBytes)
{
    const std::vector<uint8_t> whole = BuildCert20(WithExtensions(), Vendor(), &Master());
    for (size_t length :
         {size_t{0}, size_t{40}, size_t{175}, size_t{176}, size_t{200}, whole.size() - 1})
    {
        // A copy of exactly this length, so the sanitizer build sees any read past it.
        const std::vector<uint8_t> cut(whole.begin(),
                                       whole.begin() + static_cast<ptrdiff_t>(length));
        const CRefPtr<CBCRT20KRCert> cert = Checked(cut);
        EXPECT_FALSE(cert->IsValid()) << length;
        EXPECT_NE(cert->GetErrorCode(), 0) << length;
        EXPECT_EQ(cert->FindExtension(cert20::kExtVendorName).data.size(), 0u) << length;
        // No validity period makes a malformed certificate valid, and its
        // printout reads only what it holds.
        cert->CheckValidityPeriod(kTimeSourceLocalClock);
        EXPECT_FALSE(cert->IsValid()) << length;
        CLog silent;
        cert->Print(true, &silent);
    }
    const std::vector<uint8_t> master = MasterBytes();
    const std::vector<uint8_t> shortIssuer(master.begin(), master.begin() + 100);
    CRefPtr<CBCRT20KRCert> cert = new CBCRT20KRCert(whole, shortIssuer, kCertOptionsFormat20, 0);
    EXPECT_EQ(cert->GetErrorCode(), 58);
    cert = new CBCRT20KRCert(whole, std::span<const uint8_t>(), kCertOptionsFormat20, 0);
    EXPECT_EQ(cert->GetErrorCode(), 59);
}

TEST(Cert20Test, ValidityEdgesOnTheInjectedClock)
{
    Cert20Spec spec;
    spec.notBefore = 1700000000;
    spec.notAfter = 1800000000;
    const std::vector<uint8_t> bytes = BuildCert20(spec, Vendor(), &Master());
    struct Case
    {
        int64_t now;
        bool valid;
    };
    for (const Case c : {Case{1700000000, true}, Case{1800000000, true}, Case{1800000001, false},
                         Case{1699999999, false}})
    {
        CScopedCertificateClock clock([&] { return c.now; });
        CRefPtr<CBCRT20KRCert> cert = new CBCRT20KRCert(bytes, kCertOptionsFormat20, 0);
        EXPECT_EQ(cert->CheckValidityPeriod(kTimeSourceLocalClock), 0);
        EXPECT_EQ(cert->IsValid(), c.valid) << c.now;
        EXPECT_EQ(cert->GetErrorCode(), c.valid ? 0 : 13) << c.now;
    }
    BCRTValidityDate notBefore, notAfter;
    CRefPtr<CBCRT20KRCert> cert = new CBCRT20KRCert(bytes, kCertOptionsFormat20, 0);
    cert->CheckValidityPeriod(kTimeSourceLocalClock);
    cert->GetValidityPeriod(notBefore, notAfter);
    EXPECT_EQ(notAfter, (BCRTValidityDate{2027, 1, 15, 8, 0, 0}));

    // The network source is not available: the flag stays as it was.
    EXPECT_EQ(cert->CheckValidityPeriod(2), 0);
    EXPECT_EQ(cert->GetTimeStatus(), 4);
    EXPECT_EQ(cert->GetErrorCode(), 11);
}

TEST(Cert20Test, ExtensionsAndAttributes)
{
    CRefPtr<CBCRT20KRCert> cert = Checked(BuildCert20(WithExtensions(), Vendor(), &Master()));
    ASSERT_TRUE(cert->IsValid());
    EXPECT_EQ(cert->GetAttribute(2, 3), std::optional<std::string>("Ev9c-Qo5wHr4iTbL"));
    EXPECT_EQ(cert->GetAttribute(1, 3), std::optional<std::string>("time.example.net"));
    EXPECT_EQ(cert->GetAttribute(5, 3), std::optional<std::string>("Allow-PP"));
    EXPECT_EQ(cert->GetAttribute(6, 3), std::optional<std::string>("Vendor Co"));
    EXPECT_EQ(cert->GetAttribute(3, 3), std::nullopt);
    EXPECT_EQ(cert->GetAttribute(4, 2), std::optional<std::string>("3"));
    EXPECT_EQ(cert->GetExtensionText(), "Vendor Co");
    EXPECT_EQ(cert->GetGpuId(), 0x1234u);
    EXPECT_EQ(cert->FindExtension(cert20::kExtPsdl).code, 44);
    EXPECT_EQ(cert->GetPrivilegeCode("Allow-PP"), 1);
    EXPECT_EQ(cert->GetPrivilegeCode("allow-pp"), 0);
    EXPECT_EQ(cert->GetPrivilegeCode(nullptr), 0);

    Cert20Spec unknownProfile = WithExtensions();
    unknownProfile.extensions[1].second = TextData("DOZU Nobody");
    EXPECT_EQ(Checked(BuildCert20(unknownProfile, Vendor(), &Master()))->GetAttribute(2, 3),
              std::nullopt);

    CRefPtr<CBCRT20KRCert> plain = Checked(BuildCert20(Cert20Spec{}, Vendor(), &Master()));
    EXPECT_EQ(plain->GetGpuId(), 0u);
    EXPECT_EQ(plain->GetAttribute(1, 3), std::nullopt);
    EXPECT_EQ(plain->FindExtension(cert20::kExtTimeServer).code, 49);
}

TEST(Cert20Test, ReadFromAFile)
{
    CScratchDirectory scratch("cert20");
    CRefPtr<IBCRTCert> missing =
        CreateCertificate((scratch / "none.bin").string(), kCertOptionsFormat20, 0);
    EXPECT_EQ(missing->GetErrorCode(), 60);
    EXPECT_FALSE(missing->IsValid());

    CScopedCertificateClock clock([] { return int64_t{1700000000}; });
    const size_t servers = TimeServerList().size();
    const std::string path =
        scratch.WriteBytes("vendor.bin", BuildCert20(WithExtensions(), Vendor(), &Master()));
    CRefPtr<IBCRTCert> cert = CreateCertificate(path, kCertOptionsFormat20, 0);
    EXPECT_TRUE(cert->IsValid());
    EXPECT_EQ(cert->GetFormatVersion(), 2);
    EXPECT_TRUE(cert->IsVendorCertificate());
    EXPECT_EQ(cert->GetOwnerId(), 7);
    ASSERT_EQ(TimeServerList().size(), servers + 1);
    EXPECT_EQ(TimeServerList().back(), "time.example.net");
    TimeServerList().pop_back();
}

TEST(Cert20Test, PrintsItsFields)
{
    CScopedCertificateClock clock([] { return int64_t{1700000000}; });
    CRefPtr<CBCRT20KRCert> cert = new CBCRT20KRCert(
        BuildCert20(WithExtensions(), Vendor(), &Master()), kCertOptionsFormat20, 0);
    cert->CheckValidityPeriod(kTimeSourceLocalClock);
    CapturedLog captured;
    cert->Print(true, &captured.log);
    const std::string text = captured.text.str();
    for (const char* line :
         {"-- Certificate Infomation  --\n", "         Cert Version : 0x0020\n",
          "            Cert Type : 0006 (PP) \n", "          Issuer's ID : 00000001\n",
          "           Not Before : 01/01/2020, 00:00:00\n",
          "          Ext 5: VENDOR NAME: Vendor Co\n",
          "          Ext 2: BIOSMOD SECURITY LEVEL: DOZU Default\n"})
    {
        EXPECT_NE(text.find(line), std::string::npos) << line << "\nin\n" << text;
    }
    EXPECT_EQ(captured.log.GetLevel(), 4);
}
