#include "image/UEFIDecompressor.h"
#include "image/ASN1Reader.h"
#include "testkit/ErrorOf.h"
#include "testkit/ScratchDirectory.h"
#include "testkit/image/EfiCompressor.h"
#include "testkit/image/UefiBuilder.h"
#include "tests/image/NestedDer.h"

#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>

using testkit::CUefiDriverBuilder;
using testkit::ErrorOf;
using testkit::UefiBuildRecord;

namespace
{
using FieldEntries = std::vector<std::pair<std::string, std::string>>;

UEFIDecompressor ReaderOf(const std::vector<uint8_t>& driver, const std::string& support = "Yes")
{
    return UEFIDecompressor(testkit::EfiCompress(driver), support);
}

// A driver whose last bytes are the record, so a length field can reach
// past its end.
std::vector<uint8_t> DriverWithRecord(const std::vector<uint8_t>& record)
{
    return CUefiDriverBuilder().BuildInfo(record).BodySize(0).Build();
}

} // namespace

TEST(UEFIDriverReaderTest, BuildRecordKeysAreFoundOnlyAtTheStartOfAnEntry)
{
    struct Case
    {
        const char* name;
        std::vector<uint8_t> record;
        std::string key;
        int32_t status;
        std::string text;
    };
    const FieldEntries entries = {{"VER", "1.2"}, {"DAT", "01.02.2026"}, {"XCHG", "5"}, {"VAR", "0103"}};
    const std::vector<Case> cases = {
        {"first entry", UefiBuildRecord(entries), "VER", 0, "1.2"},
        {"later entry", UefiBuildRecord(entries), "VAR", 0, "0103"},
        {"key inside an entry only", UefiBuildRecord(entries), "CHG", 3, "unchanged"},
        {"missing key", UefiBuildRecord(entries), "ABC", 3, "unchanged"},
        {"empty value", UefiBuildRecord({{"VER", ""}}), "VER", 0, ""},
        {"record version 2", UefiBuildRecord(entries, 2), "VER", 3, "unchanged"},
        {"record length below its head", UefiBuildRecord(entries, 1, 19), "VER", 3, "unchanged"},
        {"record length of 0", UefiBuildRecord(entries, 1, 0), "VER", 3, "unchanged"},
        {"record past the driver's end", UefiBuildRecord(entries, 1, 0xFF), "VER", 3, "unchanged"},
        {"record cut inside the entries", UefiBuildRecord(entries, 1, 26), "VER", 0, "1."},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.name);
        const UEFIDecompressor reader = ReaderOf(DriverWithRecord(c.record));
        ASSERT_TRUE(reader.IsDecompressed());
        std::string text = "unchanged";
        EXPECT_EQ(reader.GetImageInfo(c.key, text), c.status);
        EXPECT_EQ(text, c.text);
    }
}

TEST(UEFIDriverReaderTest, VersionVariantAndFeatureTextsFollowTheRecordAndTheSupportState)
{
    struct Case
    {
        const char* name;
        FieldEntries entries;
        std::string support;
        std::string version;
        std::string variant;
        std::string features;
    };
    const std::vector<Case> cases = {
        {"version and variant", {{"VER", "1.2"}, {"VAR", "0103"}}, "Yes",
         "1.2 (??.??.???? @ ???????? )", "0x0103", " Avrel    MXM "},
        {"full record", {{"VER", "2.7"}, {"DAT", "01.02.2026"}, {"CHG", "12345678"}, {"VAR", "0305"}},
         "Yes", "2.7 (01.02.2026 @ 12345678 )", "0x0305", " Dolvik   GOP Override "},
        {"unknown family and kind", {{"VER", "1"}, {"VAR", "0908"}}, "Yes", "1 (??.??.???? @ ???????? )",
         "0x0908", " Unknown "},
        {"no version key", {{"XVER", "5"}}, "Yes", "No Version Found or Out-dated",
         "No Version Found or Out-dated", " Unknown "},
        {"placeholder", {{"VER", "1.2"}}, "Placeholder", "N/A (Placeholder)", "N/A (Placeholder)",
         " Unknown "},
        {"no UEFI", {{"VER", "1.2"}}, "No", "N/A", "N/A", " Unknown "},
        {"hidden", {{"VER", "1.2"}}, "No (hidden)", "N/A", "N/A", " Unknown "},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.name);
        const UEFIDecompressor reader = ReaderOf(DriverWithRecord(UefiBuildRecord(c.entries)), c.support);
        EXPECT_EQ(reader.GetVersionString(), c.version);
        EXPECT_EQ(reader.GetVariantID(), c.variant);
        EXPECT_EQ(reader.GetFeatureString(), c.features);
    }
}

TEST(UEFIDriverReaderTest, FramingDecidesWhatIsDecompressed)
{
    const std::vector<uint8_t> driver = DriverWithRecord(UefiBuildRecord({{"VER", "1.2"}}));
    const std::vector<uint8_t> block = testkit::EfiCompress(driver);
    std::vector<uint8_t> cut(block.begin(), block.end() - 1);
    std::vector<uint8_t> huge = block;
    huge[7] = 0x7F; // decoded size of about 2 GiB

    struct Case
    {
        const char* name;
        std::vector<uint8_t> payload;
        bool decompressed;
        uint32_t decompressedSize;
    };
    const std::vector<Case> cases = {
        {"whole block", block, true, static_cast<uint32_t>(driver.size())},
        {"header only in part", {1, 2, 3, 4, 5, 6, 7}, false, 0},
        {"stream shorter than its header says", cut, false,
         static_cast<uint32_t>(driver.size())},
        {"decoded size above the cap", huge, false, 0},
        {"decoded size 0", testkit::EfiFrame({}, 0), false, 0},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.name);
        const UEFIDecompressor reader(c.payload, "Yes");
        EXPECT_EQ(reader.IsDecompressed(), c.decompressed);
        EXPECT_EQ(reader.GetDecompressedSize(), c.decompressedSize);
        EXPECT_EQ(reader.GetCompressedSize(), c.payload.size());
    }
    EXPECT_EQ(UEFIDecompressor(cut, "Yes").GetVersionString(),
              "Unknown (UEFI image could not be read)");
    EXPECT_FALSE(UEFIDecompressor(block, "No").IsDecompressed());
    EXPECT_EQ(UEFIDecompressor(block, "No").GetDecompressedSize(), 0u);
}

TEST(UEFIDriverReaderTest, TruncatedStreamYieldsTheDecodedSizeAndSaysItRanOut)
{
    const std::vector<uint8_t> driver = CUefiDriverBuilder().BodySize(0x3000).Build();
    std::vector<uint8_t> block = testkit::EfiCompress(driver, {false});
    block.erase(block.end() - 200, block.end());
    // The header's compressed size is made to match what is left.
    const auto left = static_cast<uint32_t>(block.size() - 8);
    std::memcpy(block.data(), &left, 4);
    const UEFIDecompressor reader(block, "Yes");
    EXPECT_TRUE(reader.IsDecompressed());
    EXPECT_TRUE(reader.RanOutOfInput());
    EXPECT_EQ(reader.GetDecompressedSize(), driver.size());
    EXPECT_FALSE(ReaderOf(driver).RanOutOfInput());
}

TEST(UEFIDriverReaderTest, SignersAreTheIssuerNamesOfEachCertificateEntry)
{
    const std::vector<uint8_t> signedData = testkit::SignedDataFor("Korvan UEFI Signing 2026");
    struct Case
    {
        const char* name;
        CUefiDriverBuilder driver;
        std::vector<std::string> signers;
    };
    std::vector<Case> cases;
    for (bool plus : {false, true})
    {
        const std::string kind = plus ? "PE32+: " : "PE32: ";
        cases.push_back({"no certificate", CUefiDriverBuilder().Pe32Plus(plus), {"Unsigned"}});
        cases.push_back({"one SignedData", CUefiDriverBuilder().Pe32Plus(plus).Certificate(2, signedData),
                         {"Korvan UEFI Signing 2026"}});
        cases.push_back(
            {"first entry of another type",
             CUefiDriverBuilder().Pe32Plus(plus).Certificate(1, {1, 2, 3}).Certificate(2, signedData),
             {"Unknown signer", "Korvan UEFI Signing 2026"}});
    }
    cases.push_back({"DER that is no SignedData", CUefiDriverBuilder().Certificate(2, {0x30, 0x03, 0x02, 0x01, 0x01}),
                     {"Unknown signer"}});
    cases.push_back({"DER nested deeper than the limit",
                     CUefiDriverBuilder().Certificate(2, Nested(ASN1Handler::kMaxDepth + 8)),
                     {"Unknown signer"}});
    cases.push_back({"DER length past the entry",
                     CUefiDriverBuilder().Certificate(2, {0x30, 0x84, 0x7F, 0xFF, 0xFF, 0xFF}),
                     {"Unknown signer"}});
    cases.push_back({"entry of length 0 ends the walk",
                     CUefiDriverBuilder().Certificate(2, signedData, 0).Certificate(2, signedData),
                     {"Unsigned"}});
    cases.push_back({"entry running past the driver",
                     CUefiDriverBuilder().Certificate(2, signedData, 0x10000), {"Unsigned"}});
    cases.push_back({"directory count without the security entry",
                     CUefiDriverBuilder().DirectoryCount(4).Certificate(2, signedData), {"Unsigned"}});
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(ReaderOf(c.driver.Build()).GetSigner(), c.signers);
    }
}

TEST(UEFIDriverReaderTest, SecurityDirectoryOutsideTheDriverIsAnInvalidOffset)
{
    for (uint32_t offset : {0x00100000u, 0xFFFFFFF8u})
    {
        SCOPED_TRACE(offset);
        const UEFIDecompressor reader =
            ReaderOf(CUefiDriverBuilder().SecurityDirectory(offset, 0x100).Build());
        EXPECT_EQ(ErrorOf([&] { reader.GetSigner(); }), "Invalid offset");
    }
    EXPECT_EQ(ErrorOf([] { ReaderOf({'M', 'Z'}).GetSigner(); }), "Invalid offset");
}

TEST(UEFIDriverReaderTest, SaveImageWritesTheDecompressedRange)
{
    testkit::CScratchDirectory folder("romvise-uefi-save");
    const std::vector<uint8_t> driver = CUefiDriverBuilder().Build();
    const UEFIDecompressor reader = ReaderOf(driver);
    const std::string path = (folder / "driver.efi").string();
    EXPECT_EQ(reader.SaveImage(path, 0x10, 0x100), 0x100u);
    std::ifstream file(path, std::ios::binary);
    const std::vector<uint8_t> saved{std::istreambuf_iterator<char>(file), {}};
    EXPECT_EQ(saved, std::vector<uint8_t>(driver.begin() + 0x10, driver.begin() + 0x110));

    const std::string outside = (folder / "outside.efi").string();
    EXPECT_EQ(ErrorOf([&] { reader.SaveImage(outside, 0x10, static_cast<uint32_t>(driver.size())); }),
              "Invalid offset");
    EXPECT_FALSE(std::filesystem::exists(outside));

    const std::string none = (folder / "none.efi").string();
    EXPECT_EQ(ReaderOf(driver, "Placeholder").SaveImage(none, 0, 4), 0u);
    EXPECT_FALSE(std::filesystem::exists(none));
    EXPECT_EQ(ErrorOf([&] { reader.SaveImage((folder / "no/such/dir.efi").string(), 0, 4); }),
              "Cannot create file: " + (folder / "no/such/dir.efi").string());

    // A link in the file's place is refused, and what it points to kept.
    const std::string target = folder.WriteText("target.efi", "kept");
    const std::string link = (folder / "link.efi").string();
    std::filesystem::create_symlink(target, link);
    EXPECT_EQ(ErrorOf([&] { reader.SaveImage(link, 0, 4); }), "Cannot create file: " + link);
    std::ifstream kept(target, std::ios::binary);
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(kept), {}), "kept");
}
