#pragma once
// The ACPI tables in physical memory, found through the driver: the root
// pointer, the RSDT or XSDT, and the MCFG table whose first allocation entry
// places the memory-mapped PCI Express configuration space (ECAM). Linear
// addresses are the driver's, 64 bits wide.

#include "core/RefCount.h"
#include "hw/IRomviseDriver.h"

#include <cstdint>
#include <ostream>
#include <string>

class IAcpiTableAccessor : public IReferenceCount
{
public:
    // bus << 20 | device << 15 | function << 12 | reg, without masking.
    virtual uint32_t GetConfigOffset(uint32_t bus, uint32_t device, uint32_t function,
                                     uint32_t reg) = 0;
    virtual uint32_t Read32(uint64_t base, uint32_t offset) = 0;
    virtual uint16_t Read16(uint64_t base, uint32_t offset) = 0;
    virtual uint8_t Read8(uint64_t base, uint32_t offset) = 0;
    virtual void Write32(uint64_t base, uint32_t offset, uint32_t value) = 0;
    virtual void Write16(uint64_t base, uint32_t offset, uint16_t value) = 0;
    virtual void Write8(uint64_t base, uint32_t offset, uint8_t value) = 0;
    // True when MCFG allocation entry `index` exists; fills the outputs given.
    virtual bool GetMcfgEntry(uint32_t index, uint64_t* baseAddress, uint16_t* segment,
                              uint8_t* startBus, uint8_t* endBus) = 0;
    virtual bool IsMcfgPresent() = 0;
    virtual bool IsMcfgLocked() = 0;
    virtual uint32_t GetConfigBase(uint32_t, uint32_t, uint32_t, uint32_t) = 0;
    // The linear address of the function's 4 KiB configuration page, or 0 when
    // there is no MCFG entry 0. A bus outside the entry's range, or a page
    // outside the first 4 GiB, raises std::runtime_error.
    virtual uint64_t MapConfigSpace(uint8_t bus, uint8_t device, uint8_t function) = 0;
    virtual void ReleaseConfigBase(uint32_t, uint32_t) = 0;
    // Releases a page of MapConfigSpace; 0 is ignored.
    virtual void UnmapConfigSpace(uint64_t linear) = 0;
    // The cached RSDP, root table and MCFG headers.
    virtual void DumpTables(std::ostream& out) = 0;
};

// Where the tables are read from when the low-memory scan finds no root
// pointer: a directory of table files named by signature (on Linux
// /sys/firmware/acpi/tables). Empty: nowhere.
void SetAcpiTableDirectory(const std::string& directory);

CRefPtr<IAcpiTableAccessor> CreateAcpiTableAccessor(CRefPtr<IRomviseDriver> driver,
                                                    const std::string& tableDirectory);
// The process-wide accessor over GetRomviseDriver(), created on first use.
IAcpiTableAccessor* GetAcpiTableAccessor();
