#include "testkit/varnex/VarnexStoreBuilder.h"
#include "varnex/VarnexImage.h"
#include "varnex/VarnexObject.h"
#include "varnex/VarnexPblObject.h"
#include "varnex/VarnexRomObject.h"
#include "varnex/VarnexTypedObjects.h"

#include <gtest/gtest.h>

#include <vector>

namespace
{

std::vector<uint8_t> Object(const char* tag, uint8_t version, uint8_t subversion, uint16_t size,
                            size_t bodyBytes, uint8_t fill = 0xA5)
{
    std::vector<uint8_t> bytes = {static_cast<uint8_t>(tag[0]),
                                  static_cast<uint8_t>(tag[1]),
                                  static_cast<uint8_t>(tag[2]),
                                  version,
                                  subversion,
                                  static_cast<uint8_t>(size),
                                  static_cast<uint8_t>(size >> 8),
                                  0};
    bytes.resize(8 + bodyBytes, fill);
    return bytes;
}

TEST(VarnexObjectTest, ParsesHeaderAndBody)
{
    const auto bytes = Object("BBX", 1, 2, 20, 12);
    CVarnexImageObject object(VarnexTags::BBX, bytes, 0);
    ASSERT_TRUE(object.HasData());
    EXPECT_EQ(object.GetVersion(), 1);
    EXPECT_EQ(object.GetSubversion(), 2);
    EXPECT_EQ(object.GetSize(), 20);
    EXPECT_EQ(object.GetData(), std::vector<uint8_t>(12, 0xA5));

    // Size 8: a header without a body holds no data.
    const auto headerOnly = Object("BBX", 1, 0, 8, 0);
    EXPECT_FALSE(CVarnexImageObject(VarnexTags::BBX, headerOnly, 0).HasData());
}

// Each malformed header leaves an empty object: zero header, no body.
struct RejectCase
{
    const char* name;
    VarnexTag expected;
    std::vector<uint8_t> bytes;
    uint16_t offset;
};

// The case's name stands for it in test output; its bytes would show
// addresses that change from run to run.
void PrintTo(const RejectCase& c, std::ostream* out)
{
    *out << c.name;
}

class VarnexObjectRejects : public testing::TestWithParam<RejectCase>
{
};

TEST_P(VarnexObjectRejects, LeavesAnEmptyObject)
{
    const RejectCase& c = GetParam();
    const auto object = CVarnexImage::CreateObject(c.expected, c.bytes, c.offset);
    ASSERT_TRUE(object);
    EXPECT_FALSE(object->HasData());
    EXPECT_EQ(object->GetHeader(), VarnexObjectHeader{});
}

std::vector<uint8_t> WithTail(std::vector<uint8_t> bytes, size_t extra)
{
    bytes.resize(bytes.size() + extra, 0);
    return bytes;
}

INSTANTIATE_TEST_SUITE_P(
    Headers, VarnexObjectRejects,
    testing::Values(
        RejectCase{"WrongTag", VarnexTags::BBX, Object("PGM", 1, 0, 20, 12), 0},
        RejectCase{"SizeAtLimit", VarnexTags::BBX, Object("BBX", 1, 0, 0x3000, 0x3000 - 8), 0},
        RejectCase{"RunsPastEnd", VarnexTags::BBX, Object("BBX", 1, 0, 21, 12), 0},
        RejectCase{"SizeBelowHeader", VarnexTags::BBX, Object("BBX", 1, 0, 4, 12), 0},
        RejectCase{"HeaderCutShort", VarnexTags::BBX, {'B', 'B', 'X', 1, 0}, 0},
        RejectCase{"OffsetPastEnd", VarnexTags::BBX, Object("BBX", 1, 0, 20, 12), 40},
        // Typed records must be exactly as long as the size says, so the raw
        // form never overlaps a neighbour.
        RejectCase{"ImgTooShort", VarnexTags::IMG, WithTail(Object("IMG", 1, 0, 60, 52), 8), 0},
        RejectCase{"ImgTooLong", VarnexTags::IMG, Object("IMG", 1, 0, 72, 64), 0},
        RejectCase{"ObdTooShort", VarnexTags::OBD, WithTail(Object("OBD", 1, 0, 64, 56), 64), 0},
        RejectCase{"PpoTooShort", VarnexTags::PPO, WithTail(Object("PPO", 1, 0, 100, 92), 12), 0},
        RejectCase{"EenTooLong", VarnexTags::EEN, Object("EEN", 1, 0, 120, 112), 0},
        RejectCase{"BboTooShort", VarnexTags::BBO, WithTail(Object("BBO", 1, 0, 12, 4), 100), 0},
        RejectCase{"RomTenTooShort", VarnexTags::ROM, WithTail(Object("ROM", 1, 1, 40, 32), 24), 0},
        RejectCase{"RomNineteenAsTen", VarnexTags::ROM, Object("ROM", 1, 2, 64, 56), 0},
        RejectCase{"PblShorterThanRecord", VarnexTags::PBL,
                   WithTail(Object("PBL", 2, 1, 200, 192), 200), 0}),
    [](const testing::TestParamInfo<RejectCase>& info) { return info.param.name; });

TEST(VarnexObjectTest, SerializeAppendsAtTheEndAndOverwritesBefore)
{
    const auto bytes = Object("BBX", 1, 0, 12, 4, 0x11);
    CVarnexImageObject object(VarnexTags::BBX, bytes, 0);

    std::vector<uint8_t> out(3, 0xEE);
    ASSERT_TRUE(object.Serialize(out, 3));
    EXPECT_EQ(out.size(), 15u);
    EXPECT_TRUE(std::equal(bytes.begin(), bytes.end(), out.begin() + 3));

    std::vector<uint8_t> over(20, 0xEE);
    ASSERT_TRUE(object.Serialize(over, 2));
    EXPECT_EQ(over.size(), 20u);
    EXPECT_TRUE(std::equal(bytes.begin(), bytes.end(), over.begin() + 2));
    EXPECT_EQ(over[14], 0xEE);

    // Overwriting past the end, or leaving a gap, writes nothing.
    std::vector<uint8_t> tight(15, 0xEE);
    EXPECT_FALSE(object.Serialize(tight, 5));
    EXPECT_FALSE(object.Serialize(tight, 16));
    EXPECT_EQ(tight, std::vector<uint8_t>(15, 0xEE));
}

TEST(VarnexObjectTest, SetDataResizesAndRefusesBodiesTheStoreCannotHold)
{
    const auto bytes = Object("BBX", 3, 4, 20, 12);
    CVarnexImageObject object(VarnexTags::BBX, bytes, 0);
    ASSERT_TRUE(object.SetData(std::vector<uint8_t>(100, 7)));
    EXPECT_EQ(object.GetSize(), 108);
    EXPECT_EQ(object.GetVersion(), 3);
    EXPECT_EQ(object.GetSubversion(), 4);

    // 0x3000 - 8 body bytes would give a size the store refuses; 0xFFF8 would
    // not even fit the 16-bit size field.
    EXPECT_FALSE(object.SetData(std::vector<uint8_t>(0x3000 - 8, 0)));
    EXPECT_FALSE(object.SetData(std::vector<uint8_t>(0xFFF8, 0)));
    EXPECT_EQ(object.GetSize(), 108);
    EXPECT_EQ(object.GetData(), std::vector<uint8_t>(100, 7));

    ASSERT_TRUE(object.SetData(std::vector<uint8_t>(0x3000 - 9, 1)));
    std::vector<uint8_t> out;
    object.Serialize(out, 0);
    EXPECT_EQ(out.size(), 0x2FFFu);
    EXPECT_EQ(out[5] | (out[6] << 8), 0x2FFF);
}

TEST(VarnexObjectTest, ClearUsesTheTagsClearByteAndPersistentObjectsKeepTheirBody)
{
    struct
    {
        const char* tag;
        uint8_t expected;
    } const table[] = {{"PGM", 0xFF}, {"BBX", 0x00}, {"XYZ", 0x00}};
    for (const auto& row : table)
    {
        const auto bytes = Object(row.tag, 1, 0, 20, 12, 0x5A);
        auto object = CVarnexImage::CreateObject(VarnexTag(row.tag), bytes, 0);
        object->Clear();
        EXPECT_EQ(object->GetData(), std::vector<uint8_t>(12, row.expected)) << row.tag;
    }
    const auto een = testkit::CVarnexStoreBuilder().Een({1, 2, 3}).ObjectBytes(0);
    auto eenObject = CVarnexImage::CreateObject(VarnexTags::EEN, een, 0);
    eenObject->Clear();
    EXPECT_EQ(eenObject->GetData(), std::vector<uint8_t>(104, 0xFF));

    for (const char* tag : {"ECC", "OEM"})
    {
        const auto bytes = Object(tag, 1, 0, 20, 12, 0x5A);
        auto object = CVarnexImage::CreateObject(VarnexTag(tag), bytes, 0);
        object->Clear();
        EXPECT_EQ(object->GetData(), std::vector<uint8_t>(12, 0x5A)) << tag;
    }
}

TEST(VarnexObjectTest, ReparseReplacesHeaderAndBodyOnlyForAnObjectOfItsTag)
{
    const auto bytes = Object("BBX", 1, 0, 20, 12, 1);
    CVarnexImageObject object(VarnexTags::BBX, bytes, 0);
    EXPECT_TRUE(object.Reparse(Object("BBX", 2, 0, 10, 2, 9)));
    EXPECT_EQ(object.GetVersion(), 2);
    EXPECT_EQ(object.GetData(), (std::vector<uint8_t>{9, 9}));

    // Bytes of another tag change nothing.
    EXPECT_FALSE(object.Reparse(Object("PGM", 3, 0, 10, 2, 7)));
    EXPECT_EQ(object.GetVersion(), 2);
    EXPECT_EQ(object.GetData(), (std::vector<uint8_t>{9, 9}));
}

TEST(VarnexObjectTest, FactoryChoosesTheClassByTag)
{
    testkit::CVarnexStoreBuilder builder;
    builder.Img("1.0", 1, 2, 3, 4)
        .Obd("P")
        .Oem({1})
        .Ecc({2})
        .Pbl(2, 1, {}, {})
        .Ppo({})
        .Een({})
        .Bbo(1, 2, 3)
        .Generic("BBX", {4});
    const auto raw = builder.BuildRaw();
    CVarnexImage image(raw);
    ASSERT_TRUE(image.IsValid());
    EXPECT_TRUE(dynamic_cast<CVarnexImageRomObject*>(image.FindObject(VarnexTags::ROM)));
    EXPECT_TRUE(dynamic_cast<CVarnexImageImgObject*>(image.FindObject(VarnexTags::IMG)));
    EXPECT_TRUE(dynamic_cast<CVarnexImageObdObject*>(image.FindObject(VarnexTags::OBD)));
    EXPECT_TRUE(dynamic_cast<CVarnexImageOemObject*>(image.FindObject(VarnexTags::OEM)));
    EXPECT_TRUE(dynamic_cast<CVarnexImagePersistentObject*>(image.FindObject(VarnexTags::ECC)));
    EXPECT_TRUE(dynamic_cast<CVarnexImagePblObject*>(image.FindObject(VarnexTags::PBL)));
    EXPECT_TRUE(dynamic_cast<CVarnexImagePpoObject*>(image.FindObject(VarnexTags::PPO)));
    EXPECT_TRUE(dynamic_cast<CVarnexImageEenObject*>(image.FindObject(VarnexTags::EEN)));
    EXPECT_TRUE(dynamic_cast<CVarnexImageBboObject*>(image.FindObject(VarnexTags::BBO)));
    EXPECT_FALSE(dynamic_cast<CVarnexImagePersistentObject*>(image.FindObject(VarnexTags::BBX)));
    EXPECT_FALSE(CVarnexImage::CreateObject(VarnexTags::Zero, raw, 0));
    EXPECT_FALSE(CVarnexImage::CreateObject(VarnexTags::Unknown, raw, 0));
}

} // namespace
