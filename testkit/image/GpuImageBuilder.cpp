#include "testkit/image/GpuImageBuilder.h"

#include <algorithm>
#include <numeric>
#include <stdexcept>

namespace testkit
{
namespace
{
constexpr uint32_t kUnit = 512;
constexpr uint16_t kNbsiPcirOffset = 0x20;

void PutWord(std::vector<uint8_t>& bytes, size_t at, uint16_t value)
{
    if (at + 2 <= bytes.size())
    {
        bytes[at] = static_cast<uint8_t>(value);
        bytes[at + 1] = static_cast<uint8_t>(value >> 8);
    }
}

void PutDword(std::vector<uint8_t>& bytes, size_t at, uint32_t value)
{
    PutWord(bytes, at, static_cast<uint16_t>(value));
    PutWord(bytes, at + 2, static_cast<uint16_t>(value >> 16));
}

void PutByte(std::vector<uint8_t>& bytes, size_t at, uint8_t value)
{
    if (at < bytes.size())
    {
        bytes[at] = value;
    }
}

uint32_t FourCharacters(const std::string& text)
{
    if (text.size() != 4)
    {
        throw std::invalid_argument("A signature has four characters");
    }
    return static_cast<uint32_t>(static_cast<uint8_t>(text[0])) |
           static_cast<uint32_t>(static_cast<uint8_t>(text[1])) << 8 |
           static_cast<uint32_t>(static_cast<uint8_t>(text[2])) << 16 |
           static_cast<uint32_t>(static_cast<uint8_t>(text[3])) << 24;
}

uint32_t RoundUp(uint32_t value, uint32_t unit)
{
    return (value + unit - 1) / unit * unit;
}

uint32_t DirectorySize(size_t objectCount)
{
    return objectCount == 0 ? 12 : static_cast<uint32_t>(10 + 2 * objectCount);
}

// Bytes an NBSI block needs: directory, records and data, and one spare
// byte at the end for the checksum.
uint32_t NbsiLength(uint16_t directoryOffset, const std::vector<NbsiObject>& objects)
{
    uint32_t end = directoryOffset + DirectorySize(objects.size());
    for (const NbsiObject& object : objects)
    {
        end += 16 + static_cast<uint32_t>(object.data.size());
    }
    return RoundUp(end + 1, kUnit);
}
} // namespace

// ---- image level ----------------------------------------------------------

CGpuImageBuilder& CGpuImageBuilder::InitFromRom(uint32_t segmentSize, uint16_t subsystemVendor,
                                                uint16_t subsystemDevice)
{
    if (segmentSize < 28)
    {
        throw std::invalid_argument("An init-from-ROM segment holds at least 28 bytes");
    }
    m_ifrSize = segmentSize;
    m_ifrVendor = subsystemVendor;
    m_ifrDevice = subsystemDevice;
    return *this;
}

CGpuImageBuilder& CGpuImageBuilder::InitFromRomVersion(uint8_t version)
{
    m_ifrVersion = version;
    return *this;
}

CGpuImageBuilder& CGpuImageBuilder::InitFromRomDataSize(uint32_t dataSize)
{
    m_ifrDataSize = dataSize;
    return *this;
}

CGpuImageBuilder& CGpuImageBuilder::InitFromRomSizeField(uint32_t sizeField)
{
    m_ifrSizeField = sizeField;
    return *this;
}

CGpuImageBuilder& CGpuImageBuilder::Truncate(uint32_t byteCount)
{
    m_truncate = byteCount;
    return *this;
}

CGpuImageBuilder& CGpuImageBuilder::Trailer(std::vector<uint8_t> bytes)
{
    m_trailer = std::move(bytes);
    return *this;
}

// ---- blocks ---------------------------------------------------------------

CGpuImageBuilder::BlockPlan& CGpuImageBuilder::Current()
{
    if (m_blocks.empty())
    {
        throw std::logic_error("Add a block before setting its fields");
    }
    return m_blocks.back();
}

CGpuImageBuilder& CGpuImageBuilder::Block(uint8_t codeType, uint32_t length)
{
    if (length < kUnit || length % kUnit != 0)
    {
        throw std::invalid_argument("A block length is a non-zero multiple of 512");
    }
    BlockPlan plan;
    plan.codeType = codeType;
    plan.length = length;
    m_blocks.push_back(plan);
    return *this;
}

CGpuImageBuilder& CGpuImageBuilder::NbsiBlock(std::vector<NbsiObject> objects)
{
    BlockPlan plan;
    plan.codeType = kNbsi;
    plan.isNbsi = true;
    plan.pcirOffset = kNbsiPcirOffset;
    plan.hasKpde = true;
    plan.kpdeVersion = 0x0100;
    plan.kpdeFlags = 0x04;
    plan.objects = std::move(objects);
    plan.length = NbsiLength(plan.nbsiDirectoryOffset, plan.objects);
    m_blocks.push_back(std::move(plan));
    return *this;
}

CGpuImageBuilder& CGpuImageBuilder::VarnexBlock(std::vector<uint8_t> image,
                                                std::vector<uint8_t> backup)
{
    return NbsiBlock({{0x4952, std::move(image)}, {0x4942, std::move(backup)}});
}

CGpuImageBuilder& CGpuImageBuilder::VarnexFlashBlock(std::vector<uint8_t> image,
                                                     std::vector<uint8_t> backup)
{
    constexpr uint32_t kStoreAlignment = 0x1000;
    constexpr uint32_t kKpdeEnd = 12;
    constexpr uint32_t kRecordHeader = 16;
    const uint32_t start = m_ifrSize.value_or(0) + ChainLength();
    // The KPDE follows the PCI data structure on a 16-byte boundary.
    const uint32_t kpde = (start + kNbsiPcirOffset + 0x18 + 15) / 16 * 16;
    const uint32_t directorySize = DirectorySize(2);
    const uint32_t store =
        RoundUp(kpde + kKpdeEnd + directorySize + kRecordHeader, kStoreAlignment);
    VarnexBlock(std::move(image), std::move(backup));
    return NbsiDirectoryOffset(static_cast<uint16_t>(store - kRecordHeader - directorySize - start));
}

CGpuImageBuilder& CGpuImageBuilder::Mark(uint16_t mark)
{
    Current().mark = mark;
    return *this;
}

CGpuImageBuilder& CGpuImageBuilder::Private()
{
    Current().mark = kPrivateMark;
    Current().pcirSignature = FourCharacters("KPDS");
    return *this;
}

CGpuImageBuilder& CGpuImageBuilder::PcirSignature(const std::string& fourCharacters)
{
    Current().pcirSignature = FourCharacters(fourCharacters);
    return *this;
}

CGpuImageBuilder& CGpuImageBuilder::PcirOffset(uint16_t offset)
{
    Current().pcirOffset = offset;
    return *this;
}

CGpuImageBuilder& CGpuImageBuilder::PcirStructureLength(uint16_t length)
{
    Current().pcirStructureLength = length;
    return *this;
}

CGpuImageBuilder& CGpuImageBuilder::PcirRevision(uint8_t revision)
{
    Current().pcirRevision = revision;
    return *this;
}

CGpuImageBuilder& CGpuImageBuilder::VendorId(uint16_t vendorId)
{
    Current().vendorId = vendorId;
    return *this;
}

CGpuImageBuilder& CGpuImageBuilder::DeviceId(uint16_t deviceId)
{
    Current().deviceId = deviceId;
    return *this;
}

CGpuImageBuilder& CGpuImageBuilder::PcirLength(uint32_t bytes)
{
    Current().pcirLength = bytes;
    return *this;
}

CGpuImageBuilder& CGpuImageBuilder::InitSize(uint32_t bytes)
{
    Current().initSize = bytes;
    return *this;
}

CGpuImageBuilder& CGpuImageBuilder::LastImage(bool last)
{
    Current().lastImage = last;
    return *this;
}

CGpuImageBuilder& CGpuImageBuilder::PcirIndicator(uint8_t indicator)
{
    Current().lastImage = (indicator & 0x80) != 0;
    Current().pcirIndicatorBits = static_cast<uint8_t>(indicator & 0x7F);
    return *this;
}

CGpuImageBuilder& CGpuImageBuilder::Kpde(uint16_t version, uint16_t structureLength)
{
    BlockPlan& plan = Current();
    plan.hasKpde = true;
    plan.kpdeVersion = version;
    plan.kpdeStructureLength = structureLength;
    return *this;
}

CGpuImageBuilder& CGpuImageBuilder::KpdeSubImageLength(uint32_t bytes)
{
    Current().kpdeSubImageLength = bytes;
    return *this;
}

CGpuImageBuilder& CGpuImageBuilder::KpdeIndicator(uint8_t indicator)
{
    Current().kpdeIndicator = indicator;
    return *this;
}

CGpuImageBuilder& CGpuImageBuilder::KpdeFlags(uint8_t flags)
{
    Current().kpdeFlags = flags;
    return *this;
}

CGpuImageBuilder& CGpuImageBuilder::KpdeSubsystem(uint16_t vendor, uint16_t device)
{
    Current().kpdeSubsystem = std::make_pair(vendor, device);
    return *this;
}

CGpuImageBuilder& CGpuImageBuilder::BadChecksum()
{
    Current().badChecksum = true;
    return *this;
}

CGpuImageBuilder& CGpuImageBuilder::NbsiDirectoryOffset(uint16_t offset)
{
    BlockPlan& plan = Current();
    plan.nbsiDirectoryOffset = offset;
    plan.length = std::max(plan.length, NbsiLength(offset, plan.objects));
    return *this;
}

CGpuImageBuilder& CGpuImageBuilder::NbsiObjectSizeField(uint32_t index, uint32_t sizeField)
{
    Current().objectSizeFields.emplace_back(index, sizeField);
    return *this;
}

CGpuImageBuilder& CGpuImageBuilder::Payload(std::vector<uint8_t> bytes)
{
    BlockPlan& plan = Current();
    // Room for the largest structures in front of the payload and the
    // checksum byte behind it.
    plan.length = std::max(plan.length, RoundUp(0x100 + static_cast<uint32_t>(bytes.size()) + 1, kUnit));
    plan.payload = std::move(bytes);
    return *this;
}

CGpuImageBuilder& CGpuImageBuilder::Patch(uint32_t offset, std::vector<uint8_t> bytes)
{
    Current().patches.emplace_back(offset, std::move(bytes));
    return *this;
}

CGpuImageBuilder& CGpuImageBuilder::HardwareDataArea(uint16_t subsystemVendor,
                                                     uint16_t subsystemDevice,
                                                     std::vector<uint32_t> straps)
{
    Current();
    straps.resize(std::max<size_t>(straps.size(), 4), 0);
    m_hardwareData = HardwareDataPlan{subsystemVendor, subsystemDevice, std::move(straps)};
    return *this;
}

CGpuImageBuilder& CGpuImageBuilder::DisplayConfigurationPointer(uint16_t offset)
{
    Patch(0x34, {0x80});
    return Patch(0x36, {static_cast<uint8_t>(offset), static_cast<uint8_t>(offset >> 8)});
}

CGpuImageBuilder& CGpuImageBuilder::ModificationDate(const std::string& eightCharacters)
{
    std::vector<uint8_t> text(eightCharacters.begin(), eightCharacters.end());
    text.resize(8, ' ');
    return Patch(0x38, std::move(text));
}

CGpuImageBuilder& CGpuImageBuilder::FlagByte49(uint8_t value)
{
    return Patch(0x49, {value});
}

// ---- VBIOS tables ---------------------------------------------------------

namespace
{
std::vector<uint8_t> Bytes(std::initializer_list<uint32_t> dwords, size_t width = 4)
{
    std::vector<uint8_t> bytes;
    for (uint32_t value : dwords)
    {
        for (size_t b = 0; b < width; ++b)
        {
            bytes.push_back(static_cast<uint8_t>(value >> (8 * b)));
        }
    }
    return bytes;
}

void Append(std::vector<uint8_t>& bytes, const std::vector<uint8_t>& more)
{
    bytes.insert(bytes.end(), more.begin(), more.end());
}

void PutText(std::vector<uint8_t>& bytes, size_t at, const std::string& text, size_t width)
{
    for (size_t i = 0; i < width; ++i)
    {
        PutByte(bytes, at + i, i < text.size() ? static_cast<uint8_t>(text[i]) : 0);
    }
}
} // namespace

std::vector<uint8_t> Words(std::initializer_list<uint32_t> words)
{
    return Bytes(words, 2);
}

std::vector<uint8_t> Join(std::initializer_list<std::vector<uint8_t>> parts)
{
    std::vector<uint8_t> bytes;
    for (const auto& part : parts)
    {
        Append(bytes, part);
    }
    return bytes;
}

std::vector<uint8_t> ScriptWrite(uint32_t registerAddress, uint32_t value)
{
    std::vector<uint8_t> bytes = {0x7A};
    Append(bytes, Bytes({registerAddress, value}));
    return bytes;
}

std::vector<uint8_t> ScriptWriteRun(uint32_t base, std::vector<uint32_t> values)
{
    std::vector<uint8_t> bytes = {0x58};
    Append(bytes, Bytes({base}));
    bytes.push_back(static_cast<uint8_t>(values.size()));
    for (uint32_t value : values)
    {
        Append(bytes, Bytes({value}));
    }
    return bytes;
}

std::vector<uint8_t> ScriptWriteAB(uint32_t registerAddress, uint32_t a, uint32_t b)
{
    std::vector<uint8_t> bytes = {0x97};
    Append(bytes, Bytes({registerAddress, a, b}));
    return bytes;
}

std::vector<uint8_t> ScriptStrapSelect(uint8_t m, uint8_t s, uint32_t registerAddress,
                                       std::vector<uint32_t> values)
{
    std::vector<uint8_t> bytes = {0x32, 0, 0, 0, m, s, static_cast<uint8_t>(values.size())};
    Append(bytes, Bytes({registerAddress}));
    for (uint32_t value : values)
    {
        Append(bytes, Bytes({value}));
    }
    return bytes;
}

std::vector<uint8_t> ScriptRamConfig(uint32_t base, uint8_t stride, uint8_t count,
                                     std::vector<uint32_t> values)
{
    std::vector<uint8_t> bytes = {0x8F};
    Append(bytes, Bytes({base}));
    bytes.push_back(stride);
    bytes.push_back(count);
    for (uint32_t value : values)
    {
        Append(bytes, Bytes({value}));
    }
    return bytes;
}

CGpuImageBuilder& CGpuImageBuilder::Bit(uint16_t version, uint8_t headerSize, uint8_t entrySize)
{
    m_hasBit = true;
    m_bitVersion = version;
    m_bitHeaderSize = headerSize;
    m_bitEntrySize = entrySize;
    return *this;
}

uint32_t CGpuImageBuilder::Place(std::vector<uint8_t> bytes, size_t block, uint32_t align)
{
    if (block >= m_blocks.size())
    {
        throw std::logic_error("Add the block before placing tables in it");
    }
    BlockPlan& plan = m_blocks[block];
    uint32_t at = plan.tableCursor;
    while (at % align != 0)
    {
        ++at;
    }
    if (at + bytes.size() + 1 > plan.length)
    {
        throw std::logic_error("The block's table area is full");
    }
    plan.tableCursor = at + static_cast<uint32_t>(bytes.size());
    plan.patches.emplace_back(at, std::move(bytes));
    return OffsetOf(block) + at;
}

CGpuImageBuilder& CGpuImageBuilder::Token(char id, uint8_t version, std::vector<uint8_t> data,
                                          std::optional<uint16_t> size)
{
    const uint16_t length = size.value_or(static_cast<uint16_t>(data.size()));
    const uint32_t at = Place(std::move(data));
    return TokenEntry(id, version, length, static_cast<uint16_t>(at));
}

CGpuImageBuilder& CGpuImageBuilder::TokenEntry(char id, uint8_t version, uint16_t size,
                                               uint16_t pointer)
{
    m_hasBit = true;
    m_tokens.push_back({static_cast<uint8_t>(id), version, size, pointer});
    return *this;
}

CGpuImageBuilder& CGpuImageBuilder::Info(const InfoToken& info)
{
    std::vector<uint8_t> data(std::max<size_t>(info.size, 92), 0);
    PutDword(data, 0, info.version);
    PutByte(data, 4, info.oemVersion);
    PutDword(data, 7, info.pointer7Value);
    PutWord(data, 11, info.boardId);
    PutText(data, 15, info.buildDate, 8);
    PutWord(data, 23, info.gpuDeviceId);
    PutWord(data, 33, info.preservationTable);
    PutByte(data, 36, info.hierarchyId);
    PutText(data, 48, info.chipSku, 3);
    PutText(data, 51, info.chipSkuRevision, 1);
    PutText(data, 52, info.project, 4);
    PutText(data, 56, info.projectSku, 4);
    PutText(data, 60, info.cdp, 5);
    PutText(data, 65, info.projectRevision, 1);
    PutWord(data, 70, info.alternateBoardId);
    std::copy(info.buildGuid.begin(), info.buildGuid.end(), data.begin() + 72);
    data.resize(info.size);
    return Token('i', info.tokenVersion, std::move(data));
}

CGpuImageBuilder& CGpuImageBuilder::BiosData(const BiosDataToken& fields)
{
    std::vector<uint8_t> data(std::max<size_t>(fields.size, 33), 0);
    PutDword(data, 0, fields.version);
    PutByte(data, 4, fields.oemVersion);
    PutWord(data, 26, fields.packWord);
    PutWord(data, 28, fields.appliedRecord);
    PutByte(data, 30, fields.recordCapacity);
    PutByte(data, 31, fields.appliedCount);
    PutByte(data, 32, fields.flags32);
    data.resize(fields.size);
    return Token('B', fields.tokenVersion, std::move(data));
}

CGpuImageBuilder& CGpuImageBuilder::Version(uint32_t version, uint8_t oemVersion)
{
    BiosDataToken fields;
    fields.version = version;
    fields.oemVersion = oemVersion;
    return BiosData(fields);
}

CGpuImageBuilder& CGpuImageBuilder::BoardTexts(const std::string& signOn, const std::string& oem,
                                               const std::string& vendor,
                                               const std::string& product,
                                               const std::string& revision)
{
    std::vector<uint8_t> data(21, 0);
    const std::array<std::pair<size_t, const std::string*>, 5> texts = {
        {{0, &signOn}, {9, &oem}, {12, &vendor}, {15, &product}, {18, &revision}}};
    for (const auto& [field, text] : texts)
    {
        std::vector<uint8_t> bytes(text->begin(), text->end());
        bytes.push_back(0);
        PutWord(data, field, static_cast<uint16_t>(Place(std::move(bytes))));
    }
    return Token('S', 2, std::move(data));
}

CGpuImageBuilder& CGpuImageBuilder::GuidRecord(uint32_t high, uint32_t low)
{
    std::vector<uint8_t> record(10, 0);
    record[0] = 10;
    PutDword(record, 2, low);
    PutDword(record, 6, high);
    const uint32_t sum = std::accumulate(record.begin(), record.end(), uint32_t{0});
    record[1] = static_cast<uint8_t>(0x100 - (sum & 0xFF));
    // The record starts 2 bytes before a multiple of 4: pad in front of it.
    Current();
    const uint32_t pad = (6 - m_blocks.front().tableCursor % 4) % 4;
    record.insert(record.begin(), pad, 0);
    const uint32_t start = Place(std::move(record)) + pad;
    m_guidPointer = static_cast<uint16_t>((start + 2) / 4);
    return *this;
}

CGpuImageBuilder& CGpuImageBuilder::CommandList(std::vector<uint32_t> words)
{
    std::vector<uint8_t> bytes;
    for (uint32_t word : words)
    {
        Append(bytes, Bytes({word}));
    }
    m_guidPointer = static_cast<uint16_t>(Place(std::move(bytes), 0, 4) / 4);
    return *this;
}

CGpuImageBuilder& CGpuImageBuilder::Pmid()
{
    Place({'P', 'M', 'I', 'D', 0x01, 0x00, 0x00, 0x00}, 0, 4);
    return *this;
}

CGpuImageBuilder& CGpuImageBuilder::Dcb(std::vector<uint32_t> i2cEntries)
{
    std::vector<uint8_t> table = {0x40, 5, static_cast<uint8_t>(i2cEntries.size()), 4, 0};
    for (uint32_t entry : i2cEntries)
    {
        Append(table, Bytes({entry}));
    }
    const uint32_t tableAt = Place(std::move(table), 0, 4);
    std::vector<uint8_t> header(32, 0);
    header[0] = 0x40;
    header[1] = 32;
    PutDword(header, 6, 0x4EDCBDCB);
    PutWord(header, 18, static_cast<uint16_t>(tableAt));
    Place(std::move(header), 0, 4);
    return *this;
}

CGpuImageBuilder& CGpuImageBuilder::VFieldTables(std::vector<std::array<uint8_t, 13>> registers,
                                                 std::vector<std::array<uint8_t, 3>> fields)
{
    std::vector<uint8_t> registerTable = {0x10, 13, static_cast<uint8_t>(registers.size())};
    for (const auto& r : registers)
    {
        registerTable.insert(registerTable.end(), r.begin(), r.end());
    }
    std::vector<uint8_t> fieldTable = {0x10, 3, static_cast<uint8_t>(fields.size())};
    for (const auto& f : fields)
    {
        fieldTable.insert(fieldTable.end(), f.begin(), f.end());
    }
    const uint32_t registerAt = Place(std::move(registerTable));
    const uint32_t fieldAt = Place(std::move(fieldTable));
    std::vector<uint8_t> data(6, 0);
    PutWord(data, 0, static_cast<uint16_t>(fieldAt));
    PutWord(data, 2, static_cast<uint16_t>(registerAt));
    return Token('V', 1, std::move(data));
}

uint32_t CGpuImageBuilder::PreservationTable(uint8_t version,
                                             std::vector<PreservationEntry> entries,
                                             uint8_t controlIndex)
{
    const bool withFlagsBlock = version >= 0x11;
    const uint8_t headerSize = withFlagsBlock ? 11 : 7;
    std::vector<uint8_t> table(headerSize, 0);
    table[0] = version;
    table[1] = headerSize;
    table[2] = 5;
    table[3] = static_cast<uint8_t>(entries.size());
    for (const PreservationEntry& entry : entries)
    {
        Append(table, Bytes({entry.offset, entry.length}, 2));
        table.push_back(withFlagsBlock ? entry.dataId : entry.flags);
    }
    if (withFlagsBlock)
    {
        std::vector<uint8_t> flags = {0, 0, 0, 0, controlIndex};
        for (const PreservationEntry& entry : entries)
        {
            flags.push_back(entry.flags);
        }
        PutDword(table, 7, Place(std::move(flags)));
    }
    return Place(std::move(table));
}

uint32_t CGpuImageBuilder::UcodeTable(std::vector<std::pair<uint8_t, uint32_t>> entries,
                                      uint8_t descriptorSize, size_t block,
                                      std::optional<uint32_t> tokenPointer)
{
    std::vector<uint8_t> table = {0x10,          6, 6, static_cast<uint8_t>(entries.size()), 0,
                                  descriptorSize};
    for (const auto& [id, descriptor] : entries)
    {
        table.push_back(id);
        table.push_back(0);
        Append(table, Bytes({descriptor}));
    }
    const uint32_t at = Place(std::move(table), block);
    Token('p', 2, Bytes({tokenPointer.value_or(at)}));
    return at;
}

void CGpuImageBuilder::RenderFirstBlockTables(std::vector<uint8_t>& bytes) const
{
    if (m_hardwareData)
    {
        const HardwareDataPlan& hda = *m_hardwareData;
        PutWord(bytes, 0x54, hda.vendor);
        PutWord(bytes, 0x56, hda.device);
        for (size_t i = 0; i < 4; ++i)
        {
            PutDword(bytes, 0x58 + 4 * i, hda.straps[i]);
        }
        PutWord(bytes, 0x68, m_guidPointer);
        PutByte(bytes, 0x6A, 0xA5);
        const uint32_t sum =
            std::accumulate(bytes.begin() + 0x58, bytes.begin() + 0x6B, uint32_t{0});
        PutByte(bytes, 0x6B, static_cast<uint8_t>(0x100 - (sum & 0xFF)));
        if (hda.straps.size() >= 6)
        {
            PutDword(bytes, 0x6C, hda.straps[4]);
            PutDword(bytes, 0x70, hda.straps[5]);
            PutByte(bytes, 0x74, 0xB5);
        }
        else
        {
            for (size_t i = 0x6C; i <= 0x74; ++i)
            {
                PutByte(bytes, i, 0);
            }
        }
    }
    if (!m_hasBit)
    {
        return;
    }
    const std::vector<uint8_t> signature = {0xFF, 0xB8, 'B', 'I', 'T', 0x00};
    std::copy(signature.begin(), signature.end(), bytes.begin() + kBitOffset);
    PutWord(bytes, kBitOffset + 6, m_bitVersion);
    PutByte(bytes, kBitOffset + 8, m_bitHeaderSize);
    PutByte(bytes, kBitOffset + 9, m_bitEntrySize);
    PutByte(bytes, kBitOffset + 10, static_cast<uint8_t>(m_tokens.size()));
    PutByte(bytes, kBitOffset + 11, 0);
    size_t entry = kBitOffset + m_bitHeaderSize;
    for (const TokenPlan& token : m_tokens)
    {
        for (size_t j = 0; j < m_bitEntrySize; ++j)
        {
            PutByte(bytes, entry + j, 0);
        }
        PutByte(bytes, entry, token.id);
        PutByte(bytes, entry + 1, token.version);
        PutWord(bytes, entry + 2, token.size);
        PutWord(bytes, entry + 4, token.pointer);
        entry += m_bitEntrySize;
    }
}

// ---- output ---------------------------------------------------------------

std::vector<uint8_t> CGpuImageBuilder::RenderInitFromRom() const
{
    std::vector<uint8_t> bytes(*m_ifrSize, 0);
    PutDword(bytes, 0, FourCharacters("KRGI"));
    // Header word: version in bits 8-15, the size record's offset (16) in
    // bits 16-30.
    PutDword(bytes, 4, static_cast<uint32_t>(m_ifrVersion) << 8 | 16u << 16);
    PutDword(bytes, 8, m_ifrDataSize.value_or(28));
    PutWord(bytes, 12, m_ifrVendor);
    PutWord(bytes, 14, m_ifrDevice);
    PutDword(bytes, 20, m_ifrSizeField.value_or(*m_ifrSize));
    return bytes;
}

// The option ROM header and the PCI data structure.
void CGpuImageBuilder::RenderPcir(std::vector<uint8_t>& bytes, const BlockPlan& plan, bool last)
{
    PutWord(bytes, 0, plan.mark);
    const uint32_t initSize = plan.initSize.value_or(plan.length);
    if (plan.codeType == kEfi)
    {
        PutWord(bytes, 2, static_cast<uint16_t>(std::min<uint32_t>(initSize / kUnit, 0xFFFF)));
    }
    else
    {
        PutByte(bytes, 2, static_cast<uint8_t>(std::min<uint32_t>(initSize / kUnit, 0xFF)));
    }
    PutWord(bytes, 0x18, plan.pcirOffset);

    const size_t pcir = plan.pcirOffset;
    const uint32_t defaultSignature =
        plan.mark == kPrivateMark ? FourCharacters("KPDS") : FourCharacters("PCIR");
    PutDword(bytes, pcir, plan.pcirSignature.value_or(defaultSignature));
    PutWord(bytes, pcir + 4, plan.vendorId);
    PutWord(bytes, pcir + 6, plan.deviceId);
    PutWord(bytes, pcir + 8, 0);
    PutWord(bytes, pcir + 10, plan.pcirStructureLength);
    PutByte(bytes, pcir + 12, plan.pcirRevision);
    PutByte(bytes, pcir + 13, 0x00);
    PutByte(bytes, pcir + 14, 0x00);
    PutByte(bytes, pcir + 15, 0x03); // display controller
    PutWord(bytes, pcir + 16, static_cast<uint16_t>(plan.pcirLength.value_or(plan.length) / kUnit));
    PutWord(bytes, pcir + 18, 0);
    PutByte(bytes, pcir + 20, plan.codeType);
    PutByte(bytes, pcir + 21, static_cast<uint8_t>((last ? 0x80 : 0) | plan.pcirIndicatorBits));
    PutWord(bytes, pcir + 22, 0);
}

// The KPDE structure, on the first 16-byte boundary after the PCI data
// structure.
void CGpuImageBuilder::RenderKpde(std::vector<uint8_t>& bytes, const BlockPlan& plan, bool last)
{
    const size_t kpde = (plan.pcirOffset + plan.pcirStructureLength + 15) / 16 * 16;
    for (size_t j = kpde; j < kpde + 20 && j < bytes.size(); ++j)
    {
        bytes[j] = 0;
    }
    PutDword(bytes, kpde, FourCharacters("KPDE"));
    PutWord(bytes, kpde + 4, plan.kpdeVersion);
    PutWord(bytes, kpde + 6, plan.kpdeStructureLength);
    PutWord(bytes, kpde + 8, static_cast<uint16_t>(plan.kpdeSubImageLength / kUnit));
    if (plan.kpdeStructureLength >= 11)
    {
        PutByte(bytes, kpde + 10, plan.kpdeIndicator.value_or(last ? 0x80 : 0));
    }
    if (plan.kpdeStructureLength >= 12)
    {
        PutByte(bytes, kpde + 11, plan.kpdeFlags);
    }
    if (plan.kpdeSubsystem)
    {
        PutWord(bytes, kpde + 16, plan.kpdeSubsystem->first);
        PutWord(bytes, kpde + 18, plan.kpdeSubsystem->second);
    }
}

// The payload, right after the PCI data structure or the KPDE structure.
void CGpuImageBuilder::RenderPayload(std::vector<uint8_t>& bytes, const BlockPlan& plan)
{
    const size_t pcir = plan.pcirOffset;
    size_t at = pcir + plan.pcirStructureLength;
    if (plan.hasKpde)
    {
        at = (pcir + plan.pcirStructureLength + 15) / 16 * 16 + plan.kpdeStructureLength;
    }
    for (size_t j = 0; j < plan.payload.size(); ++j)
    {
        PutByte(bytes, at + j, plan.payload[j]);
    }
}

// An NBSI block's directory and its objects' records after it.
void CGpuImageBuilder::RenderNbsiDirectory(std::vector<uint8_t>& bytes, const BlockPlan& plan)
{
    const size_t directory = plan.nbsiDirectoryOffset;
    const uint32_t directorySize = DirectorySize(plan.objects.size());
    PutWord(bytes, 22, plan.nbsiDirectoryOffset);
    PutDword(bytes, directory, 0x4E425349); // "ISBN" as bytes
    PutDword(bytes, directory + 4, directorySize);
    PutByte(bytes, directory + 8, static_cast<uint8_t>(plan.objects.size()));
    PutByte(bytes, directory + 9, 1);
    size_t record = directory + directorySize;
    for (size_t i = 0; i < plan.objects.size(); ++i)
    {
        const NbsiObject& object = plan.objects[i];
        PutWord(bytes, directory + 10 + 2 * i, object.type);
        uint32_t size = 16 + static_cast<uint32_t>(object.data.size());
        for (const auto& [objectIndex, field] : plan.objectSizeFields)
        {
            if (objectIndex == i)
            {
                size = field;
            }
        }
        PutWord(bytes, record + 8, object.type);
        PutDword(bytes, record + 10, size);
        PutByte(bytes, record + 15, 1);
        std::copy(object.data.begin(), object.data.end(), bytes.begin() + record + 16);
        record += 16 + object.data.size();
    }
}

std::vector<uint8_t> CGpuImageBuilder::RenderBlock(const BlockPlan& plan, size_t index,
                                                   bool isLast) const
{
    std::vector<uint8_t> bytes(plan.length);
    if (!plan.isNbsi)
    {
        // A recognisable payload, different in every block, so sums and
        // comparisons see real data.
        for (size_t j = 0; j < bytes.size(); ++j)
        {
            bytes[j] = static_cast<uint8_t>(0x5A ^ (index * 13 + j * 7));
        }
    }
    std::fill(bytes.begin(), bytes.begin() + std::min<size_t>(plan.pcirOffset, bytes.size()), 0);
    const bool last = plan.lastImage.value_or(isLast);
    RenderPcir(bytes, plan, last);
    if (plan.hasKpde)
    {
        RenderKpde(bytes, plan, last);
    }
    if (!plan.payload.empty())
    {
        RenderPayload(bytes, plan);
    }
    if (plan.isNbsi)
    {
        RenderNbsiDirectory(bytes, plan);
    }
    if (index == 0)
    {
        RenderFirstBlockTables(bytes);
    }
    for (const auto& [offset, patch] : plan.patches)
    {
        for (size_t j = 0; j < patch.size(); ++j)
        {
            PutByte(bytes, offset + j, patch[j]);
        }
    }
    // The last byte makes the block's bytes sum to 0 modulo 256.
    const uint32_t sum = std::accumulate(bytes.begin(), bytes.end() - 1, uint32_t{0});
    bytes.back() = static_cast<uint8_t>(0x100 - (sum & 0xFF) + (plan.badChecksum ? 1 : 0));
    return bytes;
}

std::vector<uint8_t> CGpuImageBuilder::Build() const
{
    std::vector<uint8_t> image;
    if (m_ifrSize)
    {
        image = RenderInitFromRom();
    }
    for (size_t i = 0; i < m_blocks.size(); ++i)
    {
        const std::vector<uint8_t> block = RenderBlock(m_blocks[i], i, i + 1 == m_blocks.size());
        image.insert(image.end(), block.begin(), block.end());
    }
    image.insert(image.end(), m_trailer.begin(), m_trailer.end());
    if (m_truncate && *m_truncate < image.size())
    {
        image.resize(*m_truncate);
    }
    return image;
}

CRefPtr<IROMImage> CGpuImageBuilder::BuildImage() const
{
    const std::vector<uint8_t> bytes = Build();
    return IROMImage::CreateFromBuffer(bytes.data(), static_cast<uint32_t>(bytes.size()));
}

uint32_t CGpuImageBuilder::OffsetOf(size_t index) const
{
    uint32_t offset = 0;
    for (size_t i = 0; i < index && i < m_blocks.size(); ++i)
    {
        offset += m_blocks[i].length;
    }
    return offset;
}

uint32_t CGpuImageBuilder::ChainLength() const
{
    return OffsetOf(m_blocks.size());
}
} // namespace testkit
