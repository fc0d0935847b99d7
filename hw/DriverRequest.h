#pragma once
// The driver's request protocol: a record of little-endian 64-bit fields, the
// first of which is the tag "Vplq" with four zero bytes, and four request
// codes. CKernelRequestHandler is the receiving side: it checks every request
// the way the kernel driver does (tag, buffer sizes, the 64 MiB cap, the
// table of 128 mappings) before the transport acts on it.

#include "hw/IDriverTransport.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

constexpr uint32_t kDriverDeviceType = 0x81DE;
constexpr uint32_t kRequestMapPhysical = 0x81DE804F;
constexpr uint32_t kRequestUnmapPhysical = 0x81DE8053;
constexpr uint32_t kRequestReadPort = 0x81DE8057;
constexpr uint32_t kRequestWritePort = 0x81DE8063;
// The tag's first four bytes in memory order are 'V' 'p' 'l' 'q'.
constexpr uint64_t kDriverRequestTag = 0x716C7056;
constexpr uint64_t kMaxMappingLength = 0x4000000; // 64 MiB
constexpr size_t kMappingTableSize = 128;

// Builds a request code from its parts (device type, function, transfer
// type, required access), as the request codes above were made.
constexpr uint32_t MakeRequestCode(uint32_t deviceType, uint32_t function, uint32_t method,
                                   uint32_t access)
{
    return deviceType << 16 | access << 14 | function << 2 | method;
}

// Input and output sizes in bytes of one request kind.
struct DriverRequestLayout
{
    uint32_t code;
    size_t inputSize;
    size_t outputSize;
};
// The layout of a code, or nullptr for an unknown code.
const DriverRequestLayout* FindRequestLayout(uint32_t code);

// The record: tag, then up to two fields; encoded little-endian.
struct DriverRequest
{
    uint64_t tag = kDriverRequestTag;
    uint64_t field1 = 0;
    uint64_t field2 = 0;

    // The first `size` bytes of the encoded record (8, 16 or 24).
    std::array<uint8_t, 24> Encode() const;
};

uint64_t ReadLittleEndian64(std::span<const uint8_t> bytes, size_t offset);
void WriteLittleEndian64(std::span<uint8_t> bytes, size_t offset, uint64_t value);

// The kernel side: checks a request, keeps the mapping table and hands the
// work to the transport. Returns 0 or a system code.
class CKernelRequestHandler
{
public:
    explicit CKernelRequestHandler(CRefPtr<IDriverTransport> transport);

    uint32_t Dispatch(uint32_t code, std::span<const uint8_t> input, std::span<uint8_t> output);

    // True when [linear, linear + width) lies inside one recorded mapping.
    bool IsMapped(uint64_t linear, uint32_t width) const;
    size_t MappingCount() const;

private:
    struct Mapping
    {
        uint64_t physical = 0;
        uint64_t linear = 0; // 0 marks a free entry
        uint64_t length = 0;
    };

    uint32_t Map(uint64_t physical, uint64_t length, std::span<uint8_t> output);
    uint32_t Unmap(uint64_t linear, std::span<uint8_t> output);

    CRefPtr<IDriverTransport> m_transport;
    std::array<Mapping, kMappingTableSize> m_mappings{};
    mutable size_t m_lastHit = 0;
};
