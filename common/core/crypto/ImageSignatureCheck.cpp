// The image check of the chain of trust: the signature record rebuilt from
// the BCRTHAT, images A (before the certificate block) and B (from it), the
// preserve stage and the body stage. Every range is bounded by the image it
// names; a range outside it fails the check.

#include "common/core/crypto/ChainOfTrust.h"

#include "common/core/crypto/Cert20KRCert.h"
#include "common/core/crypto/digitalsignature/Digests.h"
#include "common/core/crypto/digitalsignature/DigitalSignature.h"
#include "core/Exceptions.h"
#include "core/Range.h"
#include "core/TextHelpers.h"
#include "image/CertificatePackage.h"
#include "image/PCIExpansionROM.h"

#include <algorithm>
#include <cstring>
#include <optional>

using namespace certblock;

namespace
{
const char* CodeName(int32_t code)
{
    switch (code)
    {
    case BCRT_ERROR_CODE_PRESERVE_HASH_SIZE_MISMATCH:
        return "BCRT_ERROR_CODE_PRESERVE_HASH_SIZE_MISMATCH";
    case BCRT_ERROR_CODE_PRESERVE_FNV_HASH_MISMATCH:
        return "BCRT_ERROR_CODE_PRESERVE_FNV_HASH_MISMATCH";
    case BCRT_ERROR_CODE_PRESERVE_SIGNATURE_MISMATCH:
        return "BCRT_ERROR_CODE_PRESERVE_SIGNATURE_MISMATCH";
    case BCRT_ERROR_CODE_BODY_FNV_HASH_MISMATCH:
        return "BCRT_ERROR_CODE_BODY_FNV_HASH_MISMATCH";
    case BCRT_ERROR_CODE_BODY_SIGNATURE_MISMATCH:
        return "BCRT_ERROR_CODE_BODY_SIGNATURE_MISMATCH";
    case BCRT_ERROR_CODE_X509CERT_UNKNOWN_HASH_SIG_MODE:
        return "BCRT_ERROR_CODE_X509CERT_UNKNOWN_HASH_SIG_MODE";
    default:
        return "BCRT_ERROR_CODE_CERT20_HAT_IFR_ENTRY_INVALID";
    }
}

// Bytes [at, at + size) of the image's view below `end`, nothing when
// outside it.
const uint8_t* ViewBytesBelow(IROMImage* image, uint64_t end, uint64_t at, uint64_t size)
{
    return RangeFits(at, size, std::min<uint64_t>(end, ImageViewSize(*image)))
               ? IROMImage::ReadOnlyBuffer(image) + at
               : nullptr;
}

const uint8_t* ViewBytes(IROMImage* image, uint64_t at, uint64_t size)
{
    return ViewBytesBelow(image, ImageViewSize(*image), at, size);
}

// A located range: its bytes, or nothing when it lies outside its image.
struct Located
{
    const uint8_t* bytes = nullptr;
    uint32_t size = 0;
};

// Where a range of the record lies; base instances other than 0 are refused.
std::optional<int64_t> BlockBase(IROMImage* a, uint64_t aEnd, CBCRTBIOSSignature* record,
                                 const BCRTSignedRange& range)
{
    if (range.BaseInstance() != 0)
    {
        throw io_error(
            "Certification Package Parsing failed. Non-zero base instance not supported.");
    }
    if (record->GetVersion() < 2 || range.Kind() == BCRT_RANGE_PACKAGE)
    {
        return 0;
    }
    // Image A ends where the certificate block begins: a block of that code
    // type only from there on is none before the certificate.
    try
    {
        const int32_t block = a->FindNthPCIBlock(range.CodeType(), 0);
        if (block == -1 || UnsignedOffset(block) >= aEnd)
        {
            return std::nullopt;
        }
        return block;
    }
    catch (const std::runtime_error&)
    {
        return std::nullopt;
    }
}

// The bytes of a package range, counted from image B's certificate block.
const uint8_t* PackageRangeBytes(IROMImage* b, const BCRTSignedRange& range)
{
    const int32_t package = b->FindBCRTBlock();
    return ViewBytes(b, (package == -1 ? 0 : UnsignedOffset(package)) + range.offset, range.size);
}

bool IsExecutable(uint8_t codeType)
{
    return codeType == pcirom::kCodeX86 || codeType == pcirom::kCodeEfi;
}

// The first executable block of the image's chain that no body range the
// check verified touches, or -1. Only body ranges count: the preserved data
// may change without a new signature. The ranges name blocks before the
// certificate block only, so any code after it is unsigned.
int32_t FindUnsignedCode(IROMImage* image, uint64_t aEnd, CBCRTBIOSSignature* record)
{
    struct Span
    {
        uint64_t begin;
        uint64_t end;
    };
    std::vector<Span> signedSpans;
    for (const BCRTSignedRange& range : record->GetSignedRanges())
    {
        const std::optional<int64_t> base = BlockBase(image, aEnd, record, range);
        if (range.Kind() == BCRT_RANGE_BODY && range.Instance() == 0 && base && range.size != 0)
        {
            const uint64_t begin = static_cast<uint64_t>(*base) + range.offset;
            signedSpans.push_back({begin, begin + range.size});
        }
    }
    int32_t block = 0;
    for (uint32_t step = 0; block != -1 && step < pcirom::kMaxChainBlocks; ++step)
    {
        const int32_t pcir = image->FindPCIR(block);
        if (pcir == -1)
        {
            return -1;
        }
        const int32_t next = image->NextPCIBlock(block);
        const uint64_t begin = UnsignedOffset(block);
        const uint64_t end =
            next != -1 ? UnsignedOffset(next) : begin + image->GetPCIBlockLength(block);
        const bool covered =
            std::any_of(signedSpans.begin(), signedSpans.end(),
                        [&](const Span& span) { return span.begin < end && begin < span.end; });
        if (IsExecutable(image->GetByte(pcir + static_cast<int32_t>(pcirom::kPcirCodeType))) &&
            !covered)
        {
            return block;
        }
        block = next;
    }
    return -1;
}

struct SigningKey
{
    std::array<uint8_t, kRsa1024Size> modulus{};
    uint32_t exponent = 0;
    bool present = false;
};

// Verifies the signature over the digest with the record's signing
// certificate: certificate 2.0 (kind 2) or PEM (kind 1).
bool SignatureMatches(uint32_t kind, CBCRTBIOSSignature* record, std::span<const uint8_t> signature,
                      const ImageHashState& digest, CLog& log)
{
    const std::span<const uint8_t> certificate(record->GetSigningCertificateData(),
                                               record->GetSigningCertificateSize());
    if (kind == kKindX509)
    {
        DecryptResult result;
        RsaPublicDecrypt(signature, reinterpret_cast<const char*>(certificate.data()),
                         certificate.size(), kCertificateFormatPem, result);
        if (result.data.empty() && result.libraryError != 0)
        {
            log << LogLevel(4) << LogEndl
                << " RSA decrypt has issue. RSA Error Code:" << result.libraryError << LogEndl;
        }
        return std::equal(result.data.begin(), result.data.end(), digest.begin(), digest.end());
    }
    CRefPtr<CBCRT20KRCert> cert = new CBCRT20KRCert(certificate, kCertOptionsFormat20, 0);
    if (!cert->IsValid())
    {
        const int32_t code = cert->GetErrorCode();
        log << LogLevel(4) << "KR Certificate Error: "
            << (code == BCRT_ERROR_CODE_CERT20_UNSUPPORTED_VERSION
                    ? "BCRT_ERROR_CODE_CERT20_UNSUPPORTED_VERSION"
                : code == BCRT_ERROR_CODE_CERT20_TYPE_ISSUER_INVALID
                    ? "  BCRT_ERROR_CODE_CERT20_TYPE_ISSUER_INVALID"
                    : "  KR Certificate Unknow Error")
            << LogEndl << LogEndl;
        throw io_error(" Error: Failed certification sanity check.");
    }
    // A certificate without its public key supplies none to check with.
    if ((cert->GetFlags() & cert20::kPubkeyPresent) == 0 || signature.size() != kRsa1024Size)
    {
        return false;
    }
    return VerifyPkcs1Signature(
        cert->GetModulus(), cert->GetExponent(),
        std::span<const uint8_t, kRsa1024Size>(signature.data(), kRsa1024Size), digest);
}

} // namespace

void CBCRTChainOfTrust::RecordFailure(CLog& log, int32_t code)
{
    m_code = code;
    log << LogLevel(4) << LogEndl << "Error Code:" << code << " " << CodeName(code) << " "
        << LogEndl;
}

// A range of the record and where it lies in its image.
struct CBCRTChainOfTrust::PlacedRange
{
    BCRTSignedRange range;
    uint64_t at = 0;
};

// What the preserve stage gathers: the hashes over its data ranges and where
// its stored signature and hash lie.
struct CBCRTChainOfTrust::PreserveStage
{
    ImageStageHashes hashes;
    std::optional<PlacedRange> signature;
    std::optional<PlacedRange> hash;
};

int32_t CBCRTChainOfTrust::VerifyVbiosSignature(IROMImage* a, IROMImage* b,
                                                CBCRTBIOSSignature* record, CLog* logArgument)
{
    CLog silent;
    CLog& log = logArgument != nullptr ? *logArgument : silent;
    return CheckStages({a, ImageViewSize(*a), a->GetLoadedSize()}, b, record, log);
}

int32_t CBCRTChainOfTrust::CheckStages(const PartBefore& a, IROMImage* b,
                                       CBCRTBIOSSignature* record, CLog& log)
{
    PreserveStage preserve;
    if (!CollectPreserveStage(a, record, preserve))
    {
        return RecordRangeOutside(log);
    }
    CheckPreserveHash(a, preserve, log);
    CheckPreserveSignature(a, record, preserve, log);

    ImageStageHashes body;
    if (!CollectBodyStage(a, b, record, body))
    {
        return RecordRangeOutside(log);
    }
    CheckBodySignature(b, record, body, log);
    return m_code;
}

// Calls the step with each range of the record and the offset its block base
// gives it in image A; false when a range cannot be located or the step
// refuses it. Ranges of other instances than the first are skipped, after
// their base was checked.
template <typename Step>
bool CBCRTChainOfTrust::ForEachRange(const PartBefore& a, CBCRTBIOSSignature* record,
                                     Step&& step)
{
    for (const BCRTSignedRange& range : record->GetSignedRanges())
    {
        const std::optional<int64_t> base = BlockBase(a.image, a.viewEnd, record, range);
        if (range.Instance() != 0)
        {
            continue;
        }
        if (!base || !step(range, static_cast<uint64_t>(*base) + range.offset))
        {
            return false;
        }
    }
    return true;
}

int32_t CBCRTChainOfTrust::RecordRangeOutside(CLog& log)
{
    RecordFailure(log, BCRT_ERROR_CODE_BODY_SIGNATURE_MISMATCH);
    log << "       Signed range outside the image. " << LogEndl;
    return m_code;
}

bool CBCRTChainOfTrust::CollectPreserveStage(const PartBefore& a, CBCRTBIOSSignature* record,
                                             PreserveStage& preserve)
{
    return ForEachRange(a, record,
                        [&](const BCRTSignedRange& range, uint64_t at)
                        {
                            if (range.Kind() == BCRT_RANGE_PRESERVE_DATA)
                            {
                                const uint8_t* bytes = ViewBytesBelow(a.image, a.viewEnd, at, range.size);
                                if (bytes == nullptr)
                                {
                                    return false;
                                }
                                preserve.hashes.Add(bytes, range.size);
                            }
                            else if (range.Kind() == BCRT_RANGE_PRESERVE_SIGNATURE)
                            {
                                preserve.signature = PlacedRange{range, at};
                            }
                            else if (range.Kind() == BCRT_RANGE_PRESERVE_HASH)
                            {
                                preserve.hash = PlacedRange{range, at};
                            }
                            return true;
                        });
}

void CBCRTChainOfTrust::CheckPreserveHash(const PartBefore& a, const PreserveStage& preserve,
                                          CLog& log)
{
    if (!preserve.hash || preserve.hash->range.size == 0)
    {
        return;
    }
    if (preserve.hash->range.size < kImageHashStateSize)
    {
        RecordFailure(log, BCRT_ERROR_CODE_PRESERVE_HASH_SIZE_MISMATCH);
        log << "       Preserve FNV Hash size larger than the placeholder inside VBIOS image."
            << LogEndl << "       Preserve FNV hash not generated to VBIOS image. " << LogEndl;
        return;
    }
    const uint8_t* stored = ViewBytesBelow(a.image, a.viewEnd, preserve.hash->at, kImageHashStateSize);
    if (stored == nullptr ||
        !std::equal(preserve.hashes.fnv.begin(), preserve.hashes.fnv.end(), stored))
    {
        RecordFailure(log, BCRT_ERROR_CODE_PRESERVE_FNV_HASH_MISMATCH);
    }
}

void CBCRTChainOfTrust::CheckPreserveSignature(const PartBefore& a, CBCRTBIOSSignature* record,
                                               const PreserveStage& preserve, CLog& log)
{
    if (!preserve.signature || preserve.signature->range.size == 0)
    {
        return;
    }
    const uint32_t size = preserve.signature->range.size;
    // One RSA-1024 signature: a longer range cannot hold a valid one.
    const uint8_t* bytes =
        size <= kRsa1024Size ? ViewBytesBelow(a.image, a.viewEnd, preserve.signature->at, size) : nullptr;
    if (bytes == nullptr ||
        !SignatureMatches(m_packageKind, record, {bytes, size}, preserve.hashes.dm, log))
    {
        RecordFailure(log, BCRT_ERROR_CODE_PRESERVE_SIGNATURE_MISMATCH);
    }
}

bool CBCRTChainOfTrust::CollectBodyStage(const PartBefore& a, IROMImage* b,
                                         CBCRTBIOSSignature* record,
                                         ImageStageHashes& body)
{
    return ForEachRange(a, record,
                        [&](const BCRTSignedRange& range, uint64_t at)
                        {
                            const uint8_t* bytes = nullptr;
                            if (range.Kind() == BCRT_RANGE_IFR)
                            {
                                bytes = IfrRangeBytes(a, range);
                            }
                            else if (range.Kind() == BCRT_RANGE_BODY)
                            {
                                bytes = ViewBytesBelow(a.image, a.viewEnd, at, range.size);
                            }
                            else if (range.Kind() == BCRT_RANGE_PACKAGE)
                            {
                                bytes = PackageRangeBytes(b, range);
                            }
                            else
                            {
                                return true;
                            }
                            if (bytes != nullptr)
                            {
                                body.Add(bytes, range.size);
                            }
                            return bytes != nullptr;
                        });
}

// The bytes of an init-from-ROM range, counted from the segment's header;
// notes that the record has one and its size.
const uint8_t* CBCRTChainOfTrust::IfrRangeBytes(const PartBefore& a, const BCRTSignedRange& range)
{
    const uint8_t* header = a.image->GetIFRHeader();
    m_ifrSeen = true;
    m_ifrSize = range.size;
    return header != nullptr && RangeFits(range.offset, range.size, a.loadedEnd)
               ? header + range.offset
               : nullptr;
}

// The body signature, then the stored body hash, follow the signature header
// of the certificate table in image B.
void CBCRTChainOfTrust::CheckBodySignature(IROMImage* b, CBCRTBIOSSignature* record,
                                           const ImageStageHashes& body, CLog& log)
{
    const uint8_t* bodySignature = nullptr;
    const uint8_t* storedBodyHash = nullptr;
    const int32_t table = b->GetCertificateTableOffset();
    if (table != -1 && b->GetDword(table + static_cast<int32_t>(kSignatureSize)) == kRsa1024Size)
    {
        const uint64_t signatureAt =
            UnsignedOffset(table) + b->GetDword(table + static_cast<int32_t>(kSignatureHeaderSize));
        bodySignature = ViewBytes(b, signatureAt, kRsa1024Size);
        storedBodyHash = ViewBytes(b, signatureAt + kRsa1024Size, kBodyHashSize);
    }
    if (bodySignature == nullptr ||
        !SignatureMatches(m_packageKind, record, {bodySignature, kRsa1024Size}, body.dm, log))
    {
        RecordFailure(log, BCRT_ERROR_CODE_BODY_SIGNATURE_MISMATCH);
        log << LogEndl << "       VBIOS Signature Check failed. " << LogEndl;
    }
    if (storedBodyHash == nullptr || !std::equal(body.fnv.begin(), body.fnv.end(), storedBodyHash))
    {
        RecordFailure(log, BCRT_ERROR_CODE_BODY_FNV_HASH_MISMATCH);
    }
}

// The signature record from the BCRTHAT: its header and every range must lie
// in the certificate block. Null, with the failure recorded, when they do not.
CRefPtr<CBCRTBIOSSignature>
CBCRTChainOfTrust::ReadSignatureRecord(IROMImage* image, int32_t hat,
                                       std::span<const uint8_t> signingCertificate, CLog& log)
{
    const uint64_t limit = CertificateBlockLimit(*image);
    CRefPtr<CBCRTBIOSSignature> record = CreateBIOSSignature();
    record->SetSigningCertificate(signingCertificate.data(),
                                  static_cast<uint32_t>(signingCertificate.size()));
    const bool headerFits = RangeFits(UnsignedOffset(hat), kHatMinimumHeader, limit);
    const uint64_t first =
        UnsignedOffset(hat) +
        (headerFits ? image->GetDword(hat + static_cast<int32_t>(kHatHeaderSize)) : 0);
    const uint64_t count =
        headerFits ? image->GetDword(hat + static_cast<int32_t>(kHatRangeCount)) : 0;
    if (!headerFits || !RangeFits(first, count * kRangeSize, limit))
    {
        RecordFailure(log, BCRT_ERROR_CODE_BODY_SIGNATURE_MISMATCH);
        log << "       Signature record outside the certificate block. " << LogEndl;
        return nullptr;
    }
    record->SetVersion(image->GetDword(hat + static_cast<int32_t>(kHatVersion)));
    for (uint64_t i = 0; i < count; ++i)
    {
        const auto at = static_cast<int32_t>(first + i * kRangeSize);
        record->AddSignedRange(image->GetDword(at), image->GetDword(at + 4),
                               image->GetDword(at + 8));
    }
    return record;
}

// Image A: the part before the certificate block, from the init-from-ROM
// header when there is one, read where it lies (the check only reads it, and
// a copy would cost as much as a third of the hashing); image B: the
// certificate block onwards. False when the image cannot be split so.
bool CBCRTChainOfTrust::SplitSignedImage(IROMImage* image, PartBefore& a, CRefPtr<IROMImage>& b)
{
    const int32_t base = image->FindNthPCIBlock(kCodeType, 0);
    const uint8_t* ifrHeader = image->GetIFRHeader();
    const uint32_t ifrSize = image->GetIFRImageSize();
    const uint64_t view = ImageViewSize(*image);
    const uint64_t aLength = (ifrHeader != nullptr ? uint64_t{ifrSize} : 0) + UnsignedOffset(base);
    if (base == -1 || UnsignedOffset(base) > view ||
        (ifrHeader != nullptr && !RangeFits(0, aLength, image->GetLoadedSize())))
    {
        return false;
    }
    a = {image, UnsignedOffset(base), aLength};
    if (ifrHeader != nullptr)
    {
        m_ifrSeen = false;
        m_ifrSize = 0;
    }
    b = IROMImage::CreateFromBuffer(IROMImage::ReadOnlyBuffer(image) + base,
                                    static_cast<uint32_t>(view - UnsignedOffset(base)));
    return true;
}

// A signed chain vouches only for the code it signs: a block of code beside
// it (a driver put in front of, between or after the signed blocks) would
// run unchecked.
int32_t CBCRTChainOfTrust::CheckNoUnsignedCode(IROMImage* image, const PartBefore& a,
                                               CBCRTBIOSSignature* record, CLog& log)
{
    const int32_t unsignedCode = FindUnsignedCode(image, a.viewEnd, record);
    if (unsignedCode == -1)
    {
        return 0;
    }
    RecordFailure(log, BCRT_ERROR_CODE_BODY_SIGNATURE_MISMATCH);
    log << "       Code block at 0x" << ToHex(static_cast<uint32_t>(unsignedCode), 8)
        << " is not signed. " << LogEndl;
    return BCRT_ERROR_CODE_BODY_SIGNATURE_MISMATCH;
}

std::vector<SignedImageRange> CBCRTChainOfTrust::PlaceSignedRanges(IROMImage* image, int32_t hat)
{
    CLog silent;
    CRefPtr<CBCRTBIOSSignature> record = ReadSignatureRecord(image, hat, {}, silent);
    PartBefore a;
    CRefPtr<IROMImage> b;
    if (!record || !SplitSignedImage(image, a, b))
    {
        return {};
    }
    // Image A is read where it lies; image B is a copy that begins at the
    // certificate block. A byte found is placed by its distance from the
    // start of the image's buffer.
    const uint8_t* view = IROMImage::ReadOnlyBuffer(image);
    const int64_t window = image->GetWindowOffset();
    const int64_t bStart = window + static_cast<int64_t>(a.viewEnd); // B's first byte
    auto inImage = [&](const uint8_t* bytes) { return static_cast<uint64_t>(window + (bytes - view)); };
    auto inB = [&](const uint8_t* bytes)
    {
        return static_cast<uint64_t>(bStart + (bytes - IROMImage::ReadOnlyBuffer(b.get())) +
                                     b->GetWindowOffset());
    };
    std::vector<SignedImageRange> ranges;
    const bool whole = ForEachRange(
        a, record.get(),
        [&](const BCRTSignedRange& range, uint64_t at)
        {
            const uint8_t* bytes = nullptr;
            uint64_t offset = 0;
            if (range.Kind() == BCRT_RANGE_IFR)
            {
                bytes = IfrRangeBytes(a, range);
                offset = bytes != nullptr ? inImage(bytes) : 0;
            }
            else if (range.Kind() == BCRT_RANGE_BODY)
            {
                bytes = ViewBytesBelow(a.image, a.viewEnd, at, range.size);
                offset = bytes != nullptr ? inImage(bytes) : 0;
            }
            else if (range.Kind() == BCRT_RANGE_PACKAGE)
            {
                bytes = PackageRangeBytes(b.get(), range);
                offset = bytes != nullptr ? inB(bytes) : 0;
            }
            else
            {
                return true;
            }
            if (bytes != nullptr && range.size != 0)
            {
                ranges.push_back({offset, range.size});
            }
            return bytes != nullptr;
        });
    return whole ? ranges : std::vector<SignedImageRange>{};
}

int32_t CBCRTChainOfTrust::CheckImage(IROMImage* image, int32_t hat,
                                      std::span<const uint8_t> signingCertificate, CLog& log)
{
    CRefPtr<CBCRTBIOSSignature> record = ReadSignatureRecord(image, hat, signingCertificate, log);
    if (!record)
    {
        return m_code;
    }
    PartBefore a;
    CRefPtr<IROMImage> b;
    if (!SplitSignedImage(image, a, b))
    {
        RecordFailure(log, BCRT_ERROR_CODE_BODY_SIGNATURE_MISMATCH);
        return m_code;
    }
    int32_t code = CheckStages(a, b.get(), record.get(), log);
    if (code == 0)
    {
        code = CheckNoUnsignedCode(image, a, record.get(), log);
    }
    if (code != 0)
    {
        log << LogLevel(4) << LogEndl << " VBIOS image failed certification sanity check."
            << LogEndl;
    }
    if (image->GetIFRHeader() != nullptr && m_packageKind == kKindCert20 &&
        (!m_ifrSeen || m_ifrSize != image->GetIFRImageSize()))
    {
        code = m_code = BCRT_ERROR_CODE_CERT20_HAT_IFR_ENTRY_INVALID;
        log << LogLevel(4) << LogEndl << " ERROR:  BCRT_ERROR_CODE_CERT20_HAT_IFR_ENTRY_INVALID"
            << LogEndl << LogEndl << " VBIOS image failed certification sanity check." << LogEndl;
    }
    return code;
}
