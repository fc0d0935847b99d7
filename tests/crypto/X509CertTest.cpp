// X.509 certificates: names, types, issuer check, attributes and time
// strings.

#include "common/core/crypto/CertificateTime.h"
#include "common/core/crypto/X509Cert.h"
#include "testkit/ScratchDirectory.h"
#include "testkit/crypto/CertificateBuilder.h"

#include <gtest/gtest.h>

using namespace testkit;

namespace
{
CRefPtr<IBCRTCert> ReadX509(const CScratchDirectory& scratch, const X509Spec& spec)
{
    const std::string pem =
        BuildX509Pem(spec, CTestKey::Get(kVendorKey), CTestKey::Get(kMasterKey));
    return CreateCertificate(scratch.WriteText("cert.pem", pem), 0, 0);
}
} // namespace

TEST(X509CertTest, TypeAndIssuerTable)
{
    CScratchDirectory scratch("x509");
    CScopedCertificateClock clock([] { return int64_t{1700000000}; });
    X509Spec fromRoot = MakerX509Spec("Partner Certificate");
    fromRoot.issuer.organizationUnit = "Root Certificate";
    X509Spec noState = MakerX509Spec("Partner Certificate");
    noState.issuer.state.reset();
    X509Spec expired = MakerX509Spec("Partner Certificate");
    expired.notAfter = "20231114221319Z"; // GeneralizedTime, one second before the clock
    X509Spec generalized = MakerX509Spec("Partner Certificate");
    generalized.notAfter = "20231114221320Z";
    struct Case
    {
        const char* name;
        X509Spec spec;
        int32_t code;
        uint32_t type;
    };
    const Case cases[] = {
        {"vendor", MakerX509Spec("Partner Certificate"), 0, 64},
        {"master", MakerX509Spec("Master Certificate"), 0, 1},
        {"vendor issued by the root", fromRoot, 18, 64},
        {"issuer without ST", noState, 18, 64},
        {"unknown subject unit", MakerX509Spec("Coffee Certificate"), 14, 0},
        {"GeneralizedTime expiry", expired, 13, 64},
        {"GeneralizedTime on the second", generalized, 0, 64},
    };
    for (const Case& c : cases)
    {
        CRefPtr<IBCRTCert> cert = ReadX509(scratch, c.spec);
        EXPECT_EQ(cert->GetErrorCode(), c.code) << c.name;
        EXPECT_EQ(cert->IsValid(), c.code == 0) << c.name;
        EXPECT_EQ(cert->GetCertType(), c.type) << c.name;
        EXPECT_EQ(cert->GetFormatVersion(), 1);
    }
    EXPECT_TRUE(ReadX509(scratch, MakerX509Spec("Partner Certificate"))->IsVendorCertificate());
    EXPECT_FALSE(ReadX509(scratch, MakerX509Spec("Master Certificate"))->IsVendorCertificate());
    EXPECT_TRUE(ReadX509(scratch, MakerX509Spec("Master Certificate"))->IsMasterCertificate());
}

TEST(X509CertTest, AttributesDropControlCharactersButKeepLineBreaks)
{
    CScratchDirectory scratch("x509");
    CScopedCertificateClock clock([] { return int64_t{1700000000}; });
    X509Spec spec = MakerX509Spec("Partner Certificate");
    spec.extensions = {{"1.2.3.4", "ntp.\tvendor.example"},
                       {"1.2.3.5", "DOZU KRPartner Prod"},
                       {"1.2.3.7", "Allow-PP\nnext"}};
    const size_t servers = TimeServerList().size();
    CRefPtr<IBCRTCert> cert = ReadX509(scratch, spec);
    ASSERT_TRUE(cert->IsValid()) << cert->GetErrorText();
    EXPECT_EQ(cert->GetAttribute(1, 3), std::optional<std::string>("ntp.vendor.example"));
    EXPECT_EQ(cert->GetAttribute(2, 3), std::optional<std::string>("Wj2kMu6tDa3xSn0C"));
    EXPECT_EQ(cert->GetAttribute(5, 3), std::optional<std::string>("Allow-PP\nnext"));
    ASSERT_EQ(TimeServerList().size(), servers + 1);
    TimeServerList().pop_back();
}

TEST(X509CertTest, TimeStrings)
{
    struct Case
    {
        const char* text;
        bool generalized;
        std::optional<BCRTValidityDate> date;
        const char* error;
    };
    const Case cases[] = {
        {"491231235959Z", false, BCRTValidityDate{2049, 12, 31, 23, 59, 59}, ""},
        {"500101000000Z", false, BCRTValidityDate{1950, 1, 1, 0, 0, 0}, ""},
        {"0912311200Z", false, BCRTValidityDate{2009, 12, 31, 12, 0, 0}, ""},
        {"20500101000000Z", true, BCRTValidityDate{2050, 1, 1, 0, 0, 0}, ""},
        {"09123112", false, std::nullopt, "BCRT: x509 cert: Bad time Format"},
        {"091331120000Z", false, std::nullopt, "BCRT: x509 cert: Invalid month"},
        {"09123a120000Z", false, std::nullopt, "BCRT: x509 cert: Bad time value"},
    };
    for (const Case& c : cases)
    {
        std::string error;
        EXPECT_EQ(ParseAsn1Time(c.text, c.generalized, &error), c.date) << c.text;
        EXPECT_EQ(error, c.error) << c.text;
    }
    std::string error;
    EXPECT_EQ(X509GetValidityDate("not a certificate", 17, kX509NotAfter, &error), std::nullopt);
    EXPECT_FALSE(error.empty());
}
