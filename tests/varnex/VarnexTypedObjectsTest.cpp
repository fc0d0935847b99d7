#include "testkit/varnex/CapturedLog.h"
#include "testkit/varnex/VarnexStoreBuilder.h"
#include "varnex/VarnexImage.h"
#include "varnex/VarnexParity.h"
#include "varnex/VarnexTypedObjects.h"

#include <gtest/gtest.h>

#include <sstream>

namespace
{

using testkit::CapturedLog;
using testkit::CVarnexStoreBuilder;

template <class T> T Make(const CVarnexStoreBuilder& builder)
{
    const auto bytes = builder.ObjectBytes(0);
    return T(bytes, 0);
}

std::vector<uint8_t> Serialized(const CVarnexImageObject& object)
{
    std::vector<uint8_t> out;
    object.Serialize(out, 0);
    return out;
}

TEST(ImgObjectTest, ReadsVersionTextIdsAndWaiver)
{
    const auto img = Make<CVarnexImageImgObject>(
        CVarnexStoreBuilder().Img("1.2", 0x2204, 0x10DE, 0x1454, 0x10DF));
    EXPECT_EQ(img.GetVersionText(), "1.2");
    EXPECT_EQ(img.GetDeviceId(), 0x2204);
    EXPECT_EQ(img.GetVendorId(), 0x10DE);
    EXPECT_EQ(img.GetSubsystemId(), 0x1454);
    EXPECT_EQ(img.GetSubsystemVendorId(), 0x10DF);
    EXPECT_FALSE(img.IsIdCheckWaived());

    // All 16 characters when no zero ends the text.
    EXPECT_EQ(
        Make<CVarnexImageImgObject>(CVarnexStoreBuilder().Img("0123456789ABCDEFGH", 0, 0, 0, 0))
            .GetVersionText(),
        "0123456789ABCDEF");

    for (const auto& [waiver, waived] :
         std::vector<std::pair<uint8_t, bool>>{{1, true}, {2, false}, {0xFF, false}})
    {
        auto bytes = CVarnexStoreBuilder().Img("1", 0, 0, 0, 0).ObjectBytes(0);
        bytes[32] = waiver;
        EXPECT_EQ(CVarnexImageImgObject(bytes, 0).IsIdCheckWaived(), waived) << int{waiver};
    }

    const std::vector<uint8_t> nothing;
    const CVarnexImageImgObject empty(nothing, 0);
    EXPECT_EQ(empty.GetVersionText(), "");
    EXPECT_EQ(empty.GetDeviceId(), 0);
    EXPECT_FALSE(empty.IsIdCheckWaived());
}

TEST(TypedObjectTest, SetDataReachesWhatIsSerializedForEveryKind)
{
    // One representation: a new body written through SetData is what the
    // object reads and writes afterwards, typed fields included.
    CVarnexStoreBuilder builder;
    builder.Img("1.0", 1, 2, 3, 4).Obd("OLD").Ppo({}).Een({}).Bbo(1, 1, 1).Pbl(2, 1, {}, {});
    const auto raw = builder.BuildRaw();
    for (size_t i = 0; i < builder.ObjectCount(); ++i)
    {
        const auto bytes = builder.ObjectBytes(i);
        const VarnexTag tag = VarnexTag::FromBytes(bytes[0], bytes[1], bytes[2]);
        auto object = CVarnexImage::CreateObject(tag, bytes, 0);
        ASSERT_TRUE(object->HasData()) << TagToString(tag);
        std::vector<uint8_t> body(bytes.size() - 8);
        for (size_t k = 0; k < body.size(); ++k)
        {
            body[k] = static_cast<uint8_t>(k * 7 + 3);
        }
        // A body of another length could not be read back: refused.
        EXPECT_FALSE(object->SetData(std::vector<uint8_t>(body.size() - 1, 0))) << TagToString(tag);
        ASSERT_TRUE(object->SetData(body));
        const auto out = Serialized(*object);
        ASSERT_EQ(out.size(), bytes.size()) << TagToString(tag);
        EXPECT_TRUE(std::equal(body.begin(), body.end(), out.begin() + 8)) << TagToString(tag);
    }

    auto obdBytes = builder.ObjectBytes(1);
    CVarnexImageObdObject obd(obdBytes, 0);
    auto body = obd.GetData();
    body[79 - 8] = 'N';
    obd.SetData(body);
    EXPECT_EQ(obd.GetProductNumberField()[0], 'N');

    auto bboBytes = builder.ObjectBytes(4);
    CVarnexImageBboObject bbo(bboBytes, 0);
    auto bboBody = bbo.GetData();
    bboBody[0] = 0x42;
    bbo.SetData(bboBody);
    uint32_t id = 0, revision = 0, value = 0;
    bbo.GetValue(id, revision, value);
    EXPECT_EQ(id, 0x42u);
}

TEST(ObdObjectTest, SetsTheBoardProductNumber)
{
    auto obd = Make<CVarnexImageObdObject>(CVarnexStoreBuilder().Obd("699-12345-0000-A01"));
    const std::string five = "ABCDE";
    ASSERT_TRUE(obd.SetBoardProductNumber(std::vector<uint8_t>(five.begin(), five.end())));
    const auto field = obd.GetProductNumberField();
    EXPECT_EQ(std::string(field.begin(), field.begin() + 5), "ABCDE");
    for (size_t i = 5; i < field.size(); ++i)
    {
        EXPECT_EQ(field[i], 0) << i;
    }
    // The change reaches the stored bytes at offset 79.
    const auto out = Serialized(obd);
    ASSERT_EQ(out.size(), 128u);
    EXPECT_EQ(std::string(out.begin() + 79, out.begin() + 84), "ABCDE");
    EXPECT_EQ(out[84], 0);

    testing::internal::CaptureStdout();
    EXPECT_FALSE(obd.SetBoardProductNumber(std::vector<uint8_t>(21, 'X')));
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "Error: Invalid board product number (too big)\n");
    EXPECT_EQ(Serialized(obd), out);
}

TEST(PpoObjectTest, AddsToAFreshTableAfterAddingItsHeader)
{
    CapturedLog captured;
    auto ppo = Make<CVarnexImagePpoObject>(CVarnexStoreBuilder().Ppo({}, 0));
    testing::internal::CaptureStdout();
    ASSERT_TRUE(ppo.AddPolicy("TGP", "limitRated", "250", &captured.log));
    testing::internal::GetCapturedStdout();
    EXPECT_EQ(captured.text.str(), "\nAdding header.\nHeader: \n    Version: 16\n    Size: 4\n"
                                   "    Entry size: 6\n    Entry count: 0\n");
    EXPECT_EQ(ppo.GetTableVersion(), 16);
    ASSERT_EQ(ppo.GetEntries().size(), 1u);
    EXPECT_EQ(ppo.GetEntries()[0].valueMilliwatts, 250u);

    // The same pair again updates the entry.
    captured.text.str("");
    ASSERT_TRUE(ppo.AddPolicy("TGP", "limitRated", "0x10", &captured.log));
    EXPECT_EQ(captured.text.str(), "Policy 'TGP' with override attribute 'limitRated' already "
                                   "exist. Updating existing entry. \n");
    ASSERT_EQ(ppo.GetEntries().size(), 1u);
    EXPECT_EQ(ppo.GetEntries()[0].valueMilliwatts, 16u);
    ASSERT_TRUE(ppo.AddPolicy("TGP", "limitRated", "010", &captured.log));
    EXPECT_EQ(ppo.GetEntries()[0].valueMilliwatts, 8u);

    // The stored bytes follow: entry 0 at offset 12.
    const auto out = Serialized(ppo);
    EXPECT_EQ(out[11], 1);
    EXPECT_EQ(out[12], 1);
    EXPECT_EQ(out[13], 2);
    EXPECT_EQ(out[14], 8);

    testing::internal::CaptureStdout();
    ppo.PrintPolicies(&captured.log);
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "\nPolicy Name: TGP    Override Attribute: limitRated    Override Value: 8mW\n");
}

TEST(PpoObjectTest, NamesItsCodesAndPrintsUnknownOnesAsInvalid)
{
    const char* const attributes[] = {"limitMin", "limitMax", "limitRated", "limitCurrent",
                                      "limitBattery"};
    for (uint8_t code = 0; code < 5; ++code)
    {
        EXPECT_EQ(CVarnexImagePpoObject::GetAttributeName(code), attributes[code]);
        EXPECT_EQ(CVarnexImagePpoObject::ParseAttributeName(attributes[code]), code);
    }
    EXPECT_EQ(CVarnexImagePpoObject::ParseAttributeName("LimitMin"), 5);
    EXPECT_EQ(CVarnexImagePpoObject::ParsePolicyName("TGP"), 1);
    EXPECT_EQ(CVarnexImagePpoObject::ParsePolicyName("tgp"), 2);

    // A table read from a store may hold codes the system has no name for.
    const auto ppo = Make<CVarnexImagePpoObject>(
        CVarnexStoreBuilder().Ppo({{1, 1, 100}, {2, 5, 7}, {0, 4, 3000000000u}}));
    CapturedLog captured;
    testing::internal::CaptureStdout();
    ppo.PrintPolicies(&captured.log);
    const std::string lines =
        "\nPolicy Name: TGP    Override Attribute: limitMax    Override Value: 100mW\n"
        "Policy Name: INVALID    Override Attribute: INVALID    Override Value: 7mW\n"
        "Policy Name: INVALID    Override Attribute: limitBattery    Override Value: "
        "3000000000mW\n";
    EXPECT_EQ(testing::internal::GetCapturedStdout(), lines);
    EXPECT_EQ(captured.text.str(), "Header: \n    Version: 16\n    Size: 4\n    Entry size: 6\n"
                                   "    Entry count: 3\n" +
                                       lines);
}

TEST(PpoObjectTest, RefusesBadRequestsWithTheirMessages)
{
    struct
    {
        const char* policy;
        const char* attribute;
        const char* value;
        const char* message;
    } const table[] = {
        {"PWR", "limitRated", "1", "\nError: Invalid policy name 'PWR'\n"},
        {"TGP", "limitrated", "1", "\nError: Invalid override attribute 'limitrated'\n"},
        {"TGP", "limitMin", "1", "\nError: Override attribute 'limitMin' can't be set\n"},
        {"TGP", "limitRated", "12abc", "\nError: Invalid override value '12abc'\n"},
        {"TGP", "limitRated", "0x100000000", "\nError: Invalid override value '0x100000000'\n"},
    };
    for (const auto& row : table)
    {
        CapturedLog captured;
        auto ppo = Make<CVarnexImagePpoObject>(CVarnexStoreBuilder().Ppo({}));
        const auto before = Serialized(ppo);
        testing::internal::CaptureStdout();
        EXPECT_FALSE(ppo.AddPolicy(row.policy, row.attribute, row.value, &captured.log));
        EXPECT_EQ(testing::internal::GetCapturedStdout(), row.message);
        EXPECT_EQ(Serialized(ppo), before);
    }

    // A table read with 16 entries is full.
    std::vector<VarnexPolicyEntry> sixteen(16, VarnexPolicyEntry{1, 0, 5});
    auto full = Make<CVarnexImagePpoObject>(CVarnexStoreBuilder().Ppo(sixteen));
    CapturedLog captured;
    testing::internal::CaptureStdout();
    EXPECT_FALSE(full.AddPolicy("TGP", "limitRated", "1", &captured.log));
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "\nError: Power Policy Table is full.\n");
}

TEST(PpoObjectTest, DeletesEntriesAndReportsMissingOnes)
{
    auto ppo = Make<CVarnexImagePpoObject>(
        CVarnexStoreBuilder().Ppo({{1, 0, 100}, {1, 2, 250}, {1, 1, 300}}));
    CapturedLog captured;
    ASSERT_TRUE(ppo.DeletePolicy("TGP", "limitRated", &captured.log));
    const auto entries = ppo.GetEntries();
    ASSERT_EQ(entries.size(), 2u);
    EXPECT_EQ(entries[1].valueMilliwatts, 300u);
    const auto out = Serialized(ppo);
    EXPECT_EQ(std::vector<uint8_t>(out.begin() + 24, out.begin() + 30), std::vector<uint8_t>(6, 0));

    testing::internal::CaptureStdout();
    EXPECT_FALSE(ppo.DeletePolicy("TGP", "limitRated", &captured.log));
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "\nError: Policy 'TGP' with override attribute 'limitRated' not found.\n");

    auto empty = Make<CVarnexImagePpoObject>(CVarnexStoreBuilder().Ppo({}));
    testing::internal::CaptureStdout();
    EXPECT_FALSE(empty.DeletePolicy("TGP", "limitRated", &captured.log));
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "Error: Empty power policy override table \n");
    testing::internal::CaptureStdout();
    EXPECT_FALSE(empty.DeletePolicy("TGP", "limitMax", &captured.log));
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "Error: Override attribute 'limitMax' can't be deleted\n");
}

TEST(PpoObjectTest, ACountAboveSixteenNeverWalksPastTheTable)
{
    auto bytes = CVarnexStoreBuilder().Ppo({}).ObjectBytes(0);
    bytes[11] = 200;
    CVarnexImagePpoObject ppo(bytes, 0);
    EXPECT_EQ(ppo.GetEntries().size(), 16u);
    CapturedLog captured;
    testing::internal::CaptureStdout();
    EXPECT_FALSE(ppo.AddPolicy("TGP", "limitRated", "1", &captured.log));
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "\nError: Power Policy Table is full.\n");
}

TEST(EenAndBboObjectTest, KeepTheirFieldsInTheStoredBytes)
{
    auto een = Make<CVarnexImageEenObject>(CVarnexStoreBuilder().Een({}));
    auto words = een.GetWords();
    ASSERT_EQ(SetArrayParity(words.data(), static_cast<uint32_t>(words.size()), 1), 0);
    ASSERT_TRUE(een.SetWords(words));
    const auto out = Serialized(een);
    ASSERT_EQ(out.size(), 112u);
    EXPECT_EQ(out[8], 0xFE);
    EXPECT_EQ(out[111], 0xFF);

    auto bbo = Make<CVarnexImageBboObject>(CVarnexStoreBuilder().Bbo(1, 2, 3));
    ASSERT_TRUE(bbo.SetValue(0x1FF, 0x102, 0x12345));
    uint32_t id = 0, revision = 0, value = 0;
    bbo.GetValue(id, revision, value);
    EXPECT_EQ(id, 0xFFu);
    EXPECT_EQ(revision, 0x02u);
    EXPECT_EQ(value, 0x2345u);
    const auto bboOut = Serialized(bbo);
    EXPECT_EQ(std::vector<uint8_t>(bboOut.begin() + 8, bboOut.begin() + 12),
              (std::vector<uint8_t>{0xFF, 0x02, 0x45, 0x23}));
}

} // namespace
