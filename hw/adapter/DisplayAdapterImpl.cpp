#include "core/TextHelpers.h"
#include "hw/adapter/IDisplayAdapter.h"

#include <algorithm>
#include <iomanip>
#include <limits>
#include <stdexcept>

namespace
{
constexpr uint32_t kRegisterDeviceIdRegister = 0x1800;
constexpr uint32_t kStrapRegister0 = 0x101000;
constexpr uint32_t kStrapRegister1 = 0x10100C;
constexpr uint32_t kRomAccessMaskRegister = 0xC040;
constexpr uint32_t kRomAccessMaskBits = 0x30000000; // bits 28 and 29
constexpr uint32_t kPromWindow = 0x300000;
constexpr uint32_t kPrimaryDeviceIdRegister = 0x214D8;
constexpr uint32_t kSecondaryDeviceIdRegister = 0x2156C;

constexpr uint32_t kSpeedometerControlBase = 0x100A40;
constexpr uint32_t kSpeedometerSelect = 0x1228;
constexpr uint32_t kSpeedometerReading = 0x121C;
constexpr int kSpeedometerReadLimit = 256;

// Restores registers to the values they held when it was made, on every way
// out, so a failed reading leaves the GPU as it found it.
class CRegisterRestore
{
public:
    explicit CRegisterRestore(IDevice& device) : m_device(device) {}
    ~CRegisterRestore()
    {
        for (auto it = m_saved.rbegin(); it != m_saved.rend(); ++it)
        {
            try
            {
                m_device.Write32(it->first, it->second);
            }
            catch (...)
            {
            }
        }
    }
    CRegisterRestore(const CRegisterRestore&) = delete;
    CRegisterRestore& operator=(const CRegisterRestore&) = delete;

    uint32_t Save(uint32_t offset)
    {
        const uint32_t value = m_device.Read32(offset);
        m_saved.emplace_back(offset, value);
        return value;
    }

private:
    IDevice& m_device;
    std::vector<std::pair<uint32_t, uint32_t>> m_saved;
};

class CDisplayAdapterImpl : public CReferenceCountImpl, public IDisplayAdapter
{
public:
    ROMVISE_REFCOUNT_FORWARD

    CDisplayAdapterImpl(const CDisplayAdapterType& type, uint16_t subsystemVendorId,
                        uint16_t subsystemDeviceId, CRefPtr<IPCIDeviceAccessor> accessor)
        : m_subsystemDeviceId(subsystemDeviceId), m_subsystemVendorId(subsystemVendorId),
          m_type(type)
    {
        m_device = IDevice::Create(std::move(accessor), static_cast<int32_t>(m_type.deviceKind));
        if (!TraitsOfDeviceKind(m_type.deviceKind).bridge)
        {
            m_gmac = CreateGmacAccessor(m_device.get(), CRefPtr<IReferenceCount>(m_device),
                                        m_type.vendorId, m_type.deviceId, kGmacI2CPort,
                                        kGmacSlaveAddress);
        }
    }

    ~CDisplayAdapterImpl() override
    {
        m_gmac = nullptr;
        m_device = nullptr;
    }

    // IAdapterContext.
    uint32_t GetDeviceKind() override { return m_type.deviceKind; }
    uint8_t GetBusNumber() override { return m_device->GetBus(); }
    uint8_t GetDeviceNumber() override { return m_device->GetDeviceNumber(); }
    bool IsDisplayAttached() override
    {
        MapRegisters();
        return m_device->IsI2CActive();
    }

    void PrintDescriptionLine(std::ostream& out, bool detailed) override
    {
        PrintDescription(out, false, detailed);
        out << '\n';
        out.flush();
    }

    void PrintDescription(std::ostream& out, bool shortLocation, bool detailed) override
    {
        out << std::left << std::setw(20) << m_type.name << std::setw(0) << ' ';
        if (detailed)
        {
            out << "(" << ToHex(m_type.vendorId, 4) << "," << ToHex(m_type.deviceId, 4) << ","
                << ToHex(m_subsystemVendorId, 4) << "," << ToHex(m_subsystemDeviceId, 4)
                << ") H:" << GetParentBusText() << ":" << std::setw(4) << GetHierarchyShortName()
                << std::setw(0) << ' ';
        }
        else
        {
            out << "Device Path: ";
        }
        m_device->PrintLocation(out, shortLocation);
    }

    std::string GetName() override { return m_type.name; }
    uint16_t GetRegisterDeviceID() override { return m_registerDeviceId; }
    uint16_t GetDeviceID() override { return m_type.deviceId; }
    uint16_t GetVendorID() override { return m_type.vendorId; }
    uint16_t GetSubsystemDeviceID() override { return m_subsystemDeviceId; }
    uint16_t GetSubsystemVendorID() override { return m_subsystemVendorId; }

    uint32_t ReadStraps(uint32_t index) override
    {
        if (!HasEEPROMStraps() || index > 1)
        {
            return 0;
        }
        m_device->MapRegisters();
        return m_device->Read32(index == 0 ? kStrapRegister0 : kStrapRegister1);
    }

    bool HasEEPROMStraps() override { return m_type.HasEEPROMStraps(); }
    uint16_t GetFeatureMask() override { return m_type.GetFeatureMask(); }
    uint8_t GetCatalogueFlagA() override { return m_type.GetCatalogueFlagA(); }
    bool HasIeee1394Guid() override { return m_type.HasIeee1394Guid(); }
    uint8_t GetCatalogueFlagB() override { return m_type.GetCatalogueFlagB(); }
    uint8_t GetCatalogueFlagC() override { return m_type.GetCatalogueFlagC(); }
    bool HasSecondaryDevId() override { return m_type.HasSecondaryDevId(); }
    bool HasSecondaryDevIdOrFlagC() override
    {
        return HasSecondaryDevId() || GetCatalogueFlagC() != 0;
    }

    void MapRegisters() override
    {
        m_device->MapRegisters();
        ReadRegisterDeviceID();
    }
    void UnmapRegisters() override { m_device->UnmapRegisters(); }
    uint8_t ReadROMByte(int32_t offset) override { return m_device->ReadROMByte(offset); }
    uint32_t ReadROMDword(int32_t offset) override { return m_device->ReadROMDword(offset); }
    uint32_t Read32(uint32_t offset) override { return m_device->Read32(offset); }
    void Write32(uint32_t offset, uint32_t value) override { m_device->Write32(offset, value); }
    uint16_t Read16(uint32_t offset) override { return m_device->Read16(offset); }
    void Write16(uint32_t offset, uint16_t value) override { m_device->Write16(offset, value); }
    uint8_t ReadROMWindowByte(uint32_t offset) override
    {
        return m_device->ReadROMWindowByte(offset);
    }
    void WritePROMByte(uint32_t offset, uint8_t value) override
    {
        m_device->Write8(kPromWindow + offset, value);
    }
    void WriteROMDword(int32_t offset, uint32_t value) override
    {
        m_device->WriteROMDword(offset, value);
    }

    // Enables nest: only the outermost saves register 0xC040, so a nested
    // enable never takes the masked value for the one to put back.
    void EnableROMAccess() override
    {
        m_device->EnableROMAccess();
        if (m_type.MasksC040DuringROMAccess() && m_romAccessDepth == 0)
        {
            m_savedC040 = Read32(kRomAccessMaskRegister);
            Write32(kRomAccessMaskRegister, m_savedC040 & ~kRomAccessMaskBits);
        }
        ++m_romAccessDepth;
    }

    void RestoreROMAccess() override
    {
        m_device->RestoreROMAccess();
        if (m_romAccessDepth > 0 && --m_romAccessDepth == 0 && m_type.MasksC040DuringROMAccess())
        {
            Write32(kRomAccessMaskRegister, m_savedC040);
        }
    }

    bool IsDebugPortEnabled() override { return m_device->IsDebugPortEnabled(); }
    uint32_t GetROMType() override { return m_device->GetROMType(m_type.romTypeFromStraps != 0); }
    bool IsROMTypeZero() override { return m_device->IsROMTypeZero(m_type.romTypeFromStraps != 0); }
    bool IsROMAccessEnabled() override { return m_device->IsROMAccessEnabled(); }
    bool HasAGPCapability() override { return m_device->HasAGPCapability(); }
    bool IsConfigured() override { return m_device->IsBar0Assigned(); }

    uint32_t GetHierarchyIndex() override
    {
        if (m_device->IsNormalBoard())
        {
            return 0;
        }
        return static_cast<uint32_t>(m_device->GetSwitchPort()) + 1;
    }

    std::string GetParentBusText() override
    {
        return m_device->IsNormalBoard() ? "--" : ToHex(m_device->GetParentBus(), 2);
    }

    std::string GetParentSegmentText()
    {
        return m_device->IsNormalBoard() ? "--" : ToHex(m_device->GetParentSegment(), 2);
    }

    uint32_t GetSegmentBus()
    {
        return (static_cast<uint32_t>(m_device->GetSegment()) << 16) | m_device->GetBus();
    }

    std::string GetHierarchyName() override
    {
        const uint32_t row = HierarchyRow();
        return row == 0 ? "Normal Board" : "Switch Port " + std::to_string(row - 1);
    }

    std::string GetHierarchyShortName() override
    {
        const uint32_t row = HierarchyRow();
        return row == 0 ? "NRM" : "SP" + std::to_string(row - 1);
    }

    uint32_t GetSpeedometerValue(CLog* log) override;

    CRefPtr<IDevice> GetDevice() override { return m_device; }

    std::string GetGpuModeText() override
    {
        const uint32_t classCode = (m_device->ReadConfig32(8) >> 8) & 0xFFFFFF;
        if (classCode == 0x030000)
        {
            return "Graphics";
        }
        if (classCode == 0x030200)
        {
            return "Compute";
        }
        return "Unknown";
    }

    CRefPtr<IGmacAccessor> GetGmacAccessor() override { return m_gmac; }
    std::string GetGmacName() override { return m_gmac ? m_gmac->GetDeviceName() : std::string(); }

    bool SwitchDevID(const DevIdImageFacts* image, CLog* log) override;

    uint32_t ReadROMControl() override { return m_device->ReadROMControl(); }
    void WriteROMControl(uint32_t value) override { m_device->WriteROMControl(value); }

private:
    // The row of the name table; ports beyond the table share its last row.
    uint32_t HierarchyRow() { return std::min(GetHierarchyIndex(), kHierarchyNameCount - 1); }

    void ReadRegisterDeviceID()
    {
        if (m_type.registerDeviceIdFlag != 0 && IsConfigured())
        {
            m_registerDeviceId =
                static_cast<uint16_t>(m_device->Read32(kRegisterDeviceIdRegister) >> 16);
        }
    }

    uint16_t m_subsystemDeviceId;
    uint16_t m_subsystemVendorId;
    uint16_t m_registerDeviceId = 0;
    CDisplayAdapterType m_type;
    CRefPtr<IDevice> m_device;
    CRefPtr<IGmacAccessor> m_gmac;
    uint32_t m_savedC040 = 0;
    int m_romAccessDepth = 0;
};

uint32_t CDisplayAdapterImpl::GetSpeedometerValue(CLog* log)
{
    const uint16_t deviceId = m_registerDeviceId != 0 ? m_registerDeviceId : m_type.deviceId;
    const uint32_t straps = m_device->Read32(kStrapRegister0);
    const uint32_t crystal = ((straps >> 22) & 1) * 2 + ((straps >> 6) & 1);

    uint32_t count = 0;
    switch (deviceId & 0xFFF0)
    {
    case kSpeedometerFamilyFour:
        count = 4;
        break;
    case kSpeedometerFamilyTwo:
        count = 2;
        break;
    default:
        throw std::runtime_error("Speedometer reading not supported for this GPU");
    }
    uint32_t select = 0;
    switch (crystal)
    {
    case 0:
    case 1:
        select = 0x40000;
        break;
    case 2:
        select = 0xF0000;
        break;
    default:
        throw std::runtime_error("Unknown crystal value");
    }

    CRegisterRestore restore(*m_device);
    for (uint32_t i = 0; i < count; ++i)
    {
        const uint32_t control = kSpeedometerControlBase + 4 * i;
        const uint32_t value = restore.Save(control);
        m_device->Write32(control, (value & 0xFFFFFFFE) | 0x10000000);
    }
    restore.Save(kSpeedometerSelect);

    uint32_t sum = 0;
    for (uint32_t i = 0; i < count; ++i)
    {
        m_device->Write32(kSpeedometerSelect, (i & 0xF) | select);
        uint32_t reading = 0;
        for (int read = 0; read < kSpeedometerReadLimit && reading == 0; ++read)
        {
            reading = m_device->Read32(kSpeedometerReading);
        }
        if (reading == 0)
        {
            throw std::runtime_error("Speedometer reading not ready");
        }
        if (log)
        {
            *log << "Speedometer Value(" << i << "): 0x" << ToHex(reading, 8) << " (" << reading
                 << ")" << LogEndl;
        }
        if (reading & 0x80000000)
        {
            throw std::runtime_error("Speedometer overflow");
        }
        sum += reading;
        if (sum < reading)
        {
            throw std::runtime_error("Speedometer average overflow");
        }
    }
    uint32_t average = sum / count;
    if (crystal < 2)
    {
        average *= 2;
    }
    return average;
}

bool CDisplayAdapterImpl::SwitchDevID(const DevIdImageFacts* image, CLog* log)
{
    // Without its legacy block an image cannot say which ID it was made for.
    if (!image || !image->hasLegacyBlock)
    {
        return false;
    }
    if (!TraitsOfDeviceKind(m_device->GetDeviceKind()).switchesDeviceId)
    {
        return false;
    }
    const bool markedSecondary =
        (image->legacyWord60 & 0x2) == 0 && (image->legacyWord64 & 0x2) != 0;
    const uint16_t primaryId = static_cast<uint16_t>(m_device->Read32(kPrimaryDeviceIdRegister));
    const uint16_t secondaryId =
        static_cast<uint16_t>(m_device->Read32(kSecondaryDeviceIdRegister));
    const uint16_t adapterId = m_registerDeviceId;
    if (markedSecondary)
    {
        if (image->imageDeviceId == secondaryId && adapterId == primaryId)
        {
            if (log)
            {
                *log << "DevID: Primary to Secondary." << LogEndl;
            }
            return true;
        }
    }
    else if (image->imageDeviceId == primaryId && adapterId == secondaryId)
    {
        if (log)
        {
            *log << "DevID: Secondary to Primary." << LogEndl;
        }
        return true;
    }
    return false;
}
} // namespace

CRefPtr<IDisplayAdapter> CreateDisplayAdapter(const CDisplayAdapterType& type,
                                              uint16_t subsystemVendorId,
                                              uint16_t subsystemDeviceId,
                                              CRefPtr<IPCIDeviceAccessor> accessor)
{
    return CRefPtr<IDisplayAdapter>(
        new CDisplayAdapterImpl(type, subsystemVendorId, subsystemDeviceId, std::move(accessor)));
}
