// GPU image: the certificate block of a signed image (code type 0x70) and the
// pieces inside it: certification package, signature record, signature block
// and certificate-information block. Each location is checked against the
// certificate block before it is answered.

#include "core/Range.h"
#include "core/TextHelpers.h"
#include "image/CertificatePackage.h"
#include "image/PCIExpansionROM.h"
#include "image/ROMImageGPUImpl.h"

#include <stdexcept>

using namespace certblock;

namespace
{
// The first entry of the type from start on; reading entry number
// kMaxEntries (counting those the caller has already stepped over) raises.
int32_t WalkForType(IROMImage& image, int32_t package, uint64_t start, uint32_t alreadyRead,
                    uint32_t type, const char* maxError)
{
    CCertPackageWalker walker(image, package, start);
    CertPackageEntry entry;
    while (walker.Next(entry))
    {
        if (walker.Count() + alreadyRead >= kMaxEntries)
        {
            throw std::runtime_error(maxError);
        }
        if (entry.type == type)
        {
            return entry.offset;
        }
    }
    return -1;
}

int32_t AsOffset(uint64_t offset)
{
    return static_cast<int32_t>(offset);
}
} // namespace

int32_t CROMImageGPUImpl::FindBCRTBlock()
{
    const int32_t block = FindNthPCIBlock(kCodeType, 0);
    if (block == -1)
    {
        return -1;
    }
    const int32_t pcir = FindPCIR(block);
    if (pcir == -1)
    {
        return -1;
    }
    const auto structureLength = static_cast<int16_t>(GetWord(pcir + pcirom::kPcirStructureLength));
    const int64_t directory = int64_t{pcir} + structureLength;
    const uint64_t limit = CertificateBlockLimit(*this);
    if (directory < block ||
        !RangeFits(static_cast<uint64_t>(directory), kPackageFromDirectory, limit) ||
        GetDword(static_cast<int32_t>(directory)) != kDirectorySignature)
    {
        return -1;
    }
    return static_cast<int32_t>(directory + kPackageFromDirectory);
}

int32_t CROMImageGPUImpl::GetX509CertificateList(uint32_t type)
{
    const int32_t package = FindBCRTBlock();
    if (package == -1)
    {
        return -1;
    }
    return WalkForType(*this, package, UnsignedOffset(package), 0, type,
                       "BCRT Error: Max number of x509 Certificates reached");
}

int32_t CROMImageGPUImpl::FindNextX509Certificate(int32_t entryOffset, uint32_t type)
{
    const int32_t package = FindBCRTBlock();
    CertPackageEntry entry;
    if (package == -1 || !ReadPackageEntry(*this, package, UnsignedOffset(entryOffset),
                                           CertificateBlockLimit(*this), entry))
    {
        return -1;
    }
    uint64_t start = UnsignedOffset(entryOffset);
    uint32_t alreadyRead = 0;
    if (entry.type == type)
    {
        if (entry.IsLast())
        {
            return -1;
        }
        start = UnsignedOffset(package) + entry.next;
        alreadyRead = 1;
    }
    return WalkForType(*this, package, start, alreadyRead, type,
                       "BCRT Error: Max count exceeded for finding next x509 Certificate");
}

int32_t CROMImageGPUImpl::FindBCRTHATBase()
{
    const int32_t package = FindBCRTBlock();
    if (package == -1)
    {
        return -1;
    }
    CCertPackageWalker walker(*this, package, UnsignedOffset(package));
    CertPackageEntry entry;
    while (walker.Next(entry))
    {
        if (walker.Count() >= kMaxEntries)
        {
            throw std::runtime_error("BCRT Error: Max count exceeded for finding BCRTHAT Base");
        }
        if (entry.IsLast())
        {
            return AsOffset(UnsignedOffset(package) + entry.next);
        }
    }
    return -1;
}

int32_t CROMImageGPUImpl::GetCertificateTableOffset()
{
    const int32_t hat = FindBCRTHATBase();
    const uint64_t limit = CertificateBlockLimit(*this);
    if (hat == -1 || !RangeFits(UnsignedOffset(hat), kHatMinimumHeader, limit))
    {
        return -1;
    }
    const uint32_t headerSize = GetDword(hat + static_cast<int32_t>(kHatHeaderSize));
    const uint64_t count = GetDword(hat + static_cast<int32_t>(kHatRangeCount));
    const uint64_t table = UnsignedOffset(hat) + headerSize + count * kRangeSize;
    if (headerSize < kHatMinimumHeader || !RangeFits(table, kSignatureBlockHeader, limit))
    {
        return -1;
    }
    return AsOffset(table);
}

int32_t CROMImageGPUImpl::GetCertInfoBlockOffset()
{
    const int32_t table = GetCertificateTableOffset();
    if (table == -1 ||
        (GetDword(table + static_cast<int32_t>(kSignatureFlags)) & kFlagCertInfoBlock) == 0)
    {
        return -1;
    }
    const uint64_t info = UnsignedOffset(table) + kSignatureBlockHeader +
                          GetDword(table + static_cast<int32_t>(kSignatureSize)) +
                          GetDword(table + static_cast<int32_t>(kSignatureHashSize));
    return RangeFits(info, kCertInfoMinimum, CertificateBlockLimit(*this)) ? AsOffset(info) : -1;
}

int32_t CROMImageGPUImpl::GetCertInfoBlockEnd()
{
    const int32_t info = GetCertInfoBlockOffset();
    if (info == -1)
    {
        return -1;
    }
    const uint64_t end =
        UnsignedOffset(info) + GetDword(info + static_cast<int32_t>(kCertInfoLength));
    return end <= CertificateBlockLimit(*this) ? AsOffset(end) : -1;
}

bool CROMImageGPUImpl::WriteCertInfoBlock(const uint8_t* bytes, uint32_t count)
{
    const int32_t info = GetCertInfoBlockOffset();
    if (info == -1)
    {
        throw std::domain_error("WriteCertInfoBlock: no certificate information block");
    }
    // The block's last byte is its checksum: the information block stops
    // before it.
    const int32_t block = FindNthPCIBlock(kCodeType, 0);
    const uint64_t limit = CertificateBlockLimit(*this);
    if (limit == 0 || !RangeFits(UnsignedOffset(info), count, limit - 1))
    {
        throw std::domain_error("WriteCertInfoBlock: the information block does not fit in the "
                                "certificate block");
    }
    for (uint32_t i = 0; i < count; ++i)
    {
        SetByte(info + static_cast<int32_t>(i), bytes[i]);
    }
    FixPCIBlockChecksum(block);
    return true;
}

std::string CROMImageGPUImpl::GetImageHashText(bool hex)
{
    const int32_t table = GetCertificateTableOffset();
    if (table == -1)
    {
        return "Not Supported";
    }
    const uint64_t hash = UnsignedOffset(table) +
                          GetDword(table + static_cast<int32_t>(kSignatureHeaderSize)) +
                          GetDword(table + static_cast<int32_t>(kSignatureSize));
    if (!RangeFits(hash, kBodyHashSize, CertificateBlockLimit(*this)))
    {
        return "Not Supported";
    }
    uint8_t bytes[kBodyHashSize];
    ReadBytes(AsOffset(hash), bytes, kBodyHashSize, false);
    std::string text;
    for (const uint8_t byte : bytes)
    {
        if (hex)
        {
            text += ToHex(byte, 2);
            continue;
        }
        for (int bit = 7; bit >= 0; --bit)
        {
            text += ((byte >> bit) & 1) != 0 ? '1' : '0';
        }
    }
    return text;
}

bool CROMImageGPUImpl::HasBCRT()
{
    return FindBCRTBlock() != -1;
}
