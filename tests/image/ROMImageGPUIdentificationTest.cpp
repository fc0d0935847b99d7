// GPU image identification: IDs, subsystem IDs by precedence, the version
// text, the hardware data area with its straps and IEEE 1394 GUID, board
// texts, tables found by signature, the display configuration block and the
// Varnex version of the NBSI block.

#include "tests/image/ImageBytes.h"
#include "image/IROMImage.h"
#include "testkit/ErrorOf.h"
#include "testkit/image/GpuImageBuilder.h"
#include "testkit/varnex/VarnexStoreBuilder.h"

#include <gtest/gtest.h>

#include <functional>
#include <stdexcept>
#include <string>
#include <vector>

using testkit::CGpuImageBuilder;
using testkit::ErrorOf;
using testkit::InfoToken;

namespace
{
uint8_t HardwareDataSum(IROMImage* image)
{
    uint32_t sum = 0;
    for (int32_t i = 0x58; i <= 0x6B; ++i)
    {
        sum += image->GetByte(i);
    }
    return static_cast<uint8_t>(sum);
}
} // namespace

TEST(IdentificationTest, BuilderImageReportsDeviceBoardAndVersion)
{
    InfoToken info;
    info.boardId = 0x0E2B;
    info.gpuDeviceId = 0x2204;
    CRefPtr<IROMImage> image = CGpuImageBuilder()
                                   .Block(CGpuImageBuilder::kX86, 0x10000)
                                   .VendorId(0x7E2B)
                                   .DeviceId(0x2204)
                                   .HardwareDataArea(0x7E2B, 0x1454)
                                   .Info(info)
                                   .Version(0x86041B00, 0x02)
                                   .Block(CGpuImageBuilder::kEfi, 0x8000)
                                   .BuildImage();
    EXPECT_EQ(image->GetVendorID(), 0x7E2B);
    EXPECT_EQ(image->GetDeviceID(), 0x2204);
    EXPECT_EQ(image->GetGPUDeviceID(), 0x2204);
    EXPECT_EQ(image->GetBoardID(), 0x0E2B);
    EXPECT_EQ(image->GetSubsystemVendorID(), 0x7E2B);
    EXPECT_EQ(image->GetSubsystemDeviceID(), 0x1454);
    EXPECT_EQ(image->GetVersionString(0), "86.04.1B.00.02");
    EXPECT_EQ(image->GetVersionNumber(), 0x86041B00u);
    EXPECT_EQ(image->GetVersionByte(0), 0x86);
    EXPECT_EQ(image->GetVersionByte(3), 0x00);
    EXPECT_EQ(image->GetVersionByte(4), 0x02);
    EXPECT_EQ(image->GetVersionByte(5), 0x00);
}

TEST(IdentificationTest, SubsystemIdsByPrecedence)
{
    struct Case
    {
        const char* name;
        bool initFromRom;
        uint32_t ifrSizeField;
        bool hardwareData;
        bool kpde;
        uint16_t vendor;
        uint16_t device;
    };
    const Case cases[] = {
        {"init-from-ROM header first", true, 0x400, true, true, 0x7E2B, 0x1234},
        {"init-from-ROM window below 16", true, 8, true, true, 0, 0},
        {"hardware data area next", false, 0, true, true, 0x1111, 0x2222},
        {"KPDE structure last", false, 0, false, true, 0x3333, 0x4444},
        {"none of them", false, 0, false, false, 0, 0},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.name);
        CGpuImageBuilder builder;
        if (c.initFromRom)
        {
            builder.InitFromRom(0x400, 0x7E2B, 0x1234).InitFromRomSizeField(c.ifrSizeField);
        }
        builder.Block(CGpuImageBuilder::kX86, 0x8000);
        if (c.kpde)
        {
            builder.Kpde(0x0101, 20).KpdeSubsystem(0x3333, 0x4444);
        }
        if (c.hardwareData)
        {
            builder.HardwareDataArea(0x1111, 0x2222);
        }
        CRefPtr<IROMImage> image = builder.BuildImage();
        EXPECT_EQ(image->GetSubsystemVendorID(), c.vendor);
        EXPECT_EQ(image->GetSubsystemDeviceID(), c.device);
    }
}

TEST(IdentificationTest, VersionTextForBothTokensAndBitVersions)
{
    InfoToken info;
    info.version = 0x70102030;
    info.oemVersion = 0x01;
    auto build = [&](uint16_t bitVersion)
    {
        return CGpuImageBuilder()
            .Block(CGpuImageBuilder::kX86, 0x10000)
            .Bit(bitVersion)
            .Info(info)
            .Version(0x86041B00, 0x02)
            .BuildImage();
    };
    CRefPtr<IROMImage> image = build(0x0100);
    EXPECT_EQ(image->GetVersionString(0), "86.04.1B.00.02");
    EXPECT_EQ(image->GetVersionString(1), "70.10.20.30.01");

    CRefPtr<IROMImage> newer = build(0x0200);
    EXPECT_EQ(newer->GetVersionString(0), "Unavailable (BIT ver 0)");
    EXPECT_EQ(newer->GetVersionByte(0), 0x86);
    EXPECT_EQ(newer->GetVersionNumber(), 0u);

    EXPECT_EQ(
        CGpuImageBuilder().Block(CGpuImageBuilder::kX86, 0x1000).BuildImage()->GetVersionString(0),
        "Unavailable (Not found)");
    const std::vector<uint8_t> junk(0x1000, 0x00);
    EXPECT_EQ(IROMImage::CreateFromBuffer(junk.data(), 0x1000)->GetVersionString(0),
              "Unavailable (Invalid)");
    // A BIT without the token gives no text.
    EXPECT_EQ(CGpuImageBuilder()
                  .Block(CGpuImageBuilder::kX86, 0x10000)
                  .Info(info)
                  .BuildImage()
                  ->GetVersionString(0),
              "");
}

TEST(IdentificationTest, StrapsKeepTheGuidSourceAndFixTheChecksum)
{
    for (bool withStraps45 : {false, true})
    {
        SCOPED_TRACE(withStraps45 ? "strap words 4 and 5" : "strap words 0 to 3");
        std::vector<uint32_t> straps = {1, 2, 3, 0x80000004};
        if (withStraps45)
        {
            straps.insert(straps.end(), {5, 6});
        }
        CRefPtr<IROMImage> image = CGpuImageBuilder()
                                       .Block(CGpuImageBuilder::kX86, 0x8000)
                                       .HardwareDataArea(0x7E2B, 0x1234, straps)
                                       .BuildImage();
        const uint32_t before6C = image->GetDword(0x6C);
        image->SetStraps(0x10, 0x20, 0x30, 0x00000040, 0x50, 0x60);
        EXPECT_EQ(image->GetDword(0x58), 0x10u);
        EXPECT_EQ(image->GetDword(0x5C), 0x20u);
        EXPECT_EQ(image->GetDword(0x60), 0x30u);
        EXPECT_EQ(image->GetDword(0x64), 0x80000040u);
        EXPECT_EQ(HardwareDataSum(image.get()), 0);
        EXPECT_TRUE(image->HasHardwareDataArea());
        EXPECT_EQ(image->GetDword(0x6C), withStraps45 ? 0x50u : before6C);
        EXPECT_EQ(image->GetDword(0x70), withStraps45 ? 0x60u : 0u);

        image->SetGUIDSource(0);
        EXPECT_EQ(image->GetDword(0x64), 0x00000040u);
        EXPECT_EQ(HardwareDataSum(image.get()), 0);
        image->SetGUIDSource(3);
        EXPECT_EQ(image->GetDword(0x64), 0x80000040u);
        EXPECT_EQ(HardwareDataSum(image.get()), 0);
    }
}

TEST(IdentificationTest, StrapEditsRefuseAnImageWithoutHardwareDataArea)
{
    CRefPtr<IROMImage> image =
        CGpuImageBuilder().Block(CGpuImageBuilder::kX86, 0x8000).BuildImage();
    const std::vector<uint8_t> before = Snapshot(image.get());
    EXPECT_FALSE(image->HasHardwareDataArea());
    EXPECT_EQ(ErrorOf([&] { image->SetStraps(1, 2, 3, 4, 5, 6); }),
              "No hardware data area present in image.");
    EXPECT_EQ(ErrorOf([&] { image->SetGUIDSource(1); }), "No hardware data area present in image.");
    EXPECT_EQ(Snapshot(image.get()), before);
}

TEST(IdentificationTest, Ieee1394GuidRecord)
{
    CGpuImageBuilder builder;
    builder.Block(CGpuImageBuilder::kX86, 0x8000)
        .GuidRecord(0x01020304, 0x05060708)
        .HardwareDataArea(0x7E2B, 0x1234);
    CRefPtr<IROMImage> image = builder.BuildImage();
    ASSERT_TRUE(image->HasHardwareDataArea());
    ASSERT_TRUE(image->HasIEEE1394GUID());
    const int32_t record = image->GetIEEE1394GUIDOffset();
    EXPECT_EQ((record + 2) % 4, 0);
    EXPECT_EQ(image->GetIEEE1394GUIDSize(), 10);
    EXPECT_EQ(image->GetDword(record + 2), 0x05060708u);

    image->SetIEEE1394GUID(0xAABBCCDD, 0x11223344);
    EXPECT_EQ(image->GetDword(record + 2), 0x11223344u);
    EXPECT_EQ(image->GetDword(record + 6), 0xAABBCCDDu);
    EXPECT_TRUE(image->HasIEEE1394GUID());
    image->SetByte(record + 3, 0);
    EXPECT_FALSE(image->HasIEEE1394GUID());

    CRefPtr<IROMImage> none = CGpuImageBuilder()
                                  .Block(CGpuImageBuilder::kX86, 0x8000)
                                  .HardwareDataArea(1, 2)
                                  .BuildImage();
    EXPECT_FALSE(none->HasIEEE1394GUID());
    EXPECT_EQ(ErrorOf([&] { none->GetIEEE1394GUIDOffset(); }),
              "No hardware data area present in image.");
    EXPECT_EQ(ErrorOf([&] { none->SetIEEE1394GUID(1, 2); }),
              "No hardware data area present in image.");
}

TEST(IdentificationTest, BoardTextsTablesAndFixedFields)
{
    CGpuImageBuilder builder;
    builder.Block(CGpuImageBuilder::kX86, 0x10000)
        .PcirRevision(3)
        .ModificationDate("07/04/26")
        .BoardTexts("Korvan BIOS", "OEM text", "Korvan", "Board 7", "Rev A")
        .Pmid()
        .Dcb({0x11111111, 0x22222222});
    const uint32_t list = builder.Place({0x04, 0x22, 0x05, 0x22, 0x00, 0x00});
    builder.Patch(0x80 + 8,
                  {static_cast<uint8_t>(list - 0x80), static_cast<uint8_t>((list - 0x80) >> 8)});
    CRefPtr<IROMImage> image = builder.BuildImage();

    EXPECT_EQ(image->GetSignOnMessage(), "Korvan BIOS");
    EXPECT_EQ(image->GetOEMString(), "OEM text");
    EXPECT_EQ(image->GetVendorName(), "Korvan");
    EXPECT_EQ(image->GetProductName(), "Board 7");
    EXPECT_EQ(image->GetProductRevision(), "Rev A");
    EXPECT_EQ(image->GetModificationDate(), "07/04/26");
    EXPECT_NE(image->FindPMID(), -1);
    EXPECT_EQ(image->GetStringAt(image->FindPMID()).substr(0, 4), "PMID");

    std::vector<uint32_t> entries;
    EXPECT_NE(image->ReadI2CDeviceList(entries), -1);
    EXPECT_EQ(entries, (std::vector<uint32_t>{0x11111111, 0x22222222}));

    EXPECT_EQ(image->GetDeviceIDListEntry(0), 0x2204);
    EXPECT_EQ(image->GetDeviceIDListEntry(1), 0x2205);
    EXPECT_EQ(image->GetDeviceIDListEntry(2), 0);

    CRefPtr<IROMImage> bare = CGpuImageBuilder().Block(CGpuImageBuilder::kX86, 0x8000).BuildImage();
    EXPECT_EQ(bare->GetSignOnMessage(), "");
    EXPECT_EQ(bare->FindPMID(), -1);
    EXPECT_EQ(bare->ReadI2CDeviceList(entries), -1);
    EXPECT_EQ(bare->GetDeviceIDListEntry(0), 0);
}

TEST(IdentificationTest, FlagByte49ReadByTheVersion)
{
    // From version 0x84 on, bits 2 and 3 of byte 0x49 decide header flag 49;
    // below it, the third version byte does. Above version 0x60, bit 0 asks
    // for the EEPROM's write protection to be removed before programming.
    struct Case
    {
        uint32_t version;
        uint8_t flags49;
        bool headerFlag49;
        bool removeWriteProtection;
    };
    const Case cases[] = {
        {0x86041B00, 0x00, true, false},  {0x86041B00, 0x04, false, false},
        {0x86041B00, 0x08, false, false}, {0x84041B00, 0x01, true, true},
        {0x80041B00, 0x0D, true, true},   {0x80040000, 0x00, false, false},
        {0x60041B00, 0x01, true, false},  {0x61040000, 0x01, false, true},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(testing::Message() << std::hex << c.version << " " << int{c.flags49});
        CRefPtr<IROMImage> image = CGpuImageBuilder()
                                       .Block(CGpuImageBuilder::kX86, 0x8000)
                                       .FlagByte49(c.flags49)
                                       .Version(c.version, 0)
                                       .BuildImage();
        EXPECT_EQ(image->GetHeaderFlag49(), c.headerFlag49);
        EXPECT_EQ(image->NeedsWriteProtectRemoval(), c.removeWriteProtection);
    }
    const std::vector<uint8_t> notAnImage(0x100, 0x00);
    CRefPtr<IROMImage> invalid = IROMImage::CreateFromBuffer(notAnImage.data(), 0x100);
    EXPECT_FALSE(invalid->GetHeaderFlag49());
    EXPECT_FALSE(invalid->NeedsWriteProtectRemoval());
}

TEST(IdentificationTest, DisplayConfigurationBlock)
{
    std::vector<uint8_t> file(2048, 0);
    file[0] = 0x11;
    file[1] = 0x04;
    CRefPtr<IROMImage> blockFile = IROMImage::CreateFromBuffer(file.data(), 2048);
    EXPECT_EQ(blockFile->UpdateDisplayConfig(), std::make_pair(0, 512u));
    file[0] = 0x12;
    CRefPtr<IROMImage> badFile = IROMImage::CreateFromBuffer(file.data(), 2048);
    EXPECT_EQ(ErrorOf([&] { badFile->UpdateDisplayConfig(); }),
              "Invalid display config block file");

    CGpuImageBuilder builder;
    builder.Block(CGpuImageBuilder::kX86, 0x8000);
    const uint32_t block = builder.Place({0x10, 0x02, 0, 0});
    builder.DisplayConfigurationPointer(static_cast<uint16_t>(block));
    EXPECT_EQ(builder.BuildImage()->UpdateDisplayConfig(),
              std::make_pair(static_cast<int32_t>(block), 256u));
    EXPECT_EQ(ErrorOf(
                  [] {
                      CGpuImageBuilder()
                          .Block(CGpuImageBuilder::kX86, 0x8000)
                          .BuildImage()
                          ->UpdateDisplayConfig();
                  }),
              "TV data structure not supported in the ROM image of this display adapter");
}

TEST(IdentificationTest, VarnexVersionFromTheNbsiBlock)
{
    auto withStore = [](std::vector<uint8_t> store)
    {
        return CGpuImageBuilder()
            .Block(CGpuImageBuilder::kX86, 0x1000)
            .VarnexBlock(std::move(store), {})
            .BuildImage()
            ->GetVarnexVersion();
    };
    EXPECT_EQ(withStore(testkit::CVarnexStoreBuilder()
                            .Img("86.04.1B.00.02", 0x2204, 0x7E2B, 0x1454, 0x7E2B)
                            .BuildRaw()),
              "86.04.1B.00.02");
    EXPECT_EQ(withStore(testkit::CVarnexStoreBuilder().Img("", 1, 2, 3, 4).BuildRaw()), "<Empty>");
    EXPECT_EQ(withStore(testkit::CVarnexStoreBuilder().Oem({1, 2, 3}).BuildRaw()),
              "No Version Found");
    EXPECT_EQ(
        CGpuImageBuilder().Block(CGpuImageBuilder::kX86, 0x1000).BuildImage()->GetVarnexVersion(),
        "N/A");
}

TEST(IdentificationTest, PllParametersThroughTheClockToken)
{
    CGpuImageBuilder builder;
    builder.Block(CGpuImageBuilder::kX86, 0x10000);
    std::vector<uint8_t> parameters(16);
    for (uint8_t i = 0; i < 16; ++i)
    {
        parameters[i] = static_cast<uint8_t>(0x70 + i);
    }
    const uint32_t record = builder.Place(parameters);
    const uint32_t table =
        builder.Place({0x40, 5, 4, 2, 0, //
                       0x01, 0, 0, 0,    //
                       0x07, static_cast<uint8_t>(record), static_cast<uint8_t>(record >> 8), 0});
    builder.Token('C', 2, {static_cast<uint8_t>(table), static_cast<uint8_t>(table >> 8), 0, 0});
    CRefPtr<IROMImage> image = builder.BuildImage();
    std::array<uint8_t, 16> expected{};
    std::copy(parameters.begin(), parameters.end(), expected.begin());
    EXPECT_EQ(image->GetPLLInfo(7), expected);
    EXPECT_EQ(ErrorOf([&] { image->GetPLLInfo(9); }), "ERROR: PLL Parameters not found.");
    image->SetByte(static_cast<int32_t>(table), 0x30);
    EXPECT_EQ(ErrorOf([&] { image->GetPLLInfo(7); }),
              "ERROR: PLL Info Table version not supported.");

    CRefPtr<IROMImage> noClock =
        CGpuImageBuilder().Block(CGpuImageBuilder::kX86, 0x8000).Version(1, 0).BuildImage();
    EXPECT_EQ(ErrorOf([&] { noClock->GetPLLInfo(7); }),
              "ERROR: BIT_CLOCK_PTRS setting is invalid.");
}
