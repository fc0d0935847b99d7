// Signed GPU images: certificates, package, signature record, signatures.

#include "testkit/crypto/SignedImageBuilder.h"

#include "common/core/crypto/digitalsignature/Digests.h"
#include "image/CertificatePackage.h"
#include "testkit/crypto/CertificateBuilder.h"
#include "testkit/image/GpuImageBuilder.h"

#include <algorithm>
#include <span>
#include <stdexcept>

namespace testkit
{
namespace
{
void Append32(std::vector<uint8_t>& bytes, uint32_t value)
{
    for (int i = 0; i < 4; ++i)
    {
        bytes.push_back(static_cast<uint8_t>(value >> (8 * i)));
    }
}

void AppendBytes(std::vector<uint8_t>& bytes, const std::vector<uint8_t>& more)
{
    bytes.insert(bytes.end(), more.begin(), more.end());
}

BCRTSignedRange Range(uint8_t kind, uint32_t offset, uint32_t size)
{
    return {offset, size, uint32_t{kind} << 8};
}

std::vector<uint8_t> PemBytes(const std::string& text)
{
    return {text.begin(), text.end()};
}

struct Entry
{
    uint32_t type = 0;
    std::vector<uint8_t> certificate;
};

std::vector<Entry> PackageEntries(const SignedImageSpec& spec)
{
    const CTestKey& masterKey = CTestKey::Get(kMasterKey);
    const CTestKey& vendorKey = CTestKey::Get(spec.vendorKey);
    Entry master{spec.masterEntryType, {}};
    Entry vendor{spec.vendorType, {}};
    if (spec.packageKind == certblock::kKindX509)
    {
        master.certificate = PemBytes(BuildX509Pem(MakerX509Spec("Master Certificate"), masterKey,
                                                   CTestKey::Get(spec.masterSigner)));
        vendor.certificate =
            PemBytes(BuildX509Pem(MakerX509Spec("Partner Certificate"), vendorKey, masterKey));
        master.type = 1u;
        vendor.type = 1u << spec.vendorType;
    }
    else
    {
        Cert20Spec masterSpec;
        masterSpec.type = spec.masterCertType;
        master.certificate = BuildCert20(masterSpec, masterKey, &CTestKey::Get(spec.masterSigner));
        Cert20Spec vendorSpec;
        vendorSpec.type = spec.vendorType;
        vendor.certificate = BuildCert20(vendorSpec, vendorKey, &masterKey);
    }
    std::vector<Entry> entries;
    if (spec.vendorFirst)
    {
        entries = {vendor};
        if (spec.secondVendor)
        {
            entries.push_back(vendor);
        }
        entries.insert(entries.end(), spec.fillerEntries, Entry{});
        entries.push_back(master);
    }
    else
    {
        entries = {master, vendor};
        if (spec.secondVendor)
        {
            entries.push_back(vendor);
        }
        entries.insert(entries.end(), spec.fillerEntries, Entry{});
    }
    return entries;
}

std::vector<uint8_t> BuildPackage(const SignedImageSpec& spec)
{
    const std::vector<Entry> entries = PackageEntries(spec);
    std::vector<uint8_t> package;
    for (size_t i = 0; i < entries.size(); ++i)
    {
        const bool last = i + 1 == entries.size();
        Append32(package, spec.packageKind);
        Append32(package, certblock::kEntryHeaderSize);
        Append32(package, 0);
        Append32(package,
                 static_cast<uint32_t>(package.size() + 16 + entries[i].certificate.size()));
        Append32(package, entries[i].type);
        Append32(package, 1);
        Append32(package, last && spec.markLast ? certblock::kAttributeLast : 0);
        AppendBytes(package, entries[i].certificate);
    }
    return package;
}

constexpr uint32_t kDirectory = 0x38;

// The ranges the record lists: the signed ones first (preserve stage, body,
// init-from-ROM, package), then the extra ones `spec` lists; signedCount tells
// where the signed ones end.
std::vector<BCRTSignedRange> SignedRanges(const SignedImageSpec& spec,
                                          const SignedImageLayout& layout, size_t packageSize,
                                          size_t& signedCount)
{
    std::vector<BCRTSignedRange> ranges{
        Range(BCRT_RANGE_PRESERVE_DATA, layout.preservedData, 0x100),
        Range(BCRT_RANGE_PRESERVE_HASH, layout.preserveHash, 16),
    };
    if (spec.preserveSignature)
    {
        ranges.push_back(Range(BCRT_RANGE_PRESERVE_SIGNATURE, layout.preserveSignature, 128));
    }
    ranges.push_back(Range(BCRT_RANGE_BODY, 0, layout.preservedData));
    ranges.push_back(
        Range(BCRT_RANGE_BODY, layout.preserveHash, spec.bodyLength - layout.preserveHash));
    if (spec.initFromRom)
    {
        ranges.push_back(Range(BCRT_RANGE_IFR, 0, spec.ifrRangeSize.value_or(*spec.initFromRom)));
    }
    const uint32_t hatSize =
        16 + static_cast<uint32_t>((ranges.size() + 1 + spec.extraRanges.size()) * 12);
    ranges.push_back(
        Range(BCRT_RANGE_PACKAGE, 0,
              static_cast<uint32_t>(packageSize) + hatSize + certblock::kSignatureBlockHeader));
    signedCount = ranges.size();
    ranges.insert(ranges.end(), spec.extraRanges.begin(), spec.extraRanges.end());
    return ranges;
}

std::vector<uint8_t> SignatureRecord(const std::vector<BCRTSignedRange>& ranges)
{
    std::vector<uint8_t> record;
    Append32(record, 2);
    Append32(record, 16);
    Append32(record, static_cast<uint32_t>(ranges.size()));
    Append32(record, 0);
    for (const BCRTSignedRange& range : ranges)
    {
        Append32(record, range.offset);
        Append32(record, range.size);
        Append32(record, range.attributes);
    }
    return record;
}

// The signature block with room for the signature and body hash, and the
// certificate information block when `spec` asks for one.
std::vector<uint8_t> SignatureBlock(const SignedImageSpec& spec)
{
    std::vector<uint8_t> signatureBlock;
    for (uint32_t word : {1u, 36u, 0x00010001u, 1u, 128u, 16u, 1700000000u, 0u,
                          spec.certInfoBlock ? certblock::kFlagCertInfoBlock : 0u})
    {
        Append32(signatureBlock, word);
    }
    signatureBlock.resize(signatureBlock.size() + 128 + 16);
    if (spec.certInfoBlock)
    {
        std::vector<uint8_t> info(
            std::max<uint32_t>(spec.certInfoLength, certblock::kCertInfoMinimum));
        info[20] = static_cast<uint8_t>(spec.certInfoLength);
        info[21] = static_cast<uint8_t>(spec.certInfoLength >> 8);
        AppendBytes(signatureBlock, info);
    }
    return signatureBlock;
}

// The certificate block's directory entry and what it points at: the
// package, the signature record and the signature block.
std::vector<uint8_t> CertificatePayload(const std::vector<uint8_t>& package,
                                        const std::vector<uint8_t>& record,
                                        const std::vector<uint8_t>& signatureBlock)
{
    std::vector<uint8_t> payload{'I', 'S', 'B', 'N', 12, 0, 0, 0, 1, 1, 0x42, 0x56};
    AppendBytes(payload, {0, 0, 0, 0, 0, 0, 0, 0, 0x42, 0x56});
    Append32(payload,
             static_cast<uint32_t>(16 + package.size() + record.size() + signatureBlock.size()));
    AppendBytes(payload, {0x00, 0x01});
    AppendBytes(payload, package);
    AppendBytes(payload, record);
    AppendBytes(payload, signatureBlock);
    return payload;
}

// The image's blocks: the x86 body, the certificate block, and the unsigned
// EFI block and later blocks `spec` places around them. The layout gets
// the offsets of the x86 and certificate blocks.
CRefPtr<IROMImage> BuildBlocks(const SignedImageSpec& spec, const std::vector<uint8_t>& payload,
                               SignedImageLayout& layout)
{
    const auto certLength =
        static_cast<uint32_t>((kDirectory + payload.size() + 1 + 511) / 512 * 512);
    CGpuImageBuilder builder;
    if (spec.initFromRom)
    {
        builder.InitFromRom(*spec.initFromRom);
    }
    // A stranger's EFI block: a little code behind its header.
    constexpr uint32_t kUnsignedEfiLength = 0x1000;
    const std::vector<uint8_t> strangerCode(0x100, 0xCC);
    size_t x86Index = 0;
    if (spec.unsignedEfi == UnsignedEfiBlock::BeforeX86)
    {
        builder.Block(CGpuImageBuilder::kEfi, kUnsignedEfiLength).Patch(0x200, strangerCode);
        x86Index = 1;
    }
    builder.Block(CGpuImageBuilder::kX86, spec.bodyLength);
    if (spec.describeBody)
    {
        spec.describeBody(builder);
    }
    if (spec.unsignedEfi == UnsignedEfiBlock::AfterX86)
    {
        builder.Block(CGpuImageBuilder::kEfi, kUnsignedEfiLength).Patch(0x200, strangerCode);
    }
    const size_t certificateIndex =
        x86Index + (spec.unsignedEfi == UnsignedEfiBlock::AfterX86 ? 2 : 1);
    builder.Block(certblock::kCodeType, certLength).PcirOffset(0x20).Patch(kDirectory, payload);
    if (spec.unsignedEfi == UnsignedEfiBlock::AfterCertificate)
    {
        builder.Block(CGpuImageBuilder::kEfi, kUnsignedEfiLength).Patch(0x200, strangerCode);
    }
    // Blocks after the certificate block are neither signed nor hashed.
    if (spec.laterBlocks)
    {
        spec.laterBlocks(builder);
    }
    CRefPtr<IROMImage> image = builder.BuildImage();
    layout.x86Block = builder.OffsetOf(x86Index);
    layout.certificateBlock = builder.OffsetOf(certificateIndex);
    return image;
}

// Preserve stage: the hash and the signature go into the x86 block, whose
// checksum is fixed before the body is hashed.
void SignPreserveStage(IROMImage& image, const SignedImageSpec& spec,
                       const SignedImageLayout& layout)
{
    const uint32_t x86 = layout.x86Block;
    ImageStageHashes preserve;
    preserve.Add(image.GetBuffer() + x86 + layout.preservedData, 0x100);
    image.WriteBlock(preserve.fnv.data(), static_cast<int32_t>(x86 + layout.preserveHash), 16);
    if (spec.preserveSignature)
    {
        const std::vector<uint8_t> signature =
            CTestKey::Get(spec.vendorKey).SignDigest(preserve.dm);
        image.WriteBlock(signature.data(), static_cast<int32_t>(x86 + layout.preserveSignature),
                         128);
    }
    image.FixPCIBlockChecksum(static_cast<int32_t>(x86));
}

// The body stage: the signed ranges hashed in record order, the signature
// and hash written into the signature block.
void SignBody(IROMImage& image, const SignedImageSpec& spec, const SignedImageLayout& layout,
              std::span<const BCRTSignedRange> signedRanges)
{
    ImageStageHashes body;
    for (const BCRTSignedRange& range : signedRanges)
    {
        if (range.Kind() == BCRT_RANGE_IFR)
        {
            body.Add(image.GetIFRHeader() + range.offset, range.size);
        }
        else if (range.Kind() == BCRT_RANGE_BODY)
        {
            body.Add(image.GetBuffer() + layout.x86Block + range.offset, range.size);
        }
        else if (range.Kind() == BCRT_RANGE_PACKAGE)
        {
            body.Add(image.GetBuffer() + layout.package + range.offset, range.size);
        }
    }
    const std::vector<uint8_t> signature = CTestKey::Get(spec.vendorKey).SignDigest(body.dm);
    image.WriteBlock(signature.data(), static_cast<int32_t>(layout.signatureBlock + 36), 128);
    image.WriteBlock(body.fnv.data(), static_cast<int32_t>(layout.signatureBlock + 36 + 128), 16);
    image.FixPCIBlockChecksum(static_cast<int32_t>(layout.certificateBlock));
}

} // namespace

CRefPtr<IROMImage> SignedImage::Image() const
{
    return IROMImage::CreateFromBuffer(bytes.data(), static_cast<uint32_t>(bytes.size()));
}

SignedImage BuildSignedImage(const SignedImageSpec& spec)
{
    SignedImage result;
    SignedImageLayout& layout = result.layout;
    const std::vector<uint8_t> package = BuildPackage(spec);
    size_t signedCount = 0;
    const std::vector<BCRTSignedRange> ranges =
        SignedRanges(spec, layout, package.size(), signedCount);
    const std::vector<uint8_t> record = SignatureRecord(ranges);
    const std::vector<uint8_t> payload = CertificatePayload(package, record, SignatureBlock(spec));
    CRefPtr<IROMImage> image = BuildBlocks(spec, payload, layout);

    layout.package = layout.certificateBlock + kDirectory + certblock::kPackageFromDirectory;
    layout.hat = layout.package + static_cast<uint32_t>(package.size());
    layout.signatureBlock = layout.hat + static_cast<uint32_t>(record.size());
    layout.certInfo = layout.signatureBlock + 36 + 128 + 16;

    SignPreserveStage(*image, spec, layout);
    SignBody(*image, spec, layout, std::span(ranges).first(signedCount));
    image->SetOffsetMode(false);
    result.bytes.assign(image->GetBuffer(), image->GetBuffer() + image->GetLoadedSize());
    return result;
}

std::vector<uint8_t> TestRootPassPhrase()
{
    std::vector<uint8_t> phrase(64);
    for (size_t i = 0; i < phrase.size(); ++i)
    {
        phrase[i] = static_cast<uint8_t>(i * 37 + 11);
    }
    return phrase;
}

std::vector<uint8_t> TestRootContainer()
{
    Cert20Spec rootSpec;
    rootSpec.type = 1;
    const CTestKey& root = CTestKey::Get(kRootKey);
    return MakeSaltedContainer(TestRootPassPhrase(), BuildCert20(rootSpec, root, &root));
}
} // namespace testkit
