// Whether a Varnex image's IMG object names the device it is written to.

#include "testkit/varnex/VarnexStoreBuilder.h"
#include "varnex/VarnexImgChecks.h"

#include <gtest/gtest.h>

#include <functional>
#include <sstream>

namespace
{

using testkit::CVarnexStoreBuilder;

using Check = std::function<bool(const CVarnexImage*, const VarnexPciIds&, CLog*)>;

struct Outcome
{
    bool passed;
    std::string log;        // the given logger
    std::string processLog; // the process logger at level 4
    std::string standardOutput;
};

Outcome RunCheck(const Check& check, const CVarnexImage* image, const VarnexPciIds& ids)
{
    CLog log;
    std::ostringstream logText;
    log.AddSink(&logText, 0, 10);
    std::ostringstream processText;
    CScopedLogSink sink(GetLog(), &processText, 4, 4);
    testing::internal::CaptureStdout();
    const bool passed = check(image, ids, &log);
    return {passed, logText.str(), processText.str(), testing::internal::GetCapturedStdout()};
}

CVarnexImage ImageFor(uint16_t device, uint16_t vendor, uint16_t subsystem,
                      uint16_t subsystemVendor, bool waived = false)
{
    return CVarnexImage(CVarnexStoreBuilder()
                            .Img("1.0", device, vendor, subsystem, subsystemVendor, waived)
                            .BuildRaw());
}

const VarnexPciIds kDevice{0x2204, 0x10DE, 0x1454, 0x10DF};

TEST(ImgCheckTest, MatchingWaivedAndMismatchedIds)
{
    const CVarnexImage matching = ImageFor(0x2204, 0x10DE, 0x1454, 0x10DF);
    // The subsystem vendor ID is compared by neither check.
    const CVarnexImage otherSubsystemVendor = ImageFor(0x2204, 0x10DE, 0x1454, 0x1234);
    const CVarnexImage waived = ImageFor(1, 2, 3, 4, true);
    for (const Check& check : {Check(CheckImgAgainstRomImageIds), Check(CheckImgAgainstAdapterIds)})
    {
        for (const CVarnexImage* image : {&matching, &otherSubsystemVendor, &waived})
        {
            const Outcome outcome = RunCheck(check, image, kDevice);
            EXPECT_TRUE(outcome.passed);
            EXPECT_EQ(outcome.log + outcome.processLog + outcome.standardOutput, "");
        }
        // Each of the three compared IDs alone makes a mismatch.
        for (const VarnexPciIds& ids : {VarnexPciIds{0x2205, 0x10DE, 0x1454, 0x10DF},
                                        VarnexPciIds{0x2204, 0x10DF, 0x1454, 0x10DF},
                                        VarnexPciIds{0x2204, 0x10DE, 0x1455, 0x10DF}})
        {
            EXPECT_FALSE(RunCheck(check, &matching, ids).passed);
        }
    }
}

TEST(ImgCheckTest, RomImageMismatchIsReportedAtLevel4)
{
    const CVarnexImage image = ImageFor(0x1B80, 0x10DE, 0x0A, 0x10DE);
    const Outcome outcome = RunCheck(CheckImgAgainstRomImageIds, &image, kDevice);
    EXPECT_FALSE(outcome.passed);
    EXPECT_EQ(outcome.processLog, "Varnex image/device mismatch detected:\n"
                                  "    IMG Device ID = 0x1B80\n"
                                  "    ROM Image Device ID = 0x2204\n"
                                  "    IMG Vendor ID = 0x10DE\n"
                                  "    ROM Image Vendor ID = 0x10DE\n"
                                  "    IMG Subsystem ID = 0x000A\n"
                                  "    ROM Image Subsystem ID = 0x1454\n"
                                  "\n"
                                  "Error: Varnex image does not match VBIOS ROM Image.\n");
    EXPECT_EQ(outcome.log, "");
}

TEST(ImgCheckTest, AdapterMismatchShowsTheSubsystemVendorToo)
{
    const CVarnexImage image = ImageFor(0x1B80, 0x10DE, 0x1454, 0x1043);
    const Outcome outcome = RunCheck(CheckImgAgainstAdapterIds, &image, kDevice);
    EXPECT_FALSE(outcome.passed);
    const std::string expected = "Varnex image/device mismatch detected:\n"
                                 "    IMG Device ID = 0x1B80\n"
                                 "    Display Adapter Device ID = 0x2204\n"
                                 "    IMG Vendor ID = 0x10DE\n"
                                 "    Display Adapter Vendor ID = 0x10DE\n"
                                 "    IMG Subsystem ID = 0x1454\n"
                                 "    Display Adapter Subsystem ID = 0x1454\n"
                                 "    IMG Subsystem Vendor ID = 0x1043\n"
                                 "    Display Adapter Subsystem Vendor ID = 0x10DF\n"
                                 "Error: Varnex image does not match display adapter.\n";
    EXPECT_EQ(outcome.standardOutput, expected);
    EXPECT_EQ(outcome.log, expected);
}

TEST(ImgCheckTest, NoImgObjectFailsBothChecks)
{
    const CVarnexImage noImg(CVarnexStoreBuilder().Oem({1}).BuildRaw());
    for (const Check& check : {Check(CheckImgAgainstRomImageIds), Check(CheckImgAgainstAdapterIds)})
    {
        for (const CVarnexImage* image : {&noImg, static_cast<const CVarnexImage*>(nullptr)})
        {
            const Outcome outcome = RunCheck(check, image, kDevice);
            EXPECT_FALSE(outcome.passed);
            EXPECT_EQ(outcome.log, "Error: no IMG object detected in the Varnex image.\n"
                                   "       No image version available.\n"
                                   "Error: IMG object is not present.\n");
            EXPECT_EQ(outcome.standardOutput, "Error: IMG object is not present.\n");
        }
    }
}

} // namespace
