// The BIT (BIOS information table) of an image and the fields of the tokens
// that every image kind shares: location and cache, token search, the
// information and BIOS-data tokens, the init tables, the image's own VField
// tables, the TMDS and LVDS lists and the range records.

#include "image/ROMImageBaseImpl.h"

#include "core/Log.h"
#include "core/Range.h"
#include "core/TextHelpers.h"

#include <array>
#include <stdexcept>

namespace
{
constexpr std::array<uint8_t, 6> kBitSignature = {0xFF, 0xB8, 'B', 'I', 'T', 0x00};
constexpr uint32_t kBitHeaderSize = 12;
constexpr uint16_t kBitVersion = 0x0100;
constexpr uint32_t kTokenEntryRead = 6;

constexpr uint8_t kTokenInfo = 'i';
constexpr uint8_t kTokenBiosData = 'B';
constexpr uint8_t kTokenInit = 'I';
constexpr uint8_t kTokenVField = 'V';
constexpr uint8_t kTokenTmds = 'T';
constexpr uint8_t kTokenLvds = 'L';

constexpr uint8_t kVFieldTableVersion = 0x10;

struct LinkRow
{
    const char* name;
    uint32_t wordOffset;
    uint8_t linkIndex;
};

constexpr std::array<LinkRow, 4> kTmdsLinks = {{
    {"TMDSLinkAB", 11, 0},
    {"TMDSLinkCD", 13, 2},
    {"TMDSLinkB", 15, 1},
    {"TMDSLinkD", 17, 3},
}};

constexpr std::array<LinkRow, 8> kLvdsLinks = {{
    {"LVDSSingleA18", 15, 0},
    {"LVDSSingleA24", 17, 0},
    {"LVDSDualAB18", 19, 0},
    {"LVDSDualAB24", 21, 0},
    {"LVDSSingleC18", 23, 2},
    {"LVDSSingleC24", 25, 2},
    {"LVDSDualCD18", 27, 2},
    {"LVDSDualCD24", 29, 2},
}};

int32_t ToOffset(uint64_t value)
{
    return static_cast<int32_t>(static_cast<uint32_t>(value));
}
} // namespace

// ---- location and cache --------------------------------------------------

int32_t CROMImageBaseImpl::GetBITOffset()
{
    const uint32_t window = GetWindowOffset();
    if (!m_bitSearched)
    {
        m_bitSearched = true;
        const int32_t found = FindBytes(kBitSignature.data(), kBitSignature.size());
        m_bitBufferOffset = found == -1 ? -1 : int64_t{found} + window;
        m_bitState = found == -1 ? 0 : 1;
    }
    // The cache holds a buffer offset; a BIT in front of the window the
    // caller sees now is not part of its image.
    if (m_bitBufferOffset == -1 || m_bitBufferOffset < window)
    {
        return -1;
    }
    return ToOffset(static_cast<uint64_t>(m_bitBufferOffset) - window);
}

bool CROMImageBaseImpl::IsBITState(int32_t state)
{
    // The lookup runs the search once if needed; a BIT in front of the window
    // is not found in this view even though the search saw it.
    const bool found = GetBITOffset() != -1;
    return m_bitState == state && (state != 1 || found);
}

int32_t CROMImageBaseImpl::LoadedBITHeader(bool parse)
{
    if (parse ? !IsBITState(1) : m_bitState != 1)
    {
        return -1;
    }
    const int32_t bit = GetBITOffset();
    return IsRangeLoaded(bit, kBitHeaderSize) ? bit : -1;
}

int32_t CROMImageBaseImpl::FindBITToken(uint8_t id, uint8_t& minimumVersion, uint16_t& minimumSize)
{
    return WalkBITTokens(id, minimumVersion, minimumSize, true);
}

int32_t CROMImageBaseImpl::WalkBITTokens(uint8_t id, uint8_t& minimumVersion, uint16_t& minimumSize,
                                         bool onlyVersion100)
{
    if (!IsBITState(1))
    {
        return -1;
    }
    const int32_t bit = GetBITOffset();
    if (!IsRangeLoaded(bit, kBitHeaderSize))
    {
        throw std::runtime_error("Incomplete BIT Header");
    }
    if (onlyVersion100 ? GetBITVersion(bit) != kBitVersion : GetBITVersion(bit) < kBitVersion)
    {
        return -1;
    }
    const uint32_t headerSize = GetByte(bit + 8);
    const uint32_t entrySize = GetByte(bit + 9);
    const uint32_t count = GetByte(bit + 10);
    const uint64_t list = UnsignedOffset(bit) + headerSize;
    if (!IsRangeLoaded(ToOffset(list), entrySize * count))
    {
        throw std::runtime_error("Incomplete BIT Token List");
    }
    // An entry shorter than the fields read would reach into the next one,
    // and past the list for the last.
    if (entrySize < kTokenEntryRead)
    {
        return -1;
    }
    // The whole list is loaded (checked above): it is scanned in place, as
    // every table reader walks it, often many times an operation.
    const uint8_t* entries = count == 0 ? nullptr : GetRawBytePointer(ToOffset(list), false);
    for (uint32_t i = 0; i < count; ++i)
    {
        const uint8_t* fields = entries + uint64_t{i} * entrySize;
        const uint8_t version = fields[1];
        const auto size = static_cast<uint16_t>(fields[2] | fields[3] << 8);
        if (fields[0] == id && version >= minimumVersion && size >= minimumSize)
        {
            minimumVersion = version;
            minimumSize = size;
            return ToOffset(list + uint64_t{i} * entrySize);
        }
    }
    return -1;
}

int32_t CROMImageBaseImpl::GetBITTokenDataOffset(int32_t entry)
{
    return entry == -1 ? -1 : GetWord(entry + 4);
}

int32_t CROMImageBaseImpl::GetBITTokenData(uint8_t id, uint8_t minimumVersion, uint16_t minimumSize)
{
    return GetBITTokenDataOffset(FindBITToken(id, minimumVersion, minimumSize));
}

int32_t CROMImageBaseImpl::TokenDataLoaded(uint8_t id, uint8_t version, uint16_t size,
                                           uint32_t loaded, bool exactVersion, bool parse)
{
    if (!IsValid())
    {
        return -1;
    }
    const int32_t bit = LoadedBITHeader(parse);
    if (bit == -1 || (exactVersion && GetBITVersion(bit) != kBitVersion))
    {
        return -1;
    }
    const int32_t data = GetBITTokenData(id, version, size);
    return data != -1 && IsRangeLoaded(data, loaded) ? data : -1;
}

int32_t CROMImageBaseImpl::RequireTokenData(uint8_t id, uint8_t version, uint16_t size,
                                            uint32_t loaded)
{
    if (LoadedBITHeader(true) == -1)
    {
        throw std::runtime_error("ERROR: BIT not found.");
    }
    const int32_t data = GetBITTokenData(id, version, size);
    if (data == -1 || !IsRangeLoaded(data, loaded))
    {
        throw std::runtime_error(std::string("ERROR: BIT token '") + static_cast<char>(id) +
                                 "' not found.");
    }
    return data;
}

int32_t CROMImageBaseImpl::RequireTable(int32_t pointer, uint32_t length, const char* what)
{
    if (!IsRangeLoaded(pointer, length))
    {
        throw std::runtime_error(std::string("ERROR: ") + what + " lies outside the image.");
    }
    return pointer;
}

std::string CROMImageBaseImpl::FieldText(int32_t offset, uint32_t width)
{
    std::string text;
    if (offset == -1)
    {
        return text;
    }
    for (uint32_t i = 0; i < width; ++i)
    {
        const uint8_t c = GetByte(ToOffset(uint64_t{UnsignedOffset(offset)} + i));
        if (c == 0)
        {
            break;
        }
        text.push_back(static_cast<char>(c));
    }
    return text;
}

// ---- information and BIOS-data tokens -------------------------------------
// Each field needs its token and the bytes it reads loaded; otherwise it
// answers its fallback value.

bool CROMImageBaseImpl::GetInfoFlag5()
{
    const int32_t data = TokenDataLoaded(kTokenInfo, 1, 0, 7, false);
    return data != -1 && (GetWord(data + 5) & 0x10) != 0;
}

int32_t CROMImageBaseImpl::GetInfoPointer7Offset()
{
    const int32_t data = TokenDataLoaded(kTokenInfo, 0, 0, 13, true);
    return data == -1 ? -1 : data + 7;
}

uint32_t CROMImageBaseImpl::GetInfoPointer7Value()
{
    const int32_t offset = GetInfoPointer7Offset();
    return offset == -1 ? 0 : GetDword(offset);
}

uint16_t CROMImageBaseImpl::GetBoardID()
{
    const int32_t data = TokenDataLoaded(kTokenInfo, 0, 0, 13, true);
    return data == -1 ? 0 : GetWord(data + 11);
}

int32_t CROMImageBaseImpl::GetBuildDateOffset()
{
    const int32_t data = TokenDataLoaded(kTokenInfo, 2, 13, 13, false);
    return data == -1 ? -1 : data + 15;
}

std::string CROMImageBaseImpl::GetBuildDate()
{
    const int32_t offset = GetBuildDateOffset();
    if (offset == -1)
    {
        return "";
    }
    std::string date = "00/00/00";
    if (IsRangeLoaded(offset, 8))
    {
        for (int32_t i = 0; i < 8; ++i)
        {
            date[static_cast<size_t>(i)] = static_cast<char>(GetByte(offset + i));
        }
    }
    return date;
}

int32_t CROMImageBaseImpl::GetPreservationTableOffset()
{
    const int32_t data = TokenDataLoaded(kTokenInfo, 2, 35, 35, false);
    if (data == -1)
    {
        return -1;
    }
    const uint16_t table = GetWord(data + 33);
    return table == 0 ? -1 : table;
}

uint8_t CROMImageBaseImpl::GetInfoByte35()
{
    const int32_t data = TokenDataLoaded(kTokenInfo, 2, 36, 36, false);
    return data == -1 ? 0 : GetByte(data + 35);
}

uint8_t CROMImageBaseImpl::GetHierarchyID()
{
    const int32_t data = TokenDataLoaded(kTokenInfo, 2, 37, 37, false);
    return data == -1 ? 0 : GetByte(data + 36);
}

std::string CROMImageBaseImpl::GetHierarchyIDName()
{
    const uint8_t id = GetHierarchyID();
    if (id == 0)
    {
        return "None";
    }
    if (id == 1)
    {
        return "Normal Board";
    }
    if (id <= 19)
    {
        return "Switch Port " + std::to_string(id - 2);
    }
    return ToHex(id, 2);
}

std::string CROMImageBaseImpl::GetChipSKU()
{
    const int32_t data = TokenDataLoaded(kTokenInfo, 2, 65, 65, true);
    return FieldText(data == -1 ? -1 : data + 48, 3);
}

std::string CROMImageBaseImpl::GetChipSKURevision()
{
    const int32_t data = TokenDataLoaded(kTokenInfo, 2, 65, 65, true);
    return FieldText(data == -1 ? -1 : data + 51, 1);
}

std::string CROMImageBaseImpl::GetProject()
{
    const int32_t data = TokenDataLoaded(kTokenInfo, 2, 65, 65, true);
    return FieldText(data == -1 ? -1 : data + 52, 4);
}

std::string CROMImageBaseImpl::GetProjectSKU()
{
    const int32_t data = TokenDataLoaded(kTokenInfo, 2, 65, 65, true);
    return FieldText(data == -1 ? -1 : data + 56, 4);
}

std::string CROMImageBaseImpl::GetCDP()
{
    const int32_t data = TokenDataLoaded(kTokenInfo, 2, 65, 65, true);
    return FieldText(data == -1 ? -1 : data + 60, 5);
}

std::string CROMImageBaseImpl::GetProjectRevision()
{
    const int32_t data = TokenDataLoaded(kTokenInfo, 2, 67, 67, true);
    return FieldText(data == -1 ? -1 : data + 65, 1);
}

uint8_t CROMImageBaseImpl::GetInfoByte66()
{
    const int32_t data = TokenDataLoaded(kTokenInfo, 2, 67, 67, false);
    return data == -1 ? 0 : GetByte(data + 66);
}

uint16_t CROMImageBaseImpl::GetAlternateBoardID()
{
    const int32_t data = TokenDataLoaded(kTokenInfo, 2, 72, 72, false);
    return data == -1 ? 0 : GetWord(data + 70);
}

std::string CROMImageBaseImpl::GetBuildGUID()
{
    // The GUID ends at byte 88 of the token data: all of it must be there.
    const int32_t data = TokenDataLoaded(kTokenInfo, 2, 88, 88, false);
    std::string text;
    if (data == -1)
    {
        return text;
    }
    for (int32_t i = 0; i < 16; ++i)
    {
        text += ToHex(GetByte(data + 72 + i), 2);
    }
    return text;
}

uint32_t CROMImageBaseImpl::GetInfoDword88()
{
    const int32_t data = TokenDataLoaded(kTokenInfo, 2, 92, 92, false);
    return data == -1 ? 0 : GetDword(data + 88);
}

bool CROMImageBaseImpl::GetBIOSDataFlag32()
{
    const int32_t data = TokenDataLoaded(kTokenBiosData, 0, 0, 33, false);
    return data != -1 && (GetByte(data + 32) & 0x01) != 0;
}

bool CROMImageBaseImpl::IsCoprocBuild()
{
    const int32_t data = TokenDataLoaded(kTokenBiosData, 2, 33, 33, false);
    return data != -1 && (GetByte(data + 32) & 0x02) != 0;
}

bool CROMImageBaseImpl::GetHeaderFlag48()
{
    return IsValid() && IsRangeLoaded(0x48, 1) && (GetByte(0x48) & 1) != 0;
}

// ---- init tables and devinit ---------------------------------------------

uint16_t CROMImageBaseImpl::GetInitTableWordEntry(uint8_t index)
{
    const int32_t data = RequireTokenData(kTokenInit, 0, 0, 4);
    const int32_t entry =
        RequireTable(ToOffset(uint64_t{GetWord(data + 2)} + 2u * index), 2, "Init table entry");
    return GetWord(entry);
}

InitTablePairEntry CROMImageBaseImpl::GetInitTablePairEntry(uint8_t index)
{
    const int32_t data = RequireTokenData(kTokenInit, 0, 0, 6);
    const int32_t entry =
        RequireTable(ToOffset(uint64_t{GetWord(data + 4)} + 8u * index), 8, "Init table entry");
    return {GetDword(entry), GetDword(entry + 4)};
}

InitTableTripleEntry CROMImageBaseImpl::GetInitTableTripleEntry(uint8_t index)
{
    const int32_t data = RequireTokenData(kTokenInit, 0, 0, 8);
    const int32_t entry =
        RequireTable(ToOffset(uint64_t{GetWord(data + 6)} + 12u * index), 12, "Init table entry");
    return {GetDword(entry), GetDword(entry + 4), GetDword(entry + 8)};
}

InitTable5ByteEntry CROMImageBaseImpl::GetInitTable5ByteEntry(uint8_t index)
{
    const int32_t data = RequireTokenData(kTokenInit, 0, 0, 10);
    const int32_t entry =
        RequireTable(ToOffset(uint64_t{GetWord(data + 8)} + 5u * index), 5, "Init table entry");
    return {GetDword(entry), GetByte(entry + 4)};
}

InitTable9ByteEntry CROMImageBaseImpl::GetInitTable9ByteEntry(uint8_t index)
{
    const int32_t data = RequireTokenData(kTokenInit, 0, 0, 12);
    const int32_t entry =
        RequireTable(ToOffset(uint64_t{GetWord(data + 10)} + 9u * index), 9, "Init table entry");
    return {GetDword(entry), GetDword(entry + 4), GetByte(entry + 8)};
}

uint16_t CROMImageBaseImpl::GetInitTableV1WordEntry(uint8_t index)
{
    const int32_t data = RequireTokenData(kTokenInit, 1, 18, 18);
    const int32_t entry =
        RequireTable(ToOffset(uint64_t{GetWord(data + 16)} + 2u * index), 2, "Init table entry");
    return GetWord(entry);
}

int32_t CROMImageBaseImpl::GetInitTableOffset14()
{
    if (!IsBITState(1))
    {
        throw std::runtime_error("ERROR: BIT not found.");
    }
    const int32_t bit = GetBITOffset();
    if (!IsRangeLoaded(bit, kBitHeaderSize))
    {
        throw std::runtime_error("ERROR: BIT not found.");
    }
    if ((GetBITVersion(bit) >> 8) != 1)
    {
        throw std::runtime_error("ERROR: BIT version not supported.");
    }
    const int32_t data = GetBITTokenData(kTokenInit, 0, 16);
    if (data == -1 || !IsRangeLoaded(data, 16))
    {
        return -1;
    }
    const uint16_t table = GetWord(data + 14);
    return table == 0 ? -1 : table;
}

uint8_t CROMImageBaseImpl::GetDevinitSignatureType()
{
    if (LoadedBITHeader(true) == -1)
    {
        return 0;
    }
    const int32_t data = GetBITTokenData(kTokenInit, 0, 28);
    if (data == -1 || !IsRangeLoaded(data, 28))
    {
        return 0;
    }
    const int32_t scripts = RequireTable(GetWord(data + 20), 9, "Devinit script table");
    const int32_t tables = RequireTable(GetWord(data + 24), 9, "Devinit tables");
    const uint8_t type = GetByte(scripts + 8);
    if (type != GetByte(tables + 8))
    {
        throw std::runtime_error(
            "ERROR: Devinit script signature type does not match devinit tables signature type.");
    }
    return type;
}

void CROMImageBaseImpl::GetDevinitOffsets(int32_t& scriptTable, int32_t& tables)
{
    if (LoadedBITHeader(true) == -1)
    {
        throw std::runtime_error("ERROR: Don't know how to find devinit information.");
    }
    const int32_t data = GetBITTokenData(kTokenInit, 0, 28);
    if (data == -1 || !IsRangeLoaded(data, 28))
    {
        return;
    }
    GetDevinitSignatureType();
    scriptTable = GetWord(data + 20);
    tables = GetWord(data + 24);
}

int32_t CROMImageBaseImpl::CheckInitScripts(uint32_t script)
{
    const int32_t bit = LoadedBITHeader(true);
    if (bit == -1)
    {
        throw std::runtime_error("BIT not found.");
    }
    if (GetBITVersion(bit) != kBitVersion)
    {
        throw std::runtime_error("BIT version not supported");
    }
    const int32_t data = GetBITTokenData(kTokenInit, 0, 0);
    if (data == -1 || !IsRangeLoaded(data, 28))
    {
        throw std::runtime_error("Script table not loaded");
    }
    const int32_t entry = ToOffset(uint64_t{GetWord(data)} + 2ull * script);
    if (uint64_t{GetWord(data)} + 2ull * script > 0x7FFFFFFF || !IsRangeLoaded(entry, 2))
    {
        throw std::runtime_error("Script table not loaded");
    }
    const uint16_t offset = GetWord(entry);
    if (!IsRangeLoaded(offset, 1))
    {
        throw std::runtime_error("Script not loaded");
    }
    return offset;
}

// ---- the image's VField tables -------------------------------------------

VFieldRegisterRecord CROMImageBaseImpl::GetVFieldRegister(uint8_t index)
{
    const int32_t data = RequireTokenData(kTokenVField, 1, 6, 6);
    const int32_t table = RequireTable(GetWord(data + 2), 3, "Virtual field register table");
    if (GetByte(table) != kVFieldTableVersion)
    {
        throw std::runtime_error("ERROR: Virtual field table version not supported.");
    }
    if (index >= GetByte(table + 2))
    {
        throw std::runtime_error("ERROR: Virtual field register index out of range.");
    }
    const int32_t entry = RequireTable(
        ToOffset(uint64_t{UnsignedOffset(table)} + 3 + uint64_t{index} * GetByte(table + 1)), 13,
        "Virtual field register entry");
    VFieldRegisterRecord record{};
    for (int32_t i = 0; i < 13; ++i)
    {
        record[static_cast<size_t>(i)] = GetByte(entry + i);
    }
    return record;
}

VFieldRecord CROMImageBaseImpl::GetVField(uint8_t id)
{
    const int32_t data = RequireTokenData(kTokenVField, 1, 6, 6);
    const int32_t table = RequireTable(GetWord(data), 3, "Virtual field table");
    if (GetByte(table) != kVFieldTableVersion)
    {
        throw std::runtime_error("ERROR: Virtual field table version not supported.");
    }
    const uint32_t entrySize = GetByte(table + 1);
    const uint32_t count = GetByte(table + 2);
    for (uint32_t i = 0; i < count; ++i)
    {
        const int32_t entry =
            RequireTable(ToOffset(uint64_t{UnsignedOffset(table)} + 3 + uint64_t{i} * entrySize), 3,
                         "Virtual field entry");
        if (GetByte(entry) == id)
        {
            return {GetByte(entry), GetByte(entry + 1), GetByte(entry + 2)};
        }
    }
    throw std::runtime_error("ERROR: Virtual field entry not found.");
}

// ---- TMDS and LVDS -------------------------------------------------------

bool CROMImageBaseImpl::LoadEntryList(uint8_t token, std::vector<int32_t>& list, const char* what,
                                      CLog* log)
{
    uint8_t version = 0;
    uint16_t size = 0;
    const int32_t entry = FindBITToken(token, version, size);
    if (entry == -1)
    {
        return false;
    }
    const int32_t pointers = GetBITTokenDataOffset(entry);
    for (uint32_t i = 0; i < size / 2u; ++i)
    {
        const int32_t at = ToOffset(uint64_t{UnsignedOffset(pointers)} + 2ull * i);
        const int32_t pointer = IsRangeLoaded(at, 2) ? GetWord(at) : 0;
        if (!IsOffsetSet(pointer))
        {
            if (log != nullptr)
            {
                *log << LogLevel(4) << "ERROR: Unable to find " << what << " Info Header structure "
                     << i << LogEndl;
            }
            return false;
        }
        list.push_back(pointer);
    }
    return true;
}

bool CROMImageBaseImpl::LoadTMDSTable(CLog* log)
{
    return LoadEntryList(kTokenTmds, m_tmdsEntries, "TMDS", log);
}

bool CROMImageBaseImpl::LoadLVDSTable(CLog* log)
{
    return LoadEntryList(kTokenLvds, m_lvdsEntries, "LVDS", log);
}

std::string CROMImageBaseImpl::GetTMDSLinkName(uint32_t link)
{
    return link < kTmdsLinks.size() ? kTmdsLinks[link].name : "";
}

std::string CROMImageBaseImpl::GetLVDSLinkName(uint32_t link)
{
    return link < kLvdsLinks.size() ? kLvdsLinks[link].name : "";
}

uint8_t CROMImageBaseImpl::GetTMDSLinkIndex(uint32_t link)
{
    return link < kTmdsLinks.size() ? kTmdsLinks[link].linkIndex : 0xFF;
}

uint8_t CROMImageBaseImpl::GetLVDSLinkIndex(uint32_t link)
{
    return link < kLvdsLinks.size() ? kLvdsLinks[link].linkIndex : 0xFF;
}

int32_t CROMImageBaseImpl::GetTMDSEntryValue(uint32_t entry, uint32_t link)
{
    if (entry >= m_tmdsEntries.size() || link >= kTmdsLinks.size())
    {
        return -1;
    }
    return GetWord(m_tmdsEntries[entry] + static_cast<int32_t>(kTmdsLinks[link].wordOffset));
}

int32_t CROMImageBaseImpl::GetLVDSEntryValue(uint32_t entry, uint32_t link)
{
    if (entry >= m_lvdsEntries.size() || link >= kLvdsLinks.size())
    {
        return -1;
    }
    return GetWord(m_lvdsEntries[entry] + static_cast<int32_t>(kLvdsLinks[link].wordOffset));
}

// ---- ranges and extended offsets -----------------------------------------

uint16_t CROMImageBaseImpl::ReadRangeStart(int32_t offset)
{
    return GetWord(offset);
}

uint16_t CROMImageBaseImpl::ReadRangeEnd(int32_t offset)
{
    return GetWord(ToOffset(uint64_t{UnsignedOffset(offset)} + 2));
}

bool CROMImageBaseImpl::NextRange(int32_t& cursor)
{
    if (cursor == -1)
    {
        return false;
    }
    const uint16_t start = ReadRangeStart(cursor);
    if (start == 0)
    {
        cursor = -1;
        return true;
    }
    const int32_t next = ToOffset(uint64_t{UnsignedOffset(cursor)} + 4);
    if (start > ReadRangeStart(next))
    {
        cursor = next;
        return true;
    }
    return false;
}

int32_t CROMImageBaseImpl::MapExtendedOffset(int32_t offset)
{
    if (offset == 0)
    {
        return -1;
    }
    const int32_t first = FindNthPCIBlock(0x00, 0);
    if (first == -1)
    {
        return -1;
    }
    const uint32_t length = GetPCIBlockLength(first);
    if (length == 0)
    {
        return -1;
    }
    if (UnsignedOffset(offset) <= length)
    {
        return offset;
    }
    const int32_t extension = FindNthPCIBlock(0xE0, 0);
    if (extension == -1)
    {
        return -1;
    }
    const uint64_t mapped = uint64_t{UnsignedOffset(offset)} + UnsignedOffset(extension) - length;
    return mapped < kImageBufferSize ? ToOffset(mapped) : -1;
}
