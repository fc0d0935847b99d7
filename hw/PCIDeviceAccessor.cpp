#include "core/Log.h"
#include "core/Range.h"
#include "core/TextHelpers.h"
#include "hw/IAcpiTableAccessor.h"
#include "hw/IPCIDeviceAccessor.h"
#include "hw/IRomviseDriver.h"

#include <algorithm>
#include <sstream>
#include <stdexcept>

namespace
{
constexpr uint32_t kConfigAddressPort = 0xCF8;
constexpr uint32_t kConfigDataPort = 0xCFC;
constexpr uint32_t kExtendedConfigStart = 0x100;
constexpr uint32_t kConfigSpaceSize = 0x1000;
constexpr uint32_t kCommandOffset = 0x04;
constexpr uint32_t kCapabilityPointerOffset = 0x34;
constexpr uint32_t kBar0Offset = 0x10;
constexpr uint32_t kBar1Offset = 0x14;
constexpr uint32_t kMemorySpaceEnable = 0x2;
constexpr uint32_t kCapabilityListStatus = 1u << 20;
constexpr uint8_t kAgpCapabilityId = 0x02;
constexpr uint32_t kVendorControlOffset = 0x64;
constexpr uint32_t kWindowLength = 0x800000; // 8 MiB
// 48 capabilities of 4 bytes fill the 192 bytes above the header.
constexpr int kMaxCapabilities = 48;

class CPCIDeviceAccessorImpl : public CReferenceCountImpl, public IPCIDeviceAccessor
{
public:
    ROMVISE_REFCOUNT_FORWARD

    CPCIDeviceAccessorImpl(CRefPtr<IRomviseDriver> driver, CRefPtr<IAcpiTableAccessor> acpi,
                           uint16_t segment, uint8_t bus, uint8_t device, uint8_t function,
                           int32_t switchPort, uint8_t parentBus, uint16_t parentSegment)
        : m_driver(std::move(driver)), m_acpi(std::move(acpi)), m_segment(segment), m_bus(bus),
          m_device(device), m_function(function), m_switchPort(switchPort), m_parentBus(parentBus),
          m_parentSegment(parentSegment)
    {
    }

    ~CPCIDeviceAccessorImpl() override
    {
        try
        {
            UnmapRegisters();
        }
        catch (const std::exception& error)
        {
            GetLog()->SetLevel(3);
            *GetLog() << error.what() << LogEndl;
        }
    }

    uint32_t ReadConfig32(uint32_t offset) override
    {
        if (offset >= kExtendedConfigStart)
        {
            return ReadExtConfig32(offset);
        }
        m_driver->WritePortULONG(kConfigAddressPort, ConfigAddress(offset));
        return m_driver->ReadPortULONG(kConfigDataPort);
    }

    void WriteConfig32(uint32_t offset, uint32_t value) override
    {
        if (offset >= kExtendedConfigStart)
        {
            WriteExtConfig32(offset, value);
            return;
        }
        m_driver->WritePortULONG(kConfigAddressPort, ConfigAddress(offset));
        m_driver->WritePortULONG(kConfigDataPort, value);
    }

    uint32_t ReadExtConfig32(uint32_t offset) override
    {
        const uint32_t aligned = offset & ~3u;
        return ExtendedAccess(aligned, 4, 0xFFFFFFFFu,
                              [&](uint64_t page) { return m_acpi->Read32(page, aligned); });
    }
    uint16_t ReadExtConfig16(uint32_t offset) override
    {
        const uint32_t aligned = offset & ~1u;
        return static_cast<uint16_t>(ExtendedAccess(
            aligned, 2, 0xFFFF, [&](uint64_t page) { return m_acpi->Read16(page, aligned); }));
    }
    uint8_t ReadExtConfig8(uint32_t offset) override
    {
        return static_cast<uint8_t>(ExtendedAccess(
            offset, 1, 0xFF, [&](uint64_t page) { return m_acpi->Read8(page, offset); }));
    }
    void WriteExtConfig32(uint32_t offset, uint32_t value) override
    {
        const uint32_t aligned = offset & ~3u;
        ExtendedAccess(aligned, 4, 0,
                       [&](uint64_t page)
                       {
                           m_acpi->Write32(page, aligned, value);
                           return 0u;
                       });
    }
    void WriteExtConfig16(uint32_t offset, uint16_t value) override
    {
        const uint32_t aligned = offset & ~1u;
        ExtendedAccess(aligned, 2, 0,
                       [&](uint64_t page)
                       {
                           m_acpi->Write16(page, aligned, value);
                           return 0u;
                       });
    }
    void WriteExtConfig8(uint32_t offset, uint8_t value) override
    {
        ExtendedAccess(offset, 1, 0,
                       [&](uint64_t page)
                       {
                           m_acpi->Write8(page, offset, value);
                           return 0u;
                       });
    }

    uint16_t GetSegment() override { return m_segment; }
    uint8_t GetBus() override { return m_bus; }
    uint8_t GetDeviceNumber() override { return m_device; }
    uint8_t GetFunctionNumber() override { return m_function; }

    void MapPhysicalRange(uint32_t physical, uint32_t length) override
    {
        if (m_windowMapped)
        {
            return;
        }
        MapWindow(physical, length);
    }

    void MapRegisters() override
    {
        uint32_t base = 0;
        uint32_t length = 0;
        if (!m_windowMapped)
        {
            base = DecodeBar0();
            length = WindowLength();
        }
        EnableMemorySpace();
        if (!m_windowMapped)
        {
            MapWindow(base, length);
        }
        const uint32_t control = ReadConfig32(kVendorControlOffset);
        if (control & 3)
        {
            WriteConfig32(kVendorControlOffset, control & ~3u);
        }
    }

    void UnmapRegisters() override
    {
        if (m_windowMapped)
        {
            m_driver->UnmapPhysicalToLinear(m_window, m_windowLength);
            m_window = 0;
            m_windowLength = 0;
            m_windowMapped = false;
        }
        if (m_configPage)
        {
            m_acpi->UnmapConfigSpace(std::exchange(m_configPage, 0));
        }
    }

    void Lock() override {}
    void Unlock() override {}

    void PrintLocation(std::ostream& out, bool shortForm) override
    {
        if (shortForm)
        {
            out << ToHex(m_segment, 2) << ":" << ToHex(m_bus, 2) << ":" << ToHex(m_device, 2) << "."
                << ToHex(m_function, 1);
        }
        else
        {
            out << "S:" << ToHex(m_segment, 2) << ",B:" << ToHex(m_bus, 2)
                << ",D:" << ToHex(m_device, 2) << ",F:" << ToHex(m_function, 2);
        }
    }

    uint8_t Read8(uint32_t offset) override
    {
        return m_driver->ReadMemory8(RegisterAddress(offset, 1));
    }
    void Write8(uint32_t offset, uint8_t value) override
    {
        m_driver->WriteMemory8(RegisterAddress(offset, 1), value);
    }
    uint16_t Read16(uint32_t offset) override
    {
        return m_driver->ReadMemory16(RegisterAddress(offset, 2));
    }
    void Write16(uint32_t offset, uint16_t value) override
    {
        m_driver->WriteMemory16(RegisterAddress(offset, 2), value);
    }
    uint32_t Read32(uint32_t offset) override
    {
        return m_driver->ReadMemory32(RegisterAddress(offset, 4));
    }
    void Write32(uint32_t offset, uint32_t value) override
    {
        m_driver->WriteMemory32(RegisterAddress(offset, 4), value);
    }

    bool HasAGPCapability() override
    {
        if (!(ReadConfig32(kCommandOffset) & kCapabilityListStatus))
        {
            return false;
        }
        uint32_t pointer = ReadConfig32(kCapabilityPointerOffset) & 0xFF;
        // A list that loops (a function reading all ones points 0xFF at
        // itself) ends after as many entries as the space can hold.
        for (int walked = 0; pointer != 0 && walked < kMaxCapabilities; ++walked)
        {
            const uint32_t header = ReadConfig32(pointer);
            if ((header & 0xFF) == kAgpCapabilityId)
            {
                return true;
            }
            pointer = (header >> 8) & 0xFF;
        }
        return false;
    }

    bool IsBar0Assigned() override
    {
        const uint32_t bar = ReadConfig32(kBar0Offset);
        return bar > 0 && bar < 0xFF000000;
    }

    uint64_t GetBarSize(uint32_t bar) override
    {
        return m_driver->QueryBarSize(m_segment, m_bus, m_device, m_function, bar);
    }

    bool IsNormalBoard() override { return m_switchPort == -1; }
    int32_t GetSwitchPort() override { return m_switchPort; }
    int32_t GetSwitchPortIndex() override { return m_switchPort; }
    uint8_t GetParentBus() override { return m_parentBus; }
    uint16_t GetParentSegment() override { return m_parentSegment; }

private:
    uint32_t ConfigAddress(uint32_t offset) const
    {
        return 0x80000000u | static_cast<uint32_t>(m_bus) << 16 |
               static_cast<uint32_t>(m_device & 0x1F) << 11 |
               static_cast<uint32_t>(m_function & 0x7) << 8 | (offset & 0xFC);
    }

    std::string Location()
    {
        std::ostringstream text;
        PrintLocation(text, false);
        return text.str();
    }

    // One ECAM access: map the function's page, run the access, unmap it.
    template <class Access>
    uint32_t ExtendedAccess(uint32_t offset, uint32_t width, uint32_t absent, Access access)
    {
        if (!m_acpi->IsMcfgPresent())
        {
            throw std::runtime_error("ACPI Enhanced PCIe Mechanism NOT available.");
        }
        if (!RangeFits(offset, width, kConfigSpaceSize))
        {
            throw std::runtime_error("Configuration offset " + ToHexString(offset, 4) + " of " +
                                     Location() + " is outside configuration space.");
        }
        m_configPage = m_acpi->MapConfigSpace(m_bus, m_device, m_function);
        if (m_configPage == 0)
        {
            // Without an entry there is no window: a read cannot be told from
            // an absent function and a write would vanish.
            throw std::runtime_error("The ACPI MCFG table has no entries: PCI Express extended "
                                     "configuration space cannot be reached.");
        }
        uint32_t result = absent;
        try
        {
            result = access(m_configPage);
        }
        catch (...)
        {
            // The access's own error is the one to report; the page goes
            // regardless.
            try
            {
                m_acpi->UnmapConfigSpace(std::exchange(m_configPage, 0));
            }
            catch (const std::exception&)
            {
            }
            throw;
        }
        m_acpi->UnmapConfigSpace(std::exchange(m_configPage, 0));
        return result;
    }

    // Writes the command word alone: the status half is written as zero, so
    // its write-one-to-clear bits keep what they hold.
    void EnableMemorySpace()
    {
        const uint32_t command = ReadConfig32(kCommandOffset) & 0xFFFF;
        WriteConfig32(kCommandOffset, command | kMemorySpaceEnable);
    }

    // The base of BAR0, which must be an assigned memory BAR below 4 GiB. The
    // BAR is only read: sizing it would mean writing all ones to it with
    // memory decoding off, and the display driver may be using the device at
    // this moment. Its size comes from the system (WindowLength).
    uint32_t DecodeBar0()
    {
        const uint32_t bar = ReadConfig32(kBar0Offset);
        if (bar & 1)
        {
            throw std::runtime_error("BAR0 of " + Location() + " is an I/O BAR.");
        }
        const bool is64Bit = ((bar >> 1) & 3) == 2;
        const uint32_t high = is64Bit ? ReadConfig32(kBar1Offset) : 0;
        if (high != 0)
        {
            throw std::runtime_error("BAR0 of " + Location() + " lies above 4 GB (0x" +
                                     ToHex(high, 8) + ToHex(bar & ~0xFu, 8) + ").");
        }
        const uint32_t base = bar & ~0xFu;
        if (base == 0)
        {
            throw std::runtime_error("BAR0 of " + Location() + " is not assigned.");
        }
        return base;
    }

    // 8 MiB, or less when BAR0 is smaller: an access past the BAR would
    // reach whatever decodes next, the neighbouring device's registers.
    uint32_t WindowLength()
    {
        const uint64_t size = GetBarSize(0);
        if (size == 0)
        {
            throw std::runtime_error("Unable to map device address space: the size of BAR0 of " +
                                     Location() + " is not known.");
        }
        return static_cast<uint32_t>(std::min<uint64_t>(size, kWindowLength));
    }

    void MapWindow(uint32_t physical, uint32_t length)
    {
        if (length == 0 || !RangeFits(physical, length, kFourGiB))
        {
            throw std::runtime_error("Unable to map device address space");
        }
        const uint64_t linear = m_driver->MapPhysicalToLinear(physical, length);
        if (linear == 0)
        {
            throw std::runtime_error("Unable to map device address space");
        }
        m_window = linear;
        m_windowLength = length;
        m_windowMapped = true;
    }

    uint64_t RegisterAddress(uint32_t offset, uint32_t width)
    {
        if (!m_windowMapped)
        {
            MapRegisters();
        }
        if (!RangeFits(offset, width, m_windowLength))
        {
            throw std::runtime_error("Register offset " + ToHexString(offset, 8) +
                                     " lies outside the register window of " + Location() +
                                     " (size " + ToHexString(m_windowLength, 8) + ").");
        }
        return m_window + offset;
    }

    CRefPtr<IRomviseDriver> m_driver;
    CRefPtr<IAcpiTableAccessor> m_acpi;
    uint16_t m_segment;
    uint8_t m_bus;
    uint8_t m_device;
    uint8_t m_function;
    int32_t m_switchPort;
    uint8_t m_parentBus;
    uint16_t m_parentSegment;
    uint64_t m_window = 0;
    uint32_t m_windowLength = 0;
    bool m_windowMapped = false;
    uint64_t m_configPage = 0;
};
} // namespace

CRefPtr<IPCIDeviceAccessor> CreatePCIDeviceAccessor(CRefPtr<IRomviseDriver> driver,
                                                    uint16_t segment, uint8_t bus, uint8_t device,
                                                    uint8_t function, int32_t switchPort,
                                                    uint8_t parentBus, uint16_t parentSegment,
                                                    CRefPtr<IAcpiTableAccessor> acpi)
{
    if (!acpi)
    {
        acpi = GetAcpiTableAccessor();
    }
    return CRefPtr<IPCIDeviceAccessor>(
        new CPCIDeviceAccessorImpl(std::move(driver), std::move(acpi), segment, bus, device,
                                   function, switchPort, parentBus, parentSegment));
}
