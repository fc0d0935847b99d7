// The chain of trust: the certification package walk, the root, master and
// vendor certificates, and the decision of the certification level.

#include "common/core/crypto/ChainOfTrust.h"

#include "common/core/crypto/Cert20KRCert.h"
#include "common/core/crypto/digitalsignature/DigitalSignature.h"
#include "core/Exceptions.h"
#include "core/Range.h"
#include "image/CertificatePackage.h"

using namespace certblock;

namespace
{
const char* const kSanityFailure = " Error: Failed certification sanity check.";
constexpr int32_t kRootCipherId = 2;

// Where a certificate of the package lies in the image; size 0 when missing.
struct CertificatePlace
{
    int32_t offset = 0;
    uint32_t size = 0;
    uint32_t entryType = 0;
    bool found = false;
};

std::span<const uint8_t> BytesOf(IROMImage* image, const CertificatePlace& place)
{
    if (!place.found)
    {
        return {};
    }
    return {IROMImage::ReadOnlyBuffer(image) + place.offset, place.size};
}

// The line for a certificate's error code after "Chain of Trust Failed".
void WriteCodeLine(CLog& log, int32_t code, bool master)
{
    switch (code)
    {
    case BCRT_ERROR_CODE_CERT20_UNSUPPORTED_VERSION:
        log << "BCRT_ERROR_CODE_CERT20_UNSUPPORTED_VERSION" << LogEndl;
        return;
    case BCRT_ERROR_CODE_CERT20_TYPE_ISSUER_INVALID:
        log << (master ? " " : "  ") << "BCRT_ERROR_CODE_CERT20_TYPE_ISSUER_INVALID" << LogEndl;
        return;
    case BCRT_ERROR_CODE_CERT20_CERT_RSA_SIG_NOT_FOUND:
        log << LogEndl << "BCRT Error: BCRT_ERROR_CODE_CERT20_CERT_RSA_SIG_NOT_FOUND" << LogEndl;
        return;
    case BCRT_ERROR_CODE_CERT20_CERT_NO_SIG_FOUND:
        log << LogEndl << "BCRT Error: BCRT_ERROR_CODE_CERT20_CERT_NO_SIG_FOUND" << LogEndl;
        return;
    case BCRT_ERROR_CODE_CERT20_CERT_RSA_SIG_VERIFICATION_FAILED:
        log << LogEndl << "BCRT Error: BCRT_ERROR_CODE_CERT20_CERT_RSA_SIG_VERIFICATION_FAILED"
            << LogEndl;
        return;
    case BCRT_ERROR_CODE_CERT20_CERT_NO_CA_SPEFICIFIED:
        if (master)
        {
            log << "  Unknow error during chain of trust check" << LogEndl;
        }
        else
        {
            log << LogEndl << "BCRT Error: BCRT_ERROR_CODE_CERT20_CERT_RSA_SIG_VERIFICATION_FAILED"
                << LogEndl;
        }
        return;
    default:
        if (master)
        {
            log << "  Unknow error during chain of trust check" << LogEndl;
        }
        else
        {
            log << LogEndl << "BCRT Error: Unknow error during chain of trust check" << LogEndl;
        }
    }
}

// Builds one certificate of the chain with its issuer; a certificate that is
// not valid, or whose own type is not the one its package entry claims,
// breaks the chain.
void CheckLink(std::span<const uint8_t> bytes, std::span<const uint8_t> issuer,
               uint32_t expectedType, bool master, CLog& log)
{
    CRefPtr<CBCRT20KRCert> cert = new CBCRT20KRCert(bytes, issuer, kCertOptionsFormat20, 0);
    const char* failure = master ? "  Error: Master Cert Chain of Trust Failed"
                                 : "  Error: Vendor Cert Chain of Trust Failed";
    if (!cert->IsValid())
    {
        log << LogLevel(4) << failure << LogEndl;
        WriteCodeLine(log, cert->GetErrorCode(), master);
        log << LogEndl;
        throw io_error(kSanityFailure);
    }
    if (cert->GetCertType() != expectedType)
    {
        log << LogLevel(4) << failure << LogEndl << "  Certificate type " << cert->GetCertType()
            << " differs from its package entry type " << expectedType << LogEndl << LogEndl;
        throw io_error(kSanityFailure);
    }
    log << (master ? "Cert 2.0 root of trust verification: Valid" : "Cert 2.0 Vendor Cert: Valid")
        << LogEndl;
}
} // namespace

// What the walk over the package found: the certificates, the last entry
// read (the signature record follows it) and the answer so far.
struct CBCRTChainOfTrust::Found
{
    CertificatePlace master;
    CertificatePlace vendor;
    CertPackageEntry last;
    bool endedOnLast = false;
    int32_t result = 0;
};

CBCRTChainOfTrust::CBCRTChainOfTrust()
    : CBCRTChainOfTrust(BuiltInRootContainer(), BuiltInRootPassPhrase())
{
}

CBCRTChainOfTrust::CBCRTChainOfTrust(std::span<const uint8_t> rootContainer,
                                     std::span<const uint8_t> passPhrase)
    : m_rootContainer(rootContainer.begin(), rootContainer.end()),
      m_passPhrase(passPhrase.begin(), passPhrase.end())
{
}

bool CBCRTChainOfTrust::LoadRootCertificate()
{
    if (!m_rootLoaded)
    {
        m_rootLoaded = true;
        if (DecryptSaltedContainer(m_passPhrase, m_rootContainer, m_root, kRootCipherId, 0) !=
            kSaltedOk)
        {
            m_root.clear();
        }
    }
    return true;
}

void CBCRTChainOfTrust::RefusePackage(CLog& log, const char* reason)
{
    log << LogLevel(4) << LogEndl << reason << LogEndl;
}

void CBCRTChainOfTrust::CheckCertificates(IROMImage* image, const Found& found, CLog& log)
{
    CheckLink(BytesOf(image, found.master), m_root, kCertTypeMaster, true, log);
    CheckLink(BytesOf(image, found.vendor), BytesOf(image, found.master), found.vendor.entryType,
              false, log);
}

// Walks the package for the master certificate and the first vendor
// certificate; a second master, or a second vendor not marked to be skipped,
// stops the walk and fails the chain.
CBCRTChainOfTrust::Found CBCRTChainOfTrust::FindCertificates(IROMImage* image, int32_t package)
{
    Found found;
    bool stopped = false;
    CertPackageEntry entry;
    CCertPackageWalker walker(*image, package, UnsignedOffset(package));
    while (!stopped && walker.Next(entry))
    {
        found.last = entry;
        const CertificatePlace place{
            entry.CertificateOffset(),
            static_cast<uint32_t>(UnsignedOffset(package) + entry.next -
                                  UnsignedOffset(entry.CertificateOffset())),
            entry.type, true};
        if (entry.type == kCertTypeMaster)
        {
            stopped = found.master.found;
            found.master = stopped ? found.master : place;
        }
        else if (entry.type >= kCertTypeFirstVendor && entry.type <= kCertTypeLastVendor &&
                 (entry.attributes & kAttributeSkipVendor) == 0)
        {
            stopped = found.result != 0;
            if (!stopped)
            {
                found.result = static_cast<int32_t>(entry.type) - 1;
                found.vendor = place;
            }
        }
    }
    if (stopped)
    {
        found.result = kCertificationFailed;
    }
    found.endedOnLast = walker.EndedOnLast();
    return found;
}

// The image against the signature record after the package's last entry.
int32_t CBCRTChainOfTrust::CheckSignedImage(IROMImage* image, int32_t package, const Found& found,
                                            CLog& log)
{
    if (!found.endedOnLast)
    {
        // Without its last entry the package has no signature record to
        // check the image against: the image is not certified.
        RefusePackage(log, "BCRT Error: Certification package has no last entry");
        return kCertificationFailed;
    }
    const auto hat = static_cast<int32_t>(UnsignedOffset(package) + found.last.next);
    return CheckImage(image, hat, BytesOf(image, found.vendor), log) == 0 ? found.result
                                                                          : kCertificationFailed;
}

std::vector<SignedImageRange> CBCRTChainOfTrust::LocateSignedRanges(IROMImage* image)
{
    const int32_t package = image->FindBCRTBlock();
    if (package == -1)
    {
        return {};
    }
    const Found found = FindCertificates(image, package);
    if (!found.endedOnLast)
    {
        return {};
    }
    return PlaceSignedRanges(image,
                             static_cast<int32_t>(UnsignedOffset(package) + found.last.next));
}

int32_t CBCRTChainOfTrust::VerifyCertificateChain(IROMImage* image, CLog* logArgument)
{
    CLog silent;
    CLog& log = logArgument != nullptr ? *logArgument : silent;
    m_code = 0;
    const int32_t package = image->FindBCRTBlock();
    if (package == -1)
    {
        return kCertificationNoPackage;
    }
    m_packageKind = image->GetDword(package);
    // An X.509 package carries its own vendor key and nothing ties that key
    // to the root: anyone could sign such an image. Only certificates 2.0
    // chain to the root.
    if (m_packageKind != kKindCert20)
    {
        RefusePackage(log, "BCRT Error: Certification package is not chained to the root of trust");
        return kCertificationFailed;
    }
    LoadRootCertificate();
    const Found found = FindCertificates(image, package);
    CheckCertificates(image, found, log);
    int32_t result = found.result;
    if (result != kCertificationFailed)
    {
        result = CheckSignedImage(image, package, found, log);
    }
    if (result == 0 || !found.master.found || !found.vendor.found)
    {
        result = kCertificationFailed;
    }
    return result;
}
