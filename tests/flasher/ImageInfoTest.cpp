// The information listing of a firmware image: the lines the full, detail and
// board-name switches add, the board and device names from the catalogues,
// images that are no plain expansion ROM, bridge images, and images whose
// size fields claim more than they hold.

#include "AdapterAndPackageStores.h"
#include "FirmwareImages.h"
#include "flasher/FlasherImpl.h"
#include "hw/catalogue/AdapterCatalogue.h"
#include "hw/catalogue/BoardCatalogue.h"
#include "testkit/crypto/SignedImageBuilder.h"
#include "testkit/image/BridgeImageBuilder.h"

#include <gtest/gtest.h>

#include <sstream>

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

CRefPtr<IROMImage> ImageOf(const std::vector<uint8_t>& bytes)
{
    return IROMImage::CreateFromBuffer(bytes.data(), static_cast<uint32_t>(bytes.size()));
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
