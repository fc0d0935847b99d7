// Merging a new Varnex image with the adapter's old one: the walk over the
// objects, the override options, and the validation of the result.

#include "core/CommandLine.h"
#include "core/Singleton.h"
#include "testkit/varnex/CapturedLog.h"
#include "testkit/varnex/VarnexStoreBuilder.h"
#include "varnex/VarnexMerge.h"
#include "varnex/VarnexPblObject.h"
#include "varnex/VarnexTypedObjects.h"

#include <gtest/gtest.h>

#include <sstream>

namespace
{

using testkit::CapturedLog;
using testkit::CVarnexStoreBuilder;

const OptionDescriptor kOptions[] = {
    {"owecc", ' ', 0, "", ""},
    {"owpbl", ' ', 0, "", ""},
    {"owobd", ' ', 0, "", ""},
};

class MergeDriverTest : public ::testing::Test
{
protected:
    void TearDown() override { ReleaseSingletons(); }

    ICommandLine* CommandLine(std::vector<std::string> arguments)
    {
        m_arguments = std::move(arguments);
        m_arguments.insert(m_arguments.begin(), "romvise");
        m_argv.clear();
        for (auto& argument : m_arguments)
        {
            m_argv.push_back(argument.data());
        }
        return ICommandLine::Create(std::size(kOptions), kOptions, static_cast<int>(m_argv.size()),
                                    m_argv.data());
    }

    // Runs the merge, capturing standard output.
    CRefPtr<CVarnexImage> Merge(CVarnexImage* newImage, CVarnexImage* oldImage,
                                ICommandLine* commandLine)
    {
        testing::internal::CaptureStdout();
        auto merged = MergeVarnexImages(newImage, oldImage, commandLine, &m_log.log);
        m_stdout = testing::internal::GetCapturedStdout();
        return merged;
    }

    CapturedLog m_log;
    std::string m_stdout;

private:
    std::vector<std::string> m_arguments;
    std::vector<char*> m_argv;
};

CRefPtr<CVarnexImage> Image(const CVarnexStoreBuilder& builder)
{
    return CRefPtr<CVarnexImage>(new CVarnexImage(builder.BuildRaw()));
}

std::vector<uint8_t> Bytes(size_t count, uint8_t value)
{
    return std::vector<uint8_t>(count, value);
}

TEST_F(MergeDriverTest, OldDataCarriesOverIntoACopyOfTheNewImage)
{
    const auto newImage = Image(CVarnexStoreBuilder()
                                    .Img("2.0", 0x2204, 0x10DE, 0x1454, 0x10DE)
                                    .Ecc(Bytes(48, 0xEE))
                                    .WithVersion(2, 3)
                                    .Obd("699-NEW", "New Board", "SN-NEW")
                                    .Generic("BBX", {9, 9, 9}));
    const auto oldImage = Image(CVarnexStoreBuilder()
                                    .Img("1.0", 0x2204, 0x10DE, 0x1454, 0x10DE)
                                    .Ecc(Bytes(40, 0x0C))
                                    .WithVersion(2, 1)
                                    .Obd(std::string(20, '\xFF'), "Old Board", "SN-OLD")
                                    .Generic("PGM", {7}));
    const auto newBytes = newImage->SerializeRaw();

    const auto merged = Merge(newImage.get(), oldImage.get(), CommandLine({}));
    ASSERT_TRUE(merged);
    EXPECT_EQ(m_log.text.str(),
              "The ROM object supports the version transition from 1.1 to 1.1 by\n"
              "default. No data will persist, and will be overwritten implicitly.\n"
              "Discarding old data for ROM object.\n"
              "The IMG object supports the version transition from 1.0 to 1.0 by\n"
              "default. No data will persist, and will be overwritten implicitly.\n"
              "Discarding old data for IMG object.\n"
              "Preserving data for ECC object.\n"
              "Preserving data for OBD object.\n"
              "Updating OBD board product number with input data.\n");
    EXPECT_EQ(m_stdout, "");

    auto expectedEcc = Bytes(40, 0x0C);
    expectedEcc.resize(48, 0);
    EXPECT_EQ(merged->FindObject(VarnexTags::ECC)->GetData(), expectedEcc);
    const auto* obd =
        static_cast<const CVarnexImageObdObject*>(merged->FindObject(VarnexTags::OBD));
    EXPECT_EQ(obd->GetBytes()[36], 'S');
    EXPECT_EQ(obd->GetBytes()[39], 'O'); // the old serial number, "SN-OLD"
    const auto product = obd->GetProductNumberField();
    EXPECT_EQ(std::string(product.begin(), product.begin() + 8), std::string("699-NEW\0", 8));
    // Only in the new image: kept; only in the old one: dropped.
    EXPECT_EQ(merged->FindObject(VarnexTags::BBX)->GetData(), (std::vector<uint8_t>{9, 9, 9}));
    EXPECT_EQ(merged->FindObject(VarnexTags::PGM), nullptr);
    EXPECT_EQ(merged->GetObjectCount(), newImage->GetObjectCount());
    // The new image itself is untouched, and the merged one writes out whole.
    EXPECT_EQ(newImage->SerializeRaw(), newBytes);
    EXPECT_EQ(merged->SerializeRaw().size(), newBytes.size());
    EXPECT_EQ(CVarnexImage(merged->SerializeRaw()).FindObject(VarnexTags::ECC)->GetData(),
              expectedEcc);
}

TEST_F(MergeDriverTest, ATransitionThatMayLoseDataNeedsItsOverrideOption)
{
    const auto newImage =
        Image(CVarnexStoreBuilder().Img("2", 1, 2, 3, 4).Ecc(Bytes(8, 0xEE)).WithVersion(2, 0));
    const auto oldImage =
        Image(CVarnexStoreBuilder().Img("2", 1, 2, 3, 4).Ecc(Bytes(40, 0x0C)).WithVersion(1, 4));
    const std::string refusal =
        "Error: The requested version transition for the ECC object is supported, but\n"
        "       some data may be lost. Please pass in the '--owecc' flag to allow this.\n";

    // Another object's option does not count.
    EXPECT_FALSE(Merge(newImage.get(), oldImage.get(), CommandLine({"--owpbl"})));
    EXPECT_EQ(m_stdout, refusal);
    EXPECT_NE(m_log.text.str().find(refusal), std::string::npos);
    EXPECT_EQ(m_log.text.str().find("not supported"), std::string::npos);

    CapturedLog allowed;
    testing::internal::CaptureStdout();
    const auto merged =
        MergeVarnexImages(newImage.get(), oldImage.get(), CommandLine({"--owecc"}), &allowed.log);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    ASSERT_TRUE(merged);
    EXPECT_NE(allowed.text.str().find("The '--owecc' flag was specified, will attempt merge.\n"
                                      "Discarding old data for ECC object.\n"),
              std::string::npos);
    EXPECT_EQ(merged->FindObject(VarnexTags::ECC)->GetData(), Bytes(8, 0xEE));

    // Without a command line no override is set.
    EXPECT_FALSE(Merge(newImage.get(), oldImage.get(), nullptr));
    EXPECT_EQ(m_stdout, refusal);
}

TEST_F(MergeDriverTest, RetiredPagesFrom20To21NeedOwpbl)
{
    const auto newImage = Image(CVarnexStoreBuilder().Img("2", 1, 2, 3, 4).Pbl(2, 1, {}, {}));
    const auto oldImage =
        Image(CVarnexStoreBuilder().Img("2", 1, 2, 3, 4).Pbl(2, 0, {0x10, 0x20}, {0x30}));
    EXPECT_FALSE(Merge(newImage.get(), oldImage.get(), CommandLine({})));
    EXPECT_NE(m_stdout.find("'--owpbl'"), std::string::npos);

    const auto merged = Merge(newImage.get(), oldImage.get(), CommandLine({"--owpbl"}));
    ASSERT_TRUE(merged);
    const auto* pbl =
        static_cast<const CVarnexImagePblObject*>(merged->FindObject(VarnexTags::PBL));
    EXPECT_EQ(pbl->GetSubversion(), 1);
    EXPECT_EQ(pbl->GetPageArray(0)->at(0), 0x30u);
}

TEST_F(MergeDriverTest, ARefusedTransitionStopsTheWalk)
{
    // OEM is merged, ECC (a shorter body) is refused, OBD after it is not reached.
    const auto oldImage = Image(
        CVarnexStoreBuilder().Img("1", 1, 2, 3, 4).Oem({1, 2, 3}).Ecc(Bytes(40, 0x0C)).Obd("OLD"));
    CVarnexImage merged(CVarnexStoreBuilder()
                            .Img("1", 1, 2, 3, 4)
                            .Oem({0, 0, 0, 0})
                            .Ecc(Bytes(32, 0xEE))
                            .Obd("NEW")
                            .BuildRaw());

    CapturedLog log;
    testing::internal::CaptureStdout();
    EXPECT_FALSE(MergeVarnexObjects(oldImage.get(), &merged, CommandLine({"--owecc"}), &log.log));
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "Error: The requested version transition for the ECC object is not supported.\n");
    EXPECT_EQ(merged.FindObject(VarnexTags::OEM)->GetData(), (std::vector<uint8_t>{1, 2, 3, 0}));
    EXPECT_EQ(merged.FindObject(VarnexTags::ECC)->GetData(), Bytes(32, 0xEE));
    EXPECT_EQ(static_cast<const CVarnexImageObdObject*>(merged.FindObject(VarnexTags::OBD))
                  ->GetProductNumberField()[0],
              'N');
    EXPECT_EQ(log.text.str().find("OBD"), std::string::npos);
}

TEST_F(MergeDriverTest, MissingImagesAndMismatchedObjects)
{
    // No merged image: reported at level 4 on the process logger.
    std::ostringstream processLog;
    {
        CScopedLogSink sink(GetLog(), &processLog, 4, 4);
        EXPECT_FALSE(MergeVarnexObjects(nullptr, nullptr, nullptr, &m_log.log));
    }
    EXPECT_EQ(processLog.str(), "Invalid merged Varnex image.\n");

    // No old image: the copy of the new image as it is.
    const auto newImage = Image(CVarnexStoreBuilder().Img("3", 1, 2, 3, 4).Oem({5}));
    const auto merged = Merge(newImage.get(), nullptr, nullptr);
    ASSERT_TRUE(merged);
    EXPECT_EQ(merged->SerializeRaw(), newImage->SerializeRaw());

    // Objects of different tags are never merged.
    const auto oem = CVarnexImage::CreateObject(VarnexTags::OEM,
                                                CVarnexStoreBuilder().Oem({1}).ObjectBytes(0), 0);
    auto ecc = CVarnexImage::CreateObject(VarnexTags::ECC,
                                          CVarnexStoreBuilder().Ecc({2}).ObjectBytes(0), 0);
    CapturedLog log;
    EXPECT_FALSE(CheckSameObjectType(*ecc, *oem, &log.log));
    EXPECT_EQ(log.text.str(),
              "Error: attempting to merge objects of different types (OEM, ECC)!\n");
    EXPECT_EQ(ecc->GetData(), std::vector<uint8_t>{2});
}

TEST(OverrideOptionNameTest, IsOwFollowedByTheTagInLowerCase)
{
    EXPECT_EQ(OverrideOptionName(VarnexTags::PBL), "owpbl");
    EXPECT_EQ(OverrideOptionName(VarnexTags::OBD), "owobd");
    EXPECT_EQ(OverrideOptionName(VarnexTag("x1Z")), "owx1z");
}

TEST(ValidateMergedTest, EachFailureHasItsMessage)
{
    const auto source = [] { return CVarnexStoreBuilder().Img("1.2", 1, 2, 3, 4).Ecc({1}); };
    struct Case
    {
        std::vector<uint8_t> source;
        std::vector<uint8_t> merged;
        const char* text;
    };
    const std::vector<Case> cases = {
        {source().BuildRaw(), source().BuildRaw(), ""},
        {source().BuildRaw(), {}, "Invalid merged Varnex image.\n"},
        {{}, source().BuildRaw(), "Invalid source Varnex image.\n"},
        {CVarnexStoreBuilder().Ecc({1}).BuildRaw(), source().BuildRaw(),
         "Invalid IMG object in Varnex image.\n"},
        {source().BuildRaw(), CVarnexStoreBuilder().Ecc({1}).BuildRaw(),
         "Invalid IMG object in Varnex image.\n"},
        {source().BuildRaw(), CVarnexStoreBuilder().Img("1.3", 1, 2, 3, 4).Ecc({1}).BuildRaw(),
         "Invalid Image version after merge.\n"},
        {source().BuildRaw(), source().Generic("BBX", {1}).BuildRaw(),
         "Invalid object counts in merged Varnex image.\n"},
        {source().BuildRaw(), CVarnexStoreBuilder().Img("1.2", 1, 2, 3, 4).Oem({1}).BuildRaw(),
         "Missing object in merged Varnex image.\n"},
        {source().BuildRaw(), source().WithVersion(1, 1).BuildRaw(),
         "Invalid object version in merged Varnex image.\n"},
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE(c.text);
        CVarnexImage sourceImage(c.source);
        CVarnexImage mergedImage(c.merged);
        CapturedLog log;
        EXPECT_EQ(ValidateMergedVarnexImage(&sourceImage, &mergedImage, &log.log),
                  std::string(c.text).empty());
        EXPECT_EQ(log.text.str(), c.text);
    }
    CapturedLog log;
    EXPECT_FALSE(ValidateMergedVarnexImage(nullptr, nullptr, &log.log));
    EXPECT_EQ(log.text.str(), "Invalid merged Varnex image.\n");
}

} // namespace
