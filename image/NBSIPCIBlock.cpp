#include "image/NBSIPCIBlock.h"

#include "image/PCIExpansionROM.h"

#include <stdexcept>

namespace
{
void PutWord(uint8_t* at, uint16_t value)
{
    at[0] = static_cast<uint8_t>(value);
    at[1] = static_cast<uint8_t>(value >> 8);
}

void PutDword(uint8_t* at, uint32_t value)
{
    PutWord(at, static_cast<uint16_t>(value));
    PutWord(at + 2, static_cast<uint16_t>(value >> 16));
}

uint16_t WordAt(const uint8_t* at)
{
    return static_cast<uint16_t>(at[0] | at[1] << 8);
}

std::array<uint8_t, nbsi::kHeaderSize> HeaderTemplate()
{
    std::array<uint8_t, nbsi::kHeaderSize> header{};
    header[0] = 0x55;
    header[1] = 0xAA;
    PutWord(&header[pcirom::kPcirPointerOffset], nbsi::kPcirOffset);
    uint8_t* pcir = &header[nbsi::kPcirOffset];
    PutDword(pcir, pcirom::kPcirSignature);
    PutWord(pcir + pcirom::kPcirVendorId, nbsi::kVendorId);
    PutWord(pcir + pcirom::kPcirStructureLength, pcirom::kPcirSize);
    pcir[pcirom::kPcirCodeType] = pcirom::kCodeNbsi;
    pcir[pcirom::kPcirIndicator] = pcirom::kLastImage;
    return header;
}
} // namespace

NBSIObjectKey MakeNBSIObjectKey(uint16_t type)
{
    NBSIObjectKey key{};
    PutWord(&key[nbsi::kRecordType], type);
    key[15] = 1;
    return key;
}

const std::vector<NBSIObjectKey>& VarnexBlockKeys()
{
    static const std::vector<NBSIObjectKey> keys = {MakeNBSIObjectKey(nbsi::kTypeVarnexImage),
                                                    MakeNBSIObjectKey(nbsi::kTypeVarnexBackup)};
    return keys;
}

CNBSIPCIBlock::CNBSIPCIBlock(const std::vector<NBSIObjectKey>& keys)
    : m_records(keys), m_data(keys.size()), m_header(HeaderTemplate())
{
    PutDword(&m_kpde[0], pcirom::kKpdeSignature);
    PutWord(&m_kpde[pcirom::kKpdeVersion], pcirom::kKpdeVersion101);
    PutWord(&m_kpde[pcirom::kKpdeStructureLength], nbsi::kKpdeSize);

    const auto count = static_cast<uint32_t>(keys.size());
    if (count > 0xFF)
    {
        throw std::domain_error("Too many objects for an NBSI directory");
    }
    const uint32_t size = count == 0 ? nbsi::kMinimumDirectorySize : 10 + 2 * count;
    m_directory.assign(size, 0);
    PutDword(&m_directory[0], nbsi::kDirectorySignature);
    PutDword(&m_directory[nbsi::kDirectorySize], size);
    m_directory[nbsi::kDirectoryCount] = static_cast<uint8_t>(count);
    m_directory[nbsi::kDirectoryVersion] = 1;
    for (uint32_t i = 0; i < count; ++i)
    {
        PutWord(&m_directory[nbsi::kDirectoryFirstType + 2 * i],
                WordAt(&keys[i][nbsi::kRecordType]));
    }
}

const std::array<uint8_t, nbsi::kHeaderSize>& CNBSIPCIBlock::GetHeader()
{
    PutWord(&m_header[pcirom::kPcirPointerOffset], nbsi::kPcirOffset);
    return m_header;
}

uint32_t CNBSIPCIBlock::GetDirectorySize()
{
    if (m_directory.size() < nbsi::kDirectorySize + 4)
    {
        return 0;
    }
    const uint8_t* size = &m_directory[nbsi::kDirectorySize];
    return WordAt(size) | static_cast<uint32_t>(WordAt(size + 2)) << 16;
}

const uint8_t* CNBSIPCIBlock::GetObjectRecord(uint32_t index)
{
    return index < ObjectCount() ? m_records[index].data() : nullptr;
}

const std::vector<uint8_t>& CNBSIPCIBlock::GetObjectData(uint32_t index)
{
    return m_data.at(index);
}

void CNBSIPCIBlock::SetObjectData(uint32_t index, std::vector<uint8_t> bytes)
{
    if (index >= ObjectCount())
    {
        return;
    }
    if (bytes.size() > UINT32_MAX - nbsi::kRecordSize)
    {
        throw std::domain_error("NBSI object is too large");
    }
    PutDword(&m_records[index][nbsi::kRecordObjectSize],
             static_cast<uint32_t>(bytes.size()) + nbsi::kRecordSize);
    m_data[index] = std::move(bytes);
}

CNBSIPCIBlockVarnex::CNBSIPCIBlockVarnex(std::vector<uint8_t> image, std::vector<uint8_t> backup)
    : CNBSIPCIBlock(VarnexBlockKeys())
{
    auto& kpde = GetKPDE();
    const uint16_t revision = WordAt(&kpde[pcirom::kKpdeVersion]);
    if (revision != pcirom::kKpdeVersion100 && revision != pcirom::kKpdeVersion101)
    {
        throw std::runtime_error("Invalid PCI data extension revision");
    }
    SetObjectData(0, std::move(image));
    SetObjectData(1, std::move(backup));
    kpde[pcirom::kKpdeFlags] |= pcirom::kFlagNoChecksum;
    PutWord(&kpde[pcirom::kKpdeVersion], pcirom::kKpdeVersion100);
}
