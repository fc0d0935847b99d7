// Fuzzes the certificate parsers: the input's first byte chooses between a
// certificate 2.0 (the rest, checked against a fixed issuer, with every
// extension lookup, attribute and the printout) and the X.509 routines (the
// rest as PEM text and as an ASN.1 time string). Any input must end in a
// value, never in a read outside the bytes given.
//
// The seeds are the test kit's certificates: a self-signed certificate 2.0
// with extensions, an unsigned master certificate, X.509 PEM text and an
// ASN.1 time.

#include "common/core/crypto/Cert20KRCert.h"
#include "common/core/crypto/X509Cert.h"
#include "core/Log.h"
#include "fuzz/FuzzSeeds.h"
#include "testkit/crypto/CertificateBuilder.h"

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace
{
void FuzzCert20(std::span<const uint8_t> bytes)
{
    // The certificate checks itself against its own bytes as issuer, so a
    // well-formed input reaches the signature check too.
    CRefPtr<CBCRT20KRCert> cert = new CBCRT20KRCert(bytes, bytes, kCertOptionsFormat20, 0);
    for (uint32_t type = 0; type <= 12; ++type)
    {
        cert->FindExtension(type);
    }
    for (int32_t id = 0; id <= 6; ++id)
    {
        cert->GetAttribute(id, 3);
    }
    cert->GetGpuId();
    cert->GetExtensionText();
    cert->CheckValidityPeriod(kTimeSourceLocalClock);
    CLog log;
    cert->Print(true, &log);
}

void FuzzX509(std::span<const uint8_t> bytes)
{
    const std::string text(bytes.begin(), bytes.end());
    std::string error;
    X509GetNameFields(text.data(), text.size(), kX509Subject, &error);
    X509GetValidityDate(text.data(), text.size(), kX509NotAfter, &error);
    X509ReadAttributes(text.data(), text.size(), X509VendorAttributes(), &error);
    ParseAsn1Time(text, false, &error);
    ParseAsn1Time(text, true, &error);
    DecryptResult result;
    RsaPublicDecrypt(bytes, text.data(), text.size(), kCertificateFormatPem, result);
}

std::vector<uint8_t> Mode(uint8_t mode, const std::vector<uint8_t>& rest)
{
    std::vector<uint8_t> input = {mode};
    input.insert(input.end(), rest.begin(), rest.end());
    return input;
}
} // namespace

std::vector<FuzzSeed> FuzzSeeds()
{
    const testkit::CTestKey& key = testkit::CTestKey::Get(testkit::kVendorKey);
    testkit::Cert20Spec withExtensions;
    withExtensions.extensions = {{1, testkit::TextData("Korvan Test")},
                                 {5, {0x22, 0x04, 0x00, 0x00}}};
    testkit::Cert20Spec master;
    master.type = 2;
    const std::string pem = testkit::BuildX509Pem(testkit::MakerX509Spec("Board Vendor"), key,
                                                  testkit::CTestKey::Get(testkit::kMasterKey));
    return {
        {"cert20-self-signed", Mode(0, testkit::BuildCert20(withExtensions, key, &key))},
        {"cert20-master-unsigned", Mode(0, testkit::BuildCert20(master, key, nullptr))},
        {"x509-pem", Mode(1, std::vector<uint8_t>(pem.begin(), pem.end()))},
        {"asn1-time",
         Mode(1, {'2', '0', '2', '6', '1', '2', '1', '0', '1', '9', '0', '0', '0', '0', 'Z'})},
    };
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size == 0)
    {
        return 0;
    }
    const std::span<const uint8_t> rest(data + 1, size - 1);
    if ((data[0] & 1) == 0)
    {
        FuzzCert20(rest);
    }
    else
    {
        FuzzX509(rest);
    }
    return 0;
}
