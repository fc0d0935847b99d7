#include "core/CrossPlatform.h"
#include "core/Singleton.h"
#include "core/TextHelpers.h"
#include "hw/IAcpiTableAccessor.h"
#include "hw/IRomviseDriver.h"
#include "hw/adapter/IPCIBus.h"
#include "hw/device/DeviceBridgeZX22Impl.h"

#include <iomanip>
#include <iostream>
#include <sstream>
#include <stdexcept>

namespace
{
constexpr uint32_t kSegmentCount = 256;
constexpr uint32_t kBusCount = 256;
constexpr uint32_t kDeviceCount = 32;
constexpr uint32_t kFunctionCount = 8;
constexpr int kCapabilityWalkLimit = 48;
constexpr int kMaxRescans = 2;

constexpr uint32_t kClassVga = 0x030000;
constexpr uint32_t kClass3D = 0x030200;
constexpr uint32_t kClassPciBridge = 0x060400;
constexpr uint16_t kPlxSwitchDeviceId = 0x8747;
constexpr uint8_t kBridgeSubsystemCapability = 0x0D;
// A bridge port with this number leads to the motherboard, never to a board.
constexpr uint32_t kHostPortNumber = 6;

// Where the scan found the bridge port that leads to a bus.
struct HierarchyDescriptor
{
    int32_t switchPort = -1;
    uint8_t parentBus = 0;
    uint16_t parentSegment = 0;
};

bool IsZX22DeviceId(uint16_t deviceId)
{
    return (deviceId & 0xFFF0) == GetZX22DeviceIdBase();
}

bool IsForcedCandidate(uint16_t vendorId, uint16_t deviceId)
{
    return vendorId == kKorvanVendorId && (deviceId & 0xFFF8) == kForcedCandidateBase;
}

bool IsRecognisedBridge(uint16_t vendorId, uint16_t deviceId)
{
    if (vendorId == kKorvanVendorId)
    {
        return IsZX22DeviceId(deviceId) || deviceId == kSecondBridgeDeviceId;
    }
    return vendorId == kPlxVendorId && deviceId == kPlxSwitchDeviceId;
}

bool IsCandidateFunction(uint16_t vendorId, uint16_t deviceId, uint32_t classCode)
{
    return classCode == kClassVga || classCode == kClass3D ||
           (classCode == kClassPciBridge && vendorId == kKorvanVendorId &&
            IsZX22DeviceId(deviceId)) ||
           IsForcedCandidate(vendorId, deviceId) ||
           (classCode == kClassPciBridge && vendorId == kPlxVendorId &&
            deviceId == kPlxSwitchDeviceId);
}

// One function's header as the scan reads it.
struct FunctionHeader
{
    uint16_t vendorId = 0;
    uint16_t deviceId = 0;
    uint16_t status = 0;
    uint32_t classCode = 0;
    uint8_t headerType = 0;
    bool multiFunction = false;
    uint32_t subsystem = 0xFFFFFFFF;
};

// The subsystem IDs of a bridge come from its bridge-subsystem capability. The
// walk stops at a pointer of 0, after a bounded number of steps, and at a
// pointer outside the standard header's capability area.
uint32_t ReadBridgeSubsystem(IPCIDeviceAccessor& accessor)
{
    uint32_t pointer = accessor.ReadConfig32(0x34) & 0xFF;
    for (int step = 0; step < kCapabilityWalkLimit && pointer >= 0x40 && pointer <= 0xF8; ++step)
    {
        const uint32_t header = accessor.ReadConfig32(pointer & 0xFC);
        if ((header & 0xFF) == kBridgeSubsystemCapability)
        {
            return accessor.ReadConfig32((pointer & 0xFC) + 4);
        }
        pointer = (header >> 8) & 0xFF;
    }
    return 0xFFFFFFFF;
}

FunctionHeader ReadFunctionHeader(IPCIDeviceAccessor& accessor)
{
    FunctionHeader header;
    const uint32_t ids = accessor.ReadConfig32(0);
    header.vendorId = static_cast<uint16_t>(ids);
    header.deviceId = static_cast<uint16_t>(ids >> 16);
    if (header.vendorId == 0xFFFF)
    {
        return header;
    }
    header.status = static_cast<uint16_t>(accessor.ReadConfig32(4) >> 16);
    header.classCode = accessor.ReadConfig32(8) >> 8;
    const uint32_t dword12 = accessor.ReadConfig32(12);
    header.headerType = static_cast<uint8_t>((dword12 >> 16) & 0x7F);
    header.multiFunction = (dword12 & 0x800000) != 0;
    if (header.headerType == 0)
    {
        header.subsystem = accessor.ReadConfig32(0x2C);
    }
    else if (header.headerType == 1 && (header.status & 0x10) != 0)
    {
        header.subsystem = ReadBridgeSubsystem(accessor);
    }
    return header;
}

class CPCIBusImpl : public CReferenceCountImpl, public IPCIBus
{
public:
    ROMVISE_REFCOUNT_FORWARD

    CPCIBusImpl() : m_acpi(GetAcpiTableAccessor())
    {
        m_mcfgPresent = m_acpi->IsMcfgPresent();
        if (m_mcfgPresent)
        {
            m_acpi->GetMcfgEntry(0, nullptr, nullptr, nullptr, &m_endBus);
        }
    }

    DisplayAdapterList& FindDevices(DisplayAdapterList& adapters,
                                    CRefPtr<IDisplayAdapterDatabase> database, bool keepUnknown,
                                    CLog* log) override;
    PCIDeviceAccessorList& FindPCIDevices(PCIDeviceAccessorList& accessors, uint32_t dumpLength,
                                          const PCIFilter* filter, bool print, CLog* log) override;
    void MapAdapter(CRefPtr<IDisplayAdapter> adapter) override { adapter->MapRegisters(); }
    void UnmapAdapter(CRefPtr<IDisplayAdapter> adapter) override { adapter->UnmapRegisters(); }
    void Reset() override {}

private:
    uint16_t ScanSegment()
    {
        uint16_t segment = 0;
        if (m_mcfgPresent)
        {
            m_acpi->GetMcfgEntry(0, nullptr, &segment, nullptr, nullptr);
        }
        return segment;
    }

    void ScanPass(uint16_t segment, std::vector<HierarchyDescriptor>& descriptors,
                  IDisplayAdapterDatabase& database, bool keepUnknown, CLog& log,
                  DisplayAdapterList& adapters, PCIDeviceAccessorList& candidates);
    void ScanFunction(CRefPtr<IPCIDeviceAccessor> accessor, const FunctionHeader& header,
                      uint16_t segment, std::vector<HierarchyDescriptor>& descriptors,
                      IDisplayAdapterDatabase& database, bool keepUnknown, CLog& log,
                      DisplayAdapterList& adapters, PCIDeviceAccessorList& candidates);
    bool RescanIfGPUMissing(const DisplayAdapterList& adapters, int attempt, CLog& log);
    // "<nn> segment:bus:device.function  description(vendor:device)".
    void PrintFunction(IPCIDeviceAccessor& accessor, uint32_t count, CLog& log);
    // Rows of 16 configuration bytes up to the length.
    void DumpConfiguration(IPCIDeviceAccessor& accessor, uint32_t dumpLength, CLog& log);
    static void WriteToConsoleAndLog(const std::string& text, CLog& log);

    CRefPtr<IAcpiTableAccessor> m_acpi;
    bool m_mcfgPresent = false;
    uint8_t m_endBus = 0xFF;
};

DisplayAdapterList& CPCIBusImpl::FindDevices(DisplayAdapterList& adapters,
                                             CRefPtr<IDisplayAdapterDatabase> database,
                                             bool keepUnknown, CLog* log)
{
    if (!log || !database)
    {
        throw std::invalid_argument("FindDevices needs a log and the adapter catalogue");
    }
    log->SetLevel(2);
    *log << "FindDevices:" << LogEndl;

    std::vector<HierarchyDescriptor> descriptors(kBusCount);
    const uint16_t segment = ScanSegment();

    for (int pass = 1;; ++pass)
    {
        // Each pass starts afresh: adapters and candidates of an earlier pass
        // are released with their lists.
        adapters.clear();
        PCIDeviceAccessorList candidates;
        ScanPass(segment, descriptors, *database, keepUnknown, *log, adapters, candidates);

        // The ZX22 bridges of one pass share one search position: a bridge
        // found later may move an earlier one's window, and the earlier one
        // must see that move to keep reaching its own registers.
        const CRefPtr<CZX22SearchContext> zx22Search(new CZX22SearchContext);
        for (const CRefPtr<IDisplayAdapter>& adapter : adapters)
        {
            const CRefPtr<IDevice> device = adapter->GetDevice();
            if (auto* zx22 = dynamic_cast<CDeviceBridgeZX22Impl*>(device.get()))
            {
                zx22->ScanForChildren(candidates, *log, zx22Search);
            }
            else
            {
                device->ScanForChildren(candidates, *log);
            }
        }
        if (!adapters.empty())
        {
            ICrossPlatform* platform = GetCrossPlatform();
            platform->SetAdapterCount(static_cast<int32_t>(adapters.size()));
            for (const CRefPtr<IDisplayAdapter>& adapter : adapters)
            {
                if (!TraitsOfDeviceKind(adapter->GetDeviceKind()).bridge)
                {
                    platform->SetPrimaryAdapter(CRefPtr<IAdapterContext>(adapter));
                    break;
                }
            }
        }
        if (!RescanIfGPUMissing(adapters, pass, *log))
        {
            return adapters;
        }
    }
}

void CPCIBusImpl::ScanPass(uint16_t segment, std::vector<HierarchyDescriptor>& descriptors,
                           IDisplayAdapterDatabase& database, bool keepUnknown, CLog& log,
                           DisplayAdapterList& adapters, PCIDeviceAccessorList& candidates)
{
    CRefPtr<IRomviseDriver> driver(GetRomviseDriver());
    // Every bus up to and including the end bus of the configuration window.
    for (uint32_t bus = 0; bus <= m_endBus; ++bus)
    {
        for (uint32_t device = 0; device < kDeviceCount; ++device)
        {
            for (uint32_t function = 0; function < kFunctionCount; ++function)
            {
                const HierarchyDescriptor& descriptor = descriptors[bus];
                CRefPtr<IPCIDeviceAccessor> accessor = CreatePCIDeviceAccessor(
                    driver, segment, static_cast<uint8_t>(bus), static_cast<uint8_t>(device),
                    static_cast<uint8_t>(function), descriptor.switchPort, descriptor.parentBus,
                    descriptor.parentSegment, m_acpi);
                const FunctionHeader header = ReadFunctionHeader(*accessor);
                if (header.vendorId == 0xFFFF)
                {
                    continue;
                }
                ScanFunction(accessor, header, segment, descriptors, database, keepUnknown, log,
                             adapters, candidates);
                log << LogEndl;
                if (!header.multiFunction)
                {
                    break;
                }
            }
        }
    }
}

void CPCIBusImpl::ScanFunction(CRefPtr<IPCIDeviceAccessor> accessor, const FunctionHeader& header,
                               uint16_t segment, std::vector<HierarchyDescriptor>& descriptors,
                               IDisplayAdapterDatabase& database, bool keepUnknown, CLog& log,
                               DisplayAdapterList& adapters, PCIDeviceAccessorList& candidates)
{
    const uint16_t subsystemVendorId = static_cast<uint16_t>(header.subsystem);
    const uint16_t subsystemDeviceId = static_cast<uint16_t>(header.subsystem >> 16);
    log << "Device:" << ToHex(accessor->GetBus(), 2) << ":" << ToHex(accessor->GetDeviceNumber(), 2)
        << ":" << ToHex(accessor->GetFunctionNumber(), 2) << "=" << ToHex(header.vendorId, 4) << ":"
        << ToHex(header.deviceId, 4) << ":" << ToHex(subsystemVendorId, 4) << ":"
        << ToHex(subsystemDeviceId, 4);

    uint32_t portNumber = 0xFF;
    if (IsRecognisedBridge(header.vendorId, header.deviceId))
    {
        log << " BRIDGE";
        const uint32_t portRegister = header.vendorId == kKorvanVendorId ? 0x60 : 0x68;
        portNumber = (accessor->ReadConfig32(portRegister) >> 20) & 0xF;
        const uint32_t secondaryBus = (accessor->ReadConfig32(0x18) >> 8) & 0xFF;
        if (segment >= kSegmentCount)
        {
            throw std::runtime_error("Index outside of the hierarchyDescriptorArray.");
        }
        HierarchyDescriptor& descriptor = descriptors[secondaryBus];
        descriptor.switchPort = accessor->GetDeviceNumber();
        descriptor.parentBus = accessor->GetBus();
        descriptor.parentSegment = segment;
    }

    if (!IsCandidateFunction(header.vendorId, header.deviceId, header.classCode) ||
        portNumber == kHostPortNumber)
    {
        return;
    }
    log << " GPU";
    candidates.push_back(accessor);
    CDisplayAdapterType type;
    database.GetAdapterType(type, header.vendorId, header.deviceId);
    if (!type.IsKnown())
    {
        if (!keepUnknown)
        {
            return;
        }
        type = CDisplayAdapterType::CreateUnknown(header.vendorId, header.deviceId,
                                                  "Unknown display adapter");
    }
    try
    {
        adapters.push_back(
            CreateDisplayAdapter(type, subsystemVendorId, subsystemDeviceId, accessor));
    }
    catch (const std::runtime_error& error)
    {
        // A display function no device class serves, or a GPU whose device
        // cannot be set up because its registers are not assigned, is left
        // out; the walk goes on to the rest of the machine.
        if (type.deviceKind != kDeviceKindUnknown && accessor->IsBar0Assigned())
        {
            throw;
        }
        log << " skipped: " << error.what();
    }
}

bool CPCIBusImpl::RescanIfGPUMissing(const DisplayAdapterList& adapters, int attempt, CLog& log)
{
    log.SetLevel(3);
    ICrossPlatform* platform = GetCrossPlatform();
    const std::vector<DisplayDeviceRecord> displayDevices = platform->GetDisplayDevices(&log);
    if (attempt > kMaxRescans || adapters.size() >= displayDevices.size())
    {
        return false;
    }
    bool rescan = false;
    for (const DisplayDeviceRecord& record : displayDevices)
    {
        bool found = false;
        for (const CRefPtr<IDisplayAdapter>& adapter : adapters)
        {
            found = found || adapter->GetDeviceID() == record.deviceId;
        }
        if (found)
        {
            continue;
        }
        log << "The specific GPU (" << ToHex(record.deviceId, 4)
            << ") is missed in the PCI enumeration, disabling KR driver and re-scan PCI devices."
            << LogEndl;
        platform->DisableDeviceDriver(record.idText, &log);
        rescan = true;
    }
    return rescan;
}

PCIDeviceAccessorList& CPCIBusImpl::FindPCIDevices(PCIDeviceAccessorList& accessors,
                                                   uint32_t dumpLength, const PCIFilter* filter,
                                                   bool print, CLog* log)
{
    if ((print || dumpLength > 0) && !log)
    {
        throw std::invalid_argument("FindPCIDevices needs a log to print");
    }
    if (print)
    {
        log->SetLevel(2);
        *log << "FindPCIDevices:" << LogEndl;
        const char* heading = "     [S#:B#:D#.F#]  [Description]";
        *log << heading << LogEndl;
        std::cout << heading << std::endl;
    }
    const uint16_t segment = ScanSegment();
    CRefPtr<IRomviseDriver> driver(GetRomviseDriver());
    uint32_t printed = 0;
    for (uint32_t bus = 0; bus <= m_endBus; ++bus)
    {
        for (uint32_t device = 0; device < kDeviceCount; ++device)
        {
            for (uint32_t function = 0; function < kFunctionCount; ++function)
            {
                if (filter &&
                    (filter->segment != segment || filter->bus != bus ||
                     (filter->device >= 0 && static_cast<uint32_t>(filter->device) != device) ||
                     (filter->function >= 0 &&
                      static_cast<uint32_t>(filter->function) != function)))
                {
                    continue;
                }
                CRefPtr<IPCIDeviceAccessor> accessor = CreatePCIDeviceAccessor(
                    driver, segment, static_cast<uint8_t>(bus), static_cast<uint8_t>(device),
                    static_cast<uint8_t>(function), -1, 0, 0, m_acpi);
                if ((accessor->ReadConfig32(0) & 0xFFFF) == 0xFFFF)
                {
                    continue;
                }
                accessors.push_back(accessor);
                if (print)
                {
                    PrintFunction(*accessor, printed++, *log);
                }
                if (dumpLength > 0)
                {
                    DumpConfiguration(*accessor, dumpLength, *log);
                }
            }
        }
    }
    return accessors;
}

void CPCIBusImpl::PrintFunction(IPCIDeviceAccessor& accessor, uint32_t count, CLog& log)
{
    const uint32_t ids = accessor.ReadConfig32(0);
    const uint16_t vendorId = static_cast<uint16_t>(ids);
    const uint16_t deviceId = static_cast<uint16_t>(ids >> 16);
    std::string description = GetCrossPlatform()->GetDeviceDescription(deviceId, vendorId, &log);
    if (description.empty())
    {
        description = "PCI Device";
    }
    std::ostringstream text;
    text << "<" << FormatNumber(count, 2) << "> " << ToHex(accessor.GetSegment(), 2) << ":"
         << ToHex(accessor.GetBus(), 4) << ":" << ToHex(accessor.GetDeviceNumber(), 2) << "."
         << ToHex(accessor.GetFunctionNumber(), 2) << "  " << description << "("
         << ToHex(vendorId, 4) << ":" << ToHex(deviceId, 4) << ")\n";
    WriteToConsoleAndLog(text.str(), log);
}

void CPCIBusImpl::DumpConfiguration(IPCIDeviceAccessor& accessor, uint32_t dumpLength, CLog& log)
{
    std::ostringstream text;
    // Configuration space ends at 4 KiB whatever length is asked.
    for (uint32_t offset = 0; offset < dumpLength && offset < 0x1000; offset += 16)
    {
        text << "  \t\t  " << ToHex(offset, 2) << ": ";
        for (uint32_t word = 0; word < 4; ++word)
        {
            const uint32_t value = accessor.ReadConfig32(offset + 4 * word);
            for (uint32_t byte = 0; byte < 4; ++byte)
            {
                text << ToHex((value >> (8 * byte)) & 0xFF, 2) << " ";
            }
            if (word == 1)
            {
                text << "- ";
            }
        }
        text << "\n";
    }
    text << "\n";
    WriteToConsoleAndLog(text.str(), log);
}

void CPCIBusImpl::WriteToConsoleAndLog(const std::string& text, CLog& log)
{
    std::cout << text << std::flush;
    log << text << std::flush;
}
} // namespace

CRefPtr<IPCIBus> IPCIBus::Create()
{
    return CRefPtr<IPCIBus>(new CPCIBusImpl());
}

IPCIBus* GetPCIBus()
{
    static CSingletonHolder<IPCIBus> holder(ESingletonSlot::PciBus);
    return GetOrCreateSingleton(holder, [] { return new CPCIBusImpl(); });
}
