// Tuning registers and data blocks of the preservation table through
// IPreserveTune: what changes, what is refused and why, and entries past the
// image's end that are neither read nor written.

#include "core/Log.h"
#include "image/IPreserveTune.h"
#include "image/IROMImage.h"
#include "image/PreservationTable.h"
#include "testkit/image/GpuImageBuilder.h"
#include "tests/image/ImageBytes.h"
#include "tests/image/PreservedImage.h"

#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

using testkit::CGpuImageBuilder;
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
