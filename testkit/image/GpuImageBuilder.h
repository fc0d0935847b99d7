#pragma once
// Builds GPU firmware images as the image model expects to read them: an
// optional init-from-ROM segment, then a chain of PCI expansion-ROM blocks
// (any mark and code type, with PCIR and optional KPDE structures), NBSI
// blocks with their object directory, and the first block's fixed fields.
// Checksums are fixed by default; each malformation has a switch of its own.
//
// The API is fluent. Block-level calls apply to the block added last:
//
//   std::vector<uint8_t> bytes = CGpuImageBuilder()
//       .InitFromRom(0x1000)                      // "KRGI" segment of 0x1000 bytes
//       .Block(0x00, 0x10000).Kpde(0x0101, 12)    // x86 block with a KPDE
//       .HardwareDataArea(0x7E2B, 0x1234)         // fields of the first block
//       .Block(0x03, 0x8000)                      // EFI block, last image
//       .VarnexBlock(varnexBytes, {})             // NBSI block "IR"/"IB"
//       .Build();
//
// Varnex payloads are raw store bytes, for example those of
// testkit::CVarnexStoreBuilder().Img(...).BuildRaw().
//
// Offsets returned by OffsetOf are window-relative (the chain starts at 0).
// Malformations: PcirLength (bad or zero length), LastImage(false) (missing
// last flag), BadChecksum, Truncate (cut the image short), and the raw Patch.

#include "core/RefCount.h"
#include "image/IROMImage.h"

#include <array>
#include <cstdint>
#include <initializer_list>
#include <optional>
#include <string>
#include <vector>

namespace testkit
{
// One object of an NBSI block: its 16-bit type ("IR" is 0x4952) and data.
struct NbsiObject
{
    uint16_t type = 0;
    std::vector<uint8_t> data;
};

// The fields of the information token 'i' (version 2, 92 bytes).
struct InfoToken
{
    uint32_t version = 0; // bytes 0-3, read as the dotted bytes 3.2.1.0
    uint8_t oemVersion = 0;
    uint32_t pointer7Value = 0;
    uint16_t boardId = 0;
    std::string buildDate = "01/02/03";
    uint16_t gpuDeviceId = 0;
    uint16_t preservationTable = 0; // image offset of the table, 0 = none
    uint8_t hierarchyId = 1;
    std::string chipSku{};
    std::string chipSkuRevision{};
    std::string project{};
    std::string projectSku{};
    std::string cdp{};
    std::string projectRevision{};
    uint16_t alternateBoardId = 0;
    std::array<uint8_t, 16> buildGuid{};
    uint8_t tokenVersion = 2;
    uint16_t size = 92;
};

// The fields of the BIOS-data token 'B' (version 2, 32 bytes).
struct BiosDataToken
{
    uint32_t version = 0; // read as the dotted bytes 3.2.1.0
    uint8_t oemVersion = 0;
    uint16_t packWord = 0;
    uint16_t appliedRecord = 0; // image offset of the applied-image record
    uint8_t recordCapacity = 0;
    uint8_t appliedCount = 0;
    uint8_t flags32 = 0;
    uint8_t tokenVersion = 2;
    uint16_t size = 32;
};

// One entry of a preservation table: the range, its flags and data ID.
struct PreservationEntry
{
    uint16_t offset = 0;
    uint16_t length = 0;
    uint8_t flags = 0;
    uint8_t dataId = 0;
};

// Little-endian 16-bit words (the low half of each value), and byte lists
// joined in order: the pieces tables are made of.
std::vector<uint8_t> Words(std::initializer_list<uint32_t> words);
std::vector<uint8_t> Join(std::initializer_list<std::vector<uint8_t>> parts);

// Init-script records as the preserved-register search reads them.
std::vector<uint8_t> ScriptWrite(uint32_t registerAddress, uint32_t value);           // 0x7A
std::vector<uint8_t> ScriptWriteRun(uint32_t base, std::vector<uint32_t> values);     // 0x58
std::vector<uint8_t> ScriptWriteAB(uint32_t registerAddress, uint32_t a, uint32_t b); // 0x97
std::vector<uint8_t> ScriptStrapSelect(uint8_t m, uint8_t s, uint32_t registerAddress,
                                       std::vector<uint32_t> values); // 0x32
// 0x8F: count groups of values.size() / count values each.
std::vector<uint8_t> ScriptRamConfig(uint32_t base, uint8_t stride, uint8_t count,
                                     std::vector<uint32_t> values);

class CGpuImageBuilder
{
public:
    // Code types.
    static constexpr uint8_t kX86 = 0x00;
    static constexpr uint8_t kOpenFirmware = 0x01;
    static constexpr uint8_t kEfi = 0x03;
    static constexpr uint8_t kNbsi = 0x70;
    static constexpr uint8_t kX86Extension = 0xE0;
    // Block marks.
    static constexpr uint16_t kPublicMark = 0xAA55;
    static constexpr uint16_t kPrivateMark = 0x4B52; // "RK"
    static constexpr uint16_t kAlternateMark = 0xBB77;

    // ---- image level ------------------------------------------------------

    // Puts an init-from-ROM segment of segmentSize bytes (a multiple of 512,
    // at least 28) in front of the chain, with the given subsystem IDs.
    CGpuImageBuilder& InitFromRom(uint32_t segmentSize, uint16_t subsystemVendor = 0x7E2B,
                                  uint16_t subsystemDevice = 0x1234);
    // Overrides the header's version byte (0 makes the segment size unreadable)
    // or its data-size field.
    CGpuImageBuilder& InitFromRomVersion(uint8_t version);
    CGpuImageBuilder& InitFromRomDataSize(uint32_t dataSize);
    // Overrides the segment-size field alone (the bytes emitted stay as given).
    CGpuImageBuilder& InitFromRomSizeField(uint32_t sizeField);
    // Cuts the finished image (segment included) to this many bytes.
    CGpuImageBuilder& Truncate(uint32_t byteCount);
    // Appends bytes after the last block (trailing data outside the chain).
    CGpuImageBuilder& Trailer(std::vector<uint8_t> bytes);

    // ---- blocks -----------------------------------------------------------

    // Adds a block of code type and length (bytes, a multiple of 512). The
    // block added last is the last image unless LastImage says otherwise.
    CGpuImageBuilder& Block(uint8_t codeType, uint32_t length);
    // Adds an NBSI block (code type 0x70) holding these objects in order; its
    // length is the smallest multiple of 512 that holds them.
    CGpuImageBuilder& NbsiBlock(std::vector<NbsiObject> objects);
    // The Varnex block: objects "IR" (image) and "IB" (backup).
    CGpuImageBuilder& VarnexBlock(std::vector<uint8_t> image, std::vector<uint8_t> backup);
    // The Varnex block laid out as the engine lays it out on an EEPROM: the
    // image store starts on a 4 KiB boundary of the image (an init-from-ROM
    // segment included), its directory and object record right before it.
    CGpuImageBuilder& VarnexFlashBlock(std::vector<uint8_t> image, std::vector<uint8_t> backup);

    // Settings of the block added last.
    CGpuImageBuilder& Mark(uint16_t mark);
    // "RK" mark and "KPDS" structure.
    CGpuImageBuilder& Private();
    CGpuImageBuilder& PcirSignature(const std::string& fourCharacters);
    CGpuImageBuilder& PcirOffset(uint16_t offset);
    CGpuImageBuilder& PcirStructureLength(uint16_t length);
    CGpuImageBuilder& PcirRevision(uint8_t revision);
    CGpuImageBuilder& VendorId(uint16_t vendorId);
    CGpuImageBuilder& DeviceId(uint16_t deviceId);
    // The PCIR image length in bytes, in place of the block's true length.
    CGpuImageBuilder& PcirLength(uint32_t bytes);
    // The header's initialization size in bytes (byte or word by code type).
    CGpuImageBuilder& InitSize(uint32_t bytes);
    // The last-image bit of both indicators; other PCIR indicator bits.
    CGpuImageBuilder& LastImage(bool last);
    CGpuImageBuilder& PcirIndicator(uint8_t indicator);
    // A KPDE extension of this version and structure length.
    CGpuImageBuilder& Kpde(uint16_t version = 0x0101, uint16_t structureLength = 12);
    CGpuImageBuilder& KpdeSubImageLength(uint32_t bytes);
    CGpuImageBuilder& KpdeIndicator(uint8_t indicator);
    CGpuImageBuilder& KpdeFlags(uint8_t flags);
    CGpuImageBuilder& KpdeSubsystem(uint16_t vendor, uint16_t device);
    // Leaves the block's checksum byte wrong (one more than it should be).
    CGpuImageBuilder& BadChecksum();
    // NBSI blocks: the directory's first type, its offset, or an object's
    // size field (index into the block's objects).
    CGpuImageBuilder& NbsiDirectoryOffset(uint16_t offset);
    CGpuImageBuilder& NbsiObjectSizeField(uint32_t index, uint32_t sizeField);
    // Bytes placed right after the block's data structure, or after its KPDE
    // extension when it has one: the payload of an EFI block. The block grows
    // to hold them.
    CGpuImageBuilder& Payload(std::vector<uint8_t> bytes);
    // Writes raw bytes at an offset of the block after everything else
    // (checksum excluded: it is computed afterwards unless BadChecksum).
    CGpuImageBuilder& Patch(uint32_t offset, std::vector<uint8_t> bytes);

    // Fixed fields of the first block (call after its Block).
    // Hardware data area at 0x54: subsystem IDs, straps, marker 0xA5 and a
    // checksum at 0x6B; strap words 4 and 5 with marker 0xB5 when given.
    CGpuImageBuilder& HardwareDataArea(uint16_t subsystemVendor, uint16_t subsystemDevice,
                                       std::vector<uint32_t> straps = {0, 0, 0, 0});
    // Display configuration pointer (byte 0x34 bit 7, word 0x36).
    CGpuImageBuilder& DisplayConfigurationPointer(uint16_t offset);
    CGpuImageBuilder& ModificationDate(const std::string& eightCharacters);
    CGpuImageBuilder& FlagByte49(uint8_t value);

    // ---- VBIOS tables ------------------------------------------------------
    // Tables go into a table area of a block (from 0x400 on), the BIT at 0x100
    // of the first block; every offset returned is window-relative. A BIT is
    // written as soon as a token exists.

    // BIT header fields (version, header size, token entry size).
    CGpuImageBuilder& Bit(uint16_t version = 0x0100, uint8_t headerSize = 12,
                          uint8_t entrySize = 6);
    // Places the data and adds a token entry pointing at it; the entry's size
    // is the data's length unless given.
    CGpuImageBuilder& Token(char id, uint8_t version, std::vector<uint8_t> data,
                            std::optional<uint16_t> size = std::nullopt);
    // A token entry with a size and pointer of its own; nothing is placed.
    CGpuImageBuilder& TokenEntry(char id, uint8_t version, uint16_t size, uint16_t pointer);
    CGpuImageBuilder& Info(const InfoToken& info);
    CGpuImageBuilder& BiosData(const BiosDataToken& data);
    // The version 'B' token alone: "86.04.1B.00.02" is Version(0x86041B00, 2).
    CGpuImageBuilder& Version(uint32_t version, uint8_t oemVersion);
    // The five board texts of token 'S' version 2.
    CGpuImageBuilder& BoardTexts(const std::string& signOn, const std::string& oem,
                                 const std::string& vendor, const std::string& product,
                                 const std::string& revision);
    // IEEE 1394 GUID record of 10 bytes, pointed to by the hardware data area.
    CGpuImageBuilder& GuidRecord(uint32_t high, uint32_t low);
    // The register command list of an image without init-from-ROM segment,
    // pointed to by the hardware data area's word at 0x68 (units of 4 bytes).
    CGpuImageBuilder& CommandList(std::vector<uint32_t> words);
    // "PMID" structure.
    CGpuImageBuilder& Pmid();
    // DCB header with its signature and an I2C device table of these entries.
    CGpuImageBuilder& Dcb(std::vector<uint32_t> i2cEntries);
    // The image's VField tables behind token 'V' version 1.
    CGpuImageBuilder& VFieldTables(std::vector<std::array<uint8_t, 13>> registers,
                                   std::vector<std::array<uint8_t, 3>> fields);

    // Places bytes in the table area of the block (index, in the order added;
    // the first block by default); returns their window-relative offset.
    uint32_t Place(std::vector<uint8_t> bytes, size_t block = 0, uint32_t align = 1);
    // A preservation table: version 0x10 keeps each entry's flags in its byte
    // 4 (entry size 5); 0x11 and later keep the data ID there and the flags in
    // a flags block with the control entry's index. Returns the table offset.
    uint32_t PreservationTable(uint8_t version, std::vector<PreservationEntry> entries,
                               uint8_t controlIndex = 0);
    // The microcode table behind token 'p': entries {ID, descriptor offset};
    // returns the table offset. The token is added unless a pointer of the
    // caller's is given.
    uint32_t UcodeTable(std::vector<std::pair<uint8_t, uint32_t>> entries, uint8_t descriptorSize,
                        size_t block = 0, std::optional<uint32_t> tokenPointer = std::nullopt);
    static constexpr uint32_t kBitOffset = 0x100;

    // ---- output -----------------------------------------------------------

    std::vector<uint8_t> Build() const;
    // The image made from the bytes by IROMImage::CreateFromBuffer.
    CRefPtr<IROMImage> BuildImage() const;
    // Window-relative offset of block index (in the order added).
    uint32_t OffsetOf(size_t index) const;
    uint32_t ChainLength() const;
    size_t BlockCount() const { return m_blocks.size(); }

private:
    struct BlockPlan
    {
        uint8_t codeType = 0;
        uint32_t length = 0;
        uint16_t mark = kPublicMark;
        std::optional<uint32_t> pcirSignature;
        uint16_t pcirOffset = 0x80;
        uint16_t pcirStructureLength = 0x18;
        uint8_t pcirRevision = 0;
        uint16_t vendorId = 0x7E2B;
        uint16_t deviceId = 0x1234;
        std::optional<uint32_t> pcirLength;
        std::optional<uint32_t> initSize;
        std::optional<bool> lastImage;
        uint8_t pcirIndicatorBits = 0;
        bool hasKpde = false;
        uint16_t kpdeVersion = 0x0101;
        uint16_t kpdeStructureLength = 12;
        uint32_t kpdeSubImageLength = 0;
        std::optional<uint8_t> kpdeIndicator;
        uint8_t kpdeFlags = 0;
        std::optional<std::pair<uint16_t, uint16_t>> kpdeSubsystem;
        bool badChecksum = false;
        bool isNbsi = false;
        std::vector<NbsiObject> objects;
        uint16_t nbsiDirectoryOffset = 0x50;
        std::vector<std::pair<uint32_t, uint32_t>> objectSizeFields;
        std::vector<std::pair<uint32_t, std::vector<uint8_t>>> patches;
        std::vector<uint8_t> payload;
        uint32_t tableCursor = 0x400;
    };
    struct TokenPlan
    {
        uint8_t id = 0;
        uint8_t version = 0;
        uint16_t size = 0;
        uint16_t pointer = 0;
    };
    struct HardwareDataPlan
    {
        uint16_t vendor = 0;
        uint16_t device = 0;
        std::vector<uint32_t> straps;
    };
    void RenderFirstBlockTables(std::vector<uint8_t>& bytes) const;

    BlockPlan& Current();
    std::vector<uint8_t> RenderBlock(const BlockPlan& plan, size_t index, bool isLast) const;
    // The parts RenderBlock writes.
    static void RenderPcir(std::vector<uint8_t>& bytes, const BlockPlan& plan, bool last);
    static void RenderKpde(std::vector<uint8_t>& bytes, const BlockPlan& plan, bool last);
    static void RenderPayload(std::vector<uint8_t>& bytes, const BlockPlan& plan);
    static void RenderNbsiDirectory(std::vector<uint8_t>& bytes, const BlockPlan& plan);
    std::vector<uint8_t> RenderInitFromRom() const;

    std::vector<BlockPlan> m_blocks;
    std::optional<uint32_t> m_ifrSize;
    uint16_t m_ifrVendor = 0;
    uint16_t m_ifrDevice = 0;
    uint8_t m_ifrVersion = 1;
    std::optional<uint32_t> m_ifrDataSize;
    std::optional<uint32_t> m_ifrSizeField;
    std::optional<uint32_t> m_truncate;
    std::vector<uint8_t> m_trailer;
    uint16_t m_bitVersion = 0x0100;
    uint8_t m_bitHeaderSize = 12;
    uint8_t m_bitEntrySize = 6;
    bool m_hasBit = false;
    std::vector<TokenPlan> m_tokens;
    std::optional<HardwareDataPlan> m_hardwareData;
    uint16_t m_guidPointer = 0;
};
} // namespace testkit
