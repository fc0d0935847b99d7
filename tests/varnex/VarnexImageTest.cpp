#include "testkit/varnex/CapturedLog.h"
#include "testkit/varnex/VarnexStoreBuilder.h"
#include "varnex/VarnexFileSystem.h"
#include "varnex/VarnexImage.h"
#include "varnex/VarnexRomObject.h"
#include "varnex/VarnexTypedObjects.h"

#include <gtest/gtest.h>

#include <sstream>

namespace
{

using testkit::CapturedLog;
using testkit::CVarnexStoreBuilder;

std::vector<std::string> Tags(const CVarnexImage& image)
{
    std::vector<std::string> tags;
    for (const CVarnexImageObject* object : image.GetObjects())
    {
        tags.push_back(TagToString(object->GetTag()));
    }
    return tags;
}

// A store with an object of every kind, read-write ones among them.
CVarnexStoreBuilder EveryKind(uint32_t entries)
{
    CVarnexStoreBuilder builder;
    builder.Directory(entries)
        .Img("96.00.5E.00.01", 0x2204, 0x10DE, 0x1454, 0x10DE)
        .Obd("699-12345-0000-A01")
        .Oem({1, 2, 3, 4, 5})
        .WithAttribute(0x01)
        .Ecc(std::vector<uint8_t>(40, 0xEC))
        .WithVersion(2, 1)
        .WithAttribute(0x03)
        .Pbl(3, 0, {0x20001000}, {0x20001000, 0x40002000})
        .WithAttribute(0x01)
        .Ppo({{1, 2, 250}})
        .WithAttribute(0xFF)
        .Een({0xFFFFFFFE})
        .Bbo(7, 1, 0x1234)
        .WithAttribute(0x02)
        .Generic("BBX", std::vector<uint8_t>(300, 0x00))
        .Generic("PGM", std::vector<uint8_t>(12, 0xFF));
    return builder;
}

TEST(VarnexImageTest, UnreadableBytesGiveAnEmptyImage)
{
    const std::vector<std::vector<uint8_t>> inputs = {
        {},
        std::vector<uint8_t>(64, 0xFF),
        {'R', 'O', 'X', 0, 0, 0, 0, 0},
        {'R', 'O'},
        {'J', 'F', 'F', 'S', 2, 0, 0, 0}, // shorter than its superblock
        {'R', 'O', 'M', 1, 1, 64, 0, 0},  // directory cut short
    };
    for (const auto& bytes : inputs)
    {
        CVarnexImage image(bytes);
        EXPECT_EQ(image.GetObjectCount(), 0u);
        EXPECT_FALSE(image.IsValid());
    }
    EXPECT_TRUE(CVarnexImage::IsErased({}));
    EXPECT_EQ(CVarnexImage::DetectFormat(inputs[4]), CVarnexImage::kFormatUnknown);
}

TEST(VarnexImageTest, ParsesTheRawFormInDirectoryOrder)
{
    const auto raw = CVarnexStoreBuilder().Img("1.0", 1, 2, 3, 4).Obd("P").BuildRaw();
    CVarnexImage image(raw);
    ASSERT_TRUE(image.IsValid());
    EXPECT_EQ(Tags(image), (std::vector<std::string>{"ROM", "IMG", "OBD"}));
    std::vector<VarnexDirectoryEntry> entries;
    static_cast<CVarnexImageRomObject*>(image.FindObject(VarnexTags::ROM))->ListEntries(entries);
    EXPECT_EQ(entries,
              (std::vector<VarnexDirectoryEntry>{{VarnexTags::IMG, 64}, {VarnexTags::OBD, 128}}));
}

TEST(VarnexImageTest, SkipsUnusedEntriesAndRefusesMismatchedObjects)
{
    auto raw = CVarnexStoreBuilder().Img("1.0", 1, 2, 3, 4).Generic("BBX", {1}).BuildRaw();
    // Entry 1 (BBX) becomes FF FF FF: skipped.
    std::fill(raw.begin() + 19, raw.begin() + 22, 0xFF);
    CVarnexImage skipped(raw);
    EXPECT_TRUE(skipped.IsValid());
    EXPECT_EQ(Tags(skipped), (std::vector<std::string>{"ROM", "IMG"}));

    // Entry 1 names PGM while BBX lies there: an empty object, an invalid image.
    raw[19] = 'P', raw[20] = 'G', raw[21] = 'M';
    CVarnexImage mismatched(raw);
    EXPECT_EQ(mismatched.GetObjectCount(), 3u);
    EXPECT_FALSE(mismatched.IsValid());
    EXPECT_TRUE(mismatched.SerializeRaw().empty());
}

TEST(VarnexImageTest, StoreWhoseObjectsShareBytesIsRefused)
{
    // A BBX whose body holds a whole PGM object, so that an entry can point inside it.
    const std::vector<uint8_t> pgm = {'P', 'G', 'M', 1, 0, 10, 0, 0, 7, 7};
    const auto nested = CVarnexStoreBuilder().Generic("BBX", pgm).Generic("PGM", {7, 7}).BuildRaw();
    const auto twoBbx = CVarnexStoreBuilder().Generic("BBX", {1}).Generic("BBX", {2}).BuildRaw();
    ASSERT_TRUE(CVarnexImage(nested).IsValid());
    ASSERT_TRUE(CVarnexImage(twoBbx).IsValid());
    // Entry 1 of the directory: tag at bytes 19-21, offset at 22-23.
    struct Case
    {
        const char* name;
        std::vector<uint8_t> raw;
        std::array<uint8_t, 3> tag;
        uint16_t offset;
    };
    const Case cases[] = {
        {"PGM entry inside the BBX", nested, {'P', 'G', 'M'}, 64 + 8},
        {"two entries at one offset", twoBbx, {'B', 'B', 'X'}, 64},
        {"an entry over the directory", nested, {'R', 'O', 'M'}, 0},
    };
    for (Case c : cases)
    {
        std::copy(c.tag.begin(), c.tag.end(), c.raw.begin() + 19);
        c.raw[22] = static_cast<uint8_t>(c.offset);
        c.raw[23] = static_cast<uint8_t>(c.offset >> 8);
        CVarnexImage image(c.raw);
        EXPECT_EQ(image.GetObjectCount(), 0u) << c.name;
        EXPECT_FALSE(image.IsValid()) << c.name;
    }
}

TEST(VarnexImageTest, ObjectGrownWithoutDirectoryUpdateIsNeverWrittenOverTheNext)
{
    const auto raw = CVarnexStoreBuilder().Generic("BBX", {1}).Generic("PGM", {2, 2}).BuildRaw();
    CVarnexImage image(raw);
    ASSERT_TRUE(image.IsValid());
    // 28 bytes from 64 now: the PGM listed at 73 lies wholly inside.
    ASSERT_TRUE(image.FindObject(VarnexTags::BBX)->SetData(std::vector<uint8_t>(20, 3)));
    EXPECT_TRUE(image.SerializeRaw().empty());

    auto calendar = CreateFixedVarnexCalendar({5, 3, 2024});
    ASSERT_TRUE(image.UpdateDirectory(calendar.get()));
    const auto rewritten = image.SerializeRaw();
    CVarnexImage reread(rewritten);
    ASSERT_TRUE(reread.IsValid());
    EXPECT_EQ(reread.FindObject(VarnexTags::BBX)->GetData(), std::vector<uint8_t>(20, 3));
    EXPECT_EQ(reread.FindObject(VarnexTags::PGM)->GetData(), (std::vector<uint8_t>{2, 2}));
}

TEST(VarnexImageTest, EveryKindSurvivesRawToFileSystemToRaw)
{
    for (const uint32_t entries : {10u, 19u})
    {
        const auto builder = EveryKind(entries);
        const auto raw = builder.BuildRaw();
        CapturedLog captured;
        CVarnexImage fromRaw(raw);
        ASSERT_TRUE(fromRaw.IsValid());
        EXPECT_EQ(fromRaw.GetObjectCount(), 11u);
        EXPECT_EQ(fromRaw.SerializeRaw(), raw);

        const auto fs = fromRaw.Serialize(CVarnexImage::kSerializeFileSystem, &captured.log);
        // The builder writes the file-system form independently: same bytes.
        EXPECT_EQ(fs, builder.BuildFileSystem());
        ASSERT_EQ(fs.size(), 32768u);

        CVarnexImage fromFs(fs);
        ASSERT_TRUE(fromFs.IsValid());
        EXPECT_EQ(fromFs.GetRawBytes(&captured.log), raw);
        EXPECT_EQ(fromFs.SerializeFileSystem(&captured.log), fs);
    }
}

TEST(VarnexImageTest, ParsingNeverChangesTheBytesGiven)
{
    // A stale copy of a read-write node is retired by the mount, in a copy.
    auto fs = CVarnexStoreBuilder().Generic("BBX", {1, 2, 3}).WithAttribute(1).BuildFileSystem();
    const std::vector<uint8_t> body = {'B', 'B', 'X', 1, 0, 11, 0, 1, 9, 9, 9};
    const auto newer = testkit::MakeVarnexFsNode(0x06, "BBX", 0, body, 1);
    std::copy(newer.begin(), newer.end(), fs.begin() + 4096 + 128);
    const auto before = fs;
    CVarnexImage image(fs);
    EXPECT_EQ(fs, before);
    ASSERT_TRUE(image.IsValid());
    EXPECT_EQ(image.FindObject(VarnexTags::BBX)->GetData(), (std::vector<uint8_t>{9, 9, 9}));
}

TEST(VarnexImageTest, UpdateDirectoryFollowsNewSizesAndStampsTheDate)
{
    // The 10-entry directory is 64 bytes long, the 19-entry one 112 bytes with
    // three trailing bytes that the rebuild carries over.
    struct
    {
        uint32_t entries;
        uint16_t first;
    } const table[] = {{10, 64}, {19, 112}};
    for (const auto& row : table)
    {
        SCOPED_TRACE(row.entries);
        auto raw = CVarnexStoreBuilder()
                       .Directory(row.entries, {1, 1, 2000})
                       .Img("1.0", 1, 2, 3, 4)
                       .Obd("P")
                       .Generic("BBX", std::vector<uint8_t>(4, 1))
                       .BuildRaw();
        if (row.entries == 19)
        {
            raw[109] = 0xA1, raw[110] = 0xA2, raw[111] = 0xA3;
        }
        CVarnexImage image(raw);
        ASSERT_TRUE(image.FindObject(VarnexTags::BBX)->SetData(std::vector<uint8_t>(12, 2)));
        auto calendar = CreateFixedVarnexCalendar({5, 3, 2024});
        ASSERT_TRUE(image.UpdateDirectory(calendar.get()));

        const uint16_t bbxAt = row.first + 64 + 128;
        const auto out = image.SerializeRaw();
        ASSERT_EQ(out.size(), bbxAt + 20u);
        EXPECT_EQ(std::vector<uint8_t>(out.begin() + 10, out.begin() + 14),
                  (std::vector<uint8_t>{5, 3, 0xE8, 0x07}));
        std::vector<VarnexDirectoryEntry> entries;
        static_cast<CVarnexImageRomObject*>(image.FindObject(VarnexTags::ROM))
            ->ListEntries(entries);
        EXPECT_EQ(entries, (std::vector<VarnexDirectoryEntry>{
                               {VarnexTags::IMG, row.first},
                               {VarnexTags::OBD, static_cast<uint16_t>(row.first + 64)},
                               {VarnexTags::BBX, bbxAt}}));
        EXPECT_EQ(std::vector<uint8_t>(out.begin() + bbxAt, out.begin() + bbxAt + 8),
                  (std::vector<uint8_t>{'B', 'B', 'X', 1, 0, 20, 0, 0}));
        if (row.entries == 19)
        {
            EXPECT_EQ(std::vector<uint8_t>(out.begin() + 109, out.begin() + 112),
                      (std::vector<uint8_t>{0xA1, 0xA2, 0xA3}));
        }
    }
}

TEST(VarnexImageTest, UpdateDirectoryRefusesMoreObjectsThanEntries)
{
    CVarnexStoreBuilder builder;
    for (int i = 0; i < 10; ++i)
    {
        builder.Generic("BBX", {static_cast<uint8_t>(i)});
    }
    const auto raw = builder.BuildRaw();
    auto calendar = CreateFixedVarnexCalendar({5, 3, 2024});
    CVarnexImage image(raw);
    ASSERT_EQ(image.GetObjectCount(), 11u);
    // Ten objects fill the ten entries.
    EXPECT_TRUE(image.UpdateDirectory(calendar.get()));
    EXPECT_EQ(image.SerializeRaw().size(), raw.size());

    const std::vector<uint8_t> extra = {'P', 'G', 'M', 1, 0, 9, 0, 0, 0xFF};
    image.AddObject(CVarnexImage::CreateObject(VarnexTags::PGM, extra, 0));
    const auto before = image.SerializeRaw();
    EXPECT_FALSE(image.UpdateDirectory(calendar.get()));
    EXPECT_EQ(image.SerializeRaw(), before);
}

TEST(VarnexImageTest, ObjectsSharingATagEachKeepTheirPlace)
{
    const auto raw = CVarnexStoreBuilder().Generic("BBX", {1}).Generic("BBX", {2, 2}).BuildRaw();
    CVarnexImage image(raw);
    ASSERT_TRUE(image.IsValid());
    EXPECT_EQ(image.FindObject(VarnexTags::BBX)->GetData(), std::vector<uint8_t>{1});
    EXPECT_EQ(image.SerializeRaw(), raw);
}

TEST(VarnexImageTest, RawSerializationRefusesGapsAndOtherModes)
{
    auto raw = CVarnexStoreBuilder().Generic("BBX", {1}).BuildRaw();
    // The BBX entry points 8 bytes past the end of the directory.
    raw.insert(raw.begin() + 64, 8, 0);
    raw[17] = 72;
    CVarnexImage image(raw);
    ASSERT_TRUE(image.IsValid());
    EXPECT_TRUE(image.SerializeRaw().empty());

    CapturedLog captured;
    EXPECT_TRUE(image.Serialize(2, &captured.log).empty());
}

TEST(VarnexImageTest, InvalidImageBuildsAnErasedFileSystem)
{
    CapturedLog captured;
    CVarnexImage empty;
    const auto fs = empty.SerializeFileSystem(&captured.log);
    EXPECT_EQ(fs, std::vector<uint8_t>(20480, 0xFF));
    EXPECT_EQ(captured.text.str(), "Num of Objects = 0\n");
    EXPECT_EQ(CVarnexImage(fs).GetObjectCount(), 0u);
    EXPECT_TRUE(empty.SerializeRaw().empty());
    EXPECT_FALSE(empty.UpdateDirectory());
}

} // namespace
