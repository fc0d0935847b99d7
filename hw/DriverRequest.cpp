#include "hw/DriverRequest.h"

#include "core/Range.h"

#include <cerrno>

namespace
{
constexpr uint32_t kMethodNeither = 3;
constexpr uint32_t kFileWriteAccess = 2;

static_assert(MakeRequestCode(kDriverDeviceType, 0x13, kMethodNeither, kFileWriteAccess) ==
              kRequestMapPhysical);
static_assert(MakeRequestCode(kDriverDeviceType, 0x14, kMethodNeither, kFileWriteAccess) ==
              kRequestUnmapPhysical);
static_assert(MakeRequestCode(kDriverDeviceType, 0x15, kMethodNeither, kFileWriteAccess) ==
              kRequestReadPort);
static_assert(MakeRequestCode(kDriverDeviceType, 0x18, kMethodNeither, kFileWriteAccess) ==
              kRequestWritePort);

constexpr std::array<DriverRequestLayout, 4> kLayouts{{
    {kRequestMapPhysical, 24, 8},
    {kRequestUnmapPhysical, 24, 8},
    {kRequestReadPort, 16, 8},
    {kRequestWritePort, 24, 0},
}};
} // namespace

const DriverRequestLayout* FindRequestLayout(uint32_t code)
{
    for (const DriverRequestLayout& layout : kLayouts)
    {
        if (layout.code == code)
        {
            return &layout;
        }
    }
    return nullptr;
}

uint64_t ReadLittleEndian64(std::span<const uint8_t> bytes, size_t offset)
{
    uint64_t value = 0;
    for (size_t i = 0; i < 8; ++i)
    {
        value |= static_cast<uint64_t>(bytes[offset + i]) << (8 * i);
    }
    return value;
}

void WriteLittleEndian64(std::span<uint8_t> bytes, size_t offset, uint64_t value)
{
    for (size_t i = 0; i < 8; ++i)
    {
        bytes[offset + i] = static_cast<uint8_t>(value >> (8 * i));
    }
}

std::array<uint8_t, 24> DriverRequest::Encode() const
{
    std::array<uint8_t, 24> bytes{};
    WriteLittleEndian64(bytes, 0, tag);
    WriteLittleEndian64(bytes, 8, field1);
    WriteLittleEndian64(bytes, 16, field2);
    return bytes;
}

CKernelRequestHandler::CKernelRequestHandler(CRefPtr<IDriverTransport> transport)
    : m_transport(std::move(transport))
{
}

uint32_t CKernelRequestHandler::Dispatch(uint32_t code, std::span<const uint8_t> input,
                                         std::span<uint8_t> output)
{
    if (input.size() < 8 || ReadLittleEndian64(input, 0) != kDriverRequestTag)
    {
        return EINVAL;
    }
    const DriverRequestLayout* layout = FindRequestLayout(code);
    if (!layout)
    {
        return ENOTTY;
    }
    if (input.size() < layout->inputSize || output.size() < layout->outputSize)
    {
        return EINVAL;
    }
    switch (code)
    {
    case kRequestMapPhysical:
        return Map(ReadLittleEndian64(input, 8), ReadLittleEndian64(input, 16), output);
    case kRequestUnmapPhysical:
        return Unmap(ReadLittleEndian64(input, 8), output);
    case kRequestReadPort:
    {
        uint32_t value = 0;
        const uint32_t status =
            m_transport->ReadPort32(static_cast<uint32_t>(ReadLittleEndian64(input, 8)), value);
        if (status == 0)
        {
            WriteLittleEndian64(output, 0, value);
        }
        return status;
    }
    default:
        return m_transport->WritePort32(static_cast<uint32_t>(ReadLittleEndian64(input, 8)),
                                        static_cast<uint32_t>(ReadLittleEndian64(input, 16)));
    }
}

uint32_t CKernelRequestHandler::Map(uint64_t physical, uint64_t length, std::span<uint8_t> output)
{
    WriteLittleEndian64(output, 0, 0);
    if (length == 0 || length > kMaxMappingLength)
    {
        return EINVAL;
    }
    Mapping* freeEntry = nullptr;
    for (Mapping& entry : m_mappings)
    {
        if (entry.linear == 0)
        {
            freeEntry = &entry;
            break;
        }
    }
    // A mapping the table cannot hold could never be unmapped: refuse it.
    if (!freeEntry)
    {
        return ENOMEM;
    }
    uint64_t linear = 0;
    if (const uint32_t status = m_transport->MapPhysical(physical, length, linear))
    {
        return status;
    }
    if (linear == 0)
    {
        return EIO;
    }
    *freeEntry = Mapping{physical, linear, length};
    WriteLittleEndian64(output, 0, linear);
    return 0;
}

uint32_t CKernelRequestHandler::Unmap(uint64_t linear, std::span<uint8_t> output)
{
    WriteLittleEndian64(output, 0, 0);
    for (Mapping& entry : m_mappings)
    {
        if (entry.linear != 0 && entry.linear == linear)
        {
            const uint64_t length = entry.length;
            entry = Mapping{};
            return m_transport->UnmapPhysical(linear, length);
        }
    }
    return 0;
}

bool CKernelRequestHandler::IsMapped(uint64_t linear, uint32_t width) const
{
    auto holds = [&](const Mapping& entry)
    {
        return entry.linear != 0 && linear >= entry.linear &&
               RangeFits(linear - entry.linear, width, entry.length);
    };
    if (holds(m_mappings[m_lastHit]))
    {
        return true;
    }
    for (size_t i = 0; i < m_mappings.size(); ++i)
    {
        if (holds(m_mappings[i]))
        {
            m_lastHit = i;
            return true;
        }
    }
    return false;
}

size_t CKernelRequestHandler::MappingCount() const
{
    size_t count = 0;
    for (const Mapping& entry : m_mappings)
    {
        count += entry.linear != 0 ? 1 : 0;
    }
    return count;
}
