// The preservation table of GPU firmware: its readers, the search of init
// scripts for a preserved register's value, tuning registers and data blocks
// through IPreserveTune, the run-time ROM pack fields and the microcode entry.

#include "tests/image/ImageBytes.h"
#include "core/Log.h"
#include "image/IPreserveTune.h"
#include "image/IROMImage.h"
#include "image/PreservationTable.h"
#include "testkit/ErrorOf.h"
#include "testkit/image/GpuImageBuilder.h"

#include <gtest/gtest.h>

#include <functional>
#include <optional>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

using testkit::CGpuImageBuilder;
using testkit::ErrorOf;
using testkit::InfoToken;
using testkit::Join;
using testkit::PreservationEntry;

namespace
{
uint8_t FirstBlockSum(IROMImage* image)
{
    uint32_t sum = 0;
    for (int32_t i = 0; i < 0x10000; ++i)
    {
        sum += image->GetByte(i);
    }
    return static_cast<uint8_t>(sum);
}

// A first block whose preservation table lists the given entries; each entry
// whose bytes are given has them placed and its offset and length set.
struct PreservedImage
{
    CGpuImageBuilder builder;
    std::vector<uint32_t> placed;
    uint32_t table = 0;

    PreservedImage(uint8_t version,
                   std::vector<std::pair<PreservationEntry, std::vector<uint8_t>>> entries,
                   uint8_t controlIndex = 0, bool ramConfigToken = false)
    {
        builder.Block(CGpuImageBuilder::kX86, 0x10000);
        std::vector<PreservationEntry> list;
        for (auto& [entry, bytes] : entries)
        {
            PreservationEntry e = entry;
            if (!bytes.empty())
            {
                const uint32_t at = builder.Place(bytes);
                placed.push_back(at);
                e.offset = static_cast<uint16_t>(at);
                e.length = static_cast<uint16_t>(bytes.size());
            }
            list.push_back(e);
        }
        if (ramConfigToken)
        {
            // Version 1 memory token: RAM configuration count 3 at +2, strap
            // table at +3 mapping strap s to configuration s.
            const uint32_t strapTable =
                builder.Place({0, 1, 2, 0, 1, 2, 0, 1, 2, 0, 1, 2, 0, 1, 2, 0});
            builder.Token(
                'M', 1,
                {0, 0, 3, static_cast<uint8_t>(strapTable), static_cast<uint8_t>(strapTable >> 8)});
        }
        table = builder.PreservationTable(version, list, controlIndex);
        InfoToken info;
        info.preservationTable = static_cast<uint16_t>(table);
        builder.Info(info);
    }
    CRefPtr<IROMImage> Build() const { return builder.BuildImage(); }
};

// An image of the fixture with a tuner, the log lines they write and the
// bytes as they were, for the tunings that must be refused.
struct RefusedTuning
{
    explicit RefusedTuning(const PreservedImage& fixture)
        : image(fixture.Build()), before(Snapshot(image.get()))
    {
        log.AddSink(&text, 3, 3);
    }
    bool Unchanged() const { return Snapshot(image.get()) == before; }

    CRefPtr<IROMImage> image;
    std::vector<uint8_t> before;
    CRefPtr<IPreserveTune> tune = IPreserveTune::CreateForStraps(0);
    CLog log;
    std::ostringstream text;
};
} // namespace

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

TEST(PreservationTest, TuneRegisterUnderAMask)
{
    struct Case
    {
        const char* name;
        uint8_t lowest;
        uint8_t highest;
        uint32_t value;
        uint32_t operation;
        uint32_t stored;
        uint32_t expected;
    };
    const Case cases[] = {
        {"add wraps within the mask", 8, 15, 0x01, 3, 0x1234FF78, 0x12340078},
        {"subtract wraps within the mask", 8, 15, 0x01, 4, 0x12340078, 0x1234FF78},
        {"set replaces the masked bits", 8, 15, 0xAB, 0, 0x12340078, 0x1234AB78},
        {"bits 4 to 7", 4, 7, 0x3, 0, 0xFFFFFFFF, 0xFFFFFF3F},
        {"whole register", 0xFF, 0xFF, 0xDEADBEEF, 0, 0x12345678, 0xDEADBEEF},
        {"whole register add", 0xFF, 3, 0x10, 3, 0x12345678, 0x12345688},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.name);
        PreservedImage fixture(
            0x11,
            {{{0, 0, 0xC0, 0}, testkit::ScriptWrite(0x3000, c.stored)}, {{0x100, 4, 0x90, 3}, {}}},
            1);
        CRefPtr<IROMImage> image = fixture.Build();
        CRefPtr<IPreserveTune> tune = IPreserveTune::CreateForStraps(0);
        PreservedRegisterTune record;
        record.registerAddress = 0x3000;
        record.value = c.value;
        record.lowestBit = c.lowest;
        record.highestBit = c.highest;
        record.operation = c.operation;
        ASSERT_TRUE(tune->TuneRegister(image.get(), record, nullptr));
        uint32_t value = 0;
        ASSERT_TRUE(tune->FindRegister(image.get(), 0x3000, value, nullptr));
        EXPECT_EQ(value, c.expected);
        EXPECT_EQ(image->GetPreservationEntryFlags(0), 0x40);
        EXPECT_EQ(image->GetPreservationEntryFlags(1), 0x10);
        EXPECT_EQ(FirstBlockSum(image.get()), 0);
    }
}

TEST(PreservationTest, RefusedTuningsLeaveTheImageAndSayWhy)
{
    RefusedTuning run(
        PreservedImage(0x11, {{{0, 0, 0xC0, 0}, testkit::ScriptWrite(0x3000, 0x12345678)}}));
    IROMImage* image = run.image.get();
    IPreserveTune* tune = run.tune.get();
    CLog& log = run.log;

    PreservedRegisterTune missing;
    missing.registerAddress = 0x7000;
    EXPECT_FALSE(tune->TuneRegister(image, missing, &log));
    PreservedRegisterTune upsideDown;
    upsideDown.registerAddress = 0x3000;
    upsideDown.lowestBit = 9;
    upsideDown.highestBit = 8;
    EXPECT_FALSE(tune->TuneRegister(image, upsideDown, &log));
    PreservedRegisterTune pastTheRegister = upsideDown;
    pastTheRegister.lowestBit = 0;
    pastTheRegister.highestBit = 40;
    EXPECT_FALSE(tune->TuneRegister(image, pastTheRegister, &log));
    uint32_t value = 0;
    EXPECT_FALSE(tune->FindRegister(image, 0x7001, value, &log));
    EXPECT_EQ(run.text.str(),
              "Preserved register 0x00007000 find fail : STATUS_NOT_FOUND_REGVALUE.\n"
              "Preserved register 0x00003000 tune fail : invalid bit range.\n"
              "Preserved register 0x00003000 tune fail : invalid bit range.\n"
              "Preserved register 0x00007001 find fail : STATUS_NOT_FOUND_REGVALUE.\n");
    EXPECT_TRUE(run.Unchanged());
}

TEST(PreservationTest, EntriesWhoseFlagsReadBlankAreFoundButNotTuned)
{
    // Flags 0xFF carry the data-block and script-range bits, so both entries
    // are found; tuning them is refused for their flags and writes nothing.
    PreservedImage fixture(0x11,
                           {{{0, 0, 0xFF, 7}, std::vector<uint8_t>(4, 0x11)},
                            {{0, 0, 0xFF, 0}, testkit::ScriptWrite(0x3000, 0x12345678)},
                            {{0, 0, 0x80, 0}, {}}},
                           2);
    RefusedTuning run(fixture);
    IROMImage* image = run.image.get();
    IPreserveTune* tune = run.tune.get();
    CLog& log = run.log;

    PreservedDataRecord record;
    record.dataId = 7;
    EXPECT_EQ(image->FindPreservedData(image, record), 0u);
    EXPECT_EQ(record.entryIndex, 0u);
    uint32_t value = 0;
    EXPECT_TRUE(tune->FindRegister(image, 0x3000, value, &log));
    EXPECT_EQ(value, 0x12345678u);

    PreservedRegisterTune registerTune;
    registerTune.registerAddress = 0x3000;
    registerTune.value = 1;
    EXPECT_FALSE(tune->TuneRegister(image, registerTune, &log));
    const std::vector<uint8_t> source = {1, 2, 3, 4};
    PreservedDataTune dataTune{7, 0, 4};
    EXPECT_FALSE(tune->TuneData(image, dataTune, source.data(), &log));
    EXPECT_EQ(run.text.str(),
              "Preserved register 0x00003000 find fail : STATUS_NOT_FOUND_PRESERVE.\n"
              "Preservation control entry 00 invlaid flag : STATUS_CTRL_FLAG_ERROR.\n");
    EXPECT_TRUE(run.Unchanged());
}

TEST(PreservationTest, DataBlocksFoundAndTuned)
{
    const std::vector<uint8_t> block(8, 0x11);
    PreservedImage fixture(
        0x11, {{{0, 0, 0x80, 7}, block}, {{0, 0, 0x90, 7}, block}, {{0, 0, 0x80, 0}, {}}}, 2);
    CRefPtr<IROMImage> image = fixture.Build();
    CRefPtr<IPreserveTune> tune = IPreserveTune::CreateForStraps(0);

    PreservedDataRecord record;
    record.dataId = 7;
    EXPECT_EQ(image->FindPreservedData(image.get(), record), 0u);
    EXPECT_EQ(record.entryIndex, 1u);
    EXPECT_EQ(record.offset, fixture.placed[1]);
    EXPECT_EQ(record.size, 8);

    CLog log;
    std::ostringstream text;
    log.AddSink(&text, 3, 3);
    const std::vector<uint8_t> source = {1, 2, 3, 4, 5, 6, 7, 8, 9};
    PreservedDataTune tooLarge{7, 0, 9};
    const std::vector<uint8_t> before = Snapshot(image.get());
    EXPECT_FALSE(tune->TuneData(image.get(), tooLarge, source.data(), &log));
    EXPECT_EQ(Snapshot(image.get()), before);

    PreservedDataTune fits{7, 0, 4};
    EXPECT_TRUE(tune->TuneData(image.get(), fits, source.data(), &log));
    EXPECT_EQ(fits.offset, fixture.placed[1]);
    EXPECT_EQ(image->GetDword(static_cast<int32_t>(fixture.placed[1])), 0x04030201u);
    EXPECT_EQ(image->GetByte(static_cast<int32_t>(fixture.placed[1]) + 4), 0x11);
    EXPECT_EQ(image->GetPreservationEntryFlags(1), 0x10);
    EXPECT_EQ(image->GetPreservationEntryFlags(2), 0x00);
    EXPECT_EQ(FirstBlockSum(image.get()), 0);

    PreservedDataTune unknown{9, 0, 1};
    EXPECT_FALSE(tune->FindData(image.get(), unknown, &log));
    CRefPtr<IROMImage> none = CGpuImageBuilder().Block(CGpuImageBuilder::kX86, 0x8000).BuildImage();
    EXPECT_FALSE(tune->FindData(none.get(), unknown, &log));
    EXPECT_EQ(text.str(), "Preserved Data ID 07 tune fail : STATUS_DATA_SIZE_OVERFLOW.\n"
                          "Preserved Data ID 09 find fail : STATUS_NOT_FOUND_DATA_ID.\n"
                          "Preservation Table find fail : STATUS_NOT_FOUND_PRESERVE_TABLE.\n");
}

TEST(PreservationTest, DataTuningWithoutControlEntryWritesNothing)
{
    PreservedImage fixture(0x11, {{{0, 0, 0x90, 7}, std::vector<uint8_t>(4, 0x11)}}, 0xFF);
    CRefPtr<IROMImage> image = fixture.Build();
    const std::vector<uint8_t> before = Snapshot(image.get());
    CLog log;
    std::ostringstream text;
    log.AddSink(&text, 3, 3);
    const std::vector<uint8_t> source = {1, 2, 3, 4};
    PreservedDataTune record{7, 0, 4};
    EXPECT_FALSE(
        IPreserveTune::CreateForStraps(0)->TuneData(image.get(), record, source.data(), &log));
    EXPECT_EQ(text.str(),
              "Preservation control entry 255 invlaid flag : STATUS_CTRL_FLAG_ERROR.\n");
    EXPECT_EQ(Snapshot(image.get()), before);
}

TEST(PreservationTest, DataBlockPastTheImageEndIsNotTuned)
{
    // The entry's block starts 16 bytes before the end of a 64 KiB image and
    // claims 32 bytes: writing it would grow the image with the tuned bytes.
    PreservedImage fixture(0x11, {{{0xFFF0, 0x20, 0x90, 7}, {}}, {{0, 0, 0x80, 0}, {}}}, 1);
    CRefPtr<IROMImage> image = fixture.Build();
    const std::vector<uint8_t> before = Snapshot(image.get());
    CLog log;
    std::ostringstream text;
    log.AddSink(&text, 3, 3);
    const std::vector<uint8_t> source(0x20, 0x5A);
    PreservedDataTune record{7, 0, 0x20};
    EXPECT_FALSE(
        IPreserveTune::CreateForStraps(0)->TuneData(image.get(), record, source.data(), &log));
    EXPECT_EQ(text.str(), "Preserved Data ID 07 tune fail : block lies outside the image.\n");
    EXPECT_EQ(Snapshot(image.get()), before);
}

TEST(PreservationTest, EntryFlagsPastTheImageEndAreNeitherReadNorWritten)
{
    // The flags block is moved to the last six bytes of the image: the
    // control index (1) and entry 0's flags lie inside, entry 1's just past.
    // Clearing the control entry's changed bit must not grow the image.
    PreservedImage fixture(
        0x11, {{{0, 0, 0x90, 7}, std::vector<uint8_t>(4, 0x11)}, {{0, 0, 0x80, 0}, {}}});
    CRefPtr<IROMImage> image = fixture.Build();
    const int32_t end = static_cast<int32_t>(image->GetLoadedSize());
    image->SetDword(static_cast<int32_t>(fixture.table) + 7, static_cast<uint32_t>(end - 6));
    image->SetByte(end - 2, 1);
    image->SetByte(end - 1, 0x90);
    EXPECT_EQ(image->GetPreservationEntryFlags(1), 0xFF);

    const std::vector<uint8_t> source = {1, 2, 3, 4};
    PreservedDataTune record{7, 0, 4};
    CLog log;
    EXPECT_TRUE(
        IPreserveTune::CreateForStraps(0)->TuneData(image.get(), record, source.data(), &log));
    EXPECT_EQ(image->GetDword(static_cast<int32_t>(fixture.placed[0])), 0x04030201u);
    EXPECT_EQ(image->GetLoadedSize(), static_cast<uint32_t>(end));
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
