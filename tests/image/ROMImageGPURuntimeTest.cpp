// The preservation table of GPU firmware: its readers, the search of init
// scripts for a preserved register's value, the run-time ROM pack fields and
// the microcode entry.

#include "image/IPreserveTune.h"
#include "image/IROMImage.h"
#include "image/PreservationTable.h"
#include "testkit/ErrorOf.h"
#include "testkit/image/GpuImageBuilder.h"
#include "tests/image/ImageBytes.h"
#include "tests/image/PreservedImage.h"

#include <gtest/gtest.h>

#include <functional>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

using testkit::CGpuImageBuilder;
using testkit::ErrorOf;
using testkit::InfoToken;
using testkit::Join;
using testkit::PreservationEntry;

TEST(PreservationTest, ScriptValuePastTheLoadedChainIsNotFound)
{
    // Behind an init-from-ROM segment the chain ends 0x200 bytes before the
    // buffer's loaded end. A write record whose value runs past the chain's
    // last loaded byte names no value: tuning it would grow the image.
    CGpuImageBuilder builder;
    builder.InitFromRom(0x200).Block(CGpuImageBuilder::kX86, 0x1000);
    builder.Patch(0xFF0, testkit::ScriptWrite(0x3000, 0x12345678));
    InfoToken info;
    info.preservationTable =
        static_cast<uint16_t>(builder.PreservationTable(0x11, {{0xFF0, 9, 0x40, 0}}));
    builder.Info(info);
    CRefPtr<IROMImage> image = builder.Truncate(0x200 + 0xFF6).BuildImage();
    ASSERT_EQ(image->GetWindowOffset(), 0x200u);

    uint32_t value = 0;
    EXPECT_EQ(image->GetPreservedRegisterValue(image.get(), 0, 0x3000, value), 2u);
    EXPECT_EQ(image->TunePreservedRegisterValue(image.get(), 0, 0x3000, 1, 0xFF, 0), 2u);
    EXPECT_EQ(image->GetLoadedSize(), 0x200u + 0xFF6);
}

TEST(PreservationTest, RegisterSearchThroughInitScripts)
{
    const std::vector<uint8_t> script = Join({
        testkit::ScriptWriteRun(0x2000, {0x21, 0x22}),
        testkit::ScriptWrite(0x3000, 0xCAFE),
        testkit::ScriptWriteRun(0x1000, {0xA0, 0xA1, 0xA2, 0xA3}),
        testkit::ScriptWriteAB(0x4000, 0xAAAA, 0xBBBB),
        testkit::ScriptStrapSelect(0x0C, 2, 0x5000, {0x50, 0x51, 0x52, 0x53}),
        testkit::ScriptRamConfig(0x6000, 4, 2, {0x60, 0x61, 0x62, 0x63, 0x64, 0x65}),
    });
    // The first range starts with an opcode the search does not know: it ends
    // there and never sees the write behind it.
    const std::vector<uint8_t> unknown = Join({{0x00}, testkit::ScriptWrite(0x3000, 0x0BAD)});
    PreservedImage fixture(0x11, {{{0, 0, 0x40, 0}, unknown}, {{0, 0, 0x40, 0}, script}}, 0, true);
    CRefPtr<IROMImage> image = fixture.Build();

    struct Case
    {
        uint32_t registerAddress;
        uint8_t strap;
        std::optional<uint32_t> value;
    };
    const Case cases[] = {
        {0x3000, 0, 0xCAFE},       {0x100C, 0, 0xA3},         {0x1010, 0, std::nullopt},
        {0x1002, 0, std::nullopt}, {0x2004, 0, 0x22},         {0x4000, 0, 0xBBBB},
        {0x5000, 1, 0x51},         {0x5000, 7, 0x53},         {0x6004, 2, 0x65},
        {0x6000, 1, 0x61},         {0x6008, 2, std::nullopt}, {0x7000, 0, std::nullopt},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.registerAddress);
        uint32_t value = 0;
        const uint32_t status =
            image->GetPreservedRegisterValue(image.get(), c.strap, c.registerAddress, value);
        if (c.value)
        {
            EXPECT_EQ(status, 0u);
            EXPECT_EQ(value, *c.value);
        }
        else
        {
            EXPECT_EQ(status, 2u);
        }
    }
}

TEST(PreservationTest, OnlyRangesMarkedAsScriptsAreSearched)
{
    // The first entry's range holds a script write but is marked a data
    // block: its write names no preserved value.
    PreservedImage fixture(0x11, {{{0, 0, 0x10, 1}, testkit::ScriptWrite(0x3000, 0x0BAD)},
                                  {{0, 0, 0x40, 0}, testkit::ScriptWrite(0x3004, 0xCAFE)}});
    CRefPtr<IROMImage> image = fixture.Build();
    uint32_t value = 0;
    EXPECT_EQ(image->GetPreservedRegisterValue(image.get(), 0, 0x3000, value), 2u);
    EXPECT_EQ(image->GetPreservedRegisterValue(image.get(), 0, 0x3004, value), 0u);
    EXPECT_EQ(value, 0xCAFEu);
}

TEST(PreservationTest, RamConfigurationFromTheMemoryInformationTable)
{
    // Memory token version 2: RAM configuration count 3, no strap table, and a
    // Memory Information Table whose entries map straps 5 and 6 to
    // configurations 2 and 1 (entry 0 is unused).
    const std::vector<uint8_t> script = testkit::ScriptRamConfig(0x6000, 4, 1, {0x60, 0x61, 0x62});
    auto build = [&](uint8_t method, uint8_t entryCount)
    {
        CGpuImageBuilder builder;
        builder.Block(CGpuImageBuilder::kX86, 0x10000);
        const uint32_t scriptAt = builder.Place(script);
        const uint32_t mit = builder.Place({0x10, 7,    5, entryCount, method, 0, 0, //
                                            0x0F, 0x00, 0, 0,          0,            //
                                            0x50, 0x02, 0, 0,          0,            //
                                            0x60, 0x01, 0, 0,          0});
        builder.Token('M', 2, {3, 0, 0, static_cast<uint8_t>(mit), static_cast<uint8_t>(mit >> 8)});
        const uint32_t table = builder.PreservationTable(
            0x11,
            {{static_cast<uint16_t>(scriptAt), static_cast<uint16_t>(script.size()), 0x40, 0}});
        InfoToken info;
        info.preservationTable = static_cast<uint16_t>(table);
        return builder.Info(info).BuildImage();
    };
    CRefPtr<IROMImage> image = build(0, 3);
    const std::pair<uint32_t, uint32_t> cases[] = {{5, 0x62}, {6, 0x61}, {7, 0x60}};
    for (const auto& [strap, expected] : cases)
    {
        uint32_t value = 0;
        // The adapter's RAM strap is bits 2-5 of its strap word 0.
        ASSERT_TRUE(IPreserveTune::CreateForStraps(strap << 2)
                        ->FindRegister(image.get(), 0x6000, value, nullptr));
        EXPECT_EQ(value, expected) << strap;
    }
    CRefPtr<IROMImage> otherMethod = build(1, 3);
    uint32_t value = 0;
    EXPECT_EQ(
        ErrorOf([&]
                { otherMethod->GetPreservedRegisterValue(otherMethod.get(), 5, 0x6000, value); }),
        "Unsupported MemInfo Entry Look-Up Method: 1");
    // Without entries there is not even entry 0 to fall back on.
    CRefPtr<IROMImage> noEntries = build(0, 0);
    EXPECT_EQ(
        ErrorOf([&] { noEntries->GetPreservedRegisterValue(noEntries.get(), 5, 0x6000, value); }),
        "Memory Information Table Entry not found: 0");
}

TEST(PreservationTest, RecordsWithZeroStrideOrNoEntriesAreRefused)
{
    for (const auto& record :
         {testkit::ScriptRamConfig(0x6000, 0, 2, {1, 2, 3, 4, 5, 6}),
          testkit::ScriptRamConfig(0x6000, 4, 0, {}), testkit::ScriptWriteRun(0x1000, {})})
    {
        PreservedImage fixture(0x11, {{{0, 0, 0x40, 0}, record}}, 0, true);
        CRefPtr<IROMImage> image = fixture.Build();
        uint32_t value = 0;
        const std::string error =
            ErrorOf([&] { image->GetPreservedRegisterValue(image.get(), 0, 0x6000, value); });
        EXPECT_NE(error.find("has a zero stride or no entries"), std::string::npos) << error;
    }
}

TEST(PreservationTest, TableReadersForBothVersions)
{
    PreservedImage old(0x10, {{{0x1234, 0x10, 0x40, 0}, {}}, {{0x2000, 0x20, 0x10, 0}, {}}});
    CRefPtr<IROMImage> v10 = old.Build();
    EXPECT_EQ(v10->GetPreservationEntryCount(), 2u);
    EXPECT_EQ(v10->GetPreservationEntryOffset(1), static_cast<int32_t>(old.table + 7 + 5));
    EXPECT_EQ(v10->GetPreservationEntryFlags(0), 0x40);
    EXPECT_EQ(v10->GetPreservationEntryFlags(1), 0x10);
    EXPECT_EQ(v10->GetPreservationFlagsOffset(), -1);
    EXPECT_EQ(v10->GetPreservationControlByte(), 0xFF);
    EXPECT_EQ(v10->GetPreservationHeaderWord4(), 0);
    EXPECT_EQ(v10->GetPreservationHeaderByte6(), 0);
    CRefPtr<IPreserveTune> tune = IPreserveTune::CreateForStraps(0);
    EXPECT_EQ(tune->GetLowestPreservedOffset(v10.get()), static_cast<int32_t>(old.table));
    // An old table keeps no data IDs and its script ranges are not searched.
    PreservedDataRecord record;
    record.dataId = 1;
    EXPECT_EQ(v10->FindPreservedData(v10.get(), record), 5u);
    uint32_t value = 0;
    EXPECT_EQ(v10->GetPreservedRegisterValue(v10.get(), 0, 0x1234, value), 2u);

    PreservedImage current(0x11, {{{0x3000, 0x10, 0x40, 0}, {}}, {{0x2000, 0x20, 0x90, 7}, {}}}, 1);
    CRefPtr<IROMImage> v11 = current.Build();
    EXPECT_EQ(v11->GetPreservationEntryFlags(1), 0x90);
    EXPECT_EQ(v11->GetPreservationControlByte(), 1);
    EXPECT_EQ(v11->GetPreservationHeaderBlockOffset(), v11->GetPreservationFlagsOffset());
    EXPECT_EQ(tune->GetLowestPreservedOffset(v11.get()), 0x2000);
    v11->SetPreservationEntryFlags(0, 0x41);
    EXPECT_EQ(v11->GetPreservationEntryFlags(0), 0x41);
    EXPECT_EQ(v11->GetPreservationEntryFlags(5), 0xFF);

    CRefPtr<IROMImage> none = CGpuImageBuilder().Block(CGpuImageBuilder::kX86, 0x8000).BuildImage();
    EXPECT_EQ(none->GetPreservationEntryCount(), 0u);
    EXPECT_EQ(none->GetPreservationEntryOffset(0), -1);
    EXPECT_EQ(tune->GetLowestPreservedOffset(none.get()), -1);
}

TEST(PreservationTest, EntryListGivesWhatTheSingleReadersGive)
{
    // The list a walk over every entry reads instead of the single readers:
    // the same places and flags, for both versions, a table whose entries
    // keep no flags, flags past the loaded end, and no table (version 0).
    struct Case
    {
        const char* name;
        uint8_t version;
        std::function<void(IROMImage& image, int32_t table)> edit;
        std::vector<std::pair<uint32_t, uint8_t>> expected; // offset from the table, flags
    };
    const auto asBuilt = [](IROMImage&, int32_t) {};
    const Case cases[] = {
        {"version 0x10, flags in the entries", 0x10, asBuilt, {{7, 0x40}, {12, 0x90}}},
        {"version 0x10 with 3-byte entries, no flags",
         0x10,
         [](IROMImage& image, int32_t table) { image.SetByte(table + 2, 3); },
         {{7, 0xFF}, {10, 0xFF}}},
        {"version 0x11, flags block; entry 1's flags past the loaded end",
         0x11,
         [](IROMImage& image, int32_t table)
         {
             const int32_t end = static_cast<int32_t>(image.GetLoadedSize());
             image.SetDword(table + 7, static_cast<uint32_t>(end - 6));
             image.SetByte(end - 1, 0x41);
         },
         {{11, 0x41}, {16, 0xFF}}},
        {"no table", 0, asBuilt, {}},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.name);
        uint32_t table = 0;
        CRefPtr<IROMImage> image;
        if (c.version == 0)
        {
            image = CGpuImageBuilder().Block(CGpuImageBuilder::kX86, 0x8000).BuildImage();
        }
        else
        {
            PreservedImage fixture(c.version,
                                   {{{0x1234, 0x10, 0x40, 0}, {}}, {{0x2000, 0x20, 0x90, 7}, {}}});
            table = fixture.table;
            image = fixture.Build();
            c.edit(*image, static_cast<int32_t>(table));
        }
        std::vector<PreservationEntryPlace> expected;
        for (const auto& [offset, flags] : c.expected)
        {
            expected.push_back({static_cast<int32_t>(table + offset), flags});
        }
        const std::vector<PreservationEntryPlace> entries = image->GetPreservationEntries();
        EXPECT_EQ(entries, expected);
        for (uint32_t i = 0; i < entries.size(); ++i)
        {
            EXPECT_EQ(entries[i].offset, image->GetPreservationEntryOffset(i)) << i;
            EXPECT_EQ(entries[i].flags, image->GetPreservationEntryFlags(i)) << i;
        }
    }
}

TEST(PreservationTest, RuntimePackFields)
{
    testkit::BiosDataToken short28;
    short28.size = 28;
    short28.packWord = 0x55;
    CRefPtr<IROMImage> small =
        CGpuImageBuilder().Block(CGpuImageBuilder::kX86, 0x8000).BiosData(short28).BuildImage();
    EXPECT_EQ(small->GetRuntimePackWord(), 0x55);
    EXPECT_EQ(small->GetRuntimePackRecordCapacity(), 0);
    EXPECT_EQ(small->GetRuntimePackRecord(0), -1);
    small->SetRuntimePackWord(0x1234);
    EXPECT_EQ(small->GetRuntimePackWord(), 0x1234);

    CGpuImageBuilder builder;
    builder.Block(CGpuImageBuilder::kX86, 0x8000);
    testkit::BiosDataToken full;
    full.appliedRecord = static_cast<uint16_t>(builder.Place({0xA1, 0xA2, 0xA3}));
    full.recordCapacity = 2;
    full.appliedCount = 3;
    CRefPtr<IROMImage> image = builder.BiosData(full).BuildImage();
    EXPECT_EQ(image->GetRuntimePackAppliedCount(), 3);
    EXPECT_EQ(image->GetRuntimePackRecordCapacity(), 2);
    EXPECT_EQ(image->GetRuntimePackRecord(1), 0xA2);
    EXPECT_EQ(image->GetRuntimePackRecord(2), -1);

    testkit::BiosDataToken v1;
    v1.tokenVersion = 1;
    CRefPtr<IROMImage> old =
        CGpuImageBuilder().Block(CGpuImageBuilder::kX86, 0x8000).BiosData(v1).BuildImage();
    EXPECT_EQ(ErrorOf([&] { old->SetRuntimePackWord(1); }),
              "ROM image not capable of being a run-time ROM pack image");
    EXPECT_EQ(old->GetRuntimePackWord(), 0);
}

TEST(PreservationTest, MicrocodeEntryWithItsDescriptorLoaded)
{
    CGpuImageBuilder builder;
    builder.Block(CGpuImageBuilder::kX86, 0x8000);
    const uint32_t descriptor = builder.Place(std::vector<uint8_t>(16, 0x44));
    builder.UcodeTable({{2, descriptor}, {1, 0x7FF8}, {1, descriptor}}, 16);
    EXPECT_EQ(builder.BuildImage()->FindKestrixUcodeEntry(1), static_cast<int32_t>(descriptor));
    EXPECT_EQ(builder.BuildImage()->FindKestrixUcodeEntry(3), -1);

    // A table in the x86 extension block, named by an offset counted over the
    // first block and its extension.
    CGpuImageBuilder extended;
    extended.Block(CGpuImageBuilder::kX86, 0x8000).Block(CGpuImageBuilder::kX86Extension, 0x8000);
    const uint32_t inExtension = extended.Place(std::vector<uint8_t>(8, 0x55), 1);
    const uint32_t tableOffset = 0x8000 + 0x400 + 8; // the table follows the descriptor
    const uint32_t table = extended.UcodeTable({{1, inExtension}}, 8, 1, tableOffset);
    ASSERT_EQ(table, 0x8000u + 0x408);
    EXPECT_EQ(extended.BuildImage()->FindKestrixUcodeEntry(1), static_cast<int32_t>(inExtension));
}
