// Which new object may replace which old one, and what each class keeps of
// the old data.

#include "testkit/varnex/CapturedLog.h"
#include "testkit/varnex/VarnexStoreBuilder.h"
#include "varnex/VarnexImage.h"
#include "varnex/VarnexPblObject.h"
#include "varnex/VarnexTypedObjects.h"

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <sstream>

namespace
{

using testkit::CapturedLog;
using testkit::CVarnexStoreBuilder;

// The one object a builder holds, made by the class that serves its tag.
std::unique_ptr<CVarnexImageObject> Make(const CVarnexStoreBuilder& builder)
{
    const auto bytes = builder.ObjectBytes(0);
    const VarnexTag tag = VarnexTag::FromBytes(bytes[0], bytes[1], bytes[2]);
    return CVarnexImage::CreateObject(tag, bytes, 0);
}

std::vector<uint8_t> Filled(size_t count, uint8_t value)
{
    return std::vector<uint8_t>(count, value);
}

// ---- transitions ----

struct TransitionCase
{
    const char* name;
    CVarnexStoreBuilder oldObject;
    CVarnexStoreBuilder newObject;
    bool allowed;
    bool mayLose; // after the call, which starts with true
    std::string text;
};

TEST(TransitionTest, EachClassDecidesWhichOldObjectItMayReplace)
{
    const auto ecc = [](uint8_t v, uint8_t s, size_t length)
    { return CVarnexStoreBuilder().Ecc(Filled(length, 0xEC)).WithVersion(v, s); };
    const auto pbl = [](uint8_t v, uint8_t s) { return CVarnexStoreBuilder().Pbl(v, s, {}, {}); };
    const auto oem = [](uint8_t v, uint8_t s, size_t length)
    { return CVarnexStoreBuilder().Oem(Filled(length, 0x0E)).WithVersion(v, s); };

    const std::vector<TransitionCase> cases = {
        {"base newer subversion", CVarnexStoreBuilder().Bbo(1, 1, 1),
         CVarnexStoreBuilder().Bbo(2, 2, 2).WithVersion(1, 1), true, false,
         "The BBO object supports the version transition from 1.0 to 1.1 by\n"
         "default. No data will persist, and will be overwritten implicitly.\n"},
        {"base newer version, older subversion",
         CVarnexStoreBuilder().Generic("BBX", {1}).WithVersion(2, 9),
         CVarnexStoreBuilder().Generic("BBX", {1}).WithVersion(12, 0), true, false,
         "The BBX object supports the version transition from 2.9 to 12.0 by\n"
         "default. No data will persist, and will be overwritten implicitly.\n"},
        {"base older version", CVarnexStoreBuilder().Generic("PGM", {1}).WithVersion(2, 0),
         CVarnexStoreBuilder().Generic("PGM", {1}).WithVersion(1, 5), false, true,
         "Error: the new PGM object has an older version.\n"},
        {"base older subversion", CVarnexStoreBuilder().Img("1", 0, 0, 0, 0).WithVersion(1, 3),
         CVarnexStoreBuilder().Img("1", 0, 0, 0, 0).WithVersion(1, 2), false, true,
         "Error: the new IMG object has an older subversion.\n"},
        {"persistent same version, longer body", ecc(2, 1, 40), ecc(2, 3, 48), true, false, ""},
        {"persistent same version, shorter body", ecc(2, 1, 40), ecc(2, 3, 32), false, true, ""},
        {"persistent older subversion", ecc(2, 3, 40), ecc(2, 1, 40), false, true,
         "Error: the new ECC object has an older subversion.\n"},
        {"persistent newer major version", ecc(1, 7, 40), ecc(2, 0, 8), true, true, ""},
        {"persistent older major version", CVarnexStoreBuilder().Ppo({}).WithVersion(2, 0),
         CVarnexStoreBuilder().Ppo({}).WithVersion(1, 0), false, true,
         "Error: the new PPO object has an older major version.\n"},
        {"board data same version", CVarnexStoreBuilder().Obd("A"), CVarnexStoreBuilder().Obd("B"),
         true, false, ""},
        {"OEM ignores versions", oem(3, 0, 16), oem(1, 0, 16), true, false, ""},
        {"OEM shorter body", oem(1, 0, 16), oem(1, 0, 8), false, true, ""},
        {"PBL 2.0 to 2.1", pbl(2, 0), pbl(2, 1), true, true, ""},
        {"PBL 2.1 to 2.0", pbl(2, 1), pbl(2, 0), true, false, ""},
        {"PBL 2.0 to 3.0", pbl(2, 0), pbl(3, 0), true, true, ""},
        {"PBL 3.0 to 2.1", pbl(3, 0), pbl(2, 1), false, true,
         "Error: the new PBL object has an older major version.\n"},
        {"PBL same version", pbl(3, 0), pbl(3, 0), true, false, ""},
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE(c.name);
        const auto oldObject = Make(c.oldObject);
        const auto newObject = Make(c.newObject);
        ASSERT_TRUE(oldObject->HasData() && newObject->HasData());
        CapturedLog log;
        bool mayLose = true;
        EXPECT_EQ(newObject->CanTransitionFrom(*oldObject, mayLose, &log.log), c.allowed);
        EXPECT_EQ(mayLose, c.mayLose);
        EXPECT_EQ(log.text.str(), c.text);
    }
}

// ---- merges ----

TEST(MergeTest, BaseClassesDiscardTheOldData)
{
    const auto oldBbo = Make(CVarnexStoreBuilder().Bbo(1, 1, 0x1111));
    auto newBbo = Make(CVarnexStoreBuilder().Bbo(2, 2, 0x2222).WithVersion(1, 1));
    const auto before = newBbo->GetBytes();
    CapturedLog log;
    EXPECT_TRUE(newBbo->MergeFrom(*oldBbo, &log.log));
    EXPECT_EQ(log.text.str(), "Discarding old data for BBO object.\n");
    EXPECT_EQ(newBbo->GetBytes(), before);
}

TEST(MergeTest, PersistentObjectsKeepTheOldBodyWithinOneMajorVersion)
{
    // Old ECC 2.1 with 40 bytes into a new 2.3 with 48: the old bytes, then zeros.
    auto oldBody = Filled(40, 0);
    for (size_t i = 0; i < oldBody.size(); ++i)
    {
        oldBody[i] = static_cast<uint8_t>(i + 1);
    }
    const auto oldEcc = Make(CVarnexStoreBuilder().Ecc(oldBody).WithVersion(2, 1));
    auto newEcc = Make(CVarnexStoreBuilder().Ecc(Filled(48, 0xEE)).WithVersion(2, 3));
    CapturedLog log;
    EXPECT_TRUE(newEcc->MergeFrom(*oldEcc, &log.log));
    EXPECT_EQ(log.text.str(), "Preserving data for ECC object.\n");
    auto expected = oldBody;
    expected.resize(48, 0);
    EXPECT_EQ(newEcc->GetData(), expected);
    EXPECT_EQ(newEcc->GetSize(), 56);
    EXPECT_EQ(newEcc->GetSubversion(), 3); // the header stays the new one

    // A newer major version discards; an older one is an error.
    auto newerEcc = Make(CVarnexStoreBuilder().Ecc(Filled(8, 0xEE)).WithVersion(3, 0));
    CapturedLog discard;
    EXPECT_TRUE(newerEcc->MergeFrom(*oldEcc, &discard.log));
    EXPECT_EQ(discard.text.str(), "Discarding old data for ECC object.\n");
    EXPECT_EQ(newerEcc->GetData(), Filled(8, 0xEE));

    auto olderEcc = Make(CVarnexStoreBuilder().Ecc(Filled(48, 0xEE)).WithVersion(1, 0));
    CapturedLog refuse;
    EXPECT_FALSE(olderEcc->MergeFrom(*oldEcc, &refuse.log));
    EXPECT_EQ(refuse.text.str(), "Error: the new ECC object has an older major version.\n");
    EXPECT_EQ(olderEcc->GetData(), Filled(48, 0xEE));
}

TEST(MergeTest, PowerPolicyTableKeptIsTheTableWrittenOut)
{
    const auto oldPpo = Make(CVarnexStoreBuilder().Ppo({{1, 2, 250}, {1, 2, 300}}));
    auto newPpo = Make(CVarnexStoreBuilder().Ppo({{1, 2, 999}}));
    CapturedLog log;
    EXPECT_TRUE(newPpo->MergeFrom(*oldPpo, &log.log));
    EXPECT_EQ(log.text.str(), "Preserving data for PPO object.\n");

    // What is serialised, read back, is the old table.
    std::vector<uint8_t> written;
    ASSERT_TRUE(newPpo->Serialize(written, 0));
    EXPECT_EQ(written, oldPpo->GetBytes());
    const CVarnexImagePpoObject reread(written, 0);
    ASSERT_EQ(reread.GetEntries().size(), 2u);
    EXPECT_EQ(reread.GetEntries()[1].valueMilliwatts, 300u);
}

TEST(MergeTest, OemKeepsTheOldBodyFittedToTheNewLength)
{
    const auto oldOem = Make(CVarnexStoreBuilder().Oem({1, 2, 3, 4, 5, 6}).WithVersion(3, 0));
    for (const auto& [newLength, expected] : std::vector<std::pair<size_t, std::vector<uint8_t>>>{
             {6, {1, 2, 3, 4, 5, 6}}, {9, {1, 2, 3, 4, 5, 6, 0, 0, 0}}, {4, {1, 2, 3, 4}}})
    {
        auto newOem = Make(CVarnexStoreBuilder().Oem(Filled(newLength, 0xAA)).WithVersion(1, 0));
        CapturedLog log;
        EXPECT_TRUE(newOem->MergeFrom(*oldOem, &log.log));
        EXPECT_EQ(newOem->GetData(), expected) << newLength;
        EXPECT_EQ(newOem->GetVersion(), 1);
        EXPECT_EQ(log.text.str(), "");
    }
}

TEST(MergeTest, BoardDataPersistsAndABlankProductNumberTakesTheNewOne)
{
    const std::string blankFF(20, '\xFF');
    const std::string blankZero; // twenty zero bytes
    struct Case
    {
        std::string oldProduct;
        std::string expectedProduct;
        bool updated;
    };
    for (const auto& c : std::vector<Case>{{blankFF, "699-NEW", true},
                                           {blankZero, "699-NEW", true},
                                           {"ABC", "ABC", false},
                                           {std::string(20, 'Z'), std::string(20, 'Z'), false}})
    {
        SCOPED_TRACE(c.oldProduct);
        const auto oldObd = Make(CVarnexStoreBuilder().Obd(c.oldProduct, "Old Board", "SN-OLD"));
        auto newObd = Make(CVarnexStoreBuilder().Obd("699-NEW", "New Board", "SN-NEW"));
        CapturedLog log;
        EXPECT_TRUE(newObd->MergeFrom(*oldObd, &log.log));
        EXPECT_EQ(log.text.str(),
                  std::string("Preserving data for OBD object.\n") +
                      (c.updated ? "Updating OBD board product number with input data.\n" : ""));

        const auto& obd = static_cast<const CVarnexImageObdObject&>(*newObd);
        const auto field = obd.GetProductNumberField();
        std::string expectedField = c.expectedProduct;
        expectedField.resize(20, '\0');
        EXPECT_EQ(std::string(field.begin(), field.end()), expectedField);
        // Everything else is the old board's.
        auto expectedBytes = oldObd->GetBytes();
        std::copy(expectedField.begin(), expectedField.end(), expectedBytes.begin() + 79);
        EXPECT_EQ(newObd->GetBytes(), expectedBytes);
    }
}

// ---- retired pages ----

const CVarnexImagePblObject& AsPbl(const std::unique_ptr<CVarnexImageObject>& object)
{
    return static_cast<const CVarnexImagePblObject&>(*object);
}

std::vector<uint64_t> Pages(uint64_t first, size_t count)
{
    std::vector<uint64_t> pages;
    for (size_t i = 0; i < count; ++i)
    {
        pages.push_back(first + i);
    }
    return pages;
}

std::vector<uint64_t> Padded(std::vector<uint64_t> pages, size_t capacity)
{
    pages.resize(capacity, 0);
    return pages;
}

TEST(PblMergeTest, From20To21EachArrayIsCarriedIntoItsNewPlace)
{
    // 25 pages with ECC on (only 20 fit), 3 with ECC off after two free slots,
    // and distinctive count and trailing bytes.
    auto oldBytes = CVarnexStoreBuilder()
                        .Pbl(2, 0, Pages(0x100, 25), {0, 0, 0xA01, 0xA02, 0xA03})
                        .ObjectBytes(0);
    oldBytes[8] = 0x11;
    oldBytes[10] = 0x33;
    for (size_t i = 0; i < 5; ++i)
    {
        oldBytes[1035 + i] = static_cast<uint8_t>(0xC0 + i);
    }
    const std::unique_ptr<CVarnexImageObject> oldPbl =
        std::make_unique<CVarnexImagePblObject>(oldBytes, 0);
    auto newPbl = Make(CVarnexStoreBuilder().Pbl(2, 1, {0x999}, {0x999}));

    CapturedLog log;
    EXPECT_TRUE(newPbl->MergeFrom(*oldPbl, &log.log));
    EXPECT_EQ(log.text.str(), "Warning: translating from PBL version 2.0 to version 2.1 - some "
                              "data may be truncated.\n");
    EXPECT_EQ(newPbl->GetSize(), 336);
    EXPECT_EQ(AsPbl(newPbl).GetPageArray(1), Pages(0x100, 20));
    EXPECT_EQ(AsPbl(newPbl).GetPageArray(0), Padded({0xA01, 0xA02, 0xA03}, 20));
    EXPECT_EQ(AsPbl(newPbl).GetCounts(), 5); // the builder's count, within the capacity
    const auto bytes = newPbl->GetBytes();
    EXPECT_EQ(bytes[8], 0x11);
    EXPECT_EQ(bytes[10], 0x33);
    EXPECT_EQ(std::vector<uint8_t>(bytes.begin() + 331, bytes.end()),
              (std::vector<uint8_t>{0xC0, 0xC1, 0xC2, 0xC3, 0xC4}));
}

TEST(PblMergeTest, From21To20NoPageLandsInTheWrongArray)
{
    const auto oldPbl = Make(CVarnexStoreBuilder().Pbl(2, 1, Pages(0x100, 20), Pages(0x200, 20)));
    auto newPbl = Make(CVarnexStoreBuilder().Pbl(2, 0, {}, {}));
    CapturedLog log;
    EXPECT_TRUE(newPbl->MergeFrom(*oldPbl, &log.log));
    EXPECT_EQ(log.text.str(), "Preserving data for PBL object.\n");
    EXPECT_EQ(newPbl->GetSize(), 1040);
    EXPECT_EQ(AsPbl(newPbl).GetPageArray(1), Padded(Pages(0x100, 20), 64));
    EXPECT_EQ(AsPbl(newPbl).GetPageArray(0), Padded(Pages(0x200, 20), 64));
    EXPECT_EQ(AsPbl(newPbl).GetCounts(), 20);
}

TEST(PblMergeTest, OtherPairsFollowThePersistentRule)
{
    const auto old20 = Make(CVarnexStoreBuilder().Pbl(2, 0, {0x5}, {0x6}));

    auto same = Make(CVarnexStoreBuilder().Pbl(2, 0, {}, {}));
    CapturedLog keep;
    EXPECT_TRUE(same->MergeFrom(*old20, &keep.log));
    EXPECT_EQ(keep.text.str(), "Preserving data for PBL object.\n");
    EXPECT_EQ(same->GetBytes(), old20->GetBytes());

    auto newer = Make(CVarnexStoreBuilder().Pbl(3, 0, {0x7}, {}));
    const auto before = newer->GetBytes();
    CapturedLog discard;
    EXPECT_TRUE(newer->MergeFrom(*old20, &discard.log));
    EXPECT_EQ(discard.text.str(), "Discarding old data for PBL object.\n");
    EXPECT_EQ(newer->GetBytes(), before);
}

} // namespace
