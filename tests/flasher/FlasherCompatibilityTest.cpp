// The compatibility mask of an image against an adapter: a table over the
// adapter's and the images' facts, and the check on a simulated adapter.

#include "FirmwareImages.h"
#include "FlasherMachine.h"
#include "flasher/ImageCompatibility.h"
#include "testkit/ErrorOf.h"

#include <gtest/gtest.h>

using testkit::ErrorOf;

namespace
{
// An adapter and images that fit each other: mask 0.
CompatibilityFacts FittingFacts()
{
    CompatibilityFacts facts;
    facts.adapterVendorId = 0x7E2B;
    facts.adapterDeviceId = 0x0801;
    facts.adapterRegisterDeviceId = 0x0801;
    facts.adapterSubsystemVendorId = 0x7E2B;
    facts.adapterSubsystemDeviceId = 0x0001;
    facts.imageVendorId = 0x7E2B;
    facts.imageGpuDeviceId = 0x0801;
    facts.imageDeviceIds = {0x0801};
    facts.imageSubsystemVendorId = 0x7E2B;
    facts.imageSubsystemDeviceId = 0x0001;
    facts.imageBoardId = 0x0201;
    facts.imageHierarchyId = 1;
    facts.imageVersion = "86.04.5E.00.02";
    facts.currentBoardId = 0x0201;
    facts.currentHierarchyId = 1;
    facts.currentVersion = "86.04.5D.00.02";
    return facts;
}

struct MismatchCase
{
    const char* name;
    void (*change)(CompatibilityFacts&, CompatibilityRequest&);
    uint32_t mask;
};

const MismatchCase kMismatchCases[] = {
    {"fitting", [](CompatibilityFacts&, CompatibilityRequest&) {}, 0},
    {"other vendor", [](CompatibilityFacts& f, CompatibilityRequest&) { f.imageVendorId = 0x10DE; },
     0x40},
    {"other GPU device ID",
     [](CompatibilityFacts& f, CompatibilityRequest&) { f.imageGpuDeviceId = 0x0802; }, 0x80},
    {"GPU device ID unknown to the adapter",
     [](CompatibilityFacts& f, CompatibilityRequest&)
     {
         f.adapterRegisterDeviceId = 0;
         f.imageGpuDeviceId = 0x0802;
     },
     0},
    {"other device ID",
     [](CompatibilityFacts& f, CompatibilityRequest&) { f.imageDeviceIds = {0x0802}; }, 0x01},
    {"device ID within the mask",
     [](CompatibilityFacts& f, CompatibilityRequest&)
     {
         f.imageDeviceIds = {0x0802};
         f.deviceIdMask = 0xFFF0;
     },
     0},
    {"device ID in the image's list",
     [](CompatibilityFacts& f, CompatibilityRequest&) {
         f.imageDeviceIds = {0x0802, 0x0801};
     },
     0},
    {"device ID switched: subsystem and board left out",
     [](CompatibilityFacts& f, CompatibilityRequest&)
     {
         f.imageDeviceIds = {0x0802};
         f.switchesDeviceId = [] { return true; };
         f.imageSubsystemDeviceId = 0x0002;
         f.imageBoardId = 0x0301;
     },
     0},
    {"other subsystem device",
     [](CompatibilityFacts& f, CompatibilityRequest&) { f.imageSubsystemDeviceId = 0x0002; }, 0x02},
    {"other subsystem vendor",
     [](CompatibilityFacts& f, CompatibilityRequest&) { f.imageSubsystemVendorId = 0x1043; }, 0x02},
    {"adapter's own subsystem IDs accepted",
     [](CompatibilityFacts& f, CompatibilityRequest& r)
     {
         f.imageSubsystemDeviceId = 0x0002;
         f.imageSubsystemVendorId = 0x1043;
         r.acceptedSubsystemDeviceId = 0x0001;
         r.acceptedSubsystemVendorId = 0x7E2B;
     },
     0},
    {"accepted ID 0xFFFF accepts nothing, not even an adapter's 0xFFFF",
     [](CompatibilityFacts& f, CompatibilityRequest& r)
     {
         f.adapterSubsystemDeviceId = 0xFFFF;
         r.acceptedSubsystemDeviceId = 0xFFFF;
     },
     0x02},
    {"init-from-ROM verification waives the subsystem IDs",
     [](CompatibilityFacts& f, CompatibilityRequest&)
     {
         f.imageSubsystemDeviceId = 0x0002;
         f.subsystemWaived = true;
     },
     0},
    {"other board", [](CompatibilityFacts& f, CompatibilityRequest&) { f.imageBoardId = 0x0301; },
     0x04},
    {"board by the alternate ID",
     [](CompatibilityFacts& f, CompatibilityRequest&)
     {
         f.imageBoardId = 0x0301;
         f.imageAlternateBoardId = 0x0201;
     },
     0},
    {"board by the accepted ID",
     [](CompatibilityFacts& f, CompatibilityRequest& r)
     {
         f.imageBoardId = 0x0301;
         r.acceptedBoardId = 0x0201;
     },
     0},
    {"current board 0 compared like any value",
     [](CompatibilityFacts& f, CompatibilityRequest&) { f.currentBoardId = 0; }, 0x04},
    {"current board 0 skipped on request",
     [](CompatibilityFacts& f, CompatibilityRequest& r)
     {
         f.currentBoardId = 0;
         r.skipZeroBoard = true;
     },
     0},
    {"blank EEPROM: subsystem and board left out",
     [](CompatibilityFacts& f, CompatibilityRequest& r)
     {
         r.blank = true;
         f.imageSubsystemDeviceId = 0x0002;
         f.imageBoardId = 0x0301;
     },
     0},
    {"hierarchy 1 over a position",
     [](CompatibilityFacts& f, CompatibilityRequest&) { f.currentHierarchyId = 3; }, 0x10},
    {"hierarchy 3 at index 2",
     [](CompatibilityFacts& f, CompatibilityRequest&)
     {
         f.imageHierarchyId = 3;
         f.adapterHierarchyIndex = 2;
     },
     0},
    {"hierarchy 3 at index 1",
     [](CompatibilityFacts& f, CompatibilityRequest&)
     {
         f.imageHierarchyId = 3;
         f.adapterHierarchyIndex = 1;
     },
     0x10},
    {"hierarchy 20 never fits",
     [](CompatibilityFacts& f, CompatibilityRequest&)
     {
         f.imageHierarchyId = 20;
         f.adapterHierarchyIndex = 19;
     },
     0x10},
    {"selection rejects",
     [](CompatibilityFacts& f, CompatibilityRequest&) { f.selectionRejects = true; }, 0x20},
    {"equal versions",
     [](CompatibilityFacts& f, CompatibilityRequest&) { f.imageVersion = f.currentVersion; },
     0x200},
    {"older version",
     [](CompatibilityFacts& f, CompatibilityRequest&) { f.imageVersion = "86.04.5C.00.02"; }, 0x08},
    {"versions that cannot be compared",
     [](CompatibilityFacts& f, CompatibilityRequest&) { f.imageVersion = "86.05.5E.00.02"; }, 0x08},
    {"production replaced by bring-up",
     [](CompatibilityFacts& f, CompatibilityRequest&) { f.imageVersion = "86.04.01.00.02"; },
     0x208},
    {"bring-up replaced by production",
     [](CompatibilityFacts& f, CompatibilityRequest&) { f.currentVersion = "86.04.01.00.02"; }, 0},
    {"a version without a dot",
     [](CompatibilityFacts& f, CompatibilityRequest&)
     { f.currentVersion = "Unavailable (Not found)"; },
     0},
};
} // namespace

TEST(FlasherCompatibility, MaskFollowsTheAdapterAndImageFacts)
{
    for (const MismatchCase& c : kMismatchCases)
    {
        SCOPED_TRACE(c.name);
        CompatibilityFacts facts = FittingFacts();
        CompatibilityRequest request;
        c.change(facts, request);
        EXPECT_EQ(ComputeImageMismatch(facts, request, nullptr), c.mask);
    }
}

TEST(FlasherCompatibility, SwitchIsAskedOnlyWhenNoDeviceIdMatches)
{
    CompatibilityFacts facts = FittingFacts();
    int asked = 0;
    facts.switchesDeviceId = [&] { return ++asked, true; };
    ComputeImageMismatch(facts, {}, nullptr);
    EXPECT_EQ(asked, 0);
    facts.imageDeviceIds = {0x0802};
    ComputeImageMismatch(facts, {}, nullptr);
    EXPECT_EQ(asked, 1);
}

TEST(FlasherCompatibility, LogsBothParsedVersions)
{
    CLog log;
    std::ostringstream text;
    log.AddSink(&text, 1, 5);
    ComputeImageMismatch(FittingFacts(), {}, &log);
    EXPECT_EQ(text.str(), "Current      - Parsed Production VBIOS version: 86.04.5D.00.02\n"
                          "Replace with - Parsed Production VBIOS version: 86.04.5E.00.02\n\n");
}

TEST(FlasherCompatibility, ChecksAnImageAgainstASimulatedAdapter)
{
    CFlasherMachine rig({{0x0800, 8, MakeFirmware()}});
    CRefPtr<IROMImage> current = IROMImage::CreateFromBuffer(rig.ChipBytes(0).data(), 0x1000);
    CRefPtr<IROMImage> same = FirmwareBuilder().BuildImage();
    CompatibilityRequest request;
    EXPECT_EQ(CheckImageCompatibility(rig.Adapter(0), same, current, nullptr, request, &rig.log),
              0x200u);
    CRefPtr<IROMImage> otherBoard =
        FirmwareBuilder({.boardId = 0x0301, .version = 0x86041C00}).BuildImage();
    EXPECT_EQ(
        CheckImageCompatibility(rig.Adapter(0), otherBoard, current, nullptr, request, &rig.log),
        0x04u);
    CRefPtr<IROMImage> otherDevice = FirmwareBuilder({.deviceId = 0x0900}).BuildImage();
    EXPECT_EQ(
        CheckImageCompatibility(rig.Adapter(0), otherDevice, current, nullptr, request, &rig.log) &
            0x01u,
        0x01u);
    const SelectionCriteria unknown{3, nullptr};
    EXPECT_EQ(ErrorOf(
                  [&] {
                      CheckImageCompatibility(rig.Adapter(0), same, current, &unknown, request,
                                              &rig.log);
                  }),
              "Unknown selection type: a newer version of ROMVISE is required.");
}
