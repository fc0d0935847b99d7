// The date lines of the image information: an image whose date fields were
// never filled in shows no date line and never a zero byte.

#include "FirmwareImages.h"
#include "flasher/FlasherImpl.h"

#include <gtest/gtest.h>

#include <sstream>
#include <string>

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
