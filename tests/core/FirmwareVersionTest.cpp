#include "core/FirmwareVersion.h"
#include "testkit/ErrorOf.h"

#include <gtest/gtest.h>

#include <stdexcept>

using testkit::ErrorOf;

namespace
{
CFirmwareVersion Version(const std::string& text)
{
    return CFirmwareVersion(text, FirmwareVersionLayout);
}
} // namespace

TEST(FirmwareVersion, StringsToFieldsAndBack)
{
    struct Case
    {
        const char* text;
        const char* core;
        const char* chip;
        const char* release;
        const char* branch;
        const char* oem;
        int kind;
        const char* versionText;
    };
    const Case cases[] = {
        {"12.34.5E.00.78", "12", "34", "5E", "00", "78", 2, "12.34.5E.00.78"},
        {"12.34.5E.E1.78", "12", "34", "15E", "01", "378", 2, "12.34.15E.01.378"},
        {"12.34.01.00.78", "12", "34", "01", "00", "78", 1, "12.34.01.00.78"},
        {"12.34.01.20.78", "12", "34", "101", "00", "78", 1, "12.34.01.20.78"},
        {"12.34.00.00.78", "12", "34", "00", "00", "78", 0, "12.34.00.00.78"},
        {"12..5E.00.78", "12", "00", "5E", "00", "78", 2, "12.00.5E.00.78"},
        {"1.2.3.4.5", "01", "02", "03", "04", "05", 2, "01.02.03.04.05"},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.text);
        const CFirmwareVersion version = Version(c.text);
        EXPECT_TRUE(version.IsComplete());
        EXPECT_EQ(version.GetFieldText("CoreRevision"), c.core);
        EXPECT_EQ(version.GetFieldText("ChipSourceID"), c.chip);
        EXPECT_EQ(version.GetFieldText("ReleaseLevel"), c.release);
        EXPECT_EQ(version.GetFieldText("BranchSourceID"), c.branch);
        EXPECT_EQ(version.GetFieldText("OEMBuildLevel"), c.oem);
        EXPECT_EQ(version.GetReleaseKind(), c.kind);
        EXPECT_EQ(version.GetVersionString(), c.versionText);
    }
    EXPECT_EQ(Version("12.34.5E.00.78").GetReleaseKindText(), "Production VBIOS");
    EXPECT_EQ(Version("12.34.01.00.78").GetReleaseKindText(), "Bring-up VBIOS");
    EXPECT_EQ(Version("12.34.00.00.78").GetReleaseKindText(), "Emulation VBIOS");
    EXPECT_TRUE(Version("12.34.00.00.78").IsEmulation());
}

TEST(FirmwareVersion, IncompleteStringIsFlaggedNotThrown)
{
    const CFirmwareVersion version = Version("12.34.5E");
    EXPECT_FALSE(version.IsComplete());
    EXPECT_EQ(version.GetParseMessage(),
              "Couldn't fully parse using descriptor: Version string invalid: Required field "
              "index 0x03 is out of range in the provided string.\n");
    EXPECT_EQ(version.GetFieldText("ReleaseLevel"), "5E");
    EXPECT_EQ(ErrorOf([&] { version.GetFieldText("OEMBuildLevel"); }),
              "Error - Field OEMBuildLevel does not exist.\n");
    EXPECT_EQ(ErrorOf([&] { version.Compare(Version("12.34.5E.00.78"), "OEMBuildLevel"); }),
              "Error - 'OEMBuildLevel' field doesn't exist in both Versions.");
    // What was parsed still reads back, also without a release level.
    EXPECT_EQ(version.GetVersionString(), "12.34.5E");
    EXPECT_EQ(Version("12.34").GetVersionString(), "12.34");
    EXPECT_FALSE(Version("").IsComplete());
    EXPECT_EQ(ErrorOf([] { Version("").GetReleaseKind(); }),
              "Error - Unknown Firmware Version type!");
}

TEST(FirmwareVersion, CompareForUpdateByReleaseKind)
{
    struct Case
    {
        const char* mine;
        const char* other;
        int32_t expected;
    };
    const Case cases[] = {
        // Production: keyed on ReleaseLevel, OEMBuildLevel ignored.
        {"12.34.5E.00.78", "12.34.5E.00.99", 0},
        {"12.34.5E.00.78", "12.34.60.00.78", 2},
        {"12.34.60.00.78", "12.34.5E.00.78", -2},
        {"12.34.5E.00.78", "12.35.5E.00.78", 0x7FFFFFFF},
        // Emulation: keyed on OEMBuildLevel.
        {"12.34.00.00.78", "12.34.00.00.80", 8},
        {"12.34.00.00.78", "12.34.00.01.80", 0x7FFFFFFF},
        // Bring-up: keyed on BranchSourceID.
        {"12.34.01.02.78", "12.34.01.05.78", 3},
        {"12.34.01.02.78", "12.34.01.05.79", 0x7FFFFFFF},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(std::string(c.mine) + " vs " + c.other);
        EXPECT_EQ(Version(c.mine).CompareForUpdate(Version(c.other)), c.expected);
    }
}

TEST(FirmwareVersion, FieldLookupErrors)
{
    CFirmwareVersion version = Version("12.34.5E.00.78");
    EXPECT_EQ(ErrorOf([&] { version.FindOrAddField("Bogus"); }),
              "Error - Field 'Bogus' is not a valid FieldID name.\n");
    const size_t added = version.FindOrAddField("Unused");
    EXPECT_EQ(added, 5u);
    EXPECT_EQ(version.FindOrAddField("Unused"), added);
    EXPECT_EQ(version.GetFieldText("Unused"), "");
    EXPECT_EQ(version.GetFieldValue("OEMBuildLevel"), 0x78u);
    // A text field compares as text.
    CFirmwareVersion other = Version("12.34.5E.00.78");
    other.FindOrAddField("Unused");
    EXPECT_EQ(version.Compare(other, "Unused"), 0);
}
