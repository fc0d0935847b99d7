// Firmware files: extension checks, base names, ROM packs with their image
// index and menu, and the unknown-board warning.

#include "EngineeringRig.h"

#include "core/Exceptions.h"
#include "testkit/CapturedOutput.h"
#include "testkit/ErrorOf.h"
#include "testkit/image/KrromWriter.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <iostream>
#include <sstream>

namespace
{
const FileTypeList kTypes = {CRomviseBaseApp::MakeFileType(0, ".rom"),
                             CRomviseBaseApp::MakeFileType(1, ".krr")};

class FileLoading : public ::testing::Test
{
protected:
    // Loads the file; the names of the images it gives, space-separated, or
    // the error's text.
    std::string Load(const std::string& path, int index, bool extended = false,
                     const std::string& keys = "")
    {
        rig.console->keys.clear();
        rig.Type(keys);
        CLog log;
        CScopedLogSink sink(&log, &logged, 1, 5);
        CScopedLogSink warnings(&log, &warned, 4, 5);
        testkit::CCapturedOutput console;
        std::string result;
        try
        {
            SelectionCriteria selection;
            for (const CRefPtr<IROMImage>& image :
                 app->LoadFirmwareFile(GetUserInterface(), GetBoardDatabase(), path, kTypes,
                                       extended, index, selection, &log))
            {
                result += (result.empty() ? "" : " ") + std::string(image->GetFileNameCStr());
                boardNames += image->GetBoardName() + ";";
            }
        }
        catch (const std::runtime_error& error)
        {
            result = error.what();
        }
        shown << console.Text();
        return result;
    }

    std::string Pack(size_t images)
    {
        testkit::CKrromWriter writer;
        for (size_t i = 0; i < images; ++i)
        {
            writer.Full(RigFirmware(0x86041B00 + static_cast<uint32_t>(i) * 0x100),
                        "I" + std::to_string(i));
        }
        const std::string name = "pack" + std::to_string(images) + ".krr";
        return rig.folder.WriteBytes(name, writer.Build());
    }

    CEngineeringRig rig{{}};
    std::unique_ptr<CTestRomviseApp> app = rig.MakeApp({});
    std::ostringstream logged;
    std::ostringstream warned;
    std::ostringstream shown;
    std::string boardNames;
};
} // namespace

TEST_F(FileLoading, ExtensionsAreTheTextFromTheLastDotInLowerCase)
{
    struct Case
    {
        const char* name;
        int kind;
        std::string error;
    };
    const std::vector<Case> cases = {
        {"a.rom", 0, ""},
        {"A.ROM", 0, ""},
        {"a.Krr", 1, ""},
        {"a.krr.rom", 0, ""},
        {"a.rom.krr", 1, ""},
        {"a", -1,
         "File name not provided or without extension\nA valid file extension: [.rom .krr ]\n"},
        {"a.bin", -1, "Filename must have a valid extension. [ .rom .krr ]\n"},
        {"a.rom.", -1, "Filename must have a valid extension. [ .rom .krr ]\n"},
        {"dir.rom/a", -1, "Filename must have a valid extension. [ .rom .krr ]\n"},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.name);
        if (c.error.empty())
        {
            EXPECT_EQ(app->CheckFileExtension(kTypes, c.name).kind, c.kind);
        }
        else
        {
            EXPECT_EQ(testkit::ErrorOf([&] { app->CheckFileExtension(kTypes, c.name); }), c.error);
        }
    }
}

TEST_F(FileLoading, AnImageIsNamedByItsBaseName)
{
    std::filesystem::create_directories(rig.folder.Path() / "sub");
    struct Case
    {
        const char* file; // inside the folder "sub"
        const char* baseName;
    };
    const std::vector<Case> cases = {
        {"plain.rom", "plain.rom"},    {"c:img.rom", "img.rom"},    {"a\\b.rom", "b.rom"},
        {"c:x\\y:img.rom", "img.rom"}, {"x\\c:img.rom", "img.rom"},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.file);
        const std::string path =
            rig.folder.WriteBytes(std::filesystem::path("sub") / c.file, RigFirmware());
        EXPECT_EQ(Load(path, -1), c.baseName);
    }
}

TEST_F(FileLoading, PackImagesByIndex)
{
    const std::string one = Pack(1);
    const std::string twelve = Pack(12);
    EXPECT_EQ(Load(one, -1), "I0");
    EXPECT_EQ(Load(one, 0), "I0");
    EXPECT_EQ(Load(one, -2), "I0");
    EXPECT_EQ(Load(one, 3), "Invalid firmware image index specified");
    EXPECT_EQ(Load(twelve, 10), "I10");
    EXPECT_EQ(Load(twelve, 11), "I11");
    EXPECT_EQ(Load(twelve, 12), "Invalid firmware image index specified");
    EXPECT_EQ(Load(twelve, -1), "I0 I1 I2 I3 I4 I5 I6 I7 I8 I9 I10 I11");
}

TEST_F(FileLoading, PackMenuOffersOneDigit)
{
    const std::string three = Pack(3);
    const std::string twelve = Pack(12);
    // Keys "10": the first digit already chooses; images 10 and 11 cannot
    // be reached from the menu.
    EXPECT_EQ(Load(twelve, -2, false, "10"), "I1");
    EXPECT_NE(shown.str().find("<11> I11\n"), std::string::npos) << shown.str();
    EXPECT_NE(shown.str().find("Select a number (ESC to quit): 1\n"), std::string::npos);
    shown.str("");
    EXPECT_EQ(Load(three, -3, false,
                   "7\x01"
                   "x2"),
              "I2");
    EXPECT_NE(shown.str().find("Select firmware image:\n<0> I0\n<1> I1\n<2> I2\n"),
              std::string::npos)
        << shown.str();
    EXPECT_NE(shown.str().find("Select a number (ESC to quit): 7\n{7} is not valid\n"
                               "Select a number (ESC to quit): .\n"
                               "Select a number (ESC to quit): x\n"
                               "Select a number (ESC to quit): 2\n"),
              std::string::npos)
        << shown.str();
    EXPECT_EQ(Load(three, -2, false, "\x1b"), "Update aborted");
    EXPECT_EQ(Load(three, -2, false, ""), "Update aborted");
    EXPECT_THROW(
        {
            rig.Type("");
            SelectionCriteria selection;
            CLog log;
            app->LoadFirmwareFile(GetUserInterface(), GetBoardDatabase(), three, kTypes, false, -2,
                                  selection, &log);
        },
        user_abort_error);
}

TEST_F(FileLoading, UnknownBoardIsWarnedOnlyWithExtendedOutput)
{
    const std::string unknown =
        rig.folder.WriteBytes("unknown.rom", RigFirmware(0x86041B00, 0x7777));
    const std::string warning = "WARNING: Unknown Board ID 7777\n"
                                "(It is recommended you obtain a newer version of ROMVISE.)\n";
    EXPECT_EQ(Load(unknown, -1, false), "unknown.rom");
    EXPECT_EQ(warned.str(), "");
    EXPECT_EQ(Load(unknown, -1, true), "unknown.rom");
    EXPECT_EQ(warned.str(), warning);
    EXPECT_EQ(boardNames, ";;");
}
