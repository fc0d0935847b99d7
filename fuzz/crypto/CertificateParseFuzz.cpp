// Fuzzes the certificate parsers: the input's first byte chooses between a
// certificate 2.0 (the rest, checked against a fixed issuer, with every
// extension lookup, attribute and the printout) and the X.509 routines (the
// rest as PEM text and as an ASN.1 time string). Any input must end in a
// value, never in a read outside the bytes given.

#include "common/core/crypto/Cert20KRCert.h"
#include "common/core/crypto/X509Cert.h"
#include "core/Log.h"

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
} // namespace

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
