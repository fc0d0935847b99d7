// The BIT of GPU firmware: location, the token search, the fields of the
// information and BIOS-data tokens with their fallback values, init tables,
// the image's VField tables, TMDS and LVDS lists, and offsets beyond the first
// x86 block.

#include "core/Log.h"
#include "image/IROMImage.h"
#include "testkit/ErrorOf.h"
#include "testkit/image/GpuImageBuilder.h"

#include <gtest/gtest.h>

#include <functional>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

using testkit::CGpuImageBuilder;
using testkit::ErrorOf;
using testkit::InfoToken;
using testkit::Words;

namespace
{
constexpr uint32_t kBit = CGpuImageBuilder::kBitOffset;

CGpuImageBuilder FirstBlock()
{
    CGpuImageBuilder builder;
    builder.Block(CGpuImageBuilder::kX86, 0x10000);
    return builder;
}
} // namespace

TEST(BitTokenTest, TokenSearchByIdVersionAndSize)
{
    struct Case
    {
        uint8_t entrySize;
        uint8_t headerSize;
        char id;
        uint8_t minimumVersion;
        uint16_t minimumSize;
        int expectedToken; // index of the token found, -1 none
    };
    const Case cases[] = {
        {6, 12, 'i', 0, 0, 0},  {6, 12, 'i', 2, 35, 1},  {6, 12, 'i', 2, 93, -1},
        {6, 12, 'i', 3, 0, -1}, {8, 12, 'B', 0, 0, 2},   {16, 12, 'i', 2, 35, 1},
        {8, 16, 'x', 0, 0, -1}, {16, 20, 'B', 2, 32, 2}, {5, 12, 'i', 0, 0, -1},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(std::string("entry size ") + std::to_string(c.entrySize) + " id " + c.id +
                     " version " + std::to_string(c.minimumVersion));
        CGpuImageBuilder builder = FirstBlock();
        builder.Bit(0x0100, c.headerSize, c.entrySize)
            .Token('i', 1, std::vector<uint8_t>(40, 0x11))
            .Token('i', 2, std::vector<uint8_t>(92, 0x22))
            .Token('B', 2, std::vector<uint8_t>(32, 0x33));
        CRefPtr<IROMImage> image = builder.BuildImage();
        ASSERT_EQ(image->GetBITState(), 1);

        uint8_t version = c.minimumVersion;
        uint16_t size = c.minimumSize;
        const int32_t entry = image->FindBITToken(static_cast<uint8_t>(c.id), version, size);
        if (c.expectedToken == -1)
        {
            EXPECT_EQ(entry, -1);
            EXPECT_EQ(version, c.minimumVersion);
            EXPECT_EQ(size, c.minimumSize);
            continue;
        }
        EXPECT_EQ(entry, static_cast<int32_t>(kBit + c.headerSize + c.entrySize * c.expectedToken));
        const uint8_t versions[] = {1, 2, 2};
        const uint16_t sizes[] = {40, 92, 32};
        EXPECT_EQ(version, versions[c.expectedToken]);
        EXPECT_EQ(size, sizes[c.expectedToken]);
        EXPECT_EQ(image->GetByte(image->GetBITTokenDataOffset(entry)),
                  0x11 * (c.expectedToken + 1));
    }
}

TEST(BitTokenTest, EmptyListAndOtherBitVersionsFindNothing)
{
    EXPECT_EQ(FirstBlock().Bit().BuildImage()->GetBITTokenData('i', 0, 0), -1);

    CRefPtr<IROMImage> v101 =
        FirstBlock().Bit(0x0101).Info(InfoToken{.boardId = 0x1234}).BuildImage();
    EXPECT_EQ(v101->GetBITTokenData('i', 0, 0), -1);
    EXPECT_EQ(v101->GetBoardID(), 0);
    EXPECT_EQ(v101->GetInitTableOffset14(), -1);

    CRefPtr<IROMImage> v200 = FirstBlock().Bit(0x0200).Token('I', 0, Words({0})).BuildImage();
    EXPECT_EQ(ErrorOf([&] { v200->GetInitTableOffset14(); }), "ERROR: BIT version not supported.");
}

TEST(BitTokenTest, TruncatedHeaderAndTokenListAreErrors)
{
    CGpuImageBuilder header = FirstBlock();
    header.Info(InfoToken{}).Truncate(kBit + 11);
    CRefPtr<IROMImage> shortHeader = header.BuildImage();
    uint8_t version = 0;
    uint16_t size = 0;
    EXPECT_EQ(ErrorOf([&] { shortHeader->FindBITToken('i', version, size); }),
              "Incomplete BIT Header");
    // The readers with fallback values test the header first.
    EXPECT_EQ(shortHeader->GetBoardID(), 0);

    CGpuImageBuilder list = FirstBlock();
    list.Token('B', 2, std::vector<uint8_t>(32, 0)).Token('i', 2, std::vector<uint8_t>(92, 0));
    list.Truncate(kBit + 12 + 6 + 5);
    CRefPtr<IROMImage> shortList = list.BuildImage();
    EXPECT_EQ(ErrorOf([&] { shortList->FindBITToken('i', version, size); }),
              "Incomplete BIT Token List");
}

TEST(BitTokenTest, InformationFieldsAreRead)
{
    InfoToken info;
    info.pointer7Value = 0x00AE6CEF;
    info.boardId = 0x0E2B;
    info.buildDate = "12/31/25";
    info.hierarchyId = 5;
    info.chipSku = "300";
    info.chipSkuRevision = "A";
    info.project = "P123";
    info.projectSku = "0500";
    info.cdp = "CDP01";
    info.projectRevision = "B";
    info.alternateBoardId = 0x0E2C;
    for (uint8_t i = 0; i < 16; ++i)
    {
        info.buildGuid[i] = static_cast<uint8_t>(0xA0 + i);
    }
    CGpuImageBuilder builder = FirstBlock();
    const uint32_t table = builder.PreservationTable(0x11, {});
    info.preservationTable = static_cast<uint16_t>(table);
    CRefPtr<IROMImage> image = builder.Info(info).BuildImage();

    EXPECT_EQ(image->GetInfoPointer7Value(), 0x00AE6CEFu);
    EXPECT_EQ(image->GetBoardID(), 0x0E2B);
    EXPECT_EQ(image->GetBuildDate(), "12/31/25");
    EXPECT_EQ(image->GetPreservationTableOffset(), static_cast<int32_t>(table));
    EXPECT_EQ(image->GetHierarchyID(), 5);
    EXPECT_EQ(image->GetHierarchyIDName(), "Switch Port 3");
    EXPECT_EQ(image->GetChipSKU(), "300");
    EXPECT_EQ(image->GetChipSKURevision(), "A");
    EXPECT_EQ(image->GetProject(), "P123");
    EXPECT_EQ(image->GetProjectSKU(), "0500");
    EXPECT_EQ(image->GetCDP(), "CDP01");
    EXPECT_EQ(image->GetProjectRevision(), "B");
    EXPECT_EQ(image->GetAlternateBoardID(), 0x0E2C);
    EXPECT_EQ(image->GetBuildGUID(), "A0A1A2A3A4A5A6A7A8A9AAABACADAEAF");
}

TEST(BitTokenTest, FallbackValuesWithoutBitOrToken)
{
    for (CRefPtr<IROMImage> image :
         {FirstBlock().BuildImage(), FirstBlock().Version(0x86041B00, 2).BuildImage()})
    {
        EXPECT_EQ(image->GetInfoPointer7Offset(), -1);
        EXPECT_EQ(image->GetInfoPointer7Value(), 0u);
        EXPECT_EQ(image->GetBoardID(), 0);
        EXPECT_EQ(image->GetBuildDateOffset(), -1);
        EXPECT_EQ(image->GetBuildDate(), "");
        EXPECT_EQ(image->GetPreservationTableOffset(), -1);
        EXPECT_EQ(image->GetHierarchyIDName(), "None");
        EXPECT_EQ(image->GetChipSKU(), "");
        EXPECT_EQ(image->GetBuildGUID(), "");
        EXPECT_EQ(image->GetInfoDword88(), 0u);
        EXPECT_FALSE(image->GetInfoFlag5());
        EXPECT_EQ(image->GetDevinitSignatureType(), 0);
    }
    // Readers that take table pointers from a token refuse instead of
    // reading a pointer from outside the image.
    EXPECT_EQ(ErrorOf([] { FirstBlock().BuildImage()->GetInitTableWordEntry(0); }),
              "ERROR: BIT not found.");
    EXPECT_EQ(ErrorOf([] { FirstBlock().Version(1, 0).BuildImage()->GetInitTablePairEntry(0); }),
              "ERROR: BIT token 'I' not found.");
    EXPECT_EQ(ErrorOf([] { FirstBlock().Version(1, 0).BuildImage()->GetVField(1); }),
              "ERROR: BIT token 'V' not found.");
}

TEST(BitTokenTest, BuildGuidNeedsAllItsBytes)
{
    InfoToken info;
    info.size = 87; // the GUID would end one byte past the token's data
    info.buildGuid[0] = 0x12;
    CRefPtr<IROMImage> image = FirstBlock().Info(info).BuildImage();
    EXPECT_EQ(image->GetBuildGUID(), "");
    EXPECT_EQ(image->GetAlternateBoardID(), info.alternateBoardId);
}

TEST(BitTokenTest, HierarchyNames)
{
    const std::pair<uint8_t, const char*> cases[] = {{0, "None"},          {1, "Normal Board"},
                                                     {2, "Switch Port 0"}, {19, "Switch Port 17"},
                                                     {20, "14"},           {0xAB, "AB"}};
    for (const auto& [id, name] : cases)
    {
        EXPECT_EQ(
            FirstBlock().Info(InfoToken{.hierarchyId = id}).BuildImage()->GetHierarchyIDName(),
            name);
    }
}

TEST(BitTokenTest, InitTablesAndDevinit)
{
    CGpuImageBuilder builder = FirstBlock();
    const uint32_t words = builder.Place(Words({0x1111, 0x2222}));
    const uint32_t pairs = builder.Place({1, 0, 0, 0, 2, 0, 0, 0, 3, 0, 0, 0, 4, 0, 0, 0});
    const uint32_t scriptTable = builder.Place(Words({0x0600, 0x0700, 0, 0, 0x0102}));
    const uint32_t tables = builder.Place({0, 0, 0, 0, 0, 0, 0, 0, 0x02, 0});
    std::vector<uint8_t> data = Words(
        {0, static_cast<uint16_t>(words), static_cast<uint16_t>(pairs), 0, 0, 0xFFFC, 0, 0x0ABC, 0,
         0, static_cast<uint16_t>(scriptTable), 0, static_cast<uint16_t>(tables), 0});
    data[0] = static_cast<uint8_t>(scriptTable);
    data[1] = static_cast<uint8_t>(scriptTable >> 8);
    CRefPtr<IROMImage> image = builder.Token('I', 0, data).BuildImage();

    EXPECT_EQ(image->GetInitTableWordEntry(1), 0x2222);
    EXPECT_EQ(image->GetInitTablePairEntry(1).first, 3u);
    EXPECT_EQ(image->GetInitTablePairEntry(1).second, 4u);
    EXPECT_EQ(image->GetInitTableOffset14(), 0x0ABC);
    EXPECT_EQ(image->CheckInitScripts(1), 0x0700);
    EXPECT_EQ(ErrorOf([&] { image->CheckInitScripts(0x8000); }), "Script table not loaded");
    // A script that starts in the last loaded byte is there; one past is not.
    image->SetWord(static_cast<int32_t>(scriptTable) + 4, 0xFFFF);
    EXPECT_EQ(image->CheckInitScripts(2), 0xFFFF);
    image->SetLoadedSize(0xFFFF);
    EXPECT_EQ(ErrorOf([&] { image->CheckInitScripts(2); }), "Script not loaded");
    image->SetLoadedSize(0x10000);
    image->SetWord(static_cast<int32_t>(scriptTable) + 4, 0);
    // An entry past the loaded bytes is refused.
    EXPECT_EQ(ErrorOf([&] { image->GetInitTable9ByteEntry(0); }),
              "ERROR: Init table entry lies outside the image.");

    // The script table's type byte (2 at +8 of 0x0102...) against the tables'.
    int32_t scripts = -1;
    int32_t devinitTables = -1;
    EXPECT_EQ(image->GetDevinitSignatureType(), 2);
    image->GetDevinitOffsets(scripts, devinitTables);
    EXPECT_EQ(scripts, static_cast<int32_t>(scriptTable));
    EXPECT_EQ(devinitTables, static_cast<int32_t>(tables));
    image->SetByte(static_cast<int32_t>(tables) + 8, 3);
    EXPECT_EQ(ErrorOf([&] { image->GetDevinitSignatureType(); }),
              "ERROR: Devinit script signature type does not match devinit tables signature "
              "type.");
}

TEST(BitTokenTest, ImageVFieldTables)
{
    const std::array<uint8_t, 13> reg = {0x30, 0x00, 0x10, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0};
    CRefPtr<IROMImage> image =
        FirstBlock().VFieldTables({reg}, {{7, 0xE4, 0x00}, {9, 0x00, 0x00}}).BuildImage();
    EXPECT_EQ(image->GetVFieldRegister(0), reg);
    EXPECT_EQ(image->GetVField(9), (std::array<uint8_t, 3>{9, 0, 0}));
    EXPECT_EQ(ErrorOf([&] { image->GetVFieldRegister(1); }),
              "ERROR: Virtual field register index out of range.");
    EXPECT_EQ(ErrorOf([&] { image->GetVField(8); }), "ERROR: Virtual field entry not found.");
}

TEST(BitTokenTest, TmdsListStopsAtAMissingPointer)
{
    CGpuImageBuilder builder = FirstBlock();
    std::vector<uint8_t> first(20, 0);
    first[13] = 0x34;
    first[14] = 0x12;
    const uint32_t a = builder.Place(first);
    const uint32_t b = builder.Place(std::vector<uint8_t>(20, 0));
    builder.Token('T', 0, Words({static_cast<uint16_t>(a), static_cast<uint16_t>(b), 0, 0x99}));
    CRefPtr<IROMImage> image = builder.BuildImage();

    CLog log;
    std::ostringstream text;
    log.AddSink(&text, 1, 5);
    EXPECT_FALSE(image->LoadTMDSTable(&log));
    EXPECT_EQ(text.str(), "ERROR: Unable to find TMDS Info Header structure 2\n");
    EXPECT_EQ(image->GetTMDSEntryCount(), 2u);
    EXPECT_EQ(image->GetTMDSEntryValue(0, 1), 0x1234);
    EXPECT_EQ(image->GetTMDSLinkName(1), "TMDSLinkCD");
    EXPECT_EQ(image->GetTMDSLinkIndex(2), 1);
    // Entries and links beyond the lists.
    EXPECT_EQ(image->GetTMDSEntryValue(2, 0), -1);
    EXPECT_EQ(image->GetTMDSEntryValue(0, 4), -1);
    EXPECT_EQ(image->GetTMDSLinkIndex(4), 0xFF);
    EXPECT_EQ(image->GetLVDSLinkName(7), "LVDSDualCD24");
    EXPECT_EQ(image->GetLVDSEntryValue(0, 0), -1);
}

TEST(BitTokenTest, ExtendedOffsetsMapIntoTheExtensionBlock)
{
    CRefPtr<IROMImage> image = CGpuImageBuilder()
                                   .Block(CGpuImageBuilder::kX86, 0x10000)
                                   .Block(CGpuImageBuilder::kEfi, 0x20000)
                                   .Block(CGpuImageBuilder::kX86Extension, 0x10000)
                                   .BuildImage();
    EXPECT_EQ(image->MapExtendedOffset(0), -1);
    EXPECT_EQ(image->MapExtendedOffset(0x8000), 0x8000);
    EXPECT_EQ(image->MapExtendedOffset(0x10000), 0x10000);
    EXPECT_EQ(image->MapExtendedOffset(0x12000), 0x32000);

    CRefPtr<IROMImage> noExtension = FirstBlock().BuildImage();
    EXPECT_EQ(noExtension->MapExtendedOffset(0x12000), -1);
}

TEST(BitTokenTest, FlagsAndSmallFieldsOfTheTokens)
{
    InfoToken info;
    CGpuImageBuilder builder = FirstBlock();
    builder.Patch(0x48, {0x01});
    testkit::BiosDataToken bios;
    bios.flags32 = 0x03;
    bios.size = 33; // the flags byte lies at +32
    builder.BiosData(bios);
    std::vector<uint8_t> data(92, 0);
    data[5] = 0x10;  // information flag
    data[35] = 0x35; // information byte
    data[37] = 0x04; // flag 37
    data[38] = 0x38; // word 38
    data[66] = 0x66; // information byte
    data[68] = 0x03; // flags 68
    data[88] = 0x88; // double word 88
    CRefPtr<IROMImage> image = builder.Token('i', 2, data).Token('U', 1, {0, 0, 0x02}).BuildImage();
    EXPECT_TRUE(image->GetInfoFlag5());
    EXPECT_TRUE(image->GetInfoFlag5Bit4());
    EXPECT_EQ(image->GetInfoByte35(), 0x35);
    EXPECT_TRUE(image->GetInfoFlag37());
    EXPECT_EQ(image->GetInfoWord38(), 0x38);
    EXPECT_EQ(image->GetInfoByte66(), 0x66);
    EXPECT_TRUE(image->GetInfoFlag68Bit0());
    EXPECT_TRUE(image->GetInfoFlag68Bit1());
    EXPECT_EQ(image->GetInfoDword88(), 0x88u);
    EXPECT_TRUE(image->GetBIOSDataFlag32());
    EXPECT_TRUE(image->IsCoprocBuild());
    EXPECT_TRUE(image->GetUEFITokenFlag());
    EXPECT_TRUE(image->GetHeaderFlag48());

    // A token too short for a field gives its fallback value.
    data.resize(66);
    CRefPtr<IROMImage> shortToken = FirstBlock().Token('i', 2, data).BuildImage();
    EXPECT_EQ(shortToken->GetInfoByte66(), 0);
    EXPECT_FALSE(shortToken->GetInfoFlag68Bit0());
    EXPECT_EQ(shortToken->GetInfoDword88(), 0u);
    EXPECT_EQ(shortToken->GetInfoByte35(), 0x35);
}

TEST(BitTokenTest, RangeRecordsEndAtAZeroStart)
{
    CGpuImageBuilder builder = FirstBlock();
    const uint32_t list = builder.Place(Words({0x300, 0x3FF, 0x200, 0x2FF, 0x250, 0x260, 0, 0}));
    CRefPtr<IROMImage> image = builder.BuildImage();
    int32_t cursor = static_cast<int32_t>(list);
    EXPECT_EQ(image->ReadRangeStart(cursor), 0x300);
    EXPECT_EQ(image->ReadRangeEnd(cursor), 0x3FF);
    ASSERT_TRUE(image->NextRange(cursor));
    EXPECT_EQ(cursor, static_cast<int32_t>(list + 4));
    // 0x200 is not greater than the next start 0x250: the cursor stays.
    EXPECT_FALSE(image->NextRange(cursor));
    EXPECT_EQ(cursor, static_cast<int32_t>(list + 4));
    cursor = static_cast<int32_t>(list + 12);
    ASSERT_TRUE(image->NextRange(cursor));
    EXPECT_EQ(cursor, -1);
    EXPECT_FALSE(image->NextRange(cursor));
}
