// The package turned into the images the run tries.

#include "app/KRUserFlashApp.h"
#include "testkit/image/GpuImageBuilder.h"
#include "testkit/image/KrromWriter.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

namespace
{
std::vector<uint8_t> Firmware(uint16_t boardId)
{
    testkit::InfoToken info;
    info.boardId = boardId;
    info.version = 0x86041C00;
    return testkit::CGpuImageBuilder()
        .Block(testkit::CGpuImageBuilder::kX86, 0x8000)
        .DeviceId(0x0800)
        .HardwareDataArea(0x7E2B, 0x0001)
        .Info(info)
        .Version(info.version, 2)
        .Build();
}

char* Argument(const char* text)
{
    return const_cast<char*>(text);
}
} // namespace

TEST(LoadPackagedImages, SingleImageIsNamedAndPackKeepsItsOwnNames)
{
    char* argv[] = {Argument("romuvise")};
    CKRUserFlashApp app(1, argv);
    CRefPtr<IBoardDatabase> boards = GetBoardDatabase();

    const std::vector<uint8_t> single = Firmware(0x0201);
    std::vector<CRefPtr<IROMImage>> images;
    SelectionCriteria selection;
    selection.kind = 7;
    app.LoadPackagedImages(images, boards, single.data(), static_cast<uint32_t>(single.size()),
                           false, selection);
    ASSERT_EQ(images.size(), 1u);
    EXPECT_STREQ(images[0]->GetFileNameCStr(), "flash.rom");
    EXPECT_EQ(selection.kind, 0);
    CBoardType board;
    boards->GetBoardType(board, 0x0201);
    EXPECT_EQ(images[0]->GetBoardName(), board.IsKnown() ? board.name : "");

    const std::vector<uint8_t> pack = testkit::CKrromWriter()
                                          .Full(Firmware(0x0201), "A", "Board A")
                                          .Full(Firmware(0x0202), "B", "Board B")
                                          .Build();
    images.clear();
    app.LoadPackagedImages(images, boards, pack.data(), static_cast<uint32_t>(pack.size()), true,
                           selection);
    ASSERT_EQ(images.size(), 2u);
    EXPECT_STREQ(images[0]->GetFileNameCStr(), "A");
    EXPECT_STREQ(images[1]->GetFileNameCStr(), "B");
    EXPECT_EQ(images[1]->GetBoardID(), 0x0202);
}
