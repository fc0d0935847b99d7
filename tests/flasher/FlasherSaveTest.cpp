// Saving the adapter's firmware to a file and comparing a file image with
// it, on the simulated machine; the information listing of a firmware image:
// the lines the full, detail and board-name switches add, the board and
// device names from the catalogues, images that are no plain expansion ROM,
// bridge images, images whose size fields claim more than they hold, and
// the date lines (an image whose date fields were never filled in shows no
// date line and never a zero byte).

#include "AdapterAndPackageStores.h"
#include "FirmwareImages.h"
#include "FlasherMachine.h"
#include "flasher/FlasherImpl.h"
#include "hw/catalogue/AdapterCatalogue.h"
#include "hw/catalogue/BoardCatalogue.h"
#include "testkit/ErrorOf.h"
#include "testkit/crypto/SignedImageBuilder.h"
#include "testkit/image/BridgeImageBuilder.h"

#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <sstream>
#include <string>

using testkit::ErrorOf;

namespace
{
std::vector<uint8_t> FileBytes(const std::string& path)
{
    std::ifstream file(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
}

// The firmware's chain without its 0x85 block.
std::vector<uint8_t> WithoutBoardBlock(const std::vector<uint8_t>& firmware)
{
    CRefPtr<IROMImage> image =
        IROMImage::CreateFromBuffer(firmware.data(), static_cast<uint32_t>(firmware.size()));
    COffsetModeScope off(image.get(), false);
    image->RemovePCIBlock(image->FindNthPCIBlock(0x85, 0));
    return {image->GetBuffer(), image->GetBuffer() + image->GetROMSize()};
}

void Save(CFlasherMachine& rig, const std::string& path, bool keepAll, bool wholeEEPROM)
{
    rig.flasher->SaveROMImage(rig.ui, path, rig.bus, rig.Adapter(0), CreateDisplayAdapterDatabase(),
                              GetBoardDatabase(), rig.database, keepAll, wholeEEPROM, false,
                              &rig.log);
}
} // namespace

TEST(FlasherSave, TheBackupIsTheChainWithoutTheBoardBlock)
{
    const std::vector<uint8_t> firmware = AdapterFirmware();
    CFlasherMachine rig({{0x0800, 8, firmware}});
    const std::string backup = (rig.folder / "backup.rom").string();
    Save(rig, backup, false, false);
    EXPECT_EQ(FileBytes(backup), WithoutBoardBlock(firmware));
    EXPECT_NE(rig.Shown().find("Saving of image completed."), std::string::npos);

    const std::string whole = (rig.folder / "whole.rom").string();
    Save(rig, whole, false, true);
    EXPECT_EQ(FileBytes(whole), rig.ChipBytes(0));
    const std::string all = (rig.folder / "all.rom").string();
    Save(rig, all, true, false);
    EXPECT_EQ(FileBytes(all), std::vector<uint8_t>(firmware.begin(), firmware.end()));
}

TEST(FlasherCompare, MatchesWithoutTheBoardBlockAndFailsOnDifferences)
{
    const std::vector<uint8_t> firmware = AdapterFirmware();
    CFlasherMachine rig({{0x0800, 8, firmware}});
    auto compare = [&](const std::vector<uint8_t>& file, bool doVarnex)
    {
        return ErrorOf(
            [&]
            {
                rig.flasher->CompareROMImage(
                    rig.ui,
                    IROMImage::CreateFromBuffer(file.data(), static_cast<uint32_t>(file.size())),
                    rig.bus, rig.Adapter(0), GetBoardDatabase(), rig.database, false, false,
                    doVarnex, false, false, &rig.log);
            });
    };
    const std::vector<uint8_t> same = WithoutBoardBlock(firmware);
    EXPECT_EQ(compare(same, false), "(no error)");
    EXPECT_NE(rig.Shown().find("File firmware image matches adapter firmware image."),
              std::string::npos);

    std::vector<uint8_t> changed = same;
    changed[0x1234] ^= 0x01;
    EXPECT_EQ(compare(changed, false).substr(0, 31), "Mismatch at offset 0x00001234.\n");
    EXPECT_TRUE(rig.DriverBound(0));

    // A package whose store cannot take the board's BBO record: the Varnex
    // step fails, and that is no match.
    std::vector<uint8_t> noBbo = WithVarnexBlock(MakeFirmware(), PackageStore(false));
    EXPECT_EQ(compare(noBbo, true), "Failed to process Varnex block.");
    EXPECT_NE(rig.Logged().find("ERROR: Failed to process Varnex block.\n"), std::string::npos);
}

namespace
{
struct Switches
{
    bool full = false;
    bool boardNames = false;
    bool detail = false;
};

std::string Info(CRefPtr<IROMImage> image, Switches switches)
{
    CRefPtr<CFlasherImpl> flasher(new CFlasherImpl(EngineSettings{.noKestrix = true}));
    std::ostringstream out;
    flasher->PrintImageInfo(image, CreateDisplayAdapterDatabase(), GetBoardDatabase(),
                            switches.full, switches.boardNames, switches.detail, out, nullptr,
                            nullptr);
    return out.str();
}

// The first block's PCI data structure (at 0x80) in revision 3, pointing at
// a device-ID list at 0xA0 that ends with a zero entry.
testkit::CGpuImageBuilder& DeviceIDList(testkit::CGpuImageBuilder& builder,
                                        const std::vector<uint16_t>& ids)
{
    std::vector<uint8_t> list;
    for (uint16_t id : ids)
    {
        list.push_back(static_cast<uint8_t>(id));
        list.push_back(static_cast<uint8_t>(id >> 8));
    }
    list.insert(list.end(), {0, 0});
    return builder.PcirRevision(3).Patch(0x88, {0x20, 0x00}).Patch(0xA0, list);
}

// A GPU image with every field the listing shows: an init-from-ROM segment,
// board texts, a device-ID list, the information token's names, a Varnex
// store with its backup copy, and two selection records.
CRefPtr<IROMImage> RichImage(uint16_t boardId = 0x0201)
{
    testkit::CGpuImageBuilder builder;
    builder.InitFromRom(0x1000, 0x7E2B, 0x4321)
        .Block(testkit::CGpuImageBuilder::kX86, 0x10000)
        .DeviceId(0x0800)
        .HardwareDataArea(0x7E2B, 0x0001)
        .ModificationDate("12/24/25");
    DeviceIDList(builder, {0x0801, 0x0802});
    testkit::InfoToken info;
    info.boardId = boardId;
    info.version = 0x86041B00;
    info.buildDate = "11/30/25";
    info.gpuDeviceId = 0x0810;
    info.chipSku = "G1";
    info.chipSkuRevision = "A";
    info.project = "P100";
    info.projectSku = "S7";
    info.projectRevision = "R";
    info.cdp = "CDP-9";
    builder.Info(info)
        .Version(0x86041B00, 2)
        .BoardTexts("Sign on", "OEM text", "Vendor", "Product", "Rev 1")
        .VarnexBlock(BoardStore(), BoardStore());
    CRefPtr<IROMImage> image = ImageOf(builder.Build());
    image->AddSelection({0x12, 0x0, 0x3});
    image->AddSelection({0xAB, 0x10, 0x1F});
    return image;
}

// The label of each line, in order; continuation lines have none.
std::vector<std::string> Labels(const std::string& text)
{
    std::vector<std::string> labels;
    std::istringstream lines(text);
    for (std::string line; std::getline(lines, line);)
    {
        std::string label = line.substr(0, line.find(':'));
        label.erase(label.find_last_not_of(' ') + 1);
        if (!label.empty())
        {
            labels.push_back(label);
        }
    }
    return labels;
}
} // namespace

TEST(FlasherImageInfo, TheFullListingShowsEveryFieldInItsPlace)
{
    EXPECT_EQ(Info(RichImage(), {.full = true, .boardNames = true, .detail = true}),
              "IFR Data Size         : 28 bytes\n"
              "IFR CRC32             : 7D4831A6\n"
              "IFR Image Size        : 4096 bytes\n"
              "IFR Image CRC32       : C0EDB829\n"
              "IFR Subsystem ID      : 7E2B-4321\n"
              "Image Size            : 66560 bytes\n"
              "Version               : 86.04.1B.00.02\n"
              "~CRC32                : E9FD591F\n"
              "Image Hash            : N/A\n"
              "OEM String            : OEM text\n"
              "Vendor Name           : Vendor\n"
              "Product Name          : Product\n"
              "Product Revision      : Rev 1\n"
              "Device Name(s)        : Korvan Avrel2 800\n"
              "                      : Korvan Avrel2 801 Duo\n"
              "                      : Unknown\n"
              "Board ID              : 0201 (Korvan Avrel2 710 Reference Board)\n"
              "PCI ID                : 7E2B-0800, 0801, 0802\n"
              "GPU Device ID         : 0810\n"
              "Subsystem ID          : 7E2B-4321\n"
              "Hierarchy ID          : Normal Board\n"
              "Chip SKU              : G1-A\n"
              "Project               : P100-S7-R\n"
              "CDP                   : CDP-9\n"
              "Coproc Build          : NO\n"
              "Build Date            : 11/30/25\n"
              "Modification Date     : 12/24/25\n"
              "Build GUID            : 00000000000000000000000000000000\n"
              "UEFI Support          : No\n"
              "UEFI Version          : N/A\n"
              "UEFI Variant Id       :  Unknown  (N/A)\n"
              "UEFI Signer(s)        : Unsigned\n"
              "Varnex Version       : G001.0001\n"
              "Varnex Backup Exist  : YES\n"
              "Sign-On Message       : Sign on\n"
              "VField parameters     : ID:0x12,min:0x0,max:0x3\n"
              "                      : ID:0xAB,min:0x10,max:0x1F\n");
}

TEST(FlasherImageInfo, EachSwitchAddsItsOwnLines)
{
    const std::vector<std::string> segment = {"IFR Data Size", "IFR CRC32", "IFR Image Size",
                                              "IFR Image CRC32", "IFR Subsystem ID"};
    struct Case
    {
        const char* name;
        Switches switches;
        std::vector<std::string> labels;
    };
    const Case cases[] = {
        {"none",
         {},
         {"Image Size", "Version", "Subsystem ID", "Date", "UEFI Version", "Varnex Version",
          "Varnex Backup Exist"}},
        // Board names matter only with the detail: the board ID and the
        // coprocessor line are detail lines.
        {"full, with board names",
         {.full = true, .boardNames = true},
         {"Image Size", "Version", "OEM String", "Vendor Name", "Product Name", "Product Revision",
          "Device Name(s)", "PCI ID", "GPU Device ID", "Subsystem ID", "Date", "UEFI Version",
          "Varnex Version", "Varnex Backup Exist", "Sign-On Message", "VField parameters"}},
        {"detail",
         {.detail = true},
         {"IFR Data Size",
          "IFR CRC32",
          "IFR Image Size",
          "IFR Image CRC32",
          "IFR Subsystem ID",
          "Image Size",
          "Version",
          "~CRC32",
          "Image Hash",
          "Subsystem ID",
          "Hierarchy ID",
          "Chip SKU",
          "Project",
          "CDP",
          "Build Date",
          "Modification Date",
          "Build GUID",
          "UEFI Support",
          "UEFI Version",
          "UEFI Variant Id",
          "UEFI Signer(s)",
          "Varnex Version",
          "Varnex Backup Exist"}},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(Labels(Info(RichImage(), c.switches)), c.labels);
    }
}

TEST(FlasherImageInfo, ABoardTheCatalogueDoesNotKnowIsFlaggedWhenBoardNamesAreAsked)
{
    const std::string named =
        Info(RichImage(0x7777), {.full = true, .boardNames = true, .detail = true});
    EXPECT_NE(named.find("Board ID              : 7777\n"
                         "WARNING: Unknown Board ID 7777\n"
                         "(It is recommended you obtain a newer version of ROMVISE.)\n"
                         "PCI ID                : "),
              std::string::npos)
        << named;
    const std::string plain = Info(RichImage(0x7777), {.full = true, .detail = true});
    EXPECT_NE(plain.find("Board ID              : 7777\nPCI ID                : "),
              std::string::npos)
        << plain;
}

TEST(FlasherImageInfo, ALongDeviceListContinuesUnderTheColumn)
{
    testkit::CGpuImageBuilder builder = FirmwareBuilder();
    std::vector<uint16_t> ids;
    for (uint16_t id = 0x0901; id <= 0x090A; ++id)
    {
        ids.push_back(id);
    }
    DeviceIDList(builder, ids);
    const std::string text = Info(ImageOf(builder.Build()), {.full = true});
    EXPECT_NE(text.find("PCI ID                : 7E2B-0800, 0901, 0902, 0903, 0904, 0905, 0906, "
                        "0907, 0908,\n"
                        "                        0909, 090A\n"
                        "GPU Device ID"),
              std::string::npos)
        << text;
    EXPECT_NE(text.find("Device Name(s)        : Korvan Avrel2 800\n"
                        "                      : Korvan Cendra1 901 Duo\n"
                        "                      : Unknown\n"),
              std::string::npos)
        << text;
}

TEST(FlasherImageInfo, ImagesThatAreNoPlainExpansionROMSaySoAfterTheirVersion)
{
    struct Case
    {
        const char* name;
        testkit::CGpuImageBuilder builder;
        const char* version;
    };
    testkit::CGpuImageBuilder segmentFirst;
    segmentFirst.InitFromRom(0x1000);
    Case cases[] = {
        {"plain", FirmwareBuilder(), "86.04.1B.00.02\n"},
        {"private chain", FirmwareBuilder(), "86.04.1B.00.02 (Disabled Image)\n"},
        {"private chain behind a segment", segmentFirst, "86.04.1B.00.02 (IFR-only Image)\n"},
    };
    cases[1].builder.Private();
    cases[2].builder.Block(testkit::CGpuImageBuilder::kX86, 0x10000).DeviceId(0x0800).Private();
    testkit::InfoToken info;
    info.version = 0x86041B00;
    cases[2].builder.Info(info).Version(0x86041B00, 2);
    for (Case& c : cases)
    {
        SCOPED_TRACE(c.name);
        const std::string text = Info(ImageOf(c.builder.Build()), {});
        EXPECT_NE(text.find(std::string("Version               : ") + c.version), std::string::npos)
            << text;
    }
}

TEST(FlasherImageInfo, ABridgeListingEndsAfterItsDates)
{
    const std::vector<uint8_t> bytes =
        testkit::CZx22ImageBuilder().Record({0x04030201, 5, 4, "12/31/99", "Bridge"}).Build();
    const std::string text =
        Info(ImageOf(bytes), {.full = true, .boardNames = true, .detail = true});
    const std::string last = "Modification Date     : 12/31/99\n";
    ASSERT_GE(text.size(), last.size());
    EXPECT_EQ(text.substr(text.size() - last.size()), last) << text;
    EXPECT_EQ(text.find("Image Hash"), std::string::npos);
    EXPECT_EQ(text.find("OEM String"), std::string::npos);
}

TEST(FlasherImageInfo, ASegmentLongerThanTheImageIsListedWithoutItsCRC)
{
    // The segment's size field claims 2 MiB of a 68 KiB image: its CRC cannot
    // be computed, and the rest of the listing must still follow.
    const std::vector<uint8_t> bytes =
        FirmwareBuilder().InitFromRom(0x1000).InitFromRomSizeField(0x200000).Build();
    std::string text;
    ASSERT_NO_THROW(text = Info(ImageOf(bytes), {.full = true, .detail = true}));
    EXPECT_NE(text.find("IFR Image Size        : 2097152 bytes\n"
                        "IFR Image CRC32       : N/A\n"),
              std::string::npos)
        << text;
    EXPECT_NE(text.find("Sign-On Message"), std::string::npos) << text;
}

TEST(FlasherImageInfo, ASignedImageShowsItsStoredBodyHash)
{
    CRefPtr<IROMImage> image = testkit::BuildSignedImage().Image();
    const std::string text = Info(image, {.detail = true});
    const std::string label = "Image Hash            : ";
    const size_t at = text.find(label);
    ASSERT_NE(at, std::string::npos) << text;
    const std::string hash =
        text.substr(at + label.size(), text.find('\n', at) - at - label.size());
    EXPECT_EQ(hash.size(), 32u) << hash;
    EXPECT_EQ(hash.find_first_not_of("0123456789ABCDEFabcdef"), std::string::npos) << hash;
}

TEST(FlasherImageInfo, ASignOnMessageOfSeveralLinesContinuesUnderTheColumn)
{
    struct Case
    {
        const char* name;
        const char* message;
        const char* listed;
    };
    const Case cases[] = {
        {"lines ended by CR LF", "Korvan BIOS\r\nCopyright line\r\n",
         "Sign-On Message       : Korvan BIOS\n"
         "                      : Copyright line\n"},
        {"one line", "Sign on", "Sign-On Message       : Sign on\n"},
        {"none", "", "Sign-On Message       : \n"},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.name);
        const std::vector<uint8_t> bytes =
            FirmwareBuilder().BoardTexts(c.message, "OEM", "Vendor", "Product", "Rev").Build();
        const std::string text = Info(ImageOf(bytes), {.full = true});
        EXPECT_NE(text.find(c.listed), std::string::npos) << text;
    }
}

namespace
{
std::string ImageInfo(const std::vector<uint8_t>& bytes, bool detail)
{
    CRefPtr<IROMImage> image =
        IROMImage::CreateFromBuffer(bytes.data(), static_cast<uint32_t>(bytes.size()));
    CRefPtr<CFlasherImpl> flasher(new CFlasherImpl(EngineSettings{}));
    std::ostringstream out;
    flasher->PrintImageInfo(image, nullptr, nullptr, false, false, detail, out, nullptr, nullptr);
    return out.str();
}
} // namespace

TEST(FlasherImageInfo, ShowsOnlyTheDatesAnImageHolds)
{
    struct Case
    {
        const char* name;
        std::string buildDate;                 // the info token's 8 characters
        std::vector<uint8_t> modificationDate; // the header's 8 bytes at 0x38, if any
        std::string shownWithDetail;
        std::string shownWithout;
    };
    const std::vector<uint8_t> dated = {'0', '7', '/', '0', '4', '/', '2', '6'};
    const std::vector<uint8_t> shortDate = {'7', '/', '4', '/', '2', '6', 0, 0};
    const std::vector<Case> cases = {
        {"both dates", "12/31/25", dated,
         "Build Date            : 12/31/25\nModification Date     : 07/04/26\n",
         "Date                  : 07/04/26\n"},
        {"no dates", "", {}, "", ""},
        {"dates shorter than their fields", "1/2/25", shortDate,
         "Build Date            : 1/2/25\nModification Date     : 7/4/26\n",
         "Date                  : 7/4/26\n"},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.name);
        testkit::InfoToken info;
        info.boardId = 0x0201;
        info.buildDate = c.buildDate;
        testkit::CGpuImageBuilder builder;
        builder.Block(testkit::CGpuImageBuilder::kX86, 0x1000).Info(info);
        if (!c.modificationDate.empty())
        {
            builder.Patch(0x38, c.modificationDate);
        }
        const std::vector<uint8_t> image = builder.Build();
        for (const bool detail : {true, false})
        {
            const std::string shown = ImageInfo(image, detail);
            EXPECT_EQ(shown.find('\0'), std::string::npos) << shown;
            std::string dates;
            std::istringstream lines(shown);
            for (std::string line; std::getline(lines, line);)
            {
                if (line.find("Date ") != std::string::npos)
                {
                    dates += line + "\n";
                }
            }
            EXPECT_EQ(dates, detail ? c.shownWithDetail : c.shownWithout) << shown;
        }
    }
}
