#pragma once
// A GPU UEFI driver file: a PE image (first bytes "MZ") held as a GPU image.
// Somewhere in its bytes it carries the GPU support list, "RUSH": the GPUs
// and boards the driver is meant for and the kind of driver it is. Loading
// finds the list (exactly one) and checks its version; the list can then be
// read, added to and printed.

#include "image/ROMImageGPUImpl.h"

#include <ostream>

// One entry of the GPU support list.
struct GpuSupportListEntry
{
    uint16_t deviceId = 0;
    uint16_t boardId = 0;
    uint32_t vbiosMagic = 0;

    bool operator==(const GpuSupportListEntry&) const = default;
};

class CROMImageGPUEFIImpl : public CROMImageGPUImpl
{
public:
    CROMImageGPUEFIImpl() : CROMImageGPUImpl(kROMImageGPUEFI) {}
    // The same image as a file of these bytes gives: the support list must
    // be found and of a known version.
    CROMImageGPUEFIImpl(const uint8_t* bytes, uint32_t length);

    uint32_t LoadFromFile(const std::string& fileName) override;
    std::string GetModificationDate() override { return ""; }

    // The support list, after a successful load. Each operation on an image
    // whose list was never found raises "can't find support list magic
    // number".
    virtual uint32_t GetSupportListVersion();
    virtual uint32_t GetDriverType();
    virtual uint32_t GetSupportEntryCount();
    // The capacity field of a version-2 list.
    virtual uint32_t GetSupportListV2Field();
    virtual GpuSupportListEntry GetSupportEntry(uint32_t index);
    // False when the entry is already listed; raises when the list is full.
    virtual bool AddSupportEntry(uint16_t deviceId, uint16_t boardId, uint32_t vbiosMagic);
    virtual void DumpSupportList(std::ostream& log);

private:
    void LocateSupportList();
    void CheckSupportListVersion();
    void DumpSupportEntry(std::ostream& log, uint32_t index);
    // First occurrence at or after start that lies wholly in the loaded
    // bytes, -1 when there is none.
    int32_t FindPattern(int32_t start, const uint8_t* pattern, uint32_t length);
    int32_t ListOffset();
    // Entries the list has room for, and where they start.
    uint64_t Capacity();
    int32_t EntriesStart();
    // The entries that the count field names and the list has room for.
    uint32_t StoredEntryCount();
    int32_t EntryOffset(uint32_t index);

    int32_t m_supportList = -1;
};
