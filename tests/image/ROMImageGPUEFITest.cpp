#include "tests/image/ImageBytes.h"
#include "image/ROMImageGPUEFIImpl.h"
#include "testkit/ErrorOf.h"
#include "testkit/ScratchDirectory.h"
#include "testkit/image/UefiBuilder.h"

#include <gtest/gtest.h>

#include <sstream>

using testkit::CUefiDriverBuilder;
using testkit::ErrorOf;
using testkit::GpuSupportEntry;
using testkit::GpuSupportList;

namespace
{
std::vector<uint8_t> DriverFile(const std::vector<uint8_t>& list)
{
    return CUefiDriverBuilder()
        .BuildInfo(testkit::UefiBuildRecord({{"VER", "3.0"}}))
        .Extra(list)
        .Build();
}

std::vector<GpuSupportEntry> Entries(size_t count)
{
    std::vector<GpuSupportEntry> entries;
    for (size_t i = 0; i < count; ++i)
    {
        entries.push_back({static_cast<uint16_t>(0x2200 + i), static_cast<uint16_t>(0x0E00 + i),
                           static_cast<uint32_t>(1000 + i)});
    }
    return entries;
}

CROMImageGPUEFIImpl& Driver(const CRefPtr<IROMImage>& image)
{
    return dynamic_cast<CROMImageGPUEFIImpl&>(*image);
}
} // namespace

TEST(UefiDriverFileTest, LoadFindsTheSupportListInFilesAndBuffers)
{
    testkit::CScratchDirectory folder("romvise-uefi-file");
    const std::vector<uint8_t> bytes = DriverFile(GpuSupportList(2, 1, Entries(3), 6));
    const std::string path = folder.WriteBytes("driver.efi", bytes);
    for (CRefPtr<IROMImage> image : {IROMImage::CreateFromFile(path), FromBytes(bytes)})
    {
        ASSERT_EQ(image->GetImageType(), kROMImageGPUEFI);
        CROMImageGPUEFIImpl& driver = Driver(image);
        EXPECT_EQ(image->GetLoadedSize(), bytes.size());
        EXPECT_EQ(image->GetModificationDate(), "");
        EXPECT_EQ(driver.GetSupportListVersion(), 2u);
        EXPECT_EQ(driver.GetDriverType(), 1u);
        EXPECT_EQ(driver.GetSupportEntryCount(), 3u);
        EXPECT_EQ(driver.GetSupportListV2Field(), 6u);
        EXPECT_EQ(driver.GetSupportEntry(2), (GpuSupportListEntry{0x2202, 0x0E02, 1002}));
    }
}

TEST(UefiDriverFileTest, LoadRefusesFilesWithoutOneKnownSupportList)
{
    const std::vector<uint8_t> list = GpuSupportList(1, 1, Entries(1));
    std::vector<uint8_t> twice = list;
    twice.insert(twice.end(), list.begin(), list.end());
    std::vector<uint8_t> magicAtTheEnd = CUefiDriverBuilder().Build();
    magicAtTheEnd.insert(magicAtTheEnd.end(), list.begin(), list.begin() + 12);
    std::vector<uint8_t> partMagic = CUefiDriverBuilder().Build();
    partMagic.insert(partMagic.end(), list.begin(), list.begin() + 7);

    struct Case
    {
        const char* name;
        std::vector<uint8_t> bytes;
        std::string error;
    };
    const std::vector<Case> cases = {
        {"no list", CUefiDriverBuilder().Build(), "can't find support list magic number"},
        {"magic only partly loaded", partMagic, "can't find support list magic number"},
        {"two lists", DriverFile(twice), "duplicate gpu support list magic number"},
        {"version 3", DriverFile(GpuSupportList(3, 1, Entries(1))), "support list version mismatch"},
        {"version 0", DriverFile(GpuSupportList(0, 1, {})), "support list version mismatch"},
        {"head past the loaded bytes", magicAtTheEnd, "support list runs past the end of the image"},
    };
    testkit::CScratchDirectory folder("romvise-uefi-refuse");
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(ErrorOf([&] { FromBytes(c.bytes); }), c.error);
        CRefPtr<IROMImage> image = IROMImage::Create(kROMImageGPUEFI);
        const std::string path = folder.WriteBytes("refused.efi", c.bytes);
        EXPECT_EQ(ErrorOf([&] { image->LoadFromFile(path); }), c.error);
        EXPECT_EQ(image->GetLoadedSize(), c.bytes.size()); // the bytes stay loaded
    }
    CRefPtr<IROMImage> empty = IROMImage::Create(kROMImageGPUEFI);
    EXPECT_EQ(ErrorOf([&] { Driver(empty).GetSupportEntryCount(); }),
              "can't find support list magic number");
}

TEST(UefiDriverFileTest, EntriesStayWithinTheListsCapacity)
{
    struct Case
    {
        const char* name;
        std::vector<uint8_t> list;
        GpuSupportListEntry added;
        std::string addResult; // "true", "false" or the error
        uint32_t lastReadable; // highest index GetSupportEntry answers, or ~0u for none
    };
    const std::vector<Case> cases = {
        {"version 1 with room", GpuSupportList(1, 1, Entries(8)), {1, 2, 3}, "true", 9},
        {"version 1 with 9 entries is full", GpuSupportList(1, 1, Entries(9)), {1, 2, 3},
         "ERROR: list is full", 9},
        {"present entry of a full list", GpuSupportList(1, 1, Entries(9)), {0x2203, 0x0E03, 1003},
         "false", 9},
        {"version 2 capacity 4 takes index 2", GpuSupportList(2, 1, Entries(2), 4), {1, 2, 3},
         "true", 3},
        {"version 2 capacity 4 with 3 entries is full", GpuSupportList(2, 1, Entries(3), 4),
         {1, 2, 3}, "ERROR: list is full", 3},
        {"version 2 capacity 0", GpuSupportList(2, 1, {}, 0), {1, 2, 3}, "ERROR: list is full", ~0u},
        {"count above the capacity", GpuSupportList(2, 1, Entries(2), 4, 1000), {1, 2, 3},
         "ERROR: list is full", 3},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.name);
        CRefPtr<IROMImage> image = FromBytes(DriverFile(c.list));
        CROMImageGPUEFIImpl& driver = Driver(image);
        const auto add = [&]() -> std::string
        {
            try
            {
                return driver.AddSupportEntry(c.added.deviceId, c.added.boardId,
                                              c.added.vbiosMagic)
                           ? "true"
                           : "false";
            }
            catch (const std::exception& error)
            {
                return error.what();
            }
        };
        EXPECT_EQ(add(), c.addResult);
        if (c.lastReadable != ~0u)
        {
            EXPECT_EQ(ErrorOf([&] { driver.GetSupportEntry(c.lastReadable); }), "(no error)");
        }
        EXPECT_EQ(ErrorOf([&] { driver.GetSupportEntry(c.lastReadable + 1); }),
                  "index larger than the max");
    }

    // A list whose room reaches past the file's end cannot be read there.
    std::vector<uint8_t> cut = DriverFile(GpuSupportList(2, 1, Entries(1), 4000));
    cut.erase(cut.end() - 7000, cut.end());
    CRefPtr<IROMImage> image = FromBytes(cut);
    EXPECT_EQ(ErrorOf([&] { Driver(image).GetSupportEntry(3900); }),
              "support list runs past the end of the image");
    EXPECT_EQ(ErrorOf([&] { Driver(FromBytes(DriverFile(GpuSupportList(1, 1, {})))).GetSupportListV2Field(); }),
              "unexpected call to Version 2 structure");
}

TEST(UefiDriverFileTest, AddedEntryIsReadBackAndSaved)
{
    testkit::CScratchDirectory folder("romvise-uefi-add");
    CRefPtr<IROMImage> image = FromBytes(DriverFile(GpuSupportList(1, 2, Entries(1))));
    ASSERT_TRUE(Driver(image).AddSupportEntry(0x2504, 0x0E77, 77));
    EXPECT_EQ(Driver(image).GetSupportEntryCount(), 2u);
    const std::string path = (folder / "saved.efi").string();
    image->SaveToFile(path, 0, image->GetLoadedSize());
    CRefPtr<IROMImage> saved = IROMImage::CreateFromFile(path);
    EXPECT_EQ(Driver(saved).GetSupportEntry(1), (GpuSupportListEntry{0x2504, 0x0E77, 77}));
}

TEST(UefiDriverFileTest, DumpListsEveryEntry)
{
    struct Case
    {
        const char* name;
        uint32_t type;
        std::string typeLine;
    };
    const std::vector<Case> cases = {
        {"debug driver", 0, "Driver Type: debug, support any GPU \n"},
        {"expansion-ROM driver", 1, "Driver Type: pci rom driver \n"},
        {"system ROM driver", 2, "Driver Type: system rom embedded driver \n"},
        {"unknown type", 5, "Driver Type: "},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.name);
        CRefPtr<IROMImage> image = FromBytes(DriverFile(GpuSupportList(1, c.type, Entries(2))));
        std::ostringstream out;
        Driver(image).DumpSupportList(out);
        EXPECT_EQ(out.str(), "---GPU support List---\n"
                             "List Version: 01\n" +
                                 c.typeLine +
                                 "entry count: 2\n"
                                 "entry index: 0\n"
                                 "deviceID:           0x2200\n"
                                 "boardID:            0x0E00\n"
                                 "vbios magic number: 1000\n"
                                 "entry index: 1\n"
                                 "deviceID:           0x2201\n"
                                 "boardID:            0x0E01\n"
                                 "vbios magic number: 1001\n");
    }
}

TEST(UefiDriverFileTest, DriverFileTakesTheGpuUefiAnswers)
{
    CRefPtr<IROMImage> image = FromBytes(DriverFile(GpuSupportList(1, 1, Entries(1))));
    EXPECT_EQ(image->GetUEFISupport(), "No");
    EXPECT_EQ(image->CanUpdateUEFI(), "Cannot update: Image is not valid. ");
}
