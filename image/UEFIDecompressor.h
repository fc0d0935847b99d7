#pragma once
// Reads one UEFI driver from the payload of a GPU image's EFI block: the
// payload is decompressed once, at construction; then the driver's build
// information record gives the version, variant and feature texts, and its
// PE/COFF security directory names the Authenticode signer. The reader is
// owned by its creator (no reference count) and does not change after
// construction.

#include <cstdint>
#include <string>
#include <vector>

// One WIN_CERTIFICATE entry of the driver's security directory.
struct CertificateEntry
{
    uint32_t length = 0; // the entry's own length field, header included
    uint16_t revision = 0;
    uint16_t certificateType = 0; // 2: PKCS signed data
    const uint8_t* data = nullptr;
    uint32_t dataOffset = 0; // of the data in the decompressed bytes
};

class UEFIDecompressor
{
public:
    // support is the image's UEFI support text; only "Yes" is decompressed.
    UEFIDecompressor(std::vector<uint8_t> compressed, std::string support);
    virtual ~UEFIDecompressor() = default;

    virtual uint8_t ReadByte(uint32_t offset) const;
    virtual uint16_t ReadWord(uint32_t offset) const;
    virtual uint32_t ReadDword(uint32_t offset) const;
    virtual std::string GetVersionString() const;
    virtual std::string GetVariantID() const;
    virtual std::string GetFeatureString() const;
    virtual uint32_t GetCompressedSize() const;
    virtual uint32_t GetDecompressedSize() const;
    virtual bool IsDecompressed() const { return m_decompressed; }
    virtual uint32_t SaveImage(const std::string& path, uint32_t offset, uint32_t length) const;
    // Throws std::out_of_range "Invalid offset" unless the whole range lies in
    // the decompressed bytes.
    virtual void ReadBytes(uint64_t offset, uint8_t* destination, uint64_t length) const;
    // Status 0 found, 1 the driver could not be read, 2 a placeholder, 3 no
    // such key (or no record); see the texts each status sets.
    virtual int32_t GetImageInfo(const std::string& key, std::string& text) const;

    std::vector<CertificateEntry> FindCertificateTable() const;
    std::vector<std::string> GetSigner() const;

    // True when the bit stream ended before the decoded size was reached (the
    // rest decoded from zero bits).
    bool RanOutOfInput() const { return m_ranOutOfInput; }

    // A header that announces more is refused before anything is allocated.
    static constexpr uint32_t kMaxDecodedSize = 16 * 1024 * 1024;

private:
    void Decompress();
    // The issuer common name of the first signer of a SignedData, or the
    // fallback text.
    std::string SignerOf(const CertificateEntry& entry) const;

    std::string m_support;
    std::vector<uint8_t> m_compressed;
    std::vector<uint8_t> m_decompressedBytes;
    bool m_decompressed = false;
    bool m_ranOutOfInput = false;
};
