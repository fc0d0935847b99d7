// Real PCI option ROMs that no one here wrote (Debian's ipxe-qemu and
// seabios packages): the chain walk, sizes, code types and checksums must
// agree with the files. Skipped when the packages are not installed.

#include "image/IROMImage.h"
#include "testkit/ErrorOf.h"
#include "testkit/image/SeedImages.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <set>
#include <stdexcept>
#include <string>
#include <vector>

using testkit::ErrorOf;

namespace
{
namespace fs = std::filesystem;

// ISA option ROMs: the 0x55 0xAA mark but no PCI data structure.
bool IsIsaRom(const std::string& name)
{
    static const std::set<std::string> isa = {"vgabios.bin", "vgabios-isavga.bin",
                                              "vgabios-ramfb.bin"};
    return isa.count(name) != 0;
}

TEST(OptionRomTest, ChainsOfRealRomsWalkSizeAndChecksumAsTheFilesSay)
{
    const std::vector<fs::path> files = testkit::DebianOptionRoms();
    if (files.empty())
    {
        GTEST_SKIP() << "ipxe-qemu and seabios option ROMs are not installed (scripts/deps)";
    }
    for (const fs::path& path : files)
    {
        const std::string name = path.filename().string();
        SCOPED_TRACE(name);
        const std::vector<uint8_t> bytes = testkit::ReadFileBytes(path);
        const auto fileSize = static_cast<uint32_t>(bytes.size());
        CRefPtr<IROMImage> image = IROMImage::CreateFromFile(path.string());
        ASSERT_EQ(image->GetImageType(), kROMImageGPU);
        EXPECT_EQ(image->GetLoadedSize(), fileSize);

        if (IsIsaRom(name))
        {
            EXPECT_FALSE(image->IsValid());
            EXPECT_EQ(image->GetROMSize(), 0u);
            EXPECT_EQ(image->NextPCIBlock(0), -1);
            EXPECT_NE(ErrorOf([&] { image->DumpPCIBlocks(1); }).find("PCI Block corrupted 3"),
                      std::string::npos);
            EXPECT_EQ(ErrorOf([&] { image->CheckOffsetModeChain(); }),
                      "PCI Block corrupted 1.OffsetMode is true");
            continue;
        }

        EXPECT_TRUE(image->IsPCIROM());
        EXPECT_EQ(image->GetROMSize(), fileSize);
        EXPECT_EQ(image->GetOffsetNewPCIBlock(), static_cast<int32_t>(fileSize));
        EXPECT_FALSE(image->CheckOffsetModeChain());

        // Blocks follow each other without gaps up to the file's end.
        std::vector<int32_t> blocks;
        std::vector<uint8_t> codeTypes;
        for (int32_t block = 0; block != -1 && blocks.size() < 16;
             block = image->NextPCIBlock(block))
        {
            blocks.push_back(block);
            codeTypes.push_back(image->GetByte(image->FindPCIR(block) + 20));
        }
        ASSERT_FALSE(blocks.empty());
        for (size_t i = 0; i + 1 < blocks.size(); ++i)
        {
            EXPECT_EQ(static_cast<uint32_t>(blocks[i + 1]),
                      blocks[i] + image->GetPCIBlockLength(blocks[i]));
        }
        EXPECT_EQ(blocks.back() + image->GetPCIBlockLength(blocks.back()), fileSize);
        const bool withEfi = name.rfind("efi-", 0) == 0;
        const std::vector<uint8_t> expectedTypes =
            withEfi ? std::vector<uint8_t>{0x00, 0x03} : std::vector<uint8_t>{0x00};
        EXPECT_EQ(codeTypes, expectedTypes);
        EXPECT_EQ(image->FindPCIBlockByCodeType(0x03, 0), withEfi ? blocks.back() : -1);

        const std::string listing = image->DumpPCIBlocks(1);
        EXPECT_EQ(std::count(listing.begin(), listing.end(), '\n'),
                  static_cast<long>(blocks.size() + 1));

        // The files' checksums are right: fixing them changes no byte.
        for (int32_t block : blocks)
        {
            image->FixPCIBlockChecksum(block);
        }
        image->FixChecksum();
        std::vector<uint8_t> after(image->GetBuffer(), image->GetBuffer() + fileSize);
        EXPECT_TRUE(after == bytes);
    }
}
} // namespace
