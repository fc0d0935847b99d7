#pragma once
// NBSI blocks: PCI expansion-ROM blocks of code type 0x70 that carry an
// object directory ("ISBN" as bytes) and typed objects, each a 16-byte record
// followed by its data. The Varnex block holds the adapter's Varnex image
// ("IR") and its backup ("IB").

#include "core/RefCount.h"

#include <array>
#include <cstdint>
#include <vector>

namespace nbsi
{
inline constexpr uint32_t kDirectoryPointer = 22; // block header word
inline constexpr uint32_t kHeaderSize = 56;
inline constexpr uint32_t kPcirOffset = 0x20;
inline constexpr uint32_t kDirectorySignature = 0x4E425349;
inline constexpr uint32_t kDirectorySize = 4;
inline constexpr uint32_t kDirectoryCount = 8;
inline constexpr uint32_t kDirectoryVersion = 9;
inline constexpr uint32_t kDirectoryFirstType = 10;
inline constexpr uint32_t kMinimumDirectorySize = 12;
inline constexpr uint32_t kRecordSize = 16;
inline constexpr uint32_t kRecordType = 8;
inline constexpr uint32_t kRecordObjectSize = 10;
inline constexpr uint16_t kTypeVarnexImage = 0x4952;  // "IR"
inline constexpr uint16_t kTypeVarnexBackup = 0x4942; // "IB"
inline constexpr uint16_t kVendorId = 0x7E2B;
inline constexpr uint32_t kKpdeSize = 12;
} // namespace nbsi

// A 16-byte object record with object size 0; a list of keys names the
// objects of a block.
using NBSIObjectKey = std::array<uint8_t, nbsi::kRecordSize>;

NBSIObjectKey MakeNBSIObjectKey(uint16_t type);

// The keys of the Varnex block: "IR" then "IB".
const std::vector<NBSIObjectKey>& VarnexBlockKeys();

class CNBSIPCIBlock : public CReferenceCountImpl, public IReferenceCount
{
public:
    ROMVISE_REFCOUNT_FORWARD

    // An empty block for the objects the keys name.
    explicit CNBSIPCIBlock(const std::vector<NBSIObjectKey>& keys);
    ~CNBSIPCIBlock() override = default;

    // The 56-byte block header (with the PCI data structure pointer set).
    virtual const std::array<uint8_t, nbsi::kHeaderSize>& GetHeader();
    virtual uint32_t GetHeaderSize() { return nbsi::kHeaderSize; }
    virtual const std::vector<uint8_t>& GetDirectory() { return m_directory; }
    // The directory's size field, 0 without a directory.
    virtual uint32_t GetDirectorySize();
    // The 16-byte record of an object, null for an index past the objects.
    virtual const uint8_t* GetObjectRecord(uint32_t index);
    // The data of an object; std::out_of_range for an index past the objects.
    virtual const std::vector<uint8_t>& GetObjectData(uint32_t index);
    // Takes the bytes as the object's data and sets its record's size; an
    // index past the objects changes nothing.
    virtual void SetObjectData(uint32_t index, std::vector<uint8_t> bytes);
    virtual uint32_t GetObjectRecordSize() { return nbsi::kRecordSize; }
    virtual std::array<uint8_t, nbsi::kKpdeSize>& GetKPDE() { return m_kpde; }

protected:
    uint32_t ObjectCount() const { return static_cast<uint32_t>(m_records.size()); }

private:
    std::array<uint8_t, nbsi::kKpdeSize> m_kpde{};
    std::vector<uint8_t> m_directory;
    std::vector<NBSIObjectKey> m_records;
    std::vector<std::vector<uint8_t>> m_data;
    std::array<uint8_t, nbsi::kHeaderSize> m_header{};
};

// The Varnex block: the Varnex image and its backup as objects "IR" and "IB".
class CNBSIPCIBlockVarnex : public CNBSIPCIBlock
{
public:
    CNBSIPCIBlockVarnex(std::vector<uint8_t> image, std::vector<uint8_t> backup);
};
