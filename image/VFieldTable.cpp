#include "image/VFieldTable.h"

#include "core/Exceptions.h"
#include "core/Log.h"
#include "core/TextHelpers.h"
#include "hw/device/IDevice.h"

#include <algorithm>
#include <istream>
#include <ostream>
#include <stdexcept>

namespace
{
constexpr uint8_t kTableVersion = 0x10;
constexpr uint8_t kRegisterSize = 13;
constexpr uint8_t kFieldSize = 3;
constexpr uint32_t kMaxEntries = 0xFF; // the header keeps the count in a byte

void PrintLine(CLog* log, const std::string& text)
{
    if (log != nullptr)
    {
        *log << text << LogEndl;
    }
}

void PrintHeader(CLog* log, const char* title, const std::array<uint8_t, 3>& header)
{
    PrintLine(log, title);
    PrintLine(log, "Version: 0x" + ToHex(header[0], 2));
    PrintLine(log, "Entry Size: 0x" + ToHex(header[1], 2));
    PrintLine(log, "Count: 0x" + ToHex(header[2], 2));
}

std::string RegisterLine(uint32_t index, const VFieldRegisterRecord& r)
{
    return "Entry[0x" + ToHex(index, 2) + "]:" + " 0x" +
           ToHex(VFieldTableImpl::RegisterType(r), 1) + ":0x" +
           ToHex(VFieldTableImpl::ReadWidthCode(r), 1) + ":0x" +
           ToHex(VFieldTableImpl::IndexWidthCode(r), 1) + ":0x" +
           ToHex(VFieldTableImpl::DataAddress(r), 8) + ":0x" +
           ToHex(VFieldTableImpl::IndexAddress(r), 8) + ":0x" +
           ToHex(VFieldTableImpl::IndexValue(r), 8);
}

std::string FieldLine(uint32_t index, const VFieldRecord& f)
{
    return "Entry[0x" + ToHex(index, 2) + "]:" + " 0x" + ToHex(f[0], 2) + ":0x" +
           ToHex(VFieldTableImpl::RegisterIndex(f), 1) + ":0x" +
           ToHex(VFieldTableImpl::HighestBit(f), 2) + ":0x" +
           ToHex(VFieldTableImpl::LowestBit(f), 2);
}

template <size_t N> bool ReadExactly(std::istream& input, std::array<uint8_t, N>& bytes)
{
    input.read(reinterpret_cast<char*>(bytes.data()), N);
    return static_cast<size_t>(input.gcount()) == N;
}
} // namespace

CRefPtr<IVFieldTable> IVFieldTable::Create()
{
    return CRefPtr<IVFieldTable>(new VFieldTableImpl());
}

VFieldTableImpl::VFieldTableImpl()
{
    VFieldTableImpl::Clear();
}

void VFieldTableImpl::Clear()
{
    m_registerHeader = {kTableVersion, kRegisterSize, 0};
    m_fieldHeader = {kTableVersion, kFieldSize, 0};
    m_registers.clear();
    m_fields.clear();
}

uint32_t VFieldTableImpl::AddRegister(const VFieldRegisterRecord& record)
{
    const uint32_t count = std::min<uint32_t>(GetRegisterCount(), m_registers.size());
    for (uint32_t i = count; i-- > 0;)
    {
        if (m_registers[i] == record)
        {
            return i;
        }
    }
    if (m_registers.size() >= kMaxEntries)
    {
        throw std::runtime_error("Virtual field register table is full");
    }
    m_registers.push_back(record);
    m_registerHeader[2] = static_cast<uint8_t>(m_registers.size());
    return static_cast<uint32_t>(m_registers.size() - 1);
}

uint32_t VFieldTableImpl::AddField(const VFieldRecord& record)
{
    if (m_fields.size() >= kMaxEntries)
    {
        throw std::runtime_error("Virtual field table is full");
    }
    m_fields.push_back(record);
    m_fieldHeader[2] = static_cast<uint8_t>(m_fields.size());
    return static_cast<uint32_t>(m_fields.size());
}

VFieldRegisterRecord VFieldTableImpl::GetRegister(uint32_t index)
{
    if (index < GetRegisterCount() && index < m_registers.size())
    {
        return m_registers[index];
    }
    return {};
}

VFieldRecord VFieldTableImpl::GetField(uint32_t index)
{
    if (index < GetFieldCount() && index < m_fields.size())
    {
        return m_fields[index];
    }
    return {};
}

bool VFieldTableImpl::HasField(uint8_t id)
{
    const uint32_t count = std::min<uint32_t>(GetFieldCount(), m_fields.size());
    return std::any_of(m_fields.begin(), m_fields.begin() + count,
                       [id](const VFieldRecord& f) { return f[0] == id; });
}

bool VFieldTableImpl::Validate()
{
    for (uint32_t i = 0; i < GetFieldCount(); ++i)
    {
        if (i >= m_fields.size())
        {
            return false;
        }
        const VFieldRecord& field = m_fields[i];
        const uint32_t registerIndex = RegisterIndex(field);
        if (LowestBit(field) > HighestBit(field) || registerIndex >= GetRegisterCount() ||
            registerIndex >= m_registers.size())
        {
            return false;
        }
        const VFieldRegisterRecord& r = m_registers[registerIndex];
        if (RegisterType(r) > 6 || ReadWidthCode(r) > 2 || IndexWidthCode(r) > 2)
        {
            return false;
        }
    }
    return true;
}

bool VFieldTableImpl::IsEmpty()
{
    return GetRegisterCount() == 0 && GetFieldCount() == 0;
}

uint32_t VFieldTableImpl::ReadRegister(IDevice* device, uint8_t widthCode, uint32_t address)
{
    switch (widthCode)
    {
    case 0:
        return device->Read8(address);
    case 1:
        return device->Read16(address);
    case 2:
        return device->Read32(address);
    default:
        throw std::runtime_error("Virtual field register size unsupported");
    }
}

void VFieldTableImpl::WriteRegister(IDevice* device, uint8_t widthCode, uint32_t address,
                                    uint32_t value)
{
    switch (widthCode)
    {
    case 0:
        device->Write8(address, static_cast<uint8_t>(value));
        break;
    case 1:
        device->Write16(address, static_cast<uint16_t>(value));
        break;
    case 2:
        device->Write32(address, value);
        break;
    default:
        throw std::runtime_error("Virtual field register size unsupported");
    }
}

uint32_t VFieldTableImpl::ReadField(IDevice* device, uint32_t registerIndex)
{
    if (registerIndex >= GetRegisterCount() || registerIndex >= m_registers.size())
    {
        throw std::runtime_error("Virtual field register entry index out of range");
    }
    const VFieldRegisterRecord& r = m_registers[registerIndex];
    const uint8_t type = RegisterType(r);
    if (type != 1 && type != 2)
    {
        throw std::runtime_error("Virtual field register type usupported");
    }
    if (type == 2)
    {
        WriteRegister(device, IndexWidthCode(r), IndexAddress(r), IndexValue(r));
    }
    return ReadRegister(device, ReadWidthCode(r), DataAddress(r));
}

uint32_t VFieldTableImpl::ReadFieldValue(IDevice* device, uint8_t id)
{
    // A 64-bit accumulator: a 32-bit wide field shifts the earlier bits out
    // instead of shifting by the full width of the type.
    uint64_t value = 0;
    const uint32_t count = std::min<uint32_t>(GetFieldCount(), m_fields.size());
    for (uint32_t i = 0; i < count; ++i)
    {
        const VFieldRecord& field = m_fields[i];
        if (field[0] != id)
        {
            continue;
        }
        const uint32_t lowest = LowestBit(field);
        const uint32_t highest = HighestBit(field);
        if (lowest > highest)
        {
            throw std::runtime_error("Virtual field bit range invalid");
        }
        const uint32_t width = highest - lowest + 1;
        const uint64_t bits = (uint64_t{ReadField(device, RegisterIndex(field))} >> lowest) &
                              ((uint64_t{1} << width) - 1);
        value = (value << width) | bits;
    }
    return static_cast<uint32_t>(value);
}

void VFieldTableImpl::PrintTables(CLog* log, const std::vector<VFieldRegisterRecord>& registers,
                                  const std::vector<VFieldRecord>& fields,
                                  const std::array<uint8_t, 3>& rh,
                                  const std::array<uint8_t, 3>& fh)
{
    // Without a log the lines would be built for nothing.
    if (log == nullptr)
    {
        return;
    }
    PrintHeader(log, "VField Register Table", rh);
    for (size_t i = 0; i < registers.size(); ++i)
    {
        PrintLine(log, RegisterLine(static_cast<uint32_t>(i), registers[i]));
    }
    PrintHeader(log, "VField Table", fh);
    for (size_t i = 0; i < fields.size(); ++i)
    {
        PrintLine(log, FieldLine(static_cast<uint32_t>(i), fields[i]));
    }
}

uint32_t VFieldTableImpl::WriteToStream(std::ostream& output, CLog* log)
{
    const uint32_t registerCount = std::min<uint32_t>(GetRegisterCount(), m_registers.size());
    const uint32_t fieldCount = std::min<uint32_t>(GetFieldCount(), m_fields.size());
    std::array<uint8_t, 3> registerHeader = m_registerHeader;
    std::array<uint8_t, 3> fieldHeader = m_fieldHeader;
    registerHeader[2] = static_cast<uint8_t>(registerCount);
    fieldHeader[2] = static_cast<uint8_t>(fieldCount);
    const std::vector<VFieldRegisterRecord> registers(m_registers.begin(),
                                                      m_registers.begin() + registerCount);
    const std::vector<VFieldRecord> fields(m_fields.begin(), m_fields.begin() + fieldCount);
    PrintTables(log, registers, fields, registerHeader, fieldHeader);

    auto put = [&output](const uint8_t* bytes, size_t count)
    { output.write(reinterpret_cast<const char*>(bytes), static_cast<std::streamsize>(count)); };
    put(registerHeader.data(), registerHeader.size());
    for (const auto& r : registers)
    {
        put(r.data(), r.size());
    }
    put(fieldHeader.data(), fieldHeader.size());
    for (const auto& f : fields)
    {
        put(f.data(), f.size());
    }
    if (!output)
    {
        throw io_error("Error writing image to file");
    }
    return 6 + kRegisterSize * registerCount + kFieldSize * fieldCount;
}

void VFieldTableImpl::ReadFromStream(std::istream& input, CLog* log)
{
    // Everything is read aside first: a stream that ends early leaves the
    // table as it was instead of half-filled records.
    std::array<uint8_t, 3> registerHeader{};
    std::array<uint8_t, 3> fieldHeader{};
    std::vector<VFieldRegisterRecord> registers;
    std::vector<VFieldRecord> fields;
    bool complete = ReadExactly(input, registerHeader);
    for (uint32_t i = 0; complete && i < registerHeader[2]; ++i)
    {
        complete = ReadExactly(input, registers.emplace_back());
    }
    complete = complete && ReadExactly(input, fieldHeader);
    for (uint32_t i = 0; complete && i < fieldHeader[2]; ++i)
    {
        complete = ReadExactly(input, fields.emplace_back());
    }
    if (!complete)
    {
        throw io_error("Error reading VField table from stream");
    }
    if (m_registers.size() + registers.size() > kMaxEntries ||
        m_fields.size() + fields.size() > kMaxEntries)
    {
        throw std::runtime_error("Virtual field table is full");
    }
    PrintTables(log, registers, fields, registerHeader, fieldHeader);
    m_registerHeader = registerHeader;
    m_fieldHeader = fieldHeader;
    m_registers.insert(m_registers.end(), registers.begin(), registers.end());
    m_fields.insert(m_fields.end(), fields.begin(), fields.end());
}
