// Parsing microcode images: header checks, the DMEM mapper, the signature
// patch of built-in images and the device table.

#include "eeprom/KestrixImage.h"
#include "testkit/kestrix/KestrixImageBuilder.h"

#include <gtest/gtest.h>

#include <functional>

namespace
{
struct ParseCase
{
    const char* name;
    std::function<void(KestrixImageSpec&)> change;
    uint32_t status;
};

TEST(KestrixImage, ParseStatuses)
{
    const std::vector<ParseCase> cases = {
        {"well formed", [](KestrixImageSpec&) {}, 0},
        {"version 1", [](KestrixImageSpec& s) { s.version = 1; }, 0},
        {"one byte more", [](KestrixImageSpec& s) { s.extraBytes = 1; }, 1},
        {"one byte less", [](KestrixImageSpec& s) { s.extraBytes = -1; }, 1},
        {"version 3", [](KestrixImageSpec& s) { s.version = 3; }, 3},
        {"no mapper", [](KestrixImageSpec& s) { s.withMapper = false; }, 4},
        {"mapper off a word boundary", [](KestrixImageSpec& s) { s.mapperOffset = 0x41; }, 4},
        {"mapper version 1", [](KestrixImageSpec& s) { s.mapperVersion = 1; }, 0},
        {"mapper version 4", [](KestrixImageSpec& s) { s.mapperVersion = 4; }, 0},
        // The code segment may not start inside the header.
        {"header of 16 bytes", [](KestrixImageSpec& s) { s.headerSize = 16; }, 1},
        // Records the mapper names must lie inside the data segment.
        {"printf header outside", [](KestrixImageSpec& s) { s.printfHeaderOffset = 0x1F0; }, 1},
        {"signature table outside",
         [](KestrixImageSpec& s) { s.signatureTableOffset = 0xFFFFFFFC; }, 1},
        {"target record outside", [](KestrixImageSpec& s) { s.targetRecordOffset = 0x1FC; }, 1},
        {"mapper at the segment's end", [](KestrixImageSpec& s) { s.mapperOffset = 0x1F0; }, 1},
    };
    for (const ParseCase& c : cases)
    {
        SCOPED_TRACE(c.name);
        KestrixImageSpec spec;
        c.change(spec);
        EXPECT_EQ(ParseKestrixImage(BuildKestrixImage(spec), 1, nullptr).status, c.status);
    }
}

TEST(KestrixImage, HeaderOfNothingButItself)
{
    std::vector<uint8_t> image = BuildKestrixImage();
    image.resize(32);
    EXPECT_EQ(ParseKestrixImage(image, 1, nullptr).status, 1u);
}

TEST(KestrixImage, SizesThatOnlyAddUpIn32Bits)
{
    // 0x20 + 0xFFFFFF00 + 0x120 wraps to 0x40 in 32 bits.
    std::vector<uint8_t> image = BuildKestrixImage();
    image.resize(0x40);
    KestrixPutWord(image, 8, 0xFFFFFF00);
    KestrixPutWord(image, 12, 0x120);
    EXPECT_EQ(ParseKestrixImage(image, 1, nullptr).status, 1u);
}

TEST(KestrixImage, KeepsSegmentsAndSecureValues)
{
    KestrixImageSpec spec;
    spec.alternateSecureSize = 0x80;
    spec.alternateDmemSize = 0x400;
    const KestrixParsedImage v2 = ParseKestrixImage(BuildKestrixImage(spec), 5, nullptr);
    EXPECT_EQ(v2.code.size(), 0x200u);
    EXPECT_EQ(v2.code[0x123], KestrixCodeByte(spec, 0x123));
    EXPECT_EQ(v2.secureStart, 0x100u);
    EXPECT_EQ(v2.secureEnd, 0x200u);
    EXPECT_EQ(v2.entireSecureSize, 0x100u);
    EXPECT_EQ(v2.alternateSecureSize, 0x80u);
    EXPECT_EQ(v2.alternateDmemSize, 0x400u);
    EXPECT_TRUE(v2.secure);
    ASSERT_TRUE(v2.mapper);
    EXPECT_EQ(v2.mapper->rmv_img_data_buffer_size, 0x2000u);
    EXPECT_EQ(v2.data[0x90 + 8], 5); // sec named in the target record

    spec.version = 1;
    spec.secureStart = 0;
    spec.secureEnd = 0x180;
    const KestrixParsedImage v1 = ParseKestrixImage(BuildKestrixImage(spec), 1, nullptr);
    EXPECT_FALSE(v1.secure);
    EXPECT_EQ(v1.secureEnd, 0x180u);
    EXPECT_EQ(v1.alternateSecureSize, 0u);
}

TEST(KestrixImage, TargetRecordOfAnotherVersionIsLeftAlone)
{
    KestrixImageSpec spec;
    spec.targetRecordVersion = 2;
    EXPECT_EQ(ParseKestrixImage(BuildKestrixImage(spec), 1, nullptr).data[0x90 + 8], 0);
}

TEST(KestrixImage, UserImageModeGoesIntoATargetRecordOfVersionOne)
{
    struct Case
    {
        uint16_t mapperVersion;
        uint16_t recordVersion;
        uint8_t written;
    };
    for (const Case c : {Case{3, 1, 1}, Case{3, 2, 0}, Case{1, 1, 0}})
    {
        SCOPED_TRACE(testing::Message() << c.mapperVersion << "/" << c.recordVersion);
        KestrixImageSpec spec;
        spec.mapperVersion = c.mapperVersion;
        spec.targetRecordVersion = c.recordVersion;
        KestrixParsedImage parsed = ParseKestrixImage(BuildKestrixImage(spec), 1, nullptr);
        const std::vector<uint8_t> before = parsed.data;
        SetKestrixUserImageMode(parsed, 1);
        EXPECT_EQ(parsed.data[0x90 + 9], c.written);
        SetKestrixUserImageMode(parsed, 0);
        EXPECT_EQ(parsed.data, before);
    }
}

TEST(KestrixImage, SignaturePatchFollowsTheMapper)
{
    const std::array<uint8_t, 16> production = {1, 2,  3,  4,  5,  6,  7,  8,
                                                9, 10, 11, 12, 13, 14, 15, 16};
    const std::array<uint8_t, 16> alternate = {0xA1, 0xA2};
    const KestrixUcodeDescriptor descriptor{nullptr, 0, alternate.data(), production.data()};
    struct Case
    {
        uint16_t mapperVersion;
        uint32_t signatureArea; // where the signature table points
    };
    for (const Case c : {Case{3, 0x180}, Case{1, 0x180}})
    {
        SCOPED_TRACE(c.mapperVersion);
        KestrixImageSpec spec;
        spec.mapperVersion = c.mapperVersion;
        std::vector<uint8_t> image = BuildKestrixImage(spec);
        // Point the signature table's areas at 0x180 and 0x1A0.
        KestrixPutWord(image, 32 + 0x200 + 0x88, c.signatureArea);
        KestrixPutWord(image, 32 + 0x200 + 0x8C, c.signatureArea + 0x20);
        const KestrixParsedImage parsed = ParseKestrixImage(image, 1, &descriptor);
        const uint32_t slot = c.mapperVersion == 3 ? c.signatureArea : 0;
        const uint32_t alternateSlot = c.mapperVersion == 3 ? c.signatureArea + 0x20 : 16;
        EXPECT_TRUE(std::equal(production.begin(), production.end(), parsed.data.begin() + slot));
        EXPECT_TRUE(
            std::equal(alternate.begin(), alternate.end(), parsed.data.begin() + alternateSlot));
    }
}

TEST(KestrixImage, DeviceTable)
{
    for (const KestrixUcodeRange& range : KestrixBuiltinRanges())
    {
        EXPECT_EQ(FindKestrixUcodeForDeviceId(range.lastDeviceId), range.descriptor);
        EXPECT_EQ(FindKestrixUcodeForDeviceId(range.firstDeviceId), range.descriptor);
        // Every built-in image parses, with its signatures patched in.
        const KestrixUcodeDescriptor& d = *range.descriptor;
        EXPECT_EQ(ParseKestrixImage({d.image, d.size}, 1, &d).status, 0u);
    }
    EXPECT_EQ(FindKestrixUcodeForDeviceId(0x0610), nullptr);
    EXPECT_EQ(FindKestrixUcodeForDeviceId(0xFFFF), nullptr);
    EXPECT_EQ(ParseKestrixImage(KestrixKrdecImage(), 4, nullptr).status, 0u);
}
} // namespace
