// A Varnex image's IMG object against the firmware image it travels with.

#include "image/VarnexImageChecks.h"
#include "testkit/image/GpuImageBuilder.h"
#include "testkit/varnex/VarnexStoreBuilder.h"

#include <gtest/gtest.h>

#include <sstream>

namespace
{

using testkit::CGpuImageBuilder;
using testkit::CVarnexStoreBuilder;

CRefPtr<IROMImage> Firmware(uint16_t deviceId, uint16_t vendorId, uint16_t subsystemId)
{
    return CGpuImageBuilder()
        .Block(CGpuImageBuilder::kX86, 0x10000)
        .DeviceId(deviceId)
        .VendorId(vendorId)
        .HardwareDataArea(0x7E2B, subsystemId)
        .BuildImage();
}

CVarnexImage Varnex(uint16_t deviceId, uint16_t vendorId, uint16_t subsystemId, bool waived = false)
{
    return CVarnexImage(CVarnexStoreBuilder()
                            .Img("1.0", deviceId, vendorId, subsystemId, 0x7E2B, waived)
                            .BuildRaw());
}

struct Outcome
{
    bool passed;
    std::string console; // the process logger at level 4
};

Outcome Check(const CVarnexImage& varnex, IROMImage* firmware)
{
    CLog log;
    std::ostringstream console;
    CScopedLogSink sink(GetLog(), &console, 4, 4);
    const bool passed = CheckImgAgainstRomImage(&varnex, firmware, &log);
    return {passed, console.str()};
}

TEST(VarnexImageChecksTest, IdsComeFromTheFirmwareImage)
{
    const auto firmware = Firmware(0x2204, 0x7E2B, 0x1454);
    ASSERT_EQ(firmware->GetDeviceID(), 0x2204);
    ASSERT_EQ(firmware->GetSubsystemDeviceID(), 0x1454);

    const Outcome match = Check(Varnex(0x2204, 0x7E2B, 0x1454), firmware.get());
    EXPECT_TRUE(match.passed);
    EXPECT_EQ(match.console, "");

    const Outcome mismatch = Check(Varnex(0x2204, 0x7E2B, 0x1455), firmware.get());
    EXPECT_FALSE(mismatch.passed);
    EXPECT_EQ(mismatch.console, "Varnex image/device mismatch detected:\n"
                                "    IMG Device ID = 0x2204\n"
                                "    ROM Image Device ID = 0x2204\n"
                                "    IMG Vendor ID = 0x7E2B\n"
                                "    ROM Image Vendor ID = 0x7E2B\n"
                                "    IMG Subsystem ID = 0x1455\n"
                                "    ROM Image Subsystem ID = 0x1454\n"
                                "\n"
                                "Error: Varnex image does not match VBIOS ROM Image.\n");
}

TEST(VarnexImageChecksTest, WaiverAndMissingFirmwareImage)
{
    const auto firmware = Firmware(0x2204, 0x7E2B, 0x1454);
    EXPECT_TRUE(Check(Varnex(1, 2, 3, true), firmware.get()).passed);
    EXPECT_TRUE(Check(Varnex(1, 2, 3, true), nullptr).passed);

    const Outcome missing = Check(Varnex(0x2204, 0x7E2B, 0x1454), nullptr);
    EXPECT_FALSE(missing.passed);
    EXPECT_NE(missing.console.find("    ROM Image Device ID = 0x0000\n"), std::string::npos);
}

} // namespace
