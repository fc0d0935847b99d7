// UEFI driver reader: framing and decompression, byte access, the build
// information record, the security directory and its signers, saving.

#include "image/UEFIDecompressor.h"

#include "core/Exceptions.h"
#include "core/NewFile.h"
#include "core/Range.h"
#include "image/ASN1Reader.h"
#include "image/EfiDecompress.h"

#include <algorithm>
#include <array>
#include <cstdlib>
#include <cstring>
#include <span>
#include <stdexcept>

namespace
{
const char* const kSupported = "Yes";
const char* const kNoVersion = "No Version Found or Out-dated";

// The build information record: marker, version word, length byte, a byte
// not read, then NUL-ended "KEY:value" entries.
constexpr std::array<uint8_t, 16> kBuildInfoMarker = {'K', 'R', '-', 'U', 'E', 'F', 'I', '-',
                                                      'B', 'L', 'D', '-', 'I', 'N', 'F', 'O'};
constexpr uint32_t kBuildInfoVersionOffset = 16;
constexpr uint32_t kBuildInfoLengthOffset = 18;
constexpr uint32_t kBuildInfoHeadSize = 20;

// Status values of GetImageInfo.
constexpr int32_t kInfoFound = 0;
constexpr int32_t kInfoUnreadable = 1;
constexpr int32_t kInfoPlaceholder = 2;
constexpr int32_t kInfoMissing = 3;

// PE/COFF.
constexpr uint32_t kDosPeOffset = 0x3C;
constexpr uint32_t kPeSignature = 0x4550; // "PE\0\0"
constexpr uint32_t kOptionalHeaderSizeOffset = 20;
constexpr uint32_t kOptionalHeaderOffset = 24;
constexpr uint16_t kPe32Magic = 0x10B;
constexpr uint16_t kPe32PlusMagic = 0x20B;
constexpr uint32_t kPe32DirectoryCount = 116;
constexpr uint32_t kPe32PlusDirectoryCount = 132;
constexpr uint32_t kSecurityDirectoryFromCount = 36; // entry 4, after the count
constexpr uint32_t kSecurityDirectoryIndex = 4;
constexpr uint32_t kCertificateHeaderSize = 8;
constexpr uint16_t kCertificatePkcsSignedData = 2;

// OIDs of the signer path.
const char* const kSignedDataOid = "1.2.840.113549.1.7.2";
const char* const kCommonNameOid = "2.5.4.3";
constexpr uint8_t kTagInteger = 2;
constexpr uint8_t kTagOid = 6;

// The chip families of the variant's low byte, oldest first.
constexpr std::array<const char*, 7> kFamilies = {
    " Legacy  ", " ISO-GPU ", " Avrel   ", " Cendra  ", " Dolvik  ", " Estrel  ", " Fenrir  "};

bool StartsWith(const std::string& text, const char* prefix)
{
    return text.rfind(prefix, 0) == 0;
}
} // namespace

UEFIDecompressor::UEFIDecompressor(std::vector<uint8_t> compressed, std::string support)
    : m_support(std::move(support)), m_compressed(std::move(compressed))
{
    Decompress();
}

void UEFIDecompressor::Decompress()
{
    m_decompressed = false;
    if (m_support != kSupported || m_compressed.size() < efi::kHeaderSize)
    {
        return;
    }
    uint32_t compressedSize = 0;
    uint32_t decodedSize = 0;
    std::memcpy(&compressedSize, m_compressed.data(), 4);
    std::memcpy(&decodedSize, m_compressed.data() + 4, 4);
    // The header is not trusted with the allocation.
    if (decodedSize > kMaxDecodedSize)
    {
        return;
    }
    m_decompressedBytes.assign(decodedSize, 0);
    // A driver of no bytes has nothing to read: it counts as not decompressed.
    if (decodedSize == 0 || !RangeFits(efi::kHeaderSize, compressedSize, m_compressed.size()))
    {
        return;
    }
    ScratchData decoder;
    decoder.Decode(m_compressed.data() + efi::kHeaderSize, compressedSize,
                   m_decompressedBytes.data(), decodedSize);
    m_decompressed = decoder.IsOK();
    m_ranOutOfInput = decoder.RanOutOfInput();
}

// ---- byte access -----------------------------------------------------------

void UEFIDecompressor::ReadBytes(uint64_t offset, uint8_t* destination, uint64_t length) const
{
    if (!RangeFits(offset, length, m_decompressedBytes.size()))
    {
        throw std::out_of_range("Invalid offset");
    }
    std::copy_n(m_decompressedBytes.begin() + static_cast<std::ptrdiff_t>(offset), length,
                destination);
}

uint8_t UEFIDecompressor::ReadByte(uint32_t offset) const
{
    uint8_t value = 0;
    ReadBytes(offset, &value, 1);
    return value;
}

uint16_t UEFIDecompressor::ReadWord(uint32_t offset) const
{
    std::array<uint8_t, 2> b{};
    ReadBytes(offset, b.data(), b.size());
    return static_cast<uint16_t>(b[0] | b[1] << 8);
}

uint32_t UEFIDecompressor::ReadDword(uint32_t offset) const
{
    std::array<uint8_t, 4> b{};
    ReadBytes(offset, b.data(), b.size());
    return uint32_t{b[0]} | uint32_t{b[1]} << 8 | uint32_t{b[2]} << 16 | uint32_t{b[3]} << 24;
}

uint32_t UEFIDecompressor::GetCompressedSize() const
{
    return static_cast<uint32_t>(m_compressed.size());
}

uint32_t UEFIDecompressor::GetDecompressedSize() const
{
    return static_cast<uint32_t>(m_decompressedBytes.size());
}

// ---- build information -----------------------------------------------------

int32_t UEFIDecompressor::GetImageInfo(const std::string& key, std::string& text) const
{
    if (m_support == kSupported && m_decompressed)
    {
        const auto& bytes = m_decompressedBytes;
        const auto marker =
            std::search(bytes.begin(), bytes.end(), kBuildInfoMarker.begin(), kBuildInfoMarker.end());
        const auto at = static_cast<uint64_t>(marker - bytes.begin());
        // A record must hold its head and lie wholly in the driver.
        if (marker == bytes.end() || !RangeFits(at, kBuildInfoHeadSize, bytes.size()))
        {
            return kInfoMissing;
        }
        const uint32_t recordLength = bytes[at + kBuildInfoLengthOffset];
        if (recordLength < kBuildInfoHeadSize || !RangeFits(at, recordLength, bytes.size()) ||
            ReadWord(static_cast<uint32_t>(at + kBuildInfoVersionOffset)) != 1)
        {
            return kInfoMissing;
        }
        const auto* entries = reinterpret_cast<const char*>(bytes.data() + at + kBuildInfoHeadSize);
        const std::string entryText(entries, recordLength - kBuildInfoHeadSize);
        // A key counts only at the start of an entry: the first entry, or
        // one that follows a NUL.
        std::string pattern = key + ":";
        if (!StartsWith(entryText, pattern.c_str()))
        {
            pattern.insert(pattern.begin(), '\0');
        }
        const size_t found = entryText.find(pattern);
        if (found == std::string::npos)
        {
            return kInfoMissing;
        }
        const size_t valueStart = found + pattern.size();
        const size_t valueEnd = entryText.find('\0', valueStart);
        text = entryText.substr(valueStart, valueEnd == std::string::npos ? std::string::npos
                                                                          : valueEnd - valueStart);
        return kInfoFound;
    }
    if (m_support == kSupported)
    {
        text = "Unknown (UEFI image could not be read)";
        return kInfoUnreadable;
    }
    if (m_support == "Placeholder")
    {
        text = "N/A (Placeholder)";
        return kInfoPlaceholder;
    }
    text = "N/A";
    return kInfoMissing;
}

std::string UEFIDecompressor::GetVersionString() const
{
    std::string version = kNoVersion;
    std::string date = "??.??.????";
    std::string change = "????????";
    if (GetImageInfo("VER", version) != kInfoFound)
    {
        return version;
    }
    GetImageInfo("DAT", date);
    GetImageInfo("CHG", change);
    return version + " (" + date + " @ " + change + " )";
}

std::string UEFIDecompressor::GetVariantID() const
{
    std::string variant = kNoVersion;
    return GetImageInfo("VAR", variant) == kInfoFound ? "0x" + variant : variant;
}

std::string UEFIDecompressor::GetFeatureString() const
{
    const unsigned long value = std::strtoul(GetVariantID().c_str(), nullptr, 16);
    const unsigned long family = value & 0xFF;
    std::string text = family >= 1 && family <= kFamilies.size() ? kFamilies[family - 1] : " Unknown ";
    switch (value >> 8)
    {
    case 1:
        text += " MXM ";
        break;
    case 2:
        text += " Multi-Display ";
        break;
    case 3:
        text += " GOP Override ";
        break;
    default:
        break;
    }
    return text;
}

// ---- security directory and signers ----------------------------------------

std::vector<CertificateEntry> UEFIDecompressor::FindCertificateTable() const
{
    std::vector<CertificateEntry> entries;
    if (!m_decompressed)
    {
        return entries;
    }
    uint32_t pe = 0;
    if (ReadByte(0) == 'M' && ReadByte(1) == 'Z')
    {
        pe = ReadDword(kDosPeOffset);
    }
    const uint64_t peOffset = pe;
    // Every header offset below is pe plus at most this much; none may wrap.
    constexpr uint64_t kHeaderReach = kPe32PlusDirectoryCount + kSecurityDirectoryFromCount + 8;
    if (ReadDword(pe) != kPeSignature || !RangeFits(peOffset, kHeaderReach, UINT32_MAX))
    {
        return entries;
    }
    const uint16_t optionalSize = ReadWord(pe + kOptionalHeaderSizeOffset);
    if (optionalSize < 2)
    {
        return entries;
    }
    const uint16_t magic = ReadWord(pe + kOptionalHeaderOffset);
    uint32_t count = 0;
    if (magic == kPe32Magic)
    {
        count = pe + kPe32DirectoryCount;
    }
    else if (magic == kPe32PlusMagic)
    {
        count = pe + kPe32PlusDirectoryCount;
    }
    else
    {
        return entries;
    }
    const uint32_t security = count + kSecurityDirectoryFromCount;
    const uint32_t needed = security - (pe + kOptionalHeaderOffset) + 8;
    if (optionalSize < needed || ReadDword(count) <= kSecurityDirectoryIndex)
    {
        return entries;
    }
    const uint64_t tableOffset = ReadDword(security);
    const uint64_t tableSize = ReadDword(security + 4);
    const uint64_t size = m_decompressedBytes.size();
    for (uint64_t walked = 0; walked < tableSize;)
    {
        const uint64_t at = tableOffset + walked;
        if (at + kCertificateHeaderSize > UINT32_MAX)
        {
            throw std::out_of_range("Invalid offset");
        }
        const auto position = static_cast<uint32_t>(at);
        CertificateEntry entry;
        entry.length = ReadDword(position);
        entry.revision = ReadWord(position + 4);
        entry.certificateType = ReadWord(position + 6);
        // An entry shorter than its own header would not advance the walk.
        if (entry.length < kCertificateHeaderSize || !RangeFits(at, entry.length, size))
        {
            break;
        }
        entry.dataOffset = position + kCertificateHeaderSize;
        entry.data = m_decompressedBytes.data() + entry.dataOffset;
        entries.push_back(entry);
        walked += (uint64_t{entry.length} + 7) & ~uint64_t{7};
    }
    return entries;
}

std::string UEFIDecompressor::SignerOf(const CertificateEntry& entry) const
{
    const std::string unknown = "Unknown signer";
    const uint32_t end = entry.dataOffset - kCertificateHeaderSize + entry.length;
    const ASN1Handler handler(m_decompressedBytes, entry.dataOffset, end);
    const ASN1Item* root = handler.GetRoot();
    // ContentInfo { signedData OID, [0] { SignedData } }.
    if (root == nullptr || root->ChildCount() != 2 || root->Child(0).GetTagNumber() != kTagOid ||
        !StartsWith(root->Child(0).GetOIDText(), kSignedDataOid) ||
        root->Child(1).ChildCount() != 1)
    {
        return unknown;
    }
    // SignedData { version 1, digests, content, certificates, signerInfos }.
    const ASN1Item& signedData = root->Child(1).Child(0);
    if (signedData.ChildCount() < 5 || signedData.Child(0).GetTagNumber() != kTagInteger ||
        signedData.Child(0).GetIntegerValue() != 1)
    {
        return unknown;
    }
    const ASN1Item& signerInfos = signedData.Child(signedData.ChildCount() - 1);
    if (signerInfos.ChildCount() < 1 || signerInfos.Child(0).ChildCount() < 2 ||
        signerInfos.Child(0).Child(1).ChildCount() < 2)
    {
        return unknown;
    }
    // SignerInfo { version, issuerAndSerialNumber { issuer Name, serial } }.
    const ASN1Item& issuer = signerInfos.Child(0).Child(1).Child(0);
    for (const auto& rdn : issuer.GetChildren())
    {
        if (rdn->ChildCount() < 1 || rdn->Child(0).ChildCount() < 2)
        {
            continue;
        }
        const ASN1Item& attribute = rdn->Child(0);
        if (StartsWith(attribute.Child(0).GetOIDText(), kCommonNameOid))
        {
            return attribute.Child(1).GetContentString();
        }
    }
    return unknown;
}

std::vector<std::string> UEFIDecompressor::GetSigner() const
{
    const std::vector<CertificateEntry> entries = FindCertificateTable();
    if (entries.empty())
    {
        return {"Unsigned"};
    }
    std::vector<std::string> signers;
    for (const CertificateEntry& entry : entries)
    {
        signers.push_back(entry.certificateType == kCertificatePkcsSignedData ? SignerOf(entry)
                                                                               : "Unknown signer");
    }
    return signers;
}

// ---- saving ----------------------------------------------------------------

uint32_t UEFIDecompressor::SaveImage(const std::string& path, uint32_t offset,
                                     uint32_t length) const
{
    if (!m_decompressed)
    {
        return 0;
    }
    // The range is checked before the file is made, so a bad range leaves
    // no empty file behind.
    if (!RangeFits(offset, length, m_decompressedBytes.size()))
    {
        throw std::out_of_range("Invalid offset");
    }
    // Never written through a link; a failed write keeps an old file as it
    // was.
    const OutputFileOutcome written = WriteOutputFile(
        path, {std::span<const uint8_t>(m_decompressedBytes.data() + offset, length)});
    if (written.status == OutputFileStatus::WriteFailed)
    {
        throw io_error("Error writing image to file");
    }
    if (written.status != OutputFileStatus::Written)
    {
        throw io_error("Cannot create file: " + path);
    }
    return length;
}
