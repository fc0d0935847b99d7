// The IMG check against a display adapter takes the adapter's catalogue IDs
// and the subsystem IDs the bus scan read.

#include "testkit/varnex/VarnexStoreBuilder.h"
#include "varnex/VarnexAdapterCheck.h"

#include <gtest/gtest.h>

#include <sstream>

namespace
{
using testkit::CVarnexStoreBuilder;

// An adapter that knows only its IDs.
class CIdsOnlyAdapter : public CReferenceCountImpl, public IDisplayAdapter
{
public:
    ROMVISE_REFCOUNT_FORWARD
    CIdsOnlyAdapter(uint16_t device, uint16_t vendor, uint16_t subsystem, uint16_t subsystemVendor)
        : m_device(device), m_vendor(vendor), m_subsystem(subsystem),
          m_subsystemVendor(subsystemVendor)
    {
    }
    uint16_t GetDeviceID() override { return m_device; }
    uint16_t GetVendorID() override { return m_vendor; }
    uint16_t GetSubsystemDeviceID() override { return m_subsystem; }
    uint16_t GetSubsystemVendorID() override { return m_subsystemVendor; }

    uint32_t GetDeviceKind() override { return 12; }
    uint8_t GetBusNumber() override { return 1; }
    uint8_t GetDeviceNumber() override { return 0; }
    bool IsDisplayAttached() override { return false; }
    void PrintDescriptionLine(std::ostream&, bool) override {}
    void PrintDescription(std::ostream&, bool, bool) override {}
    std::string GetName() override { return {}; }
    uint16_t GetRegisterDeviceID() override { return 0; }
    uint32_t ReadStraps(uint32_t) override { return 0; }
    bool HasEEPROMStraps() override { return false; }
    uint16_t GetFeatureMask() override { return 0; }
    uint8_t GetCatalogueFlagA() override { return 0; }
    bool HasIeee1394Guid() override { return false; }
    uint8_t GetCatalogueFlagB() override { return 0; }
    uint8_t GetCatalogueFlagC() override { return 0; }
    bool HasSecondaryDevId() override { return false; }
    bool HasSecondaryDevIdOrFlagC() override { return false; }
    void MapRegisters() override {}
    void UnmapRegisters() override {}
    uint8_t ReadROMByte(int32_t) override { return 0; }
    uint32_t ReadROMDword(int32_t) override { return 0; }
    uint32_t Read32(uint32_t) override { return 0; }
    void Write32(uint32_t, uint32_t) override {}
    uint16_t Read16(uint32_t) override { return 0; }
    void Write16(uint32_t, uint16_t) override {}
    uint8_t ReadROMWindowByte(uint32_t) override { return 0; }
    void WritePROMByte(uint32_t, uint8_t) override {}
    void WriteROMDword(int32_t, uint32_t) override {}
    void EnableROMAccess() override {}
    void RestoreROMAccess() override {}
    bool IsDebugPortEnabled() override { return false; }
    uint32_t GetROMType() override { return 0; }
    bool IsROMTypeZero() override { return true; }
    bool IsROMAccessEnabled() override { return false; }
    bool HasAGPCapability() override { return false; }
    bool IsConfigured() override { return true; }
    uint32_t GetHierarchyIndex() override { return 0; }
    std::string GetParentBusText() override { return "--"; }
    std::string GetHierarchyName() override { return "Normal Board"; }
    std::string GetHierarchyShortName() override { return "NRM"; }
    uint32_t GetSpeedometerValue(CLog*) override { return 0; }
    CRefPtr<IDevice> GetDevice() override { return nullptr; }
    std::string GetGpuModeText() override { return "Graphics"; }
    CRefPtr<IGmacAccessor> GetGmacAccessor() override { return nullptr; }
    std::string GetGmacName() override { return {}; }
    bool SwitchDevID(const DevIdImageFacts*, CLog*) override { return false; }
    uint32_t ReadROMControl() override { return 0; }
    void WriteROMControl(uint32_t) override {}

private:
    uint16_t m_device;
    uint16_t m_vendor;
    uint16_t m_subsystem;
    uint16_t m_subsystemVendor;
};

TEST(AdapterCheckTest, ComparesTheAdapterIdsButNotItsSubsystemVendor)
{
    const CVarnexImage image(
        CVarnexStoreBuilder().Img("1.0", 0x0C00, 0x7E2B, 0x0C10, 0x7E2B, false).BuildRaw());
    CLog log;
    std::ostringstream text;
    log.AddSink(&text, 0, 10);

    CRefPtr<CIdsOnlyAdapter> same(new CIdsOnlyAdapter(0x0C00, 0x7E2B, 0x0C10, 0x1043));
    EXPECT_TRUE(CheckImgAgainstAdapter(&image, *same, &log));
    EXPECT_EQ(text.str(), "");

    CRefPtr<CIdsOnlyAdapter> other(new CIdsOnlyAdapter(0x0C00, 0x7E2B, 0x0C11, 0x7E2B));
    testing::internal::CaptureStdout();
    EXPECT_FALSE(CheckImgAgainstAdapter(&image, *other, &log));
    const std::string printed = testing::internal::GetCapturedStdout();
    EXPECT_NE(printed.find("Varnex image/device mismatch detected:"), std::string::npos);
    EXPECT_NE(printed.find("Display Adapter Subsystem ID = 0x0C11"), std::string::npos) << printed;
    EXPECT_NE(printed.find("Error: Varnex image does not match display adapter."),
              std::string::npos);
}
} // namespace
